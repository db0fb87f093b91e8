// The analysis' fixed rules and the library releases its fast paths
// reproduce, each written once. The steps and the kernels read them here;
// Python code reads them from the kernel module (`_profilon_kernels.rules()`
// and `release_window`), never as literals of its own.
#pragma once

#include <cstdio>
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

// pandas' nunique of number, boolean, date, nullable and category columns.
constexpr bool pandas_distinct_counts(Release v) {
    return (v.first == 2 && v.second >= 2) || (v.first == 3 && v.second <= 1);
}

// pandas' hash_pandas_object of number columns; 3.1 hashes -0.0 as 0.0.
constexpr bool pandas_row_hashes(Release v) { return (v.first == 2 && v.second >= 2) || v == Release(3, 1); }
constexpr bool pandas_hashes_zero_as_positive(Release v) { return v == Release(3, 1); }

// DataFrame.corr: nancorr_spearman and rank_1d are the same code from 2.2.0
// to 3.1.2; nancorr gained its clip in pandas 3 (read in 3.1.2; 3.0 was not).
constexpr bool pandas_spearman(Release v) { return (v.first == 2 && v.second >= 2) || (v.first == 3 && v.second <= 1); }
constexpr bool pandas_pearson(Release v) { return (v.first == 2 && v.second >= 2) || v == Release(3, 1); }
constexpr bool pandas_pearson_clipped(Release v) { return v == Release(3, 1); }

// Series.corr, select_dtypes and equals of the leakage step, and the group
// means of the correlation ratio: 2.2, 2.3 and 3.1.
constexpr bool pandas_leakage_screen(Release v) {
    return (v.first == 2 && (v.second == 2 || v.second == 3)) || v == Release(3, 1);
}
constexpr bool pandas_group_means(Release v) { return pandas_leakage_screen(v); }

// NumPy's nanvar, median and percentile: the same in 1.26 and 2.5.
constexpr bool numpy_summaries(Release v) { return v == Release(1, 26) || v == Release(2, 5); }

// SciPy's skew and kurtosis: 1.13 to 1.17 raise the deviations by repeated
// squaring (read in 1.13.1, 1.14.1, 1.15.3, 1.16.3 and 1.17.1), 1.18 with
// the power ufunc (NumPy 2 only: NumPy 1.26 has no such release to read).
constexpr bool scipy_moments_by_squares(Release v) { return v >= Release(1, 13) && v <= Release(1, 17); }
constexpr bool scipy_moments_by_powers(Release v, Release numpy) { return v == Release(1, 18) && numpy.first >= 2; }

// SciPy's zero-variance test of skew and kurtosis scales the mean by
// float64's resolution up to 1.13 and by its machine epsilon from 1.14 on
// (read in 1.13.1, 1.14.1, 1.15.3, 1.16.3, 1.17.1 and 1.18.1).
constexpr bool scipy_zero_variance_by_resolution(Release v) { return v < Release(1, 14); }

// scikit-learn's mutual_info_regression: the same code from 1.5 to 1.9.
constexpr bool sklearn_mutual_info(Release v) { return v.first == 1 && v.second >= 5 && v.second <= 9; }

}  // namespace releases
}  // namespace tamsel::rules
