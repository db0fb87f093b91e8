// Drift figures of one column between two samples. A numeric column's state
// is its distinct non-missing values in ascending order with their counts:
// two states merge exactly, so the figures of a frame read in partitions
// equal those of the whole frame, and the Kolmogorov-Smirnov and Wasserstein
// figures come out as the library computes them from the raw samples.
#pragma once

#include <cstddef>
#include <vector>

namespace tamsel::kernels::drift {

struct ValueCounts {
    std::vector<double> values;  // ascending, distinct; -0.0 is stored as 0.0
    // Doubles, not integers: a saved reference's quantiles stand in for its
    // sample as equal weights. Empty when every value occurs once (a
    // continuous column), which halves the state of a million rows.
    std::vector<double> counts;

    double count(std::size_t i) const { return counts.empty() ? 1.0 : counts[i]; }
    // The sample size these values stand for: the p-values are those of a
    // sample of this many rows whatever the weights add up to.
    double observations = 0;
    double missing = 0;
};

// partial: the state of `n` values sorted ascending with NaN (the missing
// cells) last, as NumPy sorts them. The sort itself is NumPy's: its SIMD
// sort takes a third of the time of our own radix sort on a million values,
// and everything after it (runs, merges, figures) is linear.
ValueCounts from_sorted(const double* sorted, std::size_t n);
// The same, taking the buffer over as the state's values when no value
// repeats (no copy of a continuous column).
ValueCounts from_sorted(std::vector<double>&& sorted);
// merge: the state of both samples together.
ValueCounts merge(const ValueCounts& a, const ValueCounts& b);

struct Moments {
    double mean;
    double std;  // population (ddof 0)
};
// NaN for an empty state.
Moments moments(const ValueCounts& s);

struct TwoSample {
    // max |F_ref - F_cur| over the pooled values, as the two-sided test picks
    // it (the larger of the positive part and the clipped negative part).
    double ks_statistic;
    // The integral of |F_ref - F_cur|.
    double wasserstein;
};
// Both states hold at least one value.
TwoSample two_sample(const ValueCounts& ref, const ValueCounts& cur);

// k + 1 values: the smallest value, then for i = 1..k the smallest value
// whose cumulative share reaches i/k (the inverted empirical CDF). Between
// two of them the sample's CDF moves by at most 1/k.
std::vector<double> quantiles(const ValueCounts& s, std::size_t k);
// The state a saved reference stands for: each of q[1..k] one equal weight.
ValueCounts from_quantiles(const std::vector<double>& q, double observations, double missing);

// Counts of the bins (-inf, e0], (e0, e1], ..., (e_last, inf).
std::vector<double> bin_counts(const ValueCounts& s, const std::vector<double>& edges);
// The population stability index of two bin count vectors of equal length;
// an empty bin counts as a share of `floor` so that the logarithm stays
// finite.
double psi(const std::vector<double>& ref_bins, const std::vector<double>& cur_bins, double floor);

struct LevelFigures {
    double js_distance;     // base 2
    double chi2_statistic;  // Pearson, Yates-corrected for one degree of freedom
    int dof;
};
// Counts of the same k levels on both sides (every level seen on a side).
LevelFigures level_figures(const double* ref, const double* cur, std::size_t k);

}  // namespace tamsel::kernels::drift
