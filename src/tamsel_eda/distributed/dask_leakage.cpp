// The leakage hints of a Dask frame: the in-memory checks' reasons and
// scores, from the driver's correlation and identity checks over every row.
#include "../diagnostics/leakage.hpp"
#include "../kernels/rules.hpp"
#include "distributed.hpp"

namespace tamsel::distributed {

analysis::Leakage leakage(const Input& in) {
    analysis::Leakage out;
    if (in.target_cols.empty()) return out;
    py::object candidates = in.meta.attr("drop")("columns"_a = in.target_cols, "errors"_a = "ignore").attr("columns");
    py::object hits_by_target = in.dist.attr("leakage_corr_hits");
    py::object equal_by_target = in.dist.attr("target_identical_cols");
    for (py::handle tgt : in.target_cols) {
        py::list reasons;
        double score = 1.0;
        diagnostics::leak::name_reasons(in.frame, candidates, reasons, score);
        py::list hits = pyapi::contains(hits_by_target, tgt) ? py::list(hits_by_target[tgt]) : py::list();
        if (!hits.empty()) {
            reasons.append(diagnostics::leak::correlation_reason(in.frame, hits));
            score -= rules::leakage_correlation_penalty;
        }
        py::list equal_cols(equal_by_target[tgt]);
        if (!equal_cols.empty()) {
            reasons.append(diagnostics::leak::identity_reason(in.frame, equal_cols));
            score -= rules::leakage_identity_penalty;
        }
        out.leakage_scores[tgt] = in.method("_pct")(py::float_(score));
        if (!reasons.empty()) out.leakage_reasons_all[tgt] = reasons;
    }
    return out;
}

}  // namespace tamsel::distributed
