// The analysis of a Dask DataFrame: the driver's passes read every row (or a
// documented sample) once per pass, and these steps build the same sections
// as the in-memory steps from what the passes found (Input::dist), running
// the in-memory steps themselves on the samples.
#pragma once

#include "../analysis/analysis.hpp"

namespace tamsel::distributed {

using analysis::Input;

// Whether `df` is a Dask DataFrame; never imports Dask.
bool is_dask_frame(const Input& in, py::handle df);

// Reads the Dask frame `ddf` for the analysis typed in `in` (whose df is the
// frame's empty pandas metadata): sets in.dist and the row counts.
void read(Input& in, py::handle ddf);

analysis::SchemaMissingness schema_and_missingness(const Input& in);
analysis::Distributions distributions(const Input& in);
analysis::Relationships relationships(const Input& in);
analysis::TargetDiagnostics target_diagnostics(const Input& in);
analysis::TimeSeries time_axis(const Input& in);
analysis::Leakage leakage(const Input& in);

// One line per figure of the report computed on a sample of the Dask
// frame rather than on every row (the mutual-information rows are the
// pandas analysis' own sample and go unmentioned); empty when none was.
py::list sample_notes(const Input& in);

}  // namespace tamsel::distributed
