// The rows and the model input of one target: which rows can take part, the
// seeded sample of them, the feature matrix and the folds.
#include "signal.hpp"

namespace tamsel::signal::detail {
namespace {

using pyapi::Frame;

py::object types_fn(const Frame& f, const char* name) { return f.g("pd").attr("api").attr("types").attr(name); }

// Integer codes of a non-numeric column (first appearance order, missing as
// NaN). Past the boosted model's bin limit, the most frequent levels keep
// their own codes and the rest share one "other" code.
py::object category_codes(const Frame& f, py::handle column, Py_ssize_t& levels) {
    py::object np = f.g("np");
    py::tuple fz = f.g("pd").attr("factorize")(column, "use_na_sentinel"_a = true);
    py::object codes = fz[0];
    levels = static_cast<Py_ssize_t>(py::len(fz[1]));
    py::object known = pyapi::compare(codes, py::int_(0), Py_GE);
    if (levels > max_boosted_levels) {
        py::object counts = np.attr("bincount")(codes[known], "minlength"_a = levels);
        const Py_ssize_t kept = max_boosted_levels - 1;
        // Stable, so equal counts keep their first-appearance order.
        py::object order = pyapi::head(np.attr("argsort")(counts.attr("__neg__")(), "kind"_a = "stable"), kept);
        py::object remap = np.attr("full")(levels, kept, "dtype"_a = "int64");
        remap[order] = np.attr("arange")(kept);
        codes = np.attr("where")(known, remap.attr("take")(np.attr("where")(known, codes, 0)), -1);
        levels = max_boosted_levels;
    }
    py::object out = codes.attr("astype")("float64");
    out[pyapi::compare(codes, py::int_(0), Py_LT)] = np.attr("nan");
    return out;
}

}  // namespace

py::object unusable_target(const Frame& f, py::handle df, py::handle target) {
    py::object column = df[target];
    if (!pyapi::truthy(types_fn(f, "is_numeric_dtype")(column))) {
        return pyapi::concat({"target ", py::repr(target), " is not numeric (its type is ",
                              pyapi::format(column.attr("dtype")), "): the signal check needs a numeric target"});
    }
    return py::object();
}

Design design(const Frame& f, py::handle df, py::handle target, py::handle excluded, const TimeAxis& time,
              const Settings& s) {
    py::object np = f.g("np");
    Design d;

    py::object y_all = df[target].attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    py::object usable = np.attr("isfinite")(y_all);
    if (time.stamps) usable = usable.attr("__and__")(time.stamps.attr("notna")().attr("to_numpy")());
    py::object rows = np.attr("flatnonzero")(usable);
    d.rows_available = static_cast<Py_ssize_t>(py::len(rows));
    if (d.rows_available > s.sample_rows) {
        py::object rng = np.attr("random").attr("default_rng")(s.seed);
        rows = np.attr("sort")(rng.attr("choice")(rows, s.sample_rows, "replace"_a = false));
    }
    if (time.stamps) {
        // Each fold must train on the past only: the sample is put in time
        // order, ties in row order.
        py::object when = time.stamps.attr("to_numpy")().attr("take")(rows);
        rows = rows.attr("take")(np.attr("argsort")(when, "kind"_a = "stable"));
    }
    d.rows_used = static_cast<Py_ssize_t>(py::len(rows));
    d.y = y_all.attr("take")(rows);

    py::object sample = df.attr("iloc")[rows];
    py::object is_numeric = types_fn(f, "is_numeric_dtype");
    py::object is_time = types_fn(f, "is_datetime64_any_dtype");
    py::object is_timedelta = types_fn(f, "is_timedelta64_dtype");
    py::list columns;
    py::list mask;
    for (py::handle c : df.attr("columns")) {
        if (pyapi::contains(excluded, c)) continue;
        py::object col = sample[c];
        if (pyapi::truthy(is_numeric(col))) {
            py::object values = col.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
            // Without one known value a column tells the models nothing (and
            // the imputer would drop it with a warning per fold).
            if (!pyapi::truthy(np.attr("isfinite")(values).attr("any")())) continue;
            columns.append(values);
            d.numeric_idx.append(py::len(d.features));
            mask.append(false);
        } else if (pyapi::truthy(is_time(col)) || pyapi::truthy(is_timedelta(col))) {
            continue;  // stamps are no features: a model would learn the calendar of this sample
        } else {
            Py_ssize_t levels = 0;
            // Values pandas cannot hash (lists, dicts) leave the column out.
            py::object codes =
                pyapi::guarded([&] { return category_codes(f, col, levels); }, [] { return py::object(); });
            if (!codes) continue;
            columns.append(codes);
            if (levels <= max_one_hot_levels) d.one_hot_idx.append(py::len(d.features));
            mask.append(true);
        }
        d.features.append(c);
    }
    d.categorical = np.attr("array")(mask, "dtype"_a = "bool");
    if (columns.empty()) {
        d.X = np.attr("empty")(py::make_tuple(d.rows_used, 0));
    } else {
        d.X = np.attr("ascontiguousarray")(np.attr("column_stack")(columns), "dtype"_a = "float64");
    }
    return d;
}

py::object unusable_sample(const Design& d, const Settings& s) {
    // Rows first: without them every column looks empty.
    const Py_ssize_t needed = s.folds * min_rows_per_fold;
    if (d.rows_used < needed) {
        py::str what = d.rows_used < d.rows_available
                           ? pyapi::concat({"the sample holds ", pyapi::format(py::int_(d.rows_used)),
                                            " rows (sample_rows=", pyapi::format(py::int_(s.sample_rows)), ")"})
                           : pyapi::concat({pyapi::format(py::int_(d.rows_used)), " rows have a usable target value"});
        return pyapi::concat({"too few rows: ", what, ", and ", pyapi::format(py::int_(s.folds)),
                              " folds need at least ", pyapi::format(py::int_(needed))});
    }
    if (d.features.empty()) {
        return pyapi::text(
            "no feature column with a known value is left besides the targets and the time axis: nothing to predict "
            "from");
    }
    py::object finite_y = d.y;
    if (pyapi::eq(finite_y.attr("min")(), finite_y.attr("max")())) {
        return pyapi::concat({"the target has one value (", pyapi::format(finite_y.attr("item")(0)),
                              ") on every usable row: there is nothing to predict"});
    }
    return py::object();
}

py::list splits(const Design& d, bool time_ordered, const Settings& s) {
    py::object selection = py::module_::import("sklearn.model_selection");
    py::object splitter =
        time_ordered ? selection.attr("TimeSeriesSplit")("n_splits"_a = s.folds)
                     : selection.attr("KFold")("n_splits"_a = s.folds, "shuffle"_a = true, "random_state"_a = s.seed);
    return py::list(splitter.attr("split")(d.X));
}

}  // namespace tamsel::signal::detail
