// The mergeable figures of a time axis held as int64 stamps (counts of the
// axis unit since the epoch, UTC for zoned stamps; NaT as INT64_MIN; an
// integer axis as its own values), as the in-memory analysis reads them from
// the sorted axis: its stamps and NaT, extrema, distinct stamps, the counts
// of its gaps with their mode, and the smallest distinct gaps pandas'
// frequency inference reads for an intraday axis.
//
// The axis is taken in pieces. A scan of each partition (counts, order,
// evenly spaced stamps) merges into a plan: the partitions themselves when
// their valid stamps are already in time order across the frame, else value
// ranges of about equal size. Each range (a sorted run of valid stamps) is
// reduced to a StampRun; the runs of all ranges, in order, merge into the
// axis, and the gap counts of the runs, split by a hash of the gap into as
// many buckets as ranges, merge bucket by bucket into the gap mode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tamsel::kernels {

inline constexpr std::int64_t stamp_missing = std::numeric_limits<std::int64_t>::min();
// Smallest distinct gaps a run keeps: the business-hour rule of pandas'
// inference looks at up to three, so four tell a longer list apart.
inline constexpr std::size_t stamp_smallest_gaps = 4;

// The scan of one partition, or several merged in partition order.
struct StampScan {
    std::int64_t rows = 0;
    std::int64_t missing = 0;
    // Evenly spaced values of each partition's sorted valid stamps (of a
    // sample of them, when the partition is not in order), each standing
    // for `weights` of them.
    std::vector<std::int64_t> picks;
    std::vector<double> weights;
    // Per partition: whether its valid stamps never decrease in row order,
    // whether it has one, and its first and last valid stamp (0 without).
    std::vector<std::uint8_t> ordered;
    std::vector<std::uint8_t> filled;
    std::vector<std::int64_t> first;
    std::vector<std::int64_t> last;
};

StampScan stamp_scan(const std::int64_t* values, std::size_t n, std::size_t picks);
// `later` follows `into` in partition order.
void stamp_scan_merge(StampScan& into, const StampScan& later);
// The scans merged in order.
StampScan stamp_scans_merged(const std::vector<StampScan>& scans);

struct StampPlan {
    std::size_t ranges = 1;  // also the number of gap buckets
    // The partitions are the ranges: each partition's valid stamps never
    // decrease, and none starts below the last valid stamp of the partition
    // before it; `previous` is that stamp (has_previous 0: none before).
    bool in_order = false;
    std::vector<std::uint8_t> has_previous;
    std::vector<std::int64_t> previous;
    // Else the value ranges: range r >= 1 starts at cuts[r - 1].
    std::vector<std::int64_t> cuts;
};

StampPlan stamp_plan(const StampScan& scan, std::size_t rows_per_range, bool in_order_road);

// A sorted run of valid stamps reduced.
struct StampRun {
    std::int64_t count = 0;
    std::int64_t distinct = 0;
    std::int64_t first = 0, last = 0;
    std::int64_t first_wall = 0, last_wall = 0;
    std::vector<std::int64_t> utc_gaps;   // smallest distinct, ascending
    std::vector<std::int64_t> wall_gaps;  // of the wall clock
    // Every distinct gap, ascending, with its count.
    std::vector<std::int64_t> gap_keys;
    std::vector<std::int64_t> gap_counts;
};

enum class RunStatus : std::uint8_t { ok, out_of_order };

// `values` must not decrease, and not start below `*previous` (the last
// stamp of the run before, which the run's first stamp does not count as
// distinct again when it repeats it); out_of_order otherwise. `wall`
// (nullptr: the stamps themselves) holds each stamp's local wall clock.
RunStatus stamp_run(const std::int64_t* values, std::size_t n, const std::int64_t* wall, const std::int64_t* previous,
                    StampRun& out);

// The valid stamps of `values` routed to the value ranges of `cuts` (range
// r >= 1 starts at cuts[r - 1]), each range in row order: the range's task
// sorts its pieces together once, so a partition sorts nothing.
void stamp_route(const std::int64_t* values, std::size_t n, const std::vector<std::int64_t>& cuts,
                 std::vector<std::vector<std::int64_t>>& out);

