// Exact quantiles with NumPy's answer: the ranks np.percentile (method
// "linear") and np.median look at and the interpolation between them, and
// the selection of those order statistics, either from one array in memory
// or from a column split into partitions in two looks. The float operations
// are NumPy's, in its order, so the answer has NumPy's bits whatever way the
// order statistics were selected.
//
// Split columns: the first look (scan_buckets, the partial) counts the
// values per bucket (the top bits of their order key, order_key.hpp) and
// keeps each bucket's smallest and largest value; merge_scans adds partials
// up, and plan_ranks tells which bucket holds each wanted rank and at which
// rank inside it. A bucket holding one distinct value answers at once; for
// the others the second look (gather_bucket_values) takes the partition's
// values of those buckets, few for spread data, and select_planned (the
// finish) selects the ranks among them. The results are the very values a
// sort of the whole column would put at those ranks.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "columns.hpp"
#include "kernels.hpp"
#include "order_key.hpp"
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

// The ranks of a quantile of the finite values among values that start
// with `by` values of -inf.
inline Quantile shifted(Quantile q, std::uint64_t by) { return {q.below + by, q.above + by, q.gamma}; }

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

// ---------------------------------------------------------------- columns split in partitions

// Counts of one partition (or of several, merged) per occupied bucket of
// one level; below level 0 only the values inside the level's prefix count.
struct BucketScan {
    BucketLevel level;
    std::uint64_t missing = 0;          // NaN or masked cells
    std::vector<std::uint32_t> bucket;  // ascending
    std::vector<std::uint64_t> count;
    std::vector<std::uint64_t> lo, hi;  // smallest and largest key inside
    // Which zeros occur: their key is one, but a rank whose value is a zero
    // has NumPy's sign when only one kind occurs.
    bool neg_zero = false, pos_zero = false;

    std::uint64_t present() const;  // values that are not missing
};

// The first read of rows [0, n) of `col`; a read at a deeper level splits
// one bucket that the second read would find too full.
BucketScan scan_buckets(const ColumnView& col, std::size_t n, const BucketLevel& level = {});

// Sums the counts and widens the extremes; the order of `scans` does not
// matter, so the merge can run as a tree on the workers. Throws
// std::invalid_argument for scans of different levels.
BucketScan merge_scans(const BucketScan* scans, std::size_t k);

// Which values of a bucket the second read keeps: the ranks first..last
// (inside the bucket, among all partitions' values of it) are wanted, so the
// `last + 1` smallest values of each partition, or its `count - first`
// largest, whichever is fewer, always contain them.
struct BucketRequest {
    BucketLevel level;
    std::uint32_t bucket = 0;
    std::uint64_t count = 0;  // values in the bucket, all partitions
    std::uint64_t first = 0, last = 0;

    bool from_top() const { return count - first < last + 1; }
    std::uint64_t keep() const { return from_top() ? count - first : last + 1; }
};

// ------------------------------------------- states as the partition-wise driver carries them

// The level named by (level, prefix); std::invalid_argument for one that no
// scan reads (a level past the deepest, a prefix wider than its level).
BucketLevel bucket_level(std::uint64_t level, std::uint64_t prefix);

// A scan read back from its arrays (per occupied bucket: count, smallest and
// largest value) and its zeros mask (1: -0.0, 2: +0.0); std::invalid_argument
// for arrays that no scan gives.
BucketScan scan_of(const BucketLevel& level, std::uint64_t missing, std::uint64_t zeros,
                   std::vector<std::uint32_t> bucket, const std::vector<std::int64_t>& counts,
                   const std::vector<double>& lo, const std::vector<double>& hi);

// A plan's requests as flat rows of (level, prefix, bucket, count, first,
// last), and back; std::invalid_argument for rows that no plan gives.
constexpr std::size_t plan_row_width = 6;
std::vector<std::int64_t> plan_rows(const std::vector<BucketRequest>& requests);
std::vector<BucketRequest> plan_of_rows(const std::vector<std::int64_t>& flat);

