// Per-column summary of the distribution step, columns spread over threads:
// the figures NumPy's nanmin, nanmax, nanmedian, nanstd and the
// percentile-based interquartile outlier share give on the column as
// float64, and SciPy's biased skewness and Fisher kurtosis of its finite
// part, as the running SciPy computes them (moments.hpp). Where a bit of the answer depends on something the kernel
// cannot see (which of +0.0 and -0.0 a NumPy release keeps, a warning the
// library would raise), the figure is flagged for the library to give.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns.hpp"
#include "kernels.hpp"
#include "moments.hpp"
#include "page_figures.hpp"
#include "pairwise_tree.hpp"
#include "quantiles.hpp"

namespace tamsel::kernels {

struct SummaryOptions {
    // How NumPy's add.reduce splits a sum (pairwise.hpp): 0 whole, else the
    // piece length.
    std::size_t sum_block = 0;
    // How the running SciPy computes skew and kurtosis (moments.hpp); its
    // sum_block is the one above.
    MomentRules moments;
};

struct ColumnSummary {
    bool any_finite = false;  // min .. std are NaN otherwise
    double min = 0, max = 0, median = 0, std = 0;
    double skew = 0, kurtosis = 0;
    double outlier_share = 0;
    // The extreme is a zero and both signed zeros occur: which one NumPy's
    // fmin/fmax reduction keeps differs between its releases.
    bool min_by_library = false, max_by_library = false;
    // SciPy would warn of catastrophic cancellation (values equal up to
    // about 1e-14 of their mean, not all equal) or NumPy of an overflow in
    // the moments: the library answers, with its warning.
    bool moments_by_library = false;
    // The figure is not finite: NumPy may have warned on the way (an
    // overflow, inf - inf), so the library answers, with its warnings.
    bool median_by_library = false, std_by_library = false, share_by_library = false;
};

// Doubles of workspace summarize_columns needs for `k` columns of `n` rows.
std::size_t summary_workspace_doubles(std::size_t k, std::size_t n);

// Summarizes k columns of n rows into out[0..k). Returns false when `poll`
// asked to stop; out is then incomplete.
bool summarize_columns(const ColumnView* columns, std::size_t k, std::size_t n, const SummaryOptions& options,
                       ColumnSummary* out, double* workspace, const Stop::Poll& poll);

// The summaries as rows of summary_table_width doubles: min, max, median,
// std, skew, kurtosis, outlier share, then 1.0 where the column has a finite
// value, where the library decides the min, the max, the skewness and
// kurtosis, the median and the outlier share, the std.
constexpr std::size_t summary_table_width = 14;
std::vector<double> summary_table(const std::vector<ColumnSummary>& summaries);

// One column, on caller-provided scratch of 2 * n doubles.
void summarize_column(const ColumnView& column, std::size_t n, const SummaryOptions& options, ColumnSummary& out,
                      double* scratch);

// ---------------------------------------------------------------------------
// The same figures of columns split into partitions, in three reads of each
// partition, every figure with the bits the whole column gives (except the
// sign of a zero extreme, median or quartile where both zeros occur).
//
// First read: counts and bucket scans (quantiles.hpp). Its merge
// keeps the counts per partition, which place each partition's values in
// the whole column for NumPy's pairwise sums. The plan then knows which
// buckets hold the ranks of the median, the quartiles and the page's
// percentiles; a bucket that would hand over more than `cap` values of a
// partition is scanned one level deeper instead. Second read: the sums for
// the means, the planned buckets' values and the deeper scans. A refined
// bucket's quartile is only bracketed by then, so are the fences; the third
// read sums the deviations (nanstd's squares, SciPy's moments), gathers the
// refined buckets' values and counts the values beyond a bracket of each
// fence, keeping the distinct values inside it with their counts, which
// settle the outlier count once the fences are known.
//
// The states that travel between workers encode to bytes (encode / decode
// below); decoding checks every length and tag, so a damaged or foreign
// blob is an error, never a wrong figure.

// A column read for its summary row and page figures, or a target read for
// its moments and zero count.
enum class EntryKind : std::uint8_t { column = 0, target = 1 };
// The kinds of entries read from their bytes; std::invalid_argument for a
// byte that names none.
std::vector<EntryKind> entry_kinds(const std::vector<std::uint8_t>& bytes);

struct EntryCounts {
    std::uint64_t present = 0, finite = 0, neg_inf = 0, zeros = 0;
};

// One read of n float64 values: the counts, and the smallest and largest
// non-NaN value (NaN without one). A zero extreme has the sign of the first
// zero met; `both_zeros`: both signs occur, so NumPy's reduction decides.
struct ValueCounts {
    EntryCounts counts;
    double lo = 0, hi = 0;
    bool both_zeros = false;
};
ValueCounts count_values(const double* x, std::size_t n);

// The first read's state of consecutive partitions.
struct SplitScan {
    std::vector<EntryKind> kinds;
    std::vector<std::uint64_t> rows;  // per partition, in order
    std::vector<EntryCounts> counts;  // per partition, then per entry
    std::vector<BucketScan> buckets;  // per column entry, in entry order
    // Per column entry, the page's range of its values, merged in partition
    // order (its sum is in row order).
    std::vector<page::RangeState> ranges;
};

struct ScanPart {
    SplitScan state;
    std::vector<double> lo, hi;           // per entry
    std::vector<std::uint8_t> zero_sign;  // per entry: a zero extreme whose sign NumPy decides
};

// x[j]: the n values of entry j in one partition. Empty when `poll` stopped it.
std::optional<ScanPart> split_scan_partial(const std::vector<const double*>& x, std::size_t n,
                                           const std::vector<EntryKind>& kinds, const Stop::Poll& poll);
// Consecutive partitions' states, in partition order. Throws
// std::invalid_argument for states of different entries.
SplitScan split_scan_merge(const std::vector<SplitScan>& parts);

// The client's state between reads.
struct SplitRefinement {
    BucketLevel level;
    std::vector<std::uint64_t> ranks;  // among the column's non-missing values
    std::vector<std::uint64_t> inner;  // the same inside the bucket
    BucketScan scan;                   // the merged deeper scan (second read)
    RankPlan plan;                     // what the third read gathers
};

struct SplitColumn {
    std::size_t entry = 0;
    bool any_finite = false;
    MedianRanks median{};
    bool quartiles = false;  // five finite values or more
    Quantile q1{}, q3{};
    std::array<Quantile, 5> page{};  // the page's 5/25/50/75/95% ranks
    std::vector<std::uint64_t> gather_ranks;
    RankPlan gather;
    std::vector<SplitRefinement> refinements;
    std::map<std::uint64_t, double> values;  // per rank, once known
    bool bracketed = false;                  // the third read counts outliers
    // [lo_low, lo_high] and [hi_low, hi_high]: where the two fences lie.
    std::array<double, 4> brackets{};
};

struct SplitEntry {
    std::optional<double> nan0_sum, finite_sum;  // second read
    std::optional<double> avg, mean;             // nanstd's and SciPy's means
    std::optional<double> squares;               // third read
    std::optional<MomentSums> moments;
};

struct SplitWork {
    SplitScan scan;
    std::uint64_t block = 0, cap = 0;
    std::vector<EntryCounts> totals;  // per entry
    std::uint64_t n_rows = 0;
    std::vector<SplitColumn> columns;
    std::vector<SplitEntry> entries;
    // Per column entry, the page's histogram counts (second read).
    std::vector<std::vector<std::int64_t>> histograms;
};

// The plan after the first read. Throws std::invalid_argument for a scan
// whose counts disagree with its buckets.
SplitWork plan_split_summary(SplitScan merged, std::uint64_t cap, std::uint64_t block);

// What one partition's second or third read needs (small: no bucket lists,
// and only its own place in the column).
struct SplitRead {
    std::uint8_t read = 2;
    std::vector<EntryKind> kinds;
    std::uint64_t n_rows = 0, block = 0;
    std::uint64_t rows = 0, row_offset = 0;                       // the partition's
    std::vector<std::uint64_t> fin_count, fin_offset, fin_total;  // per entry
    // Second read: per column entry, the planned buckets; the (entry, level)
    // of every refined bucket, scanned again.
    std::vector<std::vector<BucketRequest>> gather;
    std::vector<std::uint32_t> deeper_entry;
    std::vector<BucketLevel> deeper_level;
    // Second read: per column entry, the edges of the page's histogram,
    // planned from its merged range (none without a finite value).
    std::vector<std::vector<double>> edges;
    // Third read: per entry the means (NaN: none), per refinement its entry
    // and buckets, per bracketed column its entry and brackets.
    std::vector<std::uint8_t> has_avg, has_mean;
    std::vector<double> avg, mean;
    std::vector<std::uint32_t> refined_entry;
    std::vector<std::vector<BucketRequest>> refined;
    std::vector<std::uint32_t> bracket_entry;
    std::vector<std::array<double, 4>> brackets;
};
// One plan per partition, in partition order.
std::vector<SplitRead> second_read_plans(const SplitWork& work);
std::vector<SplitRead> third_read_plans(const SplitWork& work);

struct SumsPart {
    std::vector<std::vector<TreePartial>> nan0, finite;      // per entry (nan0 empty for targets)
    std::vector<std::vector<std::vector<double>>> gathered;  // per column entry, per request
    std::vector<BucketScan> deeper;                          // per refined bucket
    std::vector<std::vector<std::int64_t>> histograms;       // per column entry
};

// Distinct values near a fence, ascending, with their counts.
struct NearFence {
    std::vector<double> values;
    std::vector<std::uint64_t> counts;
};
struct OutsideCount {
    std::uint64_t beyond = 0;  // below lo_low or above hi_high
    NearFence low, high;       // inside the brackets (empty when they are points)
};

struct MomentsPart {
    std::vector<std::vector<TreePartial>> squares;           // per entry
    std::vector<std::vector<MomentPartial>> moments;         // per entry
    std::vector<std::vector<std::vector<double>>> gathered;  // per refinement, per request
    std::vector<OutsideCount> outside;                       // per bracketed column
};

// A partition's second and third reads (x, n as for split_scan_partial).
// Throw std::invalid_argument when the partition is not the one the first
// read saw (another length or count of finite values).
std::optional<SumsPart> second_read_partial(const SplitRead& plan, const std::vector<const double*>& x, std::size_t n,
                                            const Stop::Poll& poll);
std::optional<MomentsPart> third_read_partial(const SplitRead& plan, const std::vector<const double*>& x, std::size_t n,
                                              const MomentRules& rules, const Stop::Poll& poll);
// Partials of any partitions, in any order. Throw std::invalid_argument for
// partials of different plans.
SumsPart merge_sums(const std::vector<SumsPart>& parts);
MomentsPart merge_moment_parts(const std::vector<MomentsPart>& parts);

// The second read's sums and values into `work`: the means, the ranks'
// values, the refined buckets' plans and the fence brackets.
void finish_second_read(SplitWork& work, const SumsPart& merged);

struct SplitRow {
    EntryKind kind = EntryKind::column;
    EntryCounts counts;
    std::uint64_t pos_inf = 0, missing_or_zero = 0, outliers = 0;
    double min = 0, max = 0, median = 0, std = 0, mean = 0, skew = 0, kurtosis = 0, q1 = 0, q3 = 0;
    double outlier_share = 0;
    std::array<double, 5> page{};  // the page's percentiles (columns)
};

// Every entry's figures; lo and hi: per entry the extremes as NumPy's fmin
// and fmax reductions over the partitions gave them.
std::vector<SplitRow> finish_split_summary(SplitWork& work, const MomentsPart& merged, const double* lo,
                                           const double* hi, const MomentRules& rules);

// The rows flat, `split_figure_count` figures each: count, finite, neg_inf,
// pos_inf, zeros, min, max, median, std, mean, skew, kurtosis, q1, q3,
// outliers, outlier_share, missing_or_zero, then the five page percentiles.
constexpr std::size_t split_figure_count = 22;
std::vector<double> split_figures(const std::vector<SplitRow>& rows);

// The names of a row's first figures, in that order, and whether each is a
// count (an integer held as a double); the driver's table takes them from here.
struct SplitFigureName {
    std::string_view name;
    bool count = false;
};
inline constexpr std::array<SplitFigureName, 16> split_figure_names{{
    {"count", true},
    {"finite", true},
    {"neg_inf", true},
    {"pos_inf", true},
    {"zeros", true},
    {"min", false},
    {"max", false},
    {"median", false},
    {"std", false},
    {"mean", false},
    {"skew", false},
    {"kurtosis", false},
    {"q1", false},
    {"q3", false},
    {"outliers", true},
    {"outlier_share", false},
}};
// Then the missing-or-zero count and the five page percentiles.
static_assert(split_figure_names.size() + 1 + std::tuple_size_v<decltype(SplitRow::page)> == split_figure_count);

// Byte forms of the states that cross between workers.
std::string encode(const SplitScan& s);
std::string encode(const SplitRead& s);
std::string encode(const SumsPart& s);
std::string encode(const MomentsPart& s);
SplitScan decode_split_scan(std::string_view in);
SplitRead decode_split_read(std::string_view in);
SumsPart decode_sums(std::string_view in);
MomentsPart decode_moments(std::string_view in);

}  // namespace tamsel::kernels
