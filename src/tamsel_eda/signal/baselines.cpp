// The baselines of one target, each cross-validated on the same folds: a
// ridge regression, histogram gradient boosting, the boosted model again on a
// target whose link to the features is broken (chance), and every feature
// on its own as a binned mean.
#include <algorithm>
#include <cmath>

#include "signal.hpp"

namespace tamsel::signal::detail {
namespace {

using pyapi::Frame;

py::module_ sk(const char* name) { return py::module_::import(name); }

py::object linear_model(const Frame& f, const Design& d) {
    py::object pipe = sk("sklearn.pipeline").attr("make_pipeline");
    py::object impute = sk("sklearn.impute").attr("SimpleImputer");
    py::module_ pre = sk("sklearn.preprocessing");
    py::list parts;
    if (!d.numeric_idx.empty()) {
        // The indicator columns let the model tell an imputed median from a
        // measured one.
        parts.append(py::make_tuple(
            "numeric", pipe(impute("strategy"_a = "median", "add_indicator"_a = true), pre.attr("StandardScaler")()),
            d.numeric_idx));
    }
    if (!d.one_hot_idx.empty()) {
        // Missing codes become a level of their own.
        parts.append(
            py::make_tuple("categorical",
                           pipe(impute("strategy"_a = "constant", "fill_value"_a = -1.0),
                                pre.attr("OneHotEncoder")("handle_unknown"_a = "ignore", "sparse_output"_a = false)),
                           d.one_hot_idx));
    }
    // Only high-cardinality categoricals: a linear model has nothing to
    // read, and the constant prediction is its honest baseline.
    if (parts.empty()) return sk("sklearn.dummy").attr("DummyRegressor")();
    py::object alphas = f.g("np").attr("logspace")(-3, 3, 13);
    return pipe(sk("sklearn.compose").attr("ColumnTransformer")(parts),
                sk("sklearn.linear_model").attr("RidgeCV")("alphas"_a = alphas));
}

py::object boosted_model(const Design& d, const Settings& s) {
    const bool any_categorical = pyapi::truthy(d.categorical.attr("any")());
    // The mask is given even when empty: the library's default for it has
    // changed between releases. Early stopping on every sample size (the
    // library's default turns it on only past 10,000 rows): on a small
    // sample it stops the chance fits before they memorise noise, which
    // would lower the chance level and flatter the verdict.
    py::object categorical = any_categorical ? d.categorical : py::none();
    return sk("sklearn.ensemble")
        .attr("HistGradientBoostingRegressor")("categorical_features"_a = categorical, "early_stopping"_a = true,
                                               "random_state"_a = s.seed);
}

double mean_of(const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v) sum += x;
    return v.empty() ? NAN : sum / static_cast<double>(v.size());
}

// Fits a fresh copy of `model` per fold and scores it on the held-out rows.
// With `importance`, the permutation importance of each fold's model on its
// held-out rows is added up there.
Scores cross_validate(py::handle model, const Design& d, py::handle y, py::handle folds, py::object* importance,
                      py::handle importance_rng) {
    py::object clone = sk("sklearn.base").attr("clone");
    py::object r2_score = sk("sklearn.metrics").attr("r2_score");
    py::object permutation_importance = sk("sklearn.inspection").attr("permutation_importance");
    Scores out;
    for (py::handle fold : folds) {
        py::object train = fold[py::int_(0)];
        py::object test = fold[py::int_(1)];
        py::object X_test = d.X.attr("take")(test, "axis"_a = 0);
        py::object y_test = y.attr("take")(test);
        py::object fitted = clone(model).attr("fit")(d.X.attr("take")(train, "axis"_a = 0), y.attr("take")(train));
        out.per_fold.push_back(pyapi::as_double(r2_score(y_test, fitted.attr("predict")(X_test))));
        if (importance) {
            py::object drop = permutation_importance(fitted, X_test, y_test, "scoring"_a = "r2", "n_repeats"_a = 1,
                                                     "random_state"_a = importance_rng)
                                  .attr("importances_mean");
            *importance = importance->is_none() ? drop : py::object(importance->attr("__add__")(drop));
        }
    }
    out.mean = mean_of(out.per_fold);
    return out;
}

// Held-out R² of one feature on its own, predicted by a smooth function
// of it learnt on the training rows: the mean target of each quantile bin,
// interpolated between the bins' mean values (so that a copy of the target,
// or any monotone function of one, scores about 1 however few rows a bin
// holds). Rows where the feature is missing (or infinite) are predicted by
// the training rows where it is missing, else by the training mean.
double numeric_alone(const Frame& f, py::handle x, py::handle y, py::handle folds) {
    py::object np = f.g("np");
    py::object r2_score = sk("sklearn.metrics").attr("r2_score");
    std::vector<double> per_fold;
    for (py::handle fold : folds) {
        py::object train = fold[py::int_(0)];
        py::object test = fold[py::int_(1)];
        py::object x_train = x.attr("take")(train);
        py::object y_train = y.attr("take")(train);
        py::object known = np.attr("isfinite")(x_train);
        py::object unknown = known.attr("__invert__")();
        py::object fallback =
            pyapi::truthy(unknown.attr("any")()) ? y_train[unknown].attr("mean")() : y_train.attr("mean")();
        py::object x_test = x.attr("take")(test);
        py::object predicted = np.attr("full")(py::len(x_test), fallback);
        py::object xk = x_train[known];
        const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(xk));
        if (n > 0) {
            py::object yk = y_train[known];
            const Py_ssize_t n_bins = std::max<Py_ssize_t>(1, std::min<Py_ssize_t>(alone_bins, n / alone_rows_per_bin));
            py::object quantiles = np.attr("linspace")(0.0, 1.0, n_bins + 1)[py::slice(1, n_bins, 1)];
            py::object edges = np.attr("unique")(np.attr("quantile")(xk, quantiles));
            py::object bins = np.attr("searchsorted")(edges, xk, "side"_a = "right");
            const Py_ssize_t m = static_cast<Py_ssize_t>(py::len(edges)) + 1;
            py::object counts = np.attr("bincount")(bins, "minlength"_a = m);
            py::object filled = pyapi::compare(counts, py::int_(0), Py_GT);
            py::object used = counts[filled];
            // Bins are disjoint intervals in order, so their mean values
            // increase as interpolation needs.
            py::object centers =
                np.attr("bincount")(bins, "weights"_a = xk, "minlength"_a = m)[filled].attr("__truediv__")(used);
            py::object means =
                np.attr("bincount")(bins, "weights"_a = yk, "minlength"_a = m)[filled].attr("__truediv__")(used);
            py::object finite = np.attr("isfinite")(x_test);
            predicted[finite] = np.attr("interp")(x_test[finite], centers, means);
        }
        per_fold.push_back(pyapi::as_double(r2_score(y.attr("take")(test), predicted)));
    }
    return mean_of(per_fold);
}

