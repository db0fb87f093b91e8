// Association measures: absolute Spearman correlation, the share of strongly
// correlated feature pairs, and the correlation ratio of a numeric target
// over a categorical feature.
#include <cmath>
#include <string>

#include "../kernels/libm.hpp"
#include "../pyapi/declines.hpp"
#include "correlation_ratio_native.hpp"
#include "stats.hpp"

namespace tamsel::stats {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;

// scipy.stats.spearmanr's own test for a constant input, on the pair of
// columns it stacks (so values that only become equal as floats count as
// equal there too); it warns, and answers NaN when no value is missing.
// With a missing value nan_policy="omit" hands the pair to the masked-array
// version, whose answer for a constant column depends on NumPy's masked
// corrcoef (0.0 with NumPy 2): the library's to give. One-dimensional
// numeric inputs only: anything else is the library's to judge.
bool constant_input(py::handle x, py::handle y) {
    py::module_ np = py::module_::import("numpy");
    py::object xa = np.attr("asarray")(x), ya = np.attr("asarray")(y);
    if (!pyapi::eq(xa.attr("ndim"), py::int_(1)) || !pyapi::eq(ya.attr("ndim"), py::int_(1))) return false;
    if (!pyapi::eq(xa.attr("shape"), ya.attr("shape")) || py::len(xa) <= 1) return false;
    py::object stacked = np.attr("column_stack")(py::make_tuple(xa, ya));
    const std::string kind = py::str(stacked.attr("dtype").attr("kind"));
    if (kind == "f") {
        if (pyapi::truthy(np.attr("isnan")(stacked).attr("any")())) return false;
    } else if (kind != "i" && kind != "u" && kind != "b") {
        return false;
    }
    py::object all = pyapi::steal_or_throw(PySlice_New(nullptr, nullptr, nullptr));
    for (int j = 0; j < 2; ++j) {
        py::object col = stacked[py::make_tuple(all, py::int_(j))];
        if (pyapi::truthy(pyapi::compare(col[py::int_(0)], col, Py_EQ).attr("all")())) return true;
    }
    return false;
}

py::object spearman_abs(const Frame& f) {
    return pyapi::guarded(
        [&]() -> py::object {
            py::object spearmanr = f.g("spearmenr");
            if (is_library_function(spearmanr, "scipy.stats", "spearmanr") && constant_input(f.arg(1), f.arg(2))) {
                return py::none();
            }
            auto [r, p] = pyapi::unpack_pair(spearmanr(f.arg(1), f.arg(2), "nan_policy"_a = "omit"));
            // r == r is false only for NaN (a constant input); an array
            // coefficient raises on its truth value and ends in None.
            if (!pyapi::truthy(pyapi::compare(r, r, Py_EQ))) return py::none();
            return pyapi::to_float(pyapi::absolute(r));
        },
        [] { return py::none(); });
}

// Not guarded beyond the emptiness test: a non-numeric matrix or an
// incomparable threshold is NumPy's error to report.
py::object corr_proportion_strong(const Frame& f) {
    py::handle corr = f.arg(1);
    py::object empty = pyapi::optional_attr(corr, py::str("empty"));
    if (!empty || pyapi::truthy(empty)) return py::float_(0.0);
    py::object np = f.g("np");
    py::object m = corr.attr("values").attr("copy")();
    m = np.attr("abs")(m);
    np.attr("fill_diagonal")(m, 0.0);
    py::object strong = pyapi::compare(m, f.arg(2), Py_GE).attr("sum")();
    py::object total = py::object(m.attr("size")) - pyapi::builtin(f.globals(), "len")(corr);
    if (!pyapi::gt(total, py::int_(0))) return py::float_(0.0);
    return py::float_(pyapi::as_double(strong) / pyapi::as_double(total));
}

// The group means as pandas' `float(grp.mean())` over a float64 column:
// the float64 sum of the group's values, in row order, divided by its count.
// pandas iterates the groups in ngroup() order, each holding its rows in
// their original order (a stable sort by group number), so summing the same
// contiguous runs of a stably sorted copy gives the same bits without one
// Series per group. Other dtypes keep pandas' own per-group reduction, whose
// sum type and NA handling differ.
double ss_between_float64(const Frame& f, py::handle group_by, py::handle y, double mu) {
    py::object np = f.g("np");
    py::object ids = group_by.attr("ngroup")().attr("to_numpy")();
    py::object order = np.attr("argsort")(ids, "kind"_a = "stable");
    py::object sorted = y.attr("take")(order);
    py::list sizes = np.attr("bincount")(ids).attr("tolist")();
    py::object add_reduce = np.attr("add").attr("reduce");
    double ss_between = 0.0;
    Py_ssize_t start = 0;
    for (py::handle size : sizes) {
        const Py_ssize_t n_g = PyLong_AsSsize_t(size.ptr());
        if (n_g == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (n_g == 0) continue;
        py::object run = pyapi::steal_or_throw(PySequence_GetSlice(sorted.ptr(), start, start + n_g));
        start += n_g;
        const double d = pyapi::as_double(add_reduce(run)) / static_cast<double>(n_g) - mu;
        ss_between += static_cast<double>(n_g) * kernels::libm_pow(d, 2.0);
    }
    return ss_between;
}

// Groups run over the plain values rather than the categorical dtype, so a
// level that no complete row uses contributes nothing.
py::object correlation_ratio_num_cat(const Frame& f) {
    return pyapi::guarded(
        [&]() -> py::object {
            if (py::object native = native_correlation_ratio(f)) return native;
            pyapi::note_decline(f.globals(), "correlation_ratio");
            py::object pd = f.g("pd");
            py::object yv = pd.attr("to_numeric")(f.arg(1), "errors"_a = "coerce");
            py::object gv = f.arg(2).attr("astype")("category");
            py::object valid = ~(yv.attr("isna")() | gv.attr("isna")());
            yv = yv[valid];
            gv = gv[valid];
            if (py::reinterpret_borrow<py::object>(yv.attr("size")) < py::int_(2)) return py::none();
            const double mu = pyapi::as_double(yv.attr("mean")());
            py::dict columns;
            columns["y"] = yv.attr("to_numpy")();
            columns["g"] = gv.attr("to_numpy")();
            py::object df_tmp = pd.attr("DataFrame")(columns);
            py::object y_col = df_tmp[py::str("y")];
            py::object groups = df_tmp.attr("groupby")("g")[py::str("y")];
            double ss_between = 0.0;
            py::object y_values = y_col.attr("to_numpy")();
            if (pyapi::eq(y_values.attr("dtype"), f.g("np").attr("float64"))) {
                ss_between = ss_between_float64(f, groups, y_values, mu);
            } else {
                for (py::handle item : groups) {
                    auto [key, grp] = pyapi::unpack_pair(item);
                    const py::int_ n_g = grp.attr("size");
                    if (pyapi::eq(n_g, py::int_(0))) continue;
                    const double d = pyapi::as_double(grp.attr("mean")()) - mu;
                    // n_g * d ** 2 as the interpreter computes it: int times
                    // float, the square by the C library's pow.
                    ss_between += pyapi::as_double(n_g) * kernels::libm_pow(d, 2.0);
                }
            }
            py::object dev = y_col - py::float_(mu);
            py::object sq = pyapi::steal_or_throw(PyNumber_Power(dev.ptr(), py::int_(2).ptr(), Py_None));
            const double ss_total = pyapi::as_double(sq.attr("sum")());
            if (ss_total == 0.0) return py::float_(0.0);
            return py::float_(ss_between / ss_total);
        },
        [] { return py::none(); });
}

constexpr Param spearman_params[] = {
    {"self"}, {"x", ParamKind::positional_or_keyword, "NDArray"}, {"y", ParamKind::positional_or_keyword, "NDArray"}};
constexpr Param strong_params[] = {{"self"},
                                   {"corr", ParamKind::positional_or_keyword, "DataFrame"},
                                   {"thr", ParamKind::positional_or_keyword, "float"}};
constexpr Param ratio_params[] = {
    {"self"}, {"y", ParamKind::positional_or_keyword, "Series"}, {"x_cat", ParamKind::positional_or_keyword, "Series"}};

constexpr MethodDef table[] = {
    {"_spearman_abs", spearman_params, "Optional[float]", nullptr, spearman_abs},
    {"_corr_proportion_strong", strong_params, "float", nullptr, corr_proportion_strong},
    {"_correlation_ratio_num_cat", ratio_params, "Optional[float]",
     "Correlation ratio \u03b7\u00b2 for numeric y and categorical x.", correlation_ratio_num_cat},
};

}  // namespace

std::span<const MethodDef> association_methods() { return table; }

}  // namespace tamsel::stats
