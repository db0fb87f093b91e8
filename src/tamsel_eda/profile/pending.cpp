// Placeholder until the profile steps are built: their "nothing analysed"
// values, so the report stays complete.
#include "analysis.hpp"

namespace tamsel::profile {

void schema_and_missingness(Analysis& a) {
    a.p_over_n = py::float_(0.0);
    a.miss_total = py::float_(0.0);
    a.rows_with_any_na = py::float_(0.0);
}

void distributions(Analysis& a) {
    a.outlier_share_overall = py::float_(0.0);
    a.scale_spread_ratio = py::float_(0.0);
}

void relationships(Analysis& a) { a.strong_corr_prop = py::float_(0.0); }

}  // namespace tamsel::profile
