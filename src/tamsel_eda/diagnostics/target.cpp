// Target diagnostics (skewness, kurtosis, zero share per target) and the
// target_quality component of one target.
#include "diagnostics.hpp"

namespace tamsel::diagnostics {
namespace {

// The target as float64 with missing entries as NaN. `.values` of a nullable
// Int64/Float64 column is a pandas array, not a NumPy one: the skewness would
// fail on it and its missing entries would escape nan_to_num.
py::object target_vector(const Analysis& a, py::handle y) {
    py::object numeric = a.g("pd").attr("to_numeric")(y, "errors"_a = "coerce");
    return numeric.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = a.g("np").attr("nan"));
}

// Missing entries count as zeros (nan_to_num turns them into 0.0), infinities
// do not (they become the largest finite floats).
py::object zero_share(const Analysis& a, py::handle yv) {
    py::object np = a.g("np");
    py::object zeros = pyapi::compare(np.attr("nan_to_num")(yv), py::float_(0.0), Py_EQ);
    return pyapi::to_float(np.attr("mean")(zeros));
}

void add_record(const Analysis& a, py::dict record, py::handle y) {
    py::object yv = target_vector(a, y);
    record["skew"] = a.method("_safe_skew")(yv);
    record["kurtosis"] = a.method("_safe_kurtosis")(yv);
    record["zero_share"] = zero_share(a, yv);
}

// abs(x or 0.0): None and 0.0 count as no deviation; NaN is truthy and stays.
py::object abs_or_zero(py::object x) {
    if (!pyapi::truthy(x)) x = py::float_(0.0);
    PyObject* r = PyNumber_Absolute(x.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace

void target_diagnostics(Analysis& a) {
    const auto n = py::len(a.target_cols);
    if (n == 0) return;
    if (n == 1) {
        py::object tgt = a.target_cols[0];
        a.target_diag["name"] = tgt;
        add_record(a, a.target_diag, a.df[tgt]);
        return;
    }
    py::dict per_t;
    for (py::handle tgt : a.target_cols) {
        py::dict record;
        add_record(a, record, a.df[tgt]);
        per_t[tgt] = record;
    }
    a.target_diag["per_target"] = per_t;
}

py::object target_quality_for(const Analysis& a, py::handle y_series) {
    py::object yv = target_vector(a, y_series);
    py::object sk = abs_or_zero(a.method("_safe_skew")(yv));
    py::object kt = abs_or_zero(a.method("_safe_kurtosis")(yv));
    // min() with the constant first: a NaN sum never compares smaller, so it
    // costs the full penalty.
    py::object pen =
        pyapi::builtin(a.frame.globals(), "min")(py::float_(0.6), py::float_(0.05) * sk + py::float_(0.03) * kt);
    return a.method("_pct")(py::float_(1.0) - pen);
}

}  // namespace tamsel::diagnostics
