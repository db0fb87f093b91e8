// NumPy's quantile arithmetic on order statistics that were found elsewhere:
// the ranks np.percentile (method "linear") and np.median look at, and the
// interpolation between them, with the same float operations in the same
// order, so that the answer has NumPy's bits whatever way the order
// statistics were selected (one array in memory, or buckets of partitions).
#pragma once

#include <cmath>
#include <cstddef>

#include "pairwise.hpp"
#include "rules.hpp"

namespace tamsel::kernels {

// np.percentile's linear interpolation between two neighbouring values:
// from below for small weights, from above for large ones.
inline double lerp(double a, double b, double t) {
    const double diff = b - a;
    if (t >= 0.5) return b - diff * (1.0 - t);
    return a + diff * t;
}

struct Quantile {
    std::size_t below;  // rank of the lower neighbour
    std::size_t above;  // rank of the upper one
    double gamma;       // weight of the upper one
};

// The neighbours and weight of quantile q (a fraction in [0, 1]) of n >= 1
// sorted values. A virtual index at or past the last rank takes the last
// value twice, with the weight NumPy computes against its index -1; that
// weight (not 0) is what makes q = 1 give NaN when the largest value is
// infinite, and +0.0 for a largest -0.0, as NumPy does.
inline Quantile linear_quantile(std::size_t n, double q) {
    const double virtual_index = static_cast<double>(n - 1) * q;
    if (virtual_index >= static_cast<double>(n - 1)) return {n - 1, n - 1, virtual_index + 1.0};
    const double below = std::floor(virtual_index);
    const auto rank = static_cast<std::size_t>(below);
    return {rank, rank + 1, virtual_index - below};
}

// The one or two middle ranks np.median averages over n >= 1 values.
struct MedianRanks {
    std::size_t lower, upper, count;
};

inline MedianRanks median_ranks(std::size_t n) {
    const std::size_t half = n / 2;
    return n % 2 ? MedianRanks{half, half, 1} : MedianRanks{half - 1, half, 2};
}

// np.median's mean of the middle values: NumPy's sum of one or two values
// (it starts at +0.0, so a middle -0.0 gives +0.0), then the division.
inline double median_value(double lower, double upper, std::size_t count, std::size_t sum_block) {
    const double middle[2] = {lower, upper};
    return numpy_sum([&middle](std::size_t i) { return middle[i]; }, count, sum_block) / static_cast<double>(count);
}

// The fences of the interquartile outlier rule from the two quartiles.
struct Fences {
    double lo, hi;
    bool zero_width;  // no value counts as an outlier
    bool finite;      // otherwise NumPy may have warned: the library answers
};

inline Fences iqr_fences(double lower, double upper) {
    const double iqr = upper - lower;
    const double lo = lower - rules::iqr_fence * iqr;
    const double hi = upper + rules::iqr_fence * iqr;
    return {lo, hi, iqr == 0, std::isfinite(lo) && std::isfinite(hi)};
}

}  // namespace tamsel::kernels
