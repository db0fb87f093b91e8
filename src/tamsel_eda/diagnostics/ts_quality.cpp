// Time-series quality: one base quality for the time axis, refined per
// target by its stationarity test.
#include "diagnostics.hpp"

namespace tamsel::diagnostics {

// The shares go through _pct, so a negative missing share never raises the
// quality; the final clamp keeps it at 0.1 or more.
void base_ts_quality(Analysis& a, py::handle irregular_share, py::handle missing_ts_share, bool enough_hist) {
    py::object pct = a.method("_pct");
    a.ts_base_quality -= 0.4 * pyapi::as_double(pct(irregular_share));
    a.ts_base_quality -= 0.3 * pyapi::as_double(pct(missing_ts_share));
    if (!enough_hist) a.ts_base_quality -= 0.2;
    a.ts_base_quality = pyapi::as_double(pct(py::float_(a.ts_base_quality)));
}

// A target whose series looks non-stationary (p-value above 0.1) costs 0.1;
// a missing p-value (short series, failed test) or a NaN one costs nothing.
py::object ts_quality_for(const Analysis& a, py::handle tgt) {
    const bool has_axis = !a.ts_df.is_none();
    py::object base = py::float_(has_axis ? a.ts_base_quality : 1.0);
    if (has_axis) {
        py::object per_target = a.ts_details.attr("get")("per_target");
        if (pyapi::truthy(per_target)) {
            py::object pt = per_target.attr("get")(tgt);
            if (!pt.is_none()) {
                py::object adf_p = pt.attr("get")("adfuller_pvalue");
                if (!adf_p.is_none() && pyapi::gt(adf_p, py::float_(0.1))) base = base - py::float_(0.1);
            }
        }
    }
    return a.method("_pct")(base);
}

}  // namespace tamsel::diagnostics