// std::invalid_argument unless the requests' buckets ascend, as a second
// read takes them.
void check_bucket_order(const std::vector<BucketRequest>& requests);

// std::invalid_argument for a negative rank; the ranks as unsigned.
std::vector<std::uint64_t> ranks_of(const std::vector<std::int64_t>& ranks);

// Where each wanted rank (0-based, among the values the scan counts) lies.
struct RankPlan {
    std::vector<BucketRequest> requests;  // ascending buckets, only those read again
    // Per rank: its value when its bucket holds one value (request -1), else
    // the index of its request and its rank inside the bucket.
    std::vector<std::ptrdiff_t> request;
    std::vector<std::uint64_t> inside;
    std::vector<double> known;
};

// Per bucket of a scan, the values up to and including it.
std::vector<std::uint64_t> bucket_ends(const BucketScan& scan);

// Index of the bucket holding `rank` and the rank inside it; throws
// std::invalid_argument for a rank past the scanned values.
std::pair<std::size_t, std::uint64_t> bucket_of(const BucketScan& scan, const std::vector<std::uint64_t>& ends,
                                                std::uint64_t rank);

// Throws std::out_of_range for a rank at or past `merged.present()`.
RankPlan plan_ranks(const BucketScan& merged, const std::uint64_t* ranks, std::size_t nr);

// The second read of rows [0, n) of `col`: per request, the kept values of
// the partition in that bucket, ascending.
std::vector<std::vector<double>> gather_bucket_values(const ColumnView& col, std::size_t n,
                                                      const BucketRequest* requests, std::size_t m);

// The values at the plan's ranks from every partition's gathered values
// (gathered[p][j]: partition p, request j; any partition order). Throws
// std::invalid_argument when the gathered values cannot hold the ranks (the
// reads did not follow the plan).
std::vector<double> select_planned(const RankPlan& plan, const std::vector<std::vector<std::vector<double>>>& gathered);

// Where the interquartile fences can lie before the second look has found
// every quartile's neighbours: each of the ranks q1.below, q1.above,
// q3.below, q3.above (bounds[0..4)) is only known to hold a value in
// [low, high] (low == high once known). The answer is (lowest, highest)
// lower fence and (lowest, highest) upper fence; the ranges are widened
// far past the rounding of the corners, except when every corner gives the
// same fences, which are then exact.
struct RankRange {
    double low, high;
};
std::array<double, 4> fence_brackets(const Quantile& q1, const Quantile& q3, const RankRange bounds[4]);

// ---------------------------------------------------------------- one array in memory

// The values of the sorted, distinct ranks r[0..nr) of f[0..nf) into
// values[0..nr); f is reordered. On a long column a strided sample brackets
// the ranks so that one pass gathers the few values around them; `spare`
// (spare_size doubles) is its scratch, and a spare too small for it, or a
// sample unlike the column, falls back to selecting in the whole of f.
void order_statistics(double* f, std::size_t nf, const std::size_t* r, std::size_t nr, double* values, double* spare,
                      std::size_t spare_size);

// np.percentile (method "linear") at each of `qs` (fractions) of the
// `finite` finite values of x[0..n), whose smallest and largest are lo and
// hi; x is left as it is and `scratch` is overwritten. NaN for every q when
// there is no finite value.
std::vector<double> finite_quantiles(const double* x, std::size_t n, std::size_t finite, double lo, double hi,
                                     const std::vector<double>& qs, std::vector<double>& scratch);

// The same for a caller that has not counted the finite values yet.
std::vector<double> finite_quantiles(const double* x, std::size_t n, const std::vector<double>& qs);

// The finite values of x[0..n) at `ranks` (0-based, any order, repeats
// allowed), through order_statistics. Throws std::out_of_range for a rank at
// or past the number of finite values.
std::vector<double> finite_order_statistics(const double* x, std::size_t n, const std::vector<std::uint64_t>& ranks);

}  // namespace tamsel::kernels
