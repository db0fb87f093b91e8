// The analysis' fixed rules and the library releases its fast paths
// reproduce, each written once. The steps and the kernels read them here;
// Python code reads them from the kernel module (`_profilon_kernels.rules()`
// and `release_window`), never as literals of its own.
#pragma once

#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>

namespace tamsel::rules {

// Leakage hints: a feature whose |Pearson r| with the target reaches the
// threshold is a hit, and each kind of evidence lowers the target's leakage
// score by its penalty.
inline constexpr double leakage_correlation = 0.99;
inline constexpr double leakage_correlation_penalty = 0.35;
inline constexpr double leakage_identity_penalty = 0.5;
inline constexpr double leakage_name_penalty = 0.15;  // per target-like column name

// The interquartile outlier rule: values below q1 - fence * iqr or above
// q3 + fence * iqr.
inline constexpr double iqr_fence = 1.5;

// Duplicate columns: frames of more columns are not scanned, and missing
// cells are filled with this text before the columns' rows are hashed.
inline constexpr long duplicate_scan_columns = 200;
inline constexpr const char duplicate_fill_text[] = "__NAN__";

// The rows mutual information and its relevance ranking read: a frame with
// more rows is sampled down to these (`sample(n, random_state=seed)`).
inline constexpr long relevance_sample_rows = 8000;
inline constexpr long relevance_sample_seed = 0;

// (major, minor) of a library release; (0, 0) when its version is unreadable.
using Release = std::pair<int, int>;

inline Release release_of(const char* version) {
    int major = 0, minor = 0;
    if (std::sscanf(version, "%d.%d", &major, &minor) != 2) return {0, 0};
    return {major, minor};
}

// The releases whose sources each fast path was written from. A release
// outside its window keeps the library's own call.
namespace releases {

// pandas' nunique of number, boolean, date, nullable and category columns
// (nunique, unique and the hash tables' float equality read in 3.0.6 against
// 3.1.2: the same).
constexpr bool pandas_distinct_counts(Release v) {
    return (v.first == 2 && v.second >= 2) || (v.first == 3 && v.second <= 1);
}

// pandas' hash_pandas_object of number, text and category columns (read in
// 2.2.3, 2.3.3, 3.0.0, 3.0.6 and 3.1.2). Up to 3.0 a float's bits are hashed
// as they are; 3.1 hashes -0.0 as 0.0 and every NaN alike.
constexpr bool pandas_row_hashes(Release v) {
    return (v.first == 2 && v.second >= 2) || (v.first == 3 && v.second <= 1);
}
constexpr bool pandas_hashes_zero_as_positive(Release v) { return v == Release(3, 1); }

// DataFrame.corr, read in 2.2.3, 2.3.3, 3.0.0, 3.0.6 and 3.1.2:
// nancorr_spearman and rank_1d are the same code throughout (typed views and
// a skipped no-op fill apart); nancorr clips its coefficients to [-1, 1] from
// 3.0.0 on, and 3.1's shortcut for a matrix without missing cells divides by
// the same counts.
constexpr bool pandas_spearman(Release v) { return (v.first == 2 && v.second >= 2) || (v.first == 3 && v.second <= 1); }
constexpr bool pandas_pearson(Release v) { return (v.first == 2 && v.second >= 2) || (v.first == 3 && v.second <= 1); }
constexpr bool pandas_pearson_clipped(Release v) { return v.first == 3 && v.second <= 1; }

// Series.corr, select_dtypes and equals of the leakage step, and the group
// means of the correlation ratio (nanmean and nansum of float64, factorize,
// the groupby key order): read in 2.2.3, 2.3.3, 3.0.0, 3.0.6 and 3.1.2.
// Series.corr is np.corrcoef up to 3.0 and pandas' own centred products in
// 3.1; the screen's margin holds for both.
constexpr bool pandas_leakage_screen(Release v) {
    return (v.first == 2 && (v.second == 2 || v.second == 3)) || (v.first == 3 && v.second <= 1);
}
constexpr bool pandas_group_means(Release v) { return pandas_leakage_screen(v); }

// Series.value_counts ranks equal counts as its sort leaves them: stably
// from pandas 3 (read in 3.1.2), by the default quicksort before (2.2.3).
constexpr bool pandas_value_counts_stable(Release v) { return v.first >= 3; }

// Selecting columns gives views from pandas 3 on (copy on write); before,
// it copies every row of them. Only how fast a selection is depends on it.
constexpr bool pandas_selects_columns_as_views(Release v) { return v.first >= 3; }

// read_csv parses every float back to the double that was written from
// pandas 3.1 on (and deprecates the switch); before, only its round-trip
// parser does (the command line asks for it there).
constexpr bool pandas_csv_floats_exact(Release v) { return v >= Release(3, 1); }

// read_json(dtype=False) leaves dates as written from pandas 3.1 on (and
// deprecates convert_dates); before, convert_dates=False has to say so.
constexpr bool pandas_json_dates_as_written(Release v) { return v >= Release(3, 1); }

// NumPy's nanmin/nanmax, nanstd (nanvar), nanmedian (median, and the masked
// median of short columns) and percentile's linear interpolation: read in
// 1.26.4, 2.0.0, 2.0.2, 2.1.3, 2.2.6, 2.3.5, 2.4.0, 2.4.6 and 2.5.5: the
// same operations in the same order throughout (2.4.0's percentile types
// the interpolation fraction as the column, float64 as later releases do).
// Sums follow the running NumPy's own blocking (stats::numpy_sum_block).
constexpr bool numpy_summaries(Release v) { return v == Release(1, 26) || (v.first == 2 && v.second <= 5); }

// SciPy's skew and kurtosis: 1.13 to 1.17 raise the deviations by repeated
// squaring (read in 1.13.1, 1.14.1, 1.15.3, 1.16.3 and 1.17.1), 1.18 with
// the power ufunc (NumPy 2 only: NumPy 1.26 has no such release to read).
constexpr bool scipy_moments_by_squares(Release v) { return v >= Release(1, 13) && v <= Release(1, 17); }
constexpr bool scipy_moments_by_powers(Release v, Release numpy) { return v == Release(1, 18) && numpy.first >= 2; }

// SciPy's zero-variance test of skew and kurtosis scales the mean by
// float64's resolution up to 1.13 and by its machine epsilon from 1.14 on
// (read in 1.13.1, 1.14.1, 1.15.3, 1.16.3, 1.17.1 and 1.18.1).
constexpr bool scipy_zero_variance_by_resolution(Release v) { return v < Release(1, 14); }

// scikit-learn's mutual_info_regression: the same code from 1.5 to 1.9
// (read in 1.5.2, 1.6.1, 1.7.2, 1.8.0 and 1.9.1).
constexpr bool sklearn_mutual_info(Release v) { return v.first == 1 && v.second >= 5 && v.second <= 9; }

// Each window by the name Python code asks for it by.
struct Window {
    std::string_view name;
    bool (*covers)(Release);
};

constexpr Window windows[] = {
    {"pandas_distinct_counts", pandas_distinct_counts},
    {"pandas_row_hashes", pandas_row_hashes},
    {"pandas_hashes_zero_as_positive", pandas_hashes_zero_as_positive},
    {"pandas_spearman", pandas_spearman},
    {"pandas_pearson", pandas_pearson},
    {"pandas_pearson_clipped", pandas_pearson_clipped},
    {"pandas_leakage_screen", pandas_leakage_screen},
    {"pandas_group_means", pandas_group_means},
    {"pandas_value_counts_stable", pandas_value_counts_stable},
    {"pandas_csv_floats_exact", pandas_csv_floats_exact},
    {"pandas_json_dates_as_written", pandas_json_dates_as_written},
    {"numpy_summaries", numpy_summaries},
    {"scipy_moments_by_squares", scipy_moments_by_squares},
    {"scipy_zero_variance_by_resolution", scipy_zero_variance_by_resolution},
    {"sklearn_mutual_info", sklearn_mutual_info},
};

// Whether the window `name` covers release `v`; nullopt for no such window.
inline std::optional<bool> window_covers(std::string_view name, Release v) {
    for (const Window& w : windows) {
        if (name == w.name) return w.covers(v);
    }
    return std::nullopt;
}

}  // namespace releases
}  // namespace tamsel::rules