// stamp_run over the valid stamps of `values` (NaT skipped, with its wall
// clock), its gap table then split into `buckets` buckets as gap_buckets
// splits it.
RunStatus stamp_reduce(const std::int64_t* values, std::size_t n, const std::int64_t* wall,
                       const std::int64_t* previous, std::size_t buckets, StampRun& out,
                       std::vector<std::vector<std::int64_t>>& bucket_keys,
                       std::vector<std::vector<std::int64_t>>& bucket_counts);

// The bucket of a gap among `buckets`.
std::size_t gap_bucket(std::int64_t gap, std::size_t buckets);

// keys/counts (a run's gap table) split by bucket: out_keys[b], out_counts[b]
// ascending.
void gap_buckets(const std::int64_t* keys, const std::int64_t* counts, std::size_t n, std::size_t buckets,
                 std::vector<std::vector<std::int64_t>>& out_keys, std::vector<std::vector<std::int64_t>>& out_counts);

struct GapTable {
    const std::int64_t* keys = nullptr;
    const std::int64_t* counts = nullptr;
    std::size_t n = 0;
};

struct GapMode {
    bool found = false;
    std::int64_t gap = 0;
    std::int64_t count = 0;
};

// The most common gap of the tables together (the smallest among equally
// common ones, as pandas' sorted mode() lists it first), with the `extra`
// gaps of bucket `bucket` counted once each.
GapMode gap_mode(const std::vector<GapTable>& tables, const std::int64_t* extra, std::size_t n_extra,
                 std::size_t bucket, std::size_t buckets);

// The runs of all ranges, in order, merged (empty runs skipped).
struct StampAxis {
    std::int64_t count = 0;
    std::int64_t distinct = 0;
    bool filled = false;
    std::int64_t first = 0, last = 0;
    // The gaps between consecutive non-empty runs.
    std::vector<std::int64_t> straddling;
    std::vector<std::int64_t> utc_gaps, wall_gaps;  // over every gap
};

StampAxis stamp_axis(const std::vector<StampRun>& runs);

// The axis' counts, its gap mode (the buckets' modes merged) and the share
// of gaps other than the mode (0.0 without gaps).
struct StampFacts {
    std::int64_t n_distinct = 0;
    bool has_duplicates = false;
    std::int64_t unique_periods = 0;  // NaT counts as one period
    std::int64_t n_gaps = 0;
    GapMode mode;
    double irregular_share = 0.0;
};

StampFacts stamp_facts(std::int64_t rows, std::int64_t missing, std::int64_t distinct,
                       const std::vector<GapMode>& modes);

// pandas' inference of a unique, sorted axis from its smallest distinct
// gaps, `per_second` stamps a second. `day_spaced`: the smallest wall-clock
// gap is a whole number of days, where pandas reads calendar fields and the
// gaps do not decide; else `alias` is the inferred alias ("" for none).
struct StampFrequency {
    bool day_spaced = false;
    std::string alias;
};

StampFrequency stamp_frequency(const std::vector<std::int64_t>& wall_gaps, const std::vector<std::int64_t>& utc_gaps,
                               std::int64_t per_second);

// The axis finished: its facts, and pandas' inference from its smallest
// gaps where they decide it. `per_second` 0: no inference (a caller's freq,
// an integer axis); else it applies to a unique axis of three or more
// stamps without NaT (pandas infers nothing for NaT or a repeated stamp),
// and `frequency.day_spaced` asks for pandas' own inference on every stamp.
struct StampFinish {
    StampFacts facts;
    StampFrequency frequency;
    // index.min() and index.max(): NaT for an axis without a valid stamp.
    std::int64_t first = stamp_missing, last = stamp_missing;
};

StampFinish stamp_finish(std::int64_t rows, std::int64_t missing, const StampAxis& axis,
                         const std::vector<GapMode>& modes, std::int64_t per_second);

}  // namespace tamsel::kernels
