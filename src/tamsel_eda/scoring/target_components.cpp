// The two components that differ per target: target_quality from the
// target's shape, ts_quality from the time axis and the target's
// stationarity test.
#include "scoring.hpp"

namespace tamsel::scoring {
namespace {

// abs(x or 0.0): None and 0.0 count as no deviation; NaN is truthy and stays.
py::object abs_or_zero(py::object x) {
    if (!pyapi::truthy(x)) x = py::float_(0.0);
    return pyapi::absolute(x);
}

}  // namespace

py::object target_quality_for(const Input& in, const analysis::TargetDiagnostics& target, py::handle tgt) {
    py::object record = target.record_by_target[tgt];
    py::object sk = abs_or_zero(record[py::str("skew")]);
    py::object kt = abs_or_zero(record[py::str("kurtosis")]);
    // min() with the constant first: a NaN sum never compares smaller, so it
    // costs the full penalty.
    py::object pen =
        pyapi::builtin(in.frame.globals(), "min")(py::float_(0.6), py::float_(0.05) * sk + py::float_(0.03) * kt);
    return in.method("_pct")(py::float_(1.0) - pen);
}

// A target whose series looks non-stationary (p-value above 0.1) costs 0.1;
// a missing p-value (short series, failed test) or a NaN one costs nothing.
py::object ts_quality_for(const Input& in, const analysis::TimeSeries& ts, py::handle tgt) {
    const bool has_axis = !ts.ts_df.is_none();
    py::object base = py::float_(has_axis ? ts.ts_base_quality : 1.0);
    if (has_axis) {
        py::object per_target = ts.ts_details.attr("get")("per_target");
        if (pyapi::truthy(per_target)) {
            py::object pt = per_target.attr("get")(tgt);
            if (!pt.is_none()) {
                py::object adf_p = pt.attr("get")("adfuller_pvalue");
                if (!adf_p.is_none() && pyapi::gt(adf_p, py::float_(0.1))) base = base - py::float_(0.1);
            }
        }
    }
    return in.method("_pct")(base);
}

}  // namespace tamsel::scoring