// The same for a categorical feature: the training rows' mean target per
// level (missing values a level of their own; a level no training row has
// predicts the training mean).
double categorical_alone(const Frame& f, py::handle x, py::handle y, py::handle folds) {
    py::object np = f.g("np");
    py::object r2_score = sk("sklearn.metrics").attr("r2_score");
    py::object missing = np.attr("isnan")(x);
    py::object codes = np.attr("where")(missing, 0, x).attr("astype")("int64");
    const Py_ssize_t missing_code =
        pyapi::truthy(missing.attr("all")()) ? 0 : py::cast<Py_ssize_t>(codes.attr("max")()) + 1;
    codes[missing] = missing_code;
    const Py_ssize_t m = missing_code + 1;
    std::vector<double> per_fold;
    for (py::handle fold : folds) {
        py::object train_codes = codes.attr("take")(fold[py::int_(0)]);
        py::object train_y = y.attr("take")(fold[py::int_(0)]);
        py::object counts = np.attr("bincount")(train_codes, "minlength"_a = m);
        py::object sums = np.attr("bincount")(train_codes, "weights"_a = train_y, "minlength"_a = m);
        py::object means = np.attr("full")(m, train_y.attr("mean")());
        np.attr("divide")(sums, counts, "out"_a = means, "where"_a = pyapi::compare(counts, py::int_(0), Py_GT));
        py::object predicted = means.attr("take")(codes.attr("take")(fold[py::int_(1)]));
        per_fold.push_back(pyapi::as_double(r2_score(y.attr("take")(fold[py::int_(1)]), predicted)));
    }
    return mean_of(per_fold);
}

py::object alone_r2(const Frame& f, const Design& d, py::handle folds) {
    const Py_ssize_t n_features = static_cast<Py_ssize_t>(py::len(d.features));
    py::list out;
    for (Py_ssize_t j = 0; j < n_features; ++j) {
        py::object x = d.X[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)];
        const bool categorical = pyapi::truthy(d.categorical[py::int_(j)]);
        out.append(py::float_(categorical ? categorical_alone(f, x, d.y, folds) : numeric_alone(f, x, d.y, folds)));
    }
    return out;
}

}  // namespace

Baselines baselines(const Frame& f, const Design& d, py::handle folds, bool time_ordered, const Settings& s) {
    py::object np = f.g("np");
    Baselines b;
    b.linear = cross_validate(linear_model(f, d), d, d.y, folds, nullptr, py::none());

    py::object boosted = boosted_model(d, s);
    py::object importance = py::none();
    py::object importance_rng = np.attr("random").attr("RandomState")(s.seed);
    b.boosted = cross_validate(boosted, d, d.y, folds, &importance, importance_rng);
    b.importance = importance.attr("__truediv__")(py::len(folds));

    // Chance keeps what the target is on its own and breaks only its link to
    // the features. In time order a permutation would also destroy the
    // target's autocorrelation, which a time-ordered split rewards: there the
    // target is shifted round the sample instead, repeat r by r/(R+1) of it.
    py::list entropy;
    entropy.append(s.seed);
    entropy.append(1);
    py::object rng = np.attr("random").attr("default_rng")(entropy);
    for (Py_ssize_t r = 0; r < s.chance_repeats; ++r) {
        py::object y_chance;
        if (time_ordered) {
            const Py_ssize_t shift = (d.rows_used * (r + 1)) / (s.chance_repeats + 1);
            y_chance = np.attr("roll")(d.y, shift);
        } else {
            y_chance = rng.attr("permutation")(d.y);
        }
        Scores chance = cross_validate(boosted, d, y_chance, folds, nullptr, py::none());
        b.chance_per_fold.insert(b.chance_per_fold.end(), chance.per_fold.begin(), chance.per_fold.end());
    }
    b.alone_r2 = alone_r2(f, d, folds);
    return b;
}

}  // namespace tamsel::signal::detail
