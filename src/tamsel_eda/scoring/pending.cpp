// Placeholder until scoring is built: neutral components and a breakdown
// built from them, so the report stays complete.
#include "scoring.hpp"

namespace tamsel::scoring {

void score_components(Analysis&) {}

void suitability(Analysis& a) {
    py::dict components;
    for (const char* name : {"size_adequacy", "feature_to_row_ratio", "missingness", "categorical_cardinality",
                             "target_quality", "multicollinearity", "scale_heterogeneity", "outliers", "ts_quality",
                             "leakage_risk", "redundancy", "split_viability", "meta_completeness"}) {
        components[name] = py::float_(1.0);
    }
    a.score_breakdown = a.g("EdaScoreBreakdown")(**components);
    a.total = pyapi::round_to(py::float_(100.0) * a.score_breakdown.attr("weighted_total")(), 1);
}

void recommendations(Analysis&) {}

}  // namespace tamsel::scoring
