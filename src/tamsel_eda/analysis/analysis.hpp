// The values one call of eda_report_and_score passes between its steps,
// under the names the documentation gives them. The entry fills Input; each
// step reads the Input and the sections it names in its signature and
// returns its own section. Nothing outlives the call.
#pragma once

#include "../pyapi/pyapi.hpp"

namespace tamsel::analysis {

// The arguments, the frame's shape and the column typing.
struct Input {
    explicit Input(const pyapi::Frame& frame) : frame(frame), self(frame.self()) {}

    // Module global (pd, np, _mi_reg, ...) as the running method sees it.
    py::object g(const char* name) const { return frame.g(name); }
    // A method of the EDA object, looked up on the instance so that a
    // subclass override takes effect.
    py::object method(const char* name) const { return self.attr(name); }

    const pyapi::Frame& frame;
    py::handle self;

    // The rows: the pandas frame (a foreign frame converted); None for a Dask
    // frame, whose rows only the driver reads.
    py::object df;
    // The frame the columns are typed from, their labels and dtypes: df
    // itself, or a Dask frame's empty pandas metadata.
    py::object meta;

    // meta[label], looked up once per frame: the steps read each column many
    // times, and pandas 3 builds a new Series for every lookup. Kept by the
    // label's type too, since labels such as 1 and True are equal keys of a
    // dict but not the same column. Copies of the Input that change meta
    // start their own cache.
    py::object column(py::handle label) const {
        if (!columns_of_.is(meta)) {
            columns_ = py::dict();
            columns_of_ = meta;
        }
        py::tuple key = cache_key(label);
        if (PyObject* held = PyDict_GetItemWithError(columns_.ptr(), key.ptr())) {
            return py::reinterpret_borrow<py::object>(held);
        }
        if (PyErr_Occurred()) {
            // An unhashable label is looked up as it is, every time.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
            return meta[label];
        }
        py::object found = meta[label];
        // columns_ may have been replaced while Python ran the lookup.
        if (columns_of_.is(meta)) columns_[key] = found;
        return found;
    }
    // Fills the cache from one walk of meta.items(), which builds each
    // column without df[c]'s label lookup (under pandas 3 that lookup is
    // most of the cost of a column). Only for a plain DataFrame whose labels
    // are unique, where df[c] is the column items() yields for c.
    void hold_columns(py::handle data_frame_type) const {
        if (reinterpret_cast<PyObject*>(Py_TYPE(meta.ptr())) != data_frame_type.ptr()) return;
        if (!pyapi::truthy(meta.attr("columns").attr("is_unique"))) return;
        py::dict held;
        for (py::handle item : meta.attr("items")()) {
            auto [label, column] = pyapi::unpack_pair(item);
            py::tuple key = cache_key(label);
            // An unhashable label is left to column(), which looks it up
            // as it is.
            if (PyDict_SetItem(held.ptr(), key.ptr(), column.ptr()) != 0) {
                if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
                PyErr_Clear();
            }
        }
        columns_ = held;
        columns_of_ = meta;
    }

    py::object target, datetime_col, freq, max_mi_features, max_cat_features, corr_method;

    // For a Dask frame: what the driver's passes found over its rows (a
    // _profilon_dask Tables). Null for a pandas frame.
    py::object dist;

    py::object n_rows, n_cols;  // Python ints from df.shape
    Py_ssize_t rows = 0;        // n_rows as a C++ integer
    py::list target_cols, num_cols, cat_cols, bool_cols, dt_cols, feat_cols;
    // The targets of a numeric dtype (pandas' is_numeric_dtype), in
    // target_cols' order, repeats kept.
    py::list numeric_targets;

private:
    static py::tuple cache_key(py::handle label) { return py::make_tuple(py::type::handle_of(label), label); }

    mutable py::object columns_of_;
    mutable py::dict columns_;
};

struct SchemaMissingness {
    py::object p_over_n;
    py::dict miss_by_col;
    py::object miss_total, rows_with_any_na;
    py::list constant_cols, duplicate_cols;
    py::dict rare_cat_stats;
    // df[c].nunique(dropna=True) per column label, computed once for the
    // constant-column test and reused by the cardinality score.
    py::dict nunique_by_col;
    // value_counts(dropna=False) of the categorical columns the rare-level
    // test read, kept for the page's level figures.
    py::dict value_counts_by_col;
};

struct Distributions {
    py::dict num_stats;
    py::list outlier_shares, scale_ranges;
    py::object outlier_share_overall, scale_spread_ratio;
};

struct Relationships {
    py::object corr_df, strong_corr_prop;
    py::dict num_rel_by_target, cat_rel_by_target;
};

struct TargetDiagnostics {
    py::dict target_diag;
    // Each target's record (the dict target_diag holds, or is for a single
    // target), by label: scoring rates a target's shape from it.
    py::dict record_by_target;
    // The targets of a numeric dtype; the others get a neutral shape rating.
    py::set numeric_targets;
};

// The time axis (ts_df None when there is none) and what it shows.
struct TimeSeries {
    py::object ts_df = py::none();
    py::object inferred = py::none();
    py::dict ts_details, per_target_ts;
    double ts_base_quality = 1.0;
};

struct Leakage {
    py::dict leakage_scores, leakage_reasons_all;
};

// The ten dataset-wide components of every breakdown.
struct Components {
    py::object size_score, f2r_score, miss_score, cat_card_score, mc_score, scale_score, out_score, red_score,
        split_score, meta_score;
    py::list high_card;
};

struct Suitability {
    py::object score_breakdown, total;
    py::object suitability_by_target = py::none();
    py::object score_breakdown_by_target = py::none();
};

}  // namespace tamsel::analysis
