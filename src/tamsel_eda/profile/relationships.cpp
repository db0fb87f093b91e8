// Relationship profile: the correlation matrix and its share of strong
// pairs, numeric relevance per target (mutual information, Spearman
// fallback) and categorical relevance per target (correlation ratio).
#include "analysis.hpp"
#include "corr_native.hpp"

namespace tamsel::profile {
namespace {

constexpr Py_ssize_t relevance_sample_rows = 8000;

bool is_numeric_dtype(const Analysis& a, py::handle s) {
    return pyapi::truthy(a.g("pd").attr("api").attr("types").attr("is_numeric_dtype")(s));
}

// df[num_cols] copies every numeric column before corr() builds its own
// float matrix from them, so on a long frame the copy alone is as large as
// the numeric data. When the numeric part of df is exactly num_cols, in
// order, corr() over it pairs the same columns with the same values and
// gives the same matrix without that copy. Any other outcome (other columns,
// an error) takes the plain selection, whose own error is what the guard of
// the caller sees.
py::object numeric_correlation(const Analysis& a) {
    if (py::object native = native_correlation(a)) return native;
    py::object direct = pyapi::guarded(
        [&]() -> py::object {
            py::object m = a.df.attr("corr")("method"_a = a.corr_method, "numeric_only"_a = true);
            if (pyapi::eq(py::list(m.attr("columns")), a.num_cols)) return m;
            return py::object();
        },
        [] { return py::object(); });
    if (direct) return direct;
    return a.df[a.num_cols].attr("corr")("method"_a = a.corr_method);
}

void correlation(Analysis& a) {
    py::object pd = a.g("pd");
    a.corr_df = pd.attr("DataFrame")();
    pyapi::guarded_void([&] {
        if (py::len(a.num_cols) >= 2) a.corr_df = numeric_correlation(a);
    });
    // A failed corr() never assigns, so the empty frame stands.
    a.strong_corr_prop = a.method("_corr_proportion_strong")(a.corr_df, "thr"_a = 0.95);
}

// The rows pandas' X.sample(8000, random_state=0) draws, as positions: the
// draw depends only on the number of rows, and positions select the same
// rows of X and of the target even when row labels repeat (selecting the
// target by label would then return extra rows).
py::object sample_positions(const Analysis& a, Py_ssize_t n) {
    py::object positions = a.g("pd").attr("Series")(a.g("np").attr("arange")(n));
    return positions.attr("sample")(relevance_sample_rows, "random_state"_a = 0).attr("to_numpy")();
}

py::dict spearman_fallback(const Analysis& a, py::handle Xs, py::handle ys, py::handle cols) {
    py::dict rel;
    pyapi::guarded_void([&] {
        py::object to_numeric = a.g("pd").attr("to_numeric");
        py::object spearman_abs = a.method("_spearman_abs");
        py::object y_vals;
        for (py::handle c : cols) {
            if (!y_vals) y_vals = to_numeric(ys, "errors"_a = "coerce").attr("values");
            py::object x_vals = to_numeric(Xs[c], "errors"_a = "coerce").attr("values");
            py::object r = spearman_abs(x_vals, y_vals);
            if (!r.is_none()) rel[c] = r;
        }
    });
    return rel;
}

void numeric_relevance(Analysis& a) {
    if (a.target_cols.empty()) return;
    py::object np = a.g("np");
    py::list number;
    number.append(np.attr("number"));
    py::object nums_for_X = a.df.attr("drop")("columns"_a = a.target_cols, "errors"_a = "ignore")
                                .attr("select_dtypes")("include"_a = number);
    if (pyapi::truthy(nums_for_X.attr("empty"))) return;

    py::object min = pyapi::builtin(a.frame.globals(), "min");
    py::object zip = pyapi::builtin(a.frame.globals(), "zip");
    py::object mi_reg = a.g("_mi_reg");
    const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(nums_for_X));
    // Every target sees the same sampled rows.
    py::object positions = n > relevance_sample_rows ? sample_positions(a, n) : py::object();
    py::object Xs = positions ? nums_for_X.attr("take")(positions) : nums_for_X;

    for (py::handle tgt : a.target_cols) {
        py::object y = a.df[tgt];
        if (!is_numeric_dtype(a, y)) continue;
        py::object ys = positions ? y.attr("take")(positions) : y;
        py::object k = min(a.max_mi_features, py::tuple(Xs.attr("shape"))[1]);
        py::object cols = head(py::list(Xs.attr("columns")), k);

        py::dict rel = pyapi::guarded(
            [&]() -> py::dict {
                py::object mi_vals = mi_reg(Xs[cols], ys, "discrete_features"_a = false);
                py::dict scores;
                for (py::handle pair : zip(cols, mi_vals)) {
                    py::tuple cv = py::reinterpret_borrow<py::tuple>(pair);
                    scores[cv[0]] = pyapi::to_float(py::object(cv[1]));
                }
                return scores;
            },
            [] { return py::dict(); });
        if (rel.empty()) rel = spearman_fallback(a, Xs, ys, cols);
        if (!rel.empty()) a.num_rel_by_target[tgt] = rel;
    }
}

// Not guarded: _correlation_ratio_num_cat answers None for what it cannot
// measure, and anything else is the analysis' error.
void categorical_relevance(Analysis& a) {
    if (a.target_cols.empty() || a.cat_cols.empty()) return;
    py::object min = pyapi::builtin(a.frame.globals(), "min");
    py::object cat_subset = head(a.cat_cols, min(a.max_cat_features, py::len(a.cat_cols)));
    py::object ratio = a.method("_correlation_ratio_num_cat");
    for (py::handle tgt : a.target_cols) {
        py::object y = a.df[tgt];
        if (!is_numeric_dtype(a, y)) continue;
        py::dict rel;
        for (py::handle c : cat_subset) {
            py::object val = ratio(y, a.df[c]);
            if (!val.is_none()) rel[c] = pyapi::to_float(val);
        }
        if (!rel.empty()) a.cat_rel_by_target[tgt] = rel;
    }
}

}  // namespace

void relationships(Analysis& a) {
    correlation(a);
    numeric_relevance(a);
    categorical_relevance(a);
}

}  // namespace tamsel::profile
