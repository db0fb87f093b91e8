// The figures of the per-column page: a numeric column's range, zero and
// missing counts and histogram, a coded column's level counts, a time
// column's counts per calendar period, and a target's series over time
// reduced to each bucket's extremes.
//
// Each figure is partial(rows) -> State, merge(State, State) -> State and
// finish(State) -> figures, so a frame read in parts (partitions) gets the
// same figures as one read whole. A histogram and the period counts need
// their bins before they count: their plan is made from the merged range
// state of a first look.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tamsel::kernels::page {

// The page's sizes, the same for a frame read whole or in partitions: bars
// of a histogram, levels of a panel, calendar periods of a time column, and
// buckets of a series over time (two points each: at most 1,000 points).
inline constexpr std::size_t max_bins = 40;
inline constexpr std::size_t max_levels = 15;
inline constexpr std::size_t max_periods = 120;
inline constexpr std::size_t series_buckets = 500;

// The bars of a column's histogram: one per finite value, at most max_bins.
inline std::size_t histogram_bins(std::int64_t finite) {
    return finite < 1 ? 1 : finite < static_cast<std::int64_t>(max_bins) ? static_cast<std::size_t>(finite) : max_bins;
}

// ---------------------------------------------------------------------------
// Numeric columns. NaN is missing; infinities are counted apart and left out
// of the histogram, whose range is that of the finite values.
// ---------------------------------------------------------------------------

struct RangeState {
    std::int64_t finite = 0, missing = 0, infinite = 0, zeros = 0;
    double lo = 0.0, hi = 0.0;  // of the finite values; meaningless when finite == 0
    double sum = 0.0;           // of the finite values, in row order (for the drawn mean only)
};

RangeState range_partial(const double* x, std::size_t n);
RangeState range_merge(const RangeState& a, const RangeState& b);

// np.histogram(values, bins): its edges, the range widened by 0.5 each way
// when every value is the same.
struct HistogramPlan {
    std::vector<double> edges;  // bins + 1
};

HistogramPlan histogram_plan(double lo, double hi, std::size_t bins);

struct HistogramState {
    std::vector<std::int64_t> counts;
};

// Values outside [edges.front(), edges.back()] and non-finite ones are not
// counted; the last bin includes its right edge.
HistogramState histogram_partial(const HistogramPlan& plan, const double* x, std::size_t n);
HistogramState histogram_merge(const HistogramState& a, const HistogramState& b);

// ---------------------------------------------------------------------------
// Levels of a column given as codes 0..levels-1 (pd.factorize's, in the order
// of first appearance), negative codes missing.
// ---------------------------------------------------------------------------

struct LevelState {
    std::vector<std::int64_t> counts;  // by code
    std::int64_t missing = 0;
};

LevelState levels_partial(const std::int64_t* codes, std::size_t n, std::size_t levels);
LevelState levels_merge(const LevelState& a, const LevelState& b);

struct TopLevels {
    std::vector<std::size_t> codes;  // most frequent first; ties by first appearance
    std::vector<std::int64_t> counts;
    std::int64_t other = 0;    // rows of every level not listed
    std::size_t distinct = 0;  // levels seen at least once
    std::int64_t missing = 0;
};

TopLevels levels_finish(const LevelState& s, std::size_t top);
// The same of counts already in rank order (pandas' own sort of the merged
// counts): the first `top` listed, the rest summed into "other".
TopLevels levels_finish_ranked(const LevelState& s, std::size_t top);

// ---------------------------------------------------------------------------
// Time stamps: int64 nanoseconds since the epoch (UTC), INT64_MIN for NaT.
// ---------------------------------------------------------------------------

struct StampRange {
    std::int64_t count = 0, missing = 0;
    std::int64_t lo = 0, hi = 0;  // meaningless when count == 0
};

StampRange stamps_partial(const std::int64_t* t, std::size_t n);
StampRange stamps_merge(const StampRange& a, const StampRange& b);

enum class Period : std::uint8_t { second, minute, hour, day, week, month, year };

// The finest calendar period that lays [lo, hi] in at most `max_periods`
// periods (weeks begin on Monday; months and years are the calendar's).
struct PeriodPlan {
    Period unit = Period::day;
    std::int64_t first = 0;  // index of the first period (periods since the epoch's)
    std::size_t periods = 1;
};

PeriodPlan period_plan(std::int64_t lo, std::int64_t hi, std::size_t max_periods);
// Index of the period holding t, as counted by the plan's unit.
std::int64_t period_index(Period unit, std::int64_t t);
// Start of period `index` of `unit`, in nanoseconds since the epoch.
std::int64_t period_start(Period unit, std::int64_t index);

struct PeriodState {
    std::vector<std::int64_t> counts;
};

PeriodState periods_partial(const PeriodPlan& plan, const std::int64_t* t, std::size_t n);
PeriodState periods_merge(const PeriodState& a, const PeriodState& b);

// ---------------------------------------------------------------------------
// A series over time reduced for drawing: [lo, hi] split into equal buckets,
// each keeping its smallest and largest value (the earliest row on ties).
// ---------------------------------------------------------------------------

struct SeriesPoint {
    std::int64_t t = 0;
    double v = 0.0;
    std::int64_t row = -1;  // -1: none yet
};

struct SeriesState {
    std::int64_t lo = 0, hi = 0;
    std::vector<SeriesPoint> low, high;  // by bucket
};

SeriesState series_plan(std::int64_t lo, std::int64_t hi, std::size_t buckets);
// Rows with NaT stamps or NaN values are left out; `first_row` numbers the
// part's first row so that ties resolve the same way however the rows were
// split.
void series_partial(SeriesState& s, const std::int64_t* t, const double* v, std::size_t n, std::int64_t first_row);
SeriesState series_merge(const SeriesState& a, const SeriesState& b);
// The kept points in time order (then row order), each once.
std::vector<SeriesPoint> series_finish(const SeriesState& s);

// Points as three columns (stamps, values, rows), and back: how they travel
// between the partition-wise driver's tasks. std::invalid_argument for
// columns of different lengths.
struct SeriesColumns {
    std::vector<std::int64_t> t, row;
    std::vector<double> v;
};
SeriesColumns series_columns(const std::vector<SeriesPoint>& points);
std::vector<SeriesPoint> series_points(const SeriesColumns& columns);

// ---------------------------------------------------------------------------
// A whole column cut into `parts` equal runs of rows, each run partial,
// merged left to right and finished, as the partition-wise driver combines
// partitions: any count must give the figures of one run.
// ---------------------------------------------------------------------------

// Edges and counts; both empty without a finite value.
std::pair<std::vector<double>, std::vector<std::int64_t>> histogram_in_runs(const double* x, std::size_t n,
                                                                            std::size_t bins, std::size_t parts);
TopLevels levels_in_runs(const std::int64_t* codes, std::size_t n, std::size_t levels, std::size_t top,
                         std::size_t parts);
struct PeriodCounts {
    Period unit = Period::day;
    std::vector<std::int64_t> starts, counts;  // empty without a stamp
};
PeriodCounts periods_in_runs(const std::int64_t* t, std::size_t n, std::size_t max_periods, std::size_t parts);
std::vector<SeriesPoint> series_in_runs(const std::int64_t* t, const double* v, std::size_t n, std::size_t buckets,
                                        std::size_t parts);

// The name of a period unit ("second" ... "year").
const char* period_name(Period unit);

}  // namespace tamsel::kernels::page
