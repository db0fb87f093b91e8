// Robust statistics: skewness and kurtosis that never raise, the [0, 1]
// clamp, and the interquartile outlier share.
#include "../kernels/rules.hpp"
#include "stats.hpp"

namespace tamsel::stats {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;

py::object finite_part(const Frame& f, py::handle x) {
    py::object np = f.g("np");
    return x[np.attr("isfinite")(x)];
}

// The library's NaN for a sample without a second moment, without its
// warnings; a rebound global is always called.
bool known_nan(py::handle fn, const char* name, py::handle xf) {
    return is_library_function(fn, "scipy.stats", name) && moments_undefined(xf);
}

py::object safe_skew(const Frame& f) {
    return pyapi::guarded(
        [&]() -> py::object {
            py::object xf = finite_part(f, f.arg(1));
            py::object skew = f.g("scipy_skew");
            if (known_nan(skew, "skew", xf)) return py::float_(Py_NAN);
            return pyapi::to_float(skew(xf, "nan_policy"_a = "omit"));
        },
        [] { return py::none(); });
}

py::object safe_kurtosis(const Frame& f) {
    return pyapi::guarded(
        [&]() -> py::object {
            py::object xf = finite_part(f, f.arg(1));
            py::object kurtosis = f.g("scipy_kurtosis");
            if (known_nan(kurtosis, "kurtosis", xf)) return py::float_(Py_NAN);
            return pyapi::to_float(kurtosis(xf, "fisher"_a = true, "nan_policy"_a = "omit"));
        },
        [] { return py::none(); });
}

py::object pct(const Frame& f) {
    return pyapi::guarded([&]() -> py::object { return py::float_(clamp_unit(pyapi::as_double(f.arg(1)))); },
                          [] { return py::object(py::float_(0.0)); });
}

// Not guarded: an argument NumPy cannot test for finiteness or index
// reaches the caller.
py::object iqr_outlier_share(const Frame& f) {
    py::object np = f.g("np");
    py::object arr = finite_part(f, f.arg(1));
    if (py::int_(arr.attr("size")) < py::int_(5)) return py::float_(0.0);
    py::list quartiles;
    quartiles.append(25);
    quartiles.append(75);
    py::object q = np.attr("percentile")(arr, quartiles);
    py::object q1 = q[py::int_(0)];
    py::object q3 = q[py::int_(1)];
    py::object iqr = q3 - q1;
    if (pyapi::eq(iqr, py::int_(0))) return py::float_(0.0);
    py::object lo = q1 - py::float_(rules::iqr_fence) * iqr;
    py::object hi = q3 + py::float_(rules::iqr_fence) * iqr;
    py::object outside = pyapi::compare(arr, lo, Py_LT) | pyapi::compare(arr, hi, Py_GT);
    return pyapi::to_float(outside.attr("mean")());
}

constexpr Param array_param[] = {{"self"}, {"x", pyapi::ParamKind::positional_or_keyword, "NDArray"}};
constexpr Param float_param[] = {{"self"}, {"x", pyapi::ParamKind::positional_or_keyword, "float"}};
constexpr Param arr_param[] = {{"self"}, {"arr", pyapi::ParamKind::positional_or_keyword, "NDArray"}};

constexpr MethodDef table[] = {
    {"_safe_skew", array_param, "Optional[float]", nullptr, safe_skew},
    {"_safe_kurtosis", array_param, "Optional[float]", nullptr, safe_kurtosis},
    {"_pct", float_param, "float", nullptr, pct},
    {"_iqr_outlier_share", arr_param, "float", nullptr, iqr_outlier_share},
};

}  // namespace

double clamp_unit(double v) {
    const double m = (v < 1.0) ? v : 1.0;  // min(1.0, v)
    return (m > 0.0) ? m : 0.0;            // max(0.0, m)
}

std::span<const MethodDef> robust_methods() { return table; }

py::object target_vector(const Frame& f, py::handle y) {
    py::object numeric = f.g("pd").attr("to_numeric")(y, "errors"_a = "coerce");
    return numeric.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = f.g("np").attr("nan"));
}

}  // namespace tamsel::stats
