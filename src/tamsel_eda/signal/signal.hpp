// The signal check: whether a target can be predicted from the features at
// all, measured by cross-validated baselines against what chance gives on
// the same sample. A report of its own beside the analysis' report.
#pragma once

#include <string>
#include <vector>

#include "../pyapi/pyapi.hpp"

namespace tamsel::signal {

// EDA.signal_check.
std::span<const pyapi::MethodDef> entry_methods();

// SignalReport: its fields and to_dict (its to_json is the analysis
// report's, over to_dict), and the Markdown and HTML renderings.
std::span<const pyapi::FieldDef> report_fields();
std::span<const pyapi::MethodDef> report_methods();
std::span<const pyapi::MethodDef> text_methods();
std::span<const pyapi::MethodDef> page_methods();

}  // namespace tamsel::signal

// Inside signal/ only.
namespace tamsel::signal::detail {

// The check's settings, as the caller gave them (already validated).
struct Settings {
    Py_ssize_t sample_rows;
    Py_ssize_t folds;
    Py_ssize_t chance_repeats;
    py::object seed;  // a Python int
};

// One target's model input: the seeded sample of rows whose target (and time
// stamp, with a time axis) is known, in time order when there is a time axis.
// Categorical features are integer codes (missing as NaN) so that one float
// matrix serves both models.
struct Design {
    py::list features;          // labels, in column order
    py::object X;               // float64, rows x features
    py::object y;               // float64
    py::object categorical;     // bool mask over the features
    py::list numeric_idx;       // features the linear model standardises
    py::list one_hot_idx;       // low-cardinality categoricals it one-hot encodes
    Py_ssize_t rows_available;  // rows the sample was drawn from
    Py_ssize_t rows_used;
};

// The time axis of a call: the stamps of every row of the frame (NaT where
// unknown) or null without one.
struct TimeAxis {
    py::object label;
    py::object stamps;
};

// Why a target cannot be checked (a sentence), or null when it can.
py::object unusable_target(const pyapi::Frame& f, py::handle df, py::handle target);

// The sample and the model input for `target`; `excluded` are the labels
// that are never features (every target, the time axis).
Design design(const pyapi::Frame& f, py::handle df, py::handle target, py::handle excluded, const TimeAxis& time,
              const Settings& s);

// Why the sample cannot be cross-validated (a sentence), or null.
py::object unusable_sample(const Design& d, const Settings& s);

// The splitter's folds over the sample: a list of (train, test) index pairs.
py::list splits(const Design& d, bool time_ordered, const Settings& s);

// One baseline's held-out R²: the mean over the folds, and the per-fold values.
struct Scores {
    double mean;
    std::vector<double> per_fold;
};

struct Baselines {
    Scores linear;
    Scores boosted;
    std::vector<double> chance_per_fold;  // every fold of every chance repeat
    py::object importance;                // mean permutation importance per feature (held-out folds)
    py::object alone_r2;                  // held-out R² of each feature on its own
};

// The linear, boosted and chance baselines on the sample's folds.
Baselines baselines(const pyapi::Frame& f, const Design& d, py::handle folds, bool time_ordered, const Settings& s);

// The verdict and the leakage warning of one target: the record entries
// they fill, in the record's order.
struct Reading {
    py::object verdict;  // "strong", "weak", "none"
    py::str reason;
    py::object leakage_warning;  // a sentence, or None
    py::list leakage_features;
};

// The chance R² over every fold of every repeat, and what the verdict
// compares with: the level (folds credited at 0 at least) and the margin.
double chance_mean(const Baselines& b);
double chance_std(const Baselines& b);
double chance_level(const Baselines& b);
double chance_margin(const Baselines& b);
Reading read(const Design& d, const Baselines& b);

// The documented thresholds, printed in the report's notes and the docs.
inline constexpr double strong_margin = 0.25;  // R² above the chance level for "strong"
inline constexpr double chance_sigmas = 3.0;   // chance standard deviations to beat
inline constexpr double min_margin = 0.01;     // the smallest margin over the chance level
inline constexpr double leak_r2 = 0.99;        // held-out R² that no honest feature set reaches
inline constexpr double leak_share = 0.90;     // importance share of a single feature
inline constexpr Py_ssize_t max_one_hot_levels = 32;
inline constexpr Py_ssize_t max_boosted_levels = 255;  // the boosted model's categorical bins
inline constexpr Py_ssize_t min_rows_per_fold = 10;
inline constexpr Py_ssize_t top_features = 10;
inline constexpr Py_ssize_t alone_bins = 256;        // at most, for a feature on its own
inline constexpr Py_ssize_t alone_rows_per_bin = 8;  // at least, on average

// Text shared by the renderers.
py::str fixed(py::handle value, const char* spec);  // "NA" for None and NaN

}  // namespace tamsel::signal::detail
