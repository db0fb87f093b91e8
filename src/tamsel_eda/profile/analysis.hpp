// One analysis = one Analysis value: the working values of a single call of
// eda_report_and_score, under the names the documentation gives them. Each
// step reads what earlier steps set and sets its own; nothing outlives the
// call.
#pragma once

#include "../pyapi/pyapi.hpp"

namespace tamsel::profile {

struct Analysis {
    Analysis(const pyapi::Frame& frame) : frame(frame), self(frame.self()) {}

    // Module global (pd, np, _mi_reg, ...) as the running method sees it.
    py::object g(const char* name) const { return frame.g(name); }
    // A method of the EDA object, looked up on the instance so that a
    // subclass override takes effect.
    py::object method(const char* name) const { return self.attr(name); }

    const pyapi::Frame& frame;
    py::handle self;

    // Arguments.
    py::object df, target, datetime_col, freq, max_mi_features, max_cat_features, corr_method;

    // Entry: shape, targets, column typing.
    py::object n_rows, n_cols;  // Python ints from df.shape
    Py_ssize_t rows = 0;        // n_rows as a C++ integer
    py::list target_cols, num_cols, cat_cols, bool_cols, dt_cols, feat_cols;

    // Schema and missingness.
    py::object p_over_n;
    py::dict miss_by_col;
    py::object miss_total, rows_with_any_na;
    py::list constant_cols, duplicate_cols;
    py::dict rare_cat_stats;
    // df[c].nunique(dropna=True) per column label, computed once for the
    // constant-column test and reused by the cardinality score.
    py::dict nunique_by_col;

    // Distributions.
    py::dict num_stats;
    py::list outlier_shares, scale_ranges;
    py::object outlier_share_overall, scale_spread_ratio;

    // Relationships.
    py::object corr_df, strong_corr_prop;
    py::dict num_rel_by_target, cat_rel_by_target;

    // Target diagnostics.
    py::dict target_diag;

    // Time axis, per-target time series, time-series quality.
    py::object ts_df = py::none();
    py::object inferred = py::none();
    py::dict ts_details, per_target_ts;
    double ts_base_quality = 1.0;

    // Leakage.
    py::dict leakage_scores, leakage_reasons_all;

    // Score components.
    py::object size_score, f2r_score, miss_score, cat_card_score, mc_score, scale_score, out_score, red_score,
        split_score, meta_score;
    py::list high_card;

    // Breakdowns and suitability.
    py::object score_breakdown, total;
    py::object suitability_by_target = py::none();
    py::object score_breakdown_by_target = py::none();

    // Recommendations.
    py::list recs;
};

// `seq[:stop]` with the interpreter's slicing rules (negative bounds, None,
// __index__, and its TypeError for anything else): the column caps are used
// unchecked as slice bounds.
inline py::object head(py::handle seq, py::handle stop) {
    py::object sl = py::reinterpret_steal<py::object>(PySlice_New(nullptr, stop.ptr(), nullptr));
    if (!sl) throw py::error_already_set();
    py::object out = py::reinterpret_steal<py::object>(PyObject_GetItem(seq.ptr(), sl.ptr()));
    if (!out) throw py::error_already_set();
    return out;
}

// The profile steps, in the order the entry runs them.
void schema_and_missingness(Analysis& a);
void distributions(Analysis& a);
void relationships(Analysis& a);

// eda_report_and_score.
std::span<const pyapi::MethodDef> entry_methods();

}  // namespace tamsel::profile
