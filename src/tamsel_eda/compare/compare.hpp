// The comparison of two datasets: EDA.compare reads a reference side and a
// current side (pandas or Dask frames, a saved reference, or one frame split
// by its time axis), computes every column's drift figures with the drift
// kernels, decides a verdict per column, and returns a report of its own
// beside the analysis' report, with the suitability of each side.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "../kernels/drift.hpp"
#include "../pyapi/pyapi.hpp"

namespace tamsel::compare {

// EDA.compare.
std::span<const pyapi::MethodDef> compare_methods();
// The comparison report's fields and its to_dict and save_reference (the
// renderers live in render/).
std::span<const pyapi::FieldDef> report_fields();
std::span<const pyapi::MethodDef> report_methods();

// The verdict rules (docs/compare.md explains each). A column is drifted
// when its effect size reaches the threshold and the shift is significant;
// significance alone never flags, since at a million rows any shift is.
inline constexpr double ks_threshold = 0.1;
inline constexpr double wasserstein_threshold = 0.1;  // in reference standard deviations
inline constexpr double js_threshold = 0.1;
inline constexpr double alpha = 0.01;
// Fewer non-missing values than this on a side: no verdict.
inline constexpr double min_values = 30;
// PSI: bins at the reference's deciles, an empty bin counted as this share.
inline constexpr std::size_t psi_bins = 10;
inline constexpr double psi_floor = 1e-4;

// The saved reference's format and bounds per column.
inline constexpr int format_version = 1;
inline constexpr std::size_t saved_quantiles = 1000;       // 1,001 values
inline constexpr std::size_t exact_distinct_limit = 2000;  // fewer distinct values are saved exactly
inline constexpr std::size_t saved_levels = 1000;          // most frequent levels kept

// The domain classifier: rows drawn per side, folds, columns listed.
inline constexpr Py_ssize_t classifier_rows = 2000;
inline constexpr int classifier_folds = 3;
inline constexpr std::size_t classifier_top_columns = 5;

// ---------------------------------------------------------------------------
// Inside compare/ only.
// ---------------------------------------------------------------------------

// One column of one side, as the figures need it.
struct Column {
    std::string kind;  // "numeric", "categorical", "datetime" or "other"
    py::object dtype;  // str(dtype)
    double rows = 0, missing = 0;
    kernels::drift::ValueCounts values;  // numeric
    // The values stand for a saved reference's quantiles, not the sample.
    bool from_quantiles = false;
    double mean = 0, std = 0;  // numeric: moments of the sample itself
    // A saved reference's PSI bins (a frame's are computed from `values`).
    std::vector<double> psi_edges, psi_bins;
    py::dict levels;          // categorical: level -> count
    double levels_other = 0;  // a saved reference's levels past the cap
    py::object first, last;   // datetime: earliest and latest stamps (None when none)
};

struct Side {
    py::list labels;  // in frame order
    std::vector<Column> columns;
    Py_ssize_t rows = 0;
    py::object frame;  // the pandas or Dask frame; None for a saved reference
    bool dask = false;
    // A saved reference: what its file holds beyond the columns (the
    // suitability figures and the relevance of the features).
    py::dict saved;
};

// The side a frame gives (the kernels run over its columns on the pool).
Side read_frame(const pyapi::Frame& f, py::handle df, bool dask);
// The side a saved reference gives; a file of another format version is a
// ValueError naming both versions.
Side read_saved(const pyapi::Frame& f, py::handle path);
// What a saved reference file holds for `side` (plus `extra` entries).
py::dict reference_profile(const pyapi::Frame& f, const Side& side, py::dict extra);

// The PSI bin edges of a reference column: its deciles, or the saved ones.
std::vector<double> psi_edges_of(const Column& c);

// The figures and the verdict of one column present on both sides.
py::dict column_figures(const pyapi::Frame& f, const Column& ref, const Column& cur);

// The domain classifier's section (auc, top_columns, and a reason when it
// could not run).
py::dict domain_classifier(const pyapi::Frame& f, const Side& ref, const Side& cur, py::list columns, py::handle seed);

}  // namespace tamsel::compare
