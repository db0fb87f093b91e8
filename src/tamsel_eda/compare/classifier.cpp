// The domain classifier: a shallow gradient-boosted model asked to tell the
// reference's rows from the current side's, on a seeded sample of each side.
// Its cross-validated ROC AUC is near 0.5 when the sides look alike; the
// columns whose shuffling costs it most on held-out rows are the ones that
// separate them.
#include "compare.hpp"

namespace tamsel::compare {
namespace {

using pyapi::Frame;

py::dict unavailable(const char* reason) {
    py::dict out;
    out["auc"] = py::none();
    out["top_columns"] = py::list();
    out["column_importance"] = py::dict();
    out["rows_per_side"] = py::none();
    out["reason"] = reason;
    return out;
}

// Seeded positions, ascending: the same rows of a pandas frame and of the
// Dask frame made from it.
py::object positions(const Frame& f, Py_ssize_t rows, py::handle seed, int stream) {
    py::object np = f.g("np");
    py::object rng = np.attr("random").attr("default_rng")(py::make_tuple(seed, stream));
    const Py_ssize_t take = std::min(rows, classifier_rows);
    return np.attr("sort")(rng.attr("choice")(rows, take, "replace"_a = false));
}

py::object sample(const Frame& f, const Side& side, py::list columns, py::handle seed, int stream) {
    py::object pos = positions(f, side.rows, seed, stream);
    if (side.dask) {
        py::object driver = pyapi::steal_or_throw(PyImport_ImportModule("_profilon_dask.drift"));
        return driver.attr("take_rows")(side.frame, pos, columns);
    }
    return side.frame.attr("iloc")[pos][columns];
}

// The classifier's models are small (at most 10,000 rows): starting and
// spinning OpenMP threads for each of their histogram loops costs more than
// the loops (several times more on a loaded machine), and the models are the
// same on any thread count. They run on one.
py::dict fit_and_score(const Frame& f, py::list columns, py::object a, py::object b, py::handle seed);

py::dict fit_and_score(const Frame& f, py::list columns, py::object a, py::object b, py::handle seed) {
    py::object np = f.g("np");
    py::object pd = f.g("pd");
    const Py_ssize_t na = py::len(a), nb = py::len(b);
    py::object both = pd.attr("concat")(py::make_tuple(a, b), "ignore_index"_a = true);
    py::list features;
    py::object numeric = pd.attr("api").attr("types").attr("is_numeric_dtype");
    py::object is_bool = pd.attr("api").attr("types").attr("is_bool_dtype");
    for (Py_ssize_t j = 0; j < static_cast<Py_ssize_t>(py::len(columns)); ++j) {
        py::object s = both.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(j))];
        if (pyapi::truthy(numeric(s.attr("dtype"))) && !pyapi::truthy(is_bool(s.attr("dtype")))) {
            features.append(s.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan")));
        } else {
            // Level codes in the sorted order of the levels' text, whichever
            // side holds them: codes in order of first appearance would number
            // the levels first met in the current side's rows above all the
            // reference's, and the model would tell the sides apart by the
            // code of any many-valued column. A missing cell stays missing,
            // which the model handles on its own.
            py::object missing = s.attr("isna")().attr("to_numpy")();
            py::object codes = pd.attr("factorize")(s.attr("astype")("str"), "sort"_a = true)[py::int_(0)];
            py::object x = codes.attr("astype")("float64");
            x[missing] = np.attr("nan");
            features.append(x);
        }
    }
    py::object X = np.attr("column_stack")(features);
    py::object y = np.attr("concatenate")(
        py::make_tuple(np.attr("zeros")(na, "dtype"_a = "int64"), np.attr("ones")(nb, "dtype"_a = "int64")));
    py::object ensemble = pyapi::steal_or_throw(PyImport_ImportModule("sklearn.ensemble"));
    py::object selection = pyapi::steal_or_throw(PyImport_ImportModule("sklearn.model_selection"));
    py::object inspection = pyapi::steal_or_throw(PyImport_ImportModule("sklearn.inspection"));
    auto model = [&] {
        return ensemble.attr("HistGradientBoostingClassifier")("max_depth"_a = 3, "max_iter"_a = 30,
                                                               "early_stopping"_a = false, "random_state"_a = seed);
    };
    py::object folds =
        selection.attr("StratifiedKFold")("n_splits"_a = classifier_folds, "shuffle"_a = true, "random_state"_a = seed);
    // The first fold's model and its held-out rows also rank the columns:
    // shuffling one column of those rows costs the model that much AUC.
    py::object cv = selection.attr("cross_validate")(model(), X, y, "cv"_a = folds, "scoring"_a = "roc_auc",
                                                     "return_estimator"_a = true, "return_indices"_a = true);
    py::dict out;
    out["auc"] = pyapi::to_float(cv["test_score"].attr("mean")());
    py::object held_out = cv["indices"]["test"][py::int_(0)];
    py::object imp =
        inspection.attr("permutation_importance")(cv["estimator"][py::int_(0)], X[held_out], y[held_out],
                                                  "scoring"_a = "roc_auc", "n_repeats"_a = 1, "random_state"_a = seed);
    py::list means = imp.attr("importances_mean").attr("tolist")();
    py::dict importance;
    for (Py_ssize_t j = 0; j < static_cast<Py_ssize_t>(py::len(columns)); ++j) importance[columns[j]] = means[j];
    py::list ranked = pyapi::sorted_by_value_desc(f.globals(), importance.attr("items")());
    py::list top;
    for (py::handle kv : ranked) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(kv);
        if (py::len(top) >= static_cast<Py_ssize_t>(classifier_top_columns) || !(pyapi::as_double(pair[1]) > 0)) break;
        top.append(pair[0]);
    }
    out["top_columns"] = top;
    out["column_importance"] = importance;
    out["rows_per_side"] = py::make_tuple(na, nb);
    out["reason"] = py::none();
    return out;
}

}  // namespace

py::dict domain_classifier(const Frame& f, const Side& ref, const Side& cur, py::list columns, py::handle seed) {
    if (ref.frame.is_none()) return unavailable("a saved reference holds no rows to train on");
    if (columns.empty()) return unavailable("no numeric or categorical column is common to both sides");
    if (ref.rows < min_values || cur.rows < min_values) return unavailable("a side has fewer than 30 rows");
    py::object a = sample(f, ref, columns, seed, 0);
    py::object b = sample(f, cur, columns, seed, 1);
    py::object limits = pyapi::steal_or_throw(PyImport_ImportModule("threadpoolctl"))
                            .attr("threadpool_limits")("limits"_a = 1, "user_api"_a = "openmp");
    limits.attr("__enter__")();
    py::dict out;
    try {
        out = fit_and_score(f, columns, a, b, seed);
    } catch (...) {
        limits.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    limits.attr("__exit__")(py::none(), py::none(), py::none());
    return out;
}

}  // namespace tamsel::compare
