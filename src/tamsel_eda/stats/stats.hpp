// Statistical primitives: small failure-tolerant methods of EDA that the
// profiles and scores call.
#pragma once

#include <cstddef>
#include <optional>

#include "../pyapi/pyapi.hpp"

namespace tamsel::stats {

// _is_categorical, _is_numeric.
std::span<const pyapi::MethodDef> predicate_methods();
// _safe_skew, _safe_kurtosis, _pct, _iqr_outlier_share.
std::span<const pyapi::MethodDef> robust_methods();
// _spearman_abs, _corr_proportion_strong, _correlation_ratio_num_cat.
std::span<const pyapi::MethodDef> association_methods();

// The target as float64 with missing entries as NaN. `.values` of a nullable
// Int64/Float64 column is a pandas array, not a NumPy one: the skewness would
// fail on it and its missing entries would escape nan_to_num.
py::object target_vector(const pyapi::Frame& f, py::handle y);

// Within its scope NumPy's floating-point errors "divide" and "invalid"
// are ignored on this thread: a correlation of a constant column divides
// zero by zero by design, and its NaN is the answer.
class QuietFloatingPoint {
public:
    QuietFloatingPoint();
    ~QuietFloatingPoint();
    QuietFloatingPoint(const QuietFloatingPoint&) = delete;
    QuietFloatingPoint& operator=(const QuietFloatingPoint&) = delete;

private:
    py::object scope_;
};

// Whether `fn` is still `<module>.<name>` of the imported library; a module
// global that a caller rebound must be called as it is.
bool is_library_function(py::handle fn, const char* module, const char* name);

// Whether scipy.stats.skew and kurtosis answer NaN for these finite values
// (empty, or constant up to the running SciPy's tolerance of their mean).
bool moments_undefined(py::handle finite_values);

// How the running NumPy sums float64 values (kernels/pairwise.hpp): 0 when
// add.reduce sums the whole array in one pairwise pass, or the length of the
// pieces it sums one after the other; nothing when it matches neither, and a
// kernel that must give NumPy's bits then leaves the sum to NumPy. Asked
// anew at each call: np.setbufsize changes it.
std::optional<std::size_t> numpy_sum_block();
// The same of a sum that casts integers to float64 (add.reduce with
// dtype=float64, as pandas' mean of an integer column asks).
std::optional<std::size_t> numpy_cast_sum_block();

// Python's max(0.0, min(1.0, v)) on a float: NaN gives 1.0, because min()
// and max() keep their first argument unless a later one compares past it.
double clamp_unit(double v);

}  // namespace tamsel::stats
