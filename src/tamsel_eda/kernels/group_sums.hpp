// The correlation ratio of a float64 target over the groups of a factorized
// column, summed in the order pandas' groupby and reductions use: each group's
// sum is NumPy's pairwise sum of its rows in row order, the groups follow the
// sorted order of their keys, and the mean and the total sum of squares are
// pandas' nanmean / nansum over the complete rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "pairwise_tree.hpp"

namespace tamsel::kernels {

struct RatioProblem {
    const double* y = nullptr;
    std::ptrdiff_t y_stride = 8;  // bytes
    // Group code per row (negative: missing), as pandas' factorize gives them.
    const std::int64_t* codes = nullptr;
    std::size_t n = 0;
    // rank[code]: the position of the group's key in sorted key order; a
    // permutation of [0, groups).
    const std::int64_t* rank = nullptr;
    std::size_t groups = 0;
    // How the running NumPy cuts a sum (0: whole arrays; see pairwise.hpp):
    // of the float64 squares, and of the target's values where pandas takes
    // their means (an integer target's sum casts to float64, which NumPy
    // always does in buffer-sized pieces).
    std::size_t sum_block = 0;
    std::size_t mean_block = 0;
    // The group sums are split into parts (threads) only from this many
    // complete rows on; below it the split costs more than it saves.
    std::size_t min_rows_to_split = std::size_t{1} << 17;
};

enum class RatioStatus {
    ok,
    too_few,     // fewer than two complete rows: no ratio
    not_finite,  // an infinite value or an overflow; NumPy would warn there
    bad_input,   // a code or rank out of range
    stopped,
};

struct RatioResult {
    RatioStatus status = RatioStatus::bad_input;
    double value = 0.0;
};

RatioResult correlation_ratio(const RatioProblem& p, const std::function<bool()>& poll);

// One slice of rows grouped by code, as a partition of a larger frame hands
// its share of each group to a merge: the groups numbered in the order of
// their first row, each one's row count and the sum of its values in row
// order, as np.add.reduce sums the group's run (`sum_block` as above).
struct FirstSeenGroups {
    std::vector<std::int64_t> code;  // the group's code, groups in first-seen order
    std::vector<std::int64_t> count;
    std::vector<double> sum;
};

enum class GroupSumsStatus {
    ok,
    bad_input,  // a code out of [0, codes)
    stopped,
};

// y[i] (at byte stride y_stride) belongs to the group codes[i] (at byte
// stride codes_stride), which lies in [0, codes).
GroupSumsStatus first_seen_group_sums(const double* y, std::ptrdiff_t y_stride, const std::int64_t* codes,
                                      std::ptrdiff_t codes_stride, std::size_t n, std::size_t codes_count,
                                      std::size_t sum_block, const std::function<bool()>& poll, FirstSeenGroups& out);

// The groups of consecutive slices merged: entry i of the slices' groups laid
// end to end (count counts[i], sum sums[i]) belongs to the merged group
// codes[i] in [0, groups), which the caller numbers in first-seen order
// across the slices (the keys' equality is the library's to define). Each
// merged count and sum adds its entries in slice order, the sum from 0.0;
// out.code is 0, 1, ... groups - 1.
GroupSumsStatus merge_group_sums(const std::int64_t* codes, const std::int64_t* counts, const double* sums,
                                 std::size_t n, std::size_t groups, FirstSeenGroups& out);

// ss_between of merged groups as the in-memory method sums it: over the
// groups in key order (rank[g], a permutation of [0, groups)), count * (sum
// / count - mu) ** 2 on Python floats, a group of all `total` kept rows
// taking `whole_sum`, the library's total, as its sum. bad_input for a
// rank that is no permutation or a count not positive.
GroupSumsStatus between_groups(const double* sums, const std::int64_t* counts, const std::int64_t* rank,
                               std::size_t groups, double mu, std::int64_t total, double whole_sum, double& out);

// The Dask driver's three passes over one partition of n rows, for every
// target with every column (pairs numbered target-major). A pair keeps the
// rows where neither side is missing: a target's NaN (pd.to_numeric's
// missing values as float64), a column's missing cell or negative code.
struct RatioTarget {
    const double* y = nullptr;  // null: no pair of this pass reads the target
    std::ptrdiff_t stride = 8;  // bytes
};

struct RatioColumn {
    // Nonzero bytes where missing; null: no cell missing (or not read).
    const std::uint8_t* missing = nullptr;
    std::ptrdiff_t missing_stride = 1;
    // Group codes as pandas' factorize gives them (negative: missing).
    const std::int64_t* codes = nullptr;
    std::ptrdiff_t codes_stride = 8;
};

struct RatioInput {
    const RatioTarget* targets = nullptr;
    std::size_t n_targets = 0;
    const RatioColumn* columns = nullptr;
    std::size_t n_columns = 0;
    std::size_t n = 0;
};

// Where a pair's kept rows of this partition sit among all its kept rows:
// `count` of them (pass 1's count, checked against the rows read), `offset`
// before them, `total` in all; `block` NumPy's cut of the whole sum.
struct RatioPlace {
    std::uint64_t count = 0, offset = 0, total = 0, block = 0;
};

// The places of `pairs` pairs from their columns (blocks null: none cut);
// std::invalid_argument for columns of another length or a negative entry.
std::vector<RatioPlace> ratio_places(const std::vector<std::int64_t>& counts, const std::vector<std::int64_t>& offsets,
                                     const std::vector<std::int64_t>& totals, const std::vector<std::int64_t>* blocks,
                                     std::size_t pairs);

// Pass 1: each pair's kept rows, by the columns' missing cells; bad_input
// where a target is absent.
GroupSumsStatus ratio_kept_counts(const RatioInput& in, std::int64_t* out);

// Pass 2, of each pair with at least two kept rows in all (the others stay
// empty): the partition's share of NumPy's sum of the kept target values
// and its groups by the columns' codes (first_seen_group_sums, codes from
// 0; `group_block` as sum_block there). bad_input where a target or codes
// a pair needs are absent, or the kept rows are not pass 1's count.
struct RatioSums {
    TreePartial whole;
    FirstSeenGroups groups;
};
GroupSumsStatus ratio_sums(const RatioInput& in, const RatioPlace* places, std::size_t group_block,
                           const std::function<bool()>& poll, std::vector<std::optional<RatioSums>>& out);

// Pass 3, of each pair with a mean (mus[j] set): the partition's share of
// NumPy's sum of the float64 squares (y - mu) ** 2 over the kept rows, by
// the columns' missing cells, in one piece (places' block unread).
// bad_input as for ratio_sums.
GroupSumsStatus ratio_squares(const RatioInput& in, const RatioPlace* places, const std::optional<double>* mus,
                              const std::function<bool()>& poll, std::vector<std::optional<TreePartial>>& out);

}  // namespace tamsel::kernels
