// Association measures: absolute Spearman correlation, the share of strongly
// correlated feature pairs, and the correlation ratio of a numeric target
// over a categorical feature.
#include <cmath>

#include "stats.hpp"

namespace tamsel::stats {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;


py::object spearman_abs(const Frame& f) {
    return pyapi::guarded(
        [&]() -> py::object {
            auto [r, p] = pyapi::unpack_pair(f.g("spearmenr")(f.arg(1), f.arg(2), "nan_policy"_a = "omit"));
            // r == r is false only for NaN (a constant input); an array
            // coefficient raises on its truth value and ends in None.
            if (!pyapi::truthy(pyapi::compare(r, r, Py_EQ))) return py::none();
            py::object magnitude = py::reinterpret_steal<py::object>(PyNumber_Absolute(r.ptr()));
            if (!magnitude) throw py::error_already_set();
            return pyapi::to_float(magnitude);
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

// Groups run over the plain values rather than the categorical dtype, so a
// level that no complete row uses contributes nothing.
py::object correlation_ratio_num_cat(const Frame& f) {
    return pyapi::guarded(
        [&]() -> py::object {
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
            double ss_between = 0.0;
            py::object groups = df_tmp.attr("groupby")("g")[py::str("y")];
            for (py::handle item : groups) {
                auto [key, grp] = pyapi::unpack_pair(item);
                const py::int_ n_g = grp.attr("size");
                if (pyapi::eq(n_g, py::int_(0))) continue;
                const double d = pyapi::as_double(grp.attr("mean")()) - mu;
                // n_g * d ** 2 as the interpreter computes it: int times float.
                ss_between += pyapi::as_double(n_g) * std::pow(d, 2.0);
            }
            py::object dev = py::object(df_tmp[py::str("y")]) - py::float_(mu);
            py::object sq = py::reinterpret_steal<py::object>(PyNumber_Power(dev.ptr(), py::int_(2).ptr(), Py_None));
            if (!sq) throw py::error_already_set();
            const double ss_total = pyapi::as_double(sq.attr("sum")());
            if (ss_total == 0.0) return py::float_(0.0);
            return py::float_(ss_between / ss_total);
        },
        [] { return py::none(); });
}

constexpr Param spearman_params[] = {{"self"}, {"x", ParamKind::positional_or_keyword, "NDArray"},
                                     {"y", ParamKind::positional_or_keyword, "NDArray"}};
constexpr Param strong_params[] = {{"self"}, {"corr", ParamKind::positional_or_keyword, "DataFrame"},
                                   {"thr", ParamKind::positional_or_keyword, "float"}};
constexpr Param ratio_params[] = {{"self"}, {"y", ParamKind::positional_or_keyword, "Series"},
                                  {"x_cat", ParamKind::positional_or_keyword, "Series"}};

constexpr MethodDef table[] = {
    {"_spearman_abs", spearman_params, "Optional[float]", nullptr, spearman_abs},
    {"_corr_proportion_strong", strong_params, "float", nullptr, corr_proportion_strong},
    {"_correlation_ratio_num_cat", ratio_params, "Optional[float]",
     "Correlation ratio \u03b7\u00b2 for numeric y and categorical x.", correlation_ratio_num_cat},
};

}  // namespace

std::span<const MethodDef> association_methods() { return table; }

}  // namespace tamsel::stats
