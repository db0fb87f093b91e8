// The per-column figures of the page: what each column, each target and the
// most relevant numeric columns look like, computed by the page kernels over
// the frame the analysis read. They live beside the report (never in its
// fields), so to_dict(), the Markdown and equality stay what they are.
#pragma once

#include "../analysis/analysis.hpp"

namespace tamsel::figures {

// Plain Python values (dicts, lists, numbers, text) for to_json(detail=True)
// and the page's panels: {"columns": [...], "targets": [...],
// "correlation": {...}}. Raises what the frame's own accessors raise.
py::dict page_figures(const analysis::Input& in, const analysis::SchemaMissingness& schema,
                      const analysis::Relationships& rel, const analysis::TimeSeries& ts);

// The same figures of a Dask frame, from what the driver's passes merged
// (in.dist.page): {"numeric": {label: (range, histogram counts, quantiles)},
// "levels": {label: (listed keys, their counts, distinct, missing)}, "datetime": {label: (stamp
// range, period counts)}, "series": {target: (stamps, values)}}.
// A column the passes have no figures of keeps its missing count.
py::dict page_figures_from_parts(const analysis::Input& in, const analysis::Relationships& rel,
                                 const analysis::TimeSeries& ts, py::handle parts);

}  // namespace tamsel::figures
