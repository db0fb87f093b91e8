// Exact order statistics of a column that is split into partitions, in two
// reads of each partition. The first read counts the values per bucket (the
// top bits of their order key, order_key.hpp) and keeps each bucket's
// smallest and largest value; the merged counts tell which bucket holds each
// wanted rank and at which rank inside it. A bucket holding one distinct
// value answers at once; for the others the second read gathers the
// partition's values of those buckets, few for spread data, and the merge of
// the gathered values selects the ranks. The results are the very values a
// sort of the whole column would put at those ranks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "columns.hpp"
#include "kernels.hpp"
#include "order_key.hpp"

namespace tamsel::kernels {

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

// Where each wanted rank (0-based, among the values the scan counts) lies.
struct RankPlan {
    std::vector<BucketRequest> requests;  // ascending buckets, only those read again
    // Per rank: its value when its bucket holds one value (request -1), else
    // the index of its request and its rank inside the bucket.
    std::vector<std::ptrdiff_t> request;
    std::vector<std::uint64_t> inside;
    std::vector<double> known;
};

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

}  // namespace tamsel::kernels
