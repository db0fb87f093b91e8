#include "page_figures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace tamsel::kernels::page {
namespace {

constexpr std::int64_t nat = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t ns_per_second = 1'000'000'000;
constexpr std::int64_t ns_per_day = 86'400 * ns_per_second;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    const std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Days since 1970-01-01 to the proleptic Gregorian (year, month 1-12) and
// back, by eras of 400 years (146,097 days) so negative days need no care.
void civil_from_days(std::int64_t z, std::int64_t& y, std::int64_t& m) {
    z += 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

std::int64_t days_from_civil(std::int64_t y, std::int64_t m) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

std::int64_t fixed_width(Period unit) {
    switch (unit) {
        case Period::second:
            return ns_per_second;
        case Period::minute:
            return 60 * ns_per_second;
        case Period::hour:
            return 3600 * ns_per_second;
        case Period::day:
            return ns_per_day;
        default:
            return 0;
    }
}

std::int64_t saturated_product(std::int64_t a, std::int64_t b) {
    std::int64_t out = 0;
    if (__builtin_mul_overflow(a, b, &out)) {
        // pandas' earliest stamp is INT64_MIN + 1 (INT64_MIN is NaT).
        return (a < 0) != (b < 0) ? std::numeric_limits<std::int64_t>::min() + 1
                                  : std::numeric_limits<std::int64_t>::max();
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------

RangeState range_partial(const double* x, std::size_t n) {
    RangeState s;
    double lo = std::numeric_limits<double>::infinity();
    double hi = -lo;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (std::isnan(v)) {
            ++s.missing;
        } else if (std::isinf(v)) {
            ++s.infinite;
        } else {
            ++s.finite;
            if (v == 0.0) ++s.zeros;
            s.sum += v;
            lo = std::fmin(lo, v);
            hi = std::fmax(hi, v);
        }
    }
    if (s.finite) {
        s.lo = lo;
        s.hi = hi;
    }
    return s;
}

RangeState range_merge(const RangeState& a, const RangeState& b) {
    if (!a.finite) return {b.finite, a.missing + b.missing, a.infinite + b.infinite, b.zeros, b.lo, b.hi, b.sum};
    RangeState s{a.finite + b.finite, a.missing + b.missing, a.infinite + b.infinite, a.zeros + b.zeros, a.lo, a.hi,
                 a.sum + b.sum};
    if (b.finite) {
        s.lo = std::fmin(a.lo, b.lo);
        s.hi = std::fmax(a.hi, b.hi);
    }
    return s;
}

HistogramPlan histogram_plan(double lo, double hi, std::size_t bins) {
    if (bins == 0) bins = 1;
    if (lo == hi) {
        lo -= 0.5;
        hi += 0.5;
    }
    // np.linspace(lo, hi, bins + 1): i * step + lo, the last edge exactly hi;
    // a step that underflows to zero scales i / bins by the span instead.
    const double div = static_cast<double>(bins);
    const double delta = hi - lo;
    const double step = delta / div;
    HistogramPlan plan;
    plan.edges.resize(bins + 1);
    for (std::size_t i = 0; i <= bins; ++i) {
        const double fi = static_cast<double>(i);
        plan.edges[i] = (step == 0.0 ? (fi / div) * delta : fi * step) + lo;
    }
    plan.edges[bins] = hi;
    return plan;
}

HistogramState histogram_partial(const HistogramPlan& plan, const double* x, std::size_t n) {
    const std::vector<double>& e = plan.edges;
    const std::size_t bins = e.size() - 1;
    const double first = e.front();
    const double last = e.back();
    // Only a first guess: the edges decide (below), so a reciprocal will do.
    const double per = static_cast<double>(bins) / (last - first);
    HistogramState s;
    s.counts.assign(bins, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (!(v >= first && v <= last)) continue;  // NaN fails both
        // A first guess from the arithmetic, then the edges decide, as
        // NumPy's own correction of the guess does: e[k] <= v < e[k + 1],
        // the last bin closed.
        const double guess = (v - first) * per;
        std::size_t k = !(guess < static_cast<double>(bins)) ? bins - 1 : static_cast<std::size_t>(guess);
        while (k > 0 && v < e[k]) --k;
        while (k + 1 < bins && v >= e[k + 1]) ++k;
        ++s.counts[k];
    }
    return s;
}

HistogramState histogram_merge(const HistogramState& a, const HistogramState& b) {
    HistogramState s = a;
    for (std::size_t i = 0; i < s.counts.size() && i < b.counts.size(); ++i) s.counts[i] += b.counts[i];
    return s;
}

// ---------------------------------------------------------------------------

LevelState levels_partial(const std::int64_t* codes, std::size_t n, std::size_t levels) {
    LevelState s;
    s.counts.assign(levels, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t c = codes[i];
        if (c < 0 || static_cast<std::size_t>(c) >= levels)
            ++s.missing;
        else
            ++s.counts[static_cast<std::size_t>(c)];
    }
    return s;
}

LevelState levels_merge(const LevelState& a, const LevelState& b) {
    LevelState s = a.counts.size() >= b.counts.size() ? a : b;
    const LevelState& other = a.counts.size() >= b.counts.size() ? b : a;
    for (std::size_t i = 0; i < other.counts.size(); ++i) s.counts[i] += other.counts[i];
    s.missing = a.missing + b.missing;
    return s;
}

TopLevels levels_finish(const LevelState& s, std::size_t top) {
    TopLevels out;
    out.missing = s.missing;
    std::vector<std::size_t> order;
    for (std::size_t c = 0; c < s.counts.size(); ++c) {
        if (s.counts[c] > 0) order.push_back(c);
    }
    out.distinct = order.size();
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return s.counts[a] > s.counts[b]; });
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i < top) {
            out.codes.push_back(order[i]);
            out.counts.push_back(s.counts[order[i]]);
        } else {
            out.other += s.counts[order[i]];
        }
    }
    return out;
}

TopLevels levels_finish_ranked(const LevelState& s, std::size_t top) {
    TopLevels out;
    out.missing = s.missing;
    out.distinct = s.counts.size();
    for (std::size_t c = 0; c < s.counts.size(); ++c) {
        if (c < top) {
            out.codes.push_back(c);
            out.counts.push_back(s.counts[c]);
        } else {
            out.other += s.counts[c];
        }
    }
    return out;
}

// ---------------------------------------------------------------------------

StampRange stamps_partial(const std::int64_t* t, std::size_t n) {
    StampRange s;
    s.lo = std::numeric_limits<std::int64_t>::max();
    s.hi = nat;
    for (std::size_t i = 0; i < n; ++i) {
        if (t[i] == nat) {
            ++s.missing;
            continue;
        }
        ++s.count;
        s.lo = std::min(s.lo, t[i]);
        s.hi = std::max(s.hi, t[i]);
    }
    if (!s.count) s.lo = s.hi = 0;
    return s;
}

StampRange stamps_merge(const StampRange& a, const StampRange& b) {
    if (!a.count) return {b.count, a.missing + b.missing, b.lo, b.hi};
    if (!b.count) return {a.count, a.missing + b.missing, a.lo, a.hi};
    return {a.count + b.count, a.missing + b.missing, std::min(a.lo, b.lo), std::max(a.hi, b.hi)};
}

std::int64_t period_index(Period unit, std::int64_t t) {
    if (const std::int64_t w = fixed_width(unit)) return floor_div(t, w);
    const std::int64_t days = floor_div(t, ns_per_day);
    // The epoch's day was a Thursday: three days on, weeks begin on Monday.
    if (unit == Period::week) return floor_div(days + 3, 7);
    std::int64_t y = 0, m = 0;
    civil_from_days(days, y, m);
    return unit == Period::month ? y * 12 + (m - 1) : y;
}

std::int64_t period_start(Period unit, std::int64_t index) {
    if (const std::int64_t w = fixed_width(unit)) return saturated_product(index, w);
    if (unit == Period::week) return saturated_product(index * 7 - 3, ns_per_day);
    if (unit == Period::month) {
        const std::int64_t y = floor_div(index, 12);
        return saturated_product(days_from_civil(y, index - y * 12 + 1), ns_per_day);
    }
    return saturated_product(days_from_civil(index, 1), ns_per_day);
}

PeriodPlan period_plan(std::int64_t lo, std::int64_t hi, std::size_t max_periods) {
    constexpr Period units[] = {Period::second, Period::minute, Period::hour, Period::day,
                                Period::week,   Period::month,  Period::year};
    PeriodPlan plan;
    for (Period unit : units) {
        plan.unit = unit;
        plan.first = period_index(unit, lo);
        plan.periods = static_cast<std::size_t>(period_index(unit, hi) - plan.first + 1);
        if (plan.periods <= max_periods) break;
    }
    return plan;
}

PeriodState periods_partial(const PeriodPlan& plan, const std::int64_t* t, std::size_t n) {
    PeriodState s;
    s.counts.assign(plan.periods, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (t[i] == nat) continue;
        const std::int64_t k = period_index(plan.unit, t[i]) - plan.first;
        if (k >= 0 && static_cast<std::size_t>(k) < plan.periods) ++s.counts[static_cast<std::size_t>(k)];
    }
    return s;
}

PeriodState periods_merge(const PeriodState& a, const PeriodState& b) {
    PeriodState s = a;
    for (std::size_t i = 0; i < s.counts.size() && i < b.counts.size(); ++i) s.counts[i] += b.counts[i];
    return s;
}

// ---------------------------------------------------------------------------

namespace {

// Ordering of candidates within a bucket: the value, then the earlier row.
bool lower(const SeriesPoint& a, const SeriesPoint& b) {
    if (b.row < 0) return a.row >= 0;
    if (a.row < 0) return false;
    return a.v < b.v || (a.v == b.v && a.row < b.row);
}

bool higher(const SeriesPoint& a, const SeriesPoint& b) {
    if (b.row < 0) return a.row >= 0;
    if (a.row < 0) return false;
    return a.v > b.v || (a.v == b.v && a.row < b.row);
}

}  // namespace

SeriesState series_plan(std::int64_t lo, std::int64_t hi, std::size_t buckets) {
    SeriesState s;
    s.lo = lo;
    s.hi = std::max(lo, hi);
    s.low.assign(std::max<std::size_t>(1, buckets), SeriesPoint{});
    s.high = s.low;
    return s;
}

void series_partial(SeriesState& s, const std::int64_t* t, const double* v, std::size_t n, std::int64_t first_row) {
    const std::size_t buckets = s.low.size();
    // The span as an unsigned count of nanoseconds (it can exceed INT64_MAX).
    const auto span = static_cast<std::uint64_t>(s.hi) - static_cast<std::uint64_t>(s.lo);
    const long double per = static_cast<long double>(buckets) / (static_cast<long double>(span) + 1.0L);
    for (std::size_t i = 0; i < n; ++i) {
        if (t[i] == nat || std::isnan(v[i]) || t[i] < s.lo || t[i] > s.hi) continue;
        const auto offset = static_cast<std::uint64_t>(t[i]) - static_cast<std::uint64_t>(s.lo);
        auto k = static_cast<std::size_t>(static_cast<long double>(offset) * per);
        if (k >= buckets) k = buckets - 1;
        const SeriesPoint p{t[i], v[i], first_row + static_cast<std::int64_t>(i)};
        if (lower(p, s.low[k])) s.low[k] = p;
        if (higher(p, s.high[k])) s.high[k] = p;
    }
}

SeriesState series_merge(const SeriesState& a, const SeriesState& b) {
    SeriesState s = a;
    for (std::size_t k = 0; k < s.low.size() && k < b.low.size(); ++k) {
        if (lower(b.low[k], s.low[k])) s.low[k] = b.low[k];
        if (higher(b.high[k], s.high[k])) s.high[k] = b.high[k];
    }
    return s;
}

std::vector<SeriesPoint> series_finish(const SeriesState& s) {
    std::vector<SeriesPoint> out;
    for (std::size_t k = 0; k < s.low.size(); ++k) {
        const SeriesPoint& a = s.low[k];
        const SeriesPoint& b = s.high[k];
        if (a.row < 0) continue;
        const bool a_first = a.t < b.t || (a.t == b.t && a.row <= b.row);
        out.push_back(a_first ? a : b);
        if (a.row != b.row) out.push_back(a_first ? b : a);
    }
    return out;
}

SeriesColumns series_columns(const std::vector<SeriesPoint>& points) {
    SeriesColumns out;
    for (const SeriesPoint& p : points) {
        out.t.push_back(p.t);
        out.v.push_back(p.v);
        out.row.push_back(p.row);
    }
    return out;
}

std::vector<SeriesPoint> series_points(const SeriesColumns& c) {
    if (c.v.size() != c.t.size() || c.row.size() != c.t.size())
        throw std::invalid_argument("series points: stamps, values and rows differ in length");
    std::vector<SeriesPoint> out(c.t.size());
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = {c.t[k], c.v[k], c.row[k]};
    return out;
}

namespace {

// [begin, end) of run r of `parts` over n rows.
std::pair<std::size_t, std::size_t> run_of(std::size_t n, std::size_t parts, std::size_t r) {
    return {n * r / parts, n * (r + 1) / parts};
}

// The runs' states of `partial(begin, end)` merged left to right onto `first`.
template <class State, class Partial, class Merge>
State fold_runs(State first, std::size_t n, std::size_t parts, Partial&& partial, Merge&& merge) {
    if (parts == 0) throw std::invalid_argument("parts must be at least 1");
    for (std::size_t r = 0; r < parts; ++r) {
        const auto [b, e] = run_of(n, parts, r);
        first = merge(first, partial(b, e));
    }
    return first;
}

StampRange stamps_in_runs(const std::int64_t* t, std::size_t n, std::size_t parts) {
    return fold_runs(
        StampRange{}, n, parts, [&](std::size_t b, std::size_t e) { return stamps_partial(t + b, e - b); },
        stamps_merge);
}

}  // namespace

std::pair<std::vector<double>, std::vector<std::int64_t>> histogram_in_runs(const double* x, std::size_t n,
                                                                            std::size_t bins, std::size_t parts) {
    const RangeState range = fold_runs(
        RangeState{}, n, parts, [&](std::size_t b, std::size_t e) { return range_partial(x + b, e - b); }, range_merge);
    if (!range.finite) return {};
    const HistogramPlan plan = histogram_plan(range.lo, range.hi, bins);
    const HistogramState hist = fold_runs(
        histogram_partial(plan, nullptr, 0), n, parts,
        [&](std::size_t b, std::size_t e) { return histogram_partial(plan, x + b, e - b); }, histogram_merge);
    return {plan.edges, hist.counts};
}

TopLevels levels_in_runs(const std::int64_t* codes, std::size_t n, std::size_t levels, std::size_t top,
                         std::size_t parts) {
    const LevelState state = fold_runs(
        LevelState{}, n, parts, [&](std::size_t b, std::size_t e) { return levels_partial(codes + b, e - b, levels); },
        levels_merge);
    return levels_finish(state, top);
}

PeriodCounts periods_in_runs(const std::int64_t* t, std::size_t n, std::size_t max_periods, std::size_t parts) {
    const StampRange range = stamps_in_runs(t, n, parts);
    if (!range.count) return {};
    const PeriodPlan plan = period_plan(range.lo, range.hi, max_periods);
    PeriodCounts out;
    out.unit = plan.unit;
    out.counts = fold_runs(
                     periods_partial(plan, nullptr, 0), n, parts,
                     [&](std::size_t b, std::size_t e) { return periods_partial(plan, t + b, e - b); }, periods_merge)
                     .counts;
    for (std::size_t p = 0; p < plan.periods; ++p)
        out.starts.push_back(period_start(plan.unit, plan.first + static_cast<std::int64_t>(p)));
    return out;
}

std::vector<SeriesPoint> series_in_runs(const std::int64_t* t, const double* v, std::size_t n, std::size_t buckets,
                                        std::size_t parts) {
    const StampRange range = stamps_in_runs(t, n, parts);
    const SeriesState empty = series_plan(range.lo, range.hi, buckets);
    const auto partial = [&](std::size_t b, std::size_t e) {
        SeriesState part = empty;
        series_partial(part, t + b, v + b, e - b, static_cast<std::int64_t>(b));
        return part;
    };
    return series_finish(fold_runs(empty, n, parts, partial, series_merge));
}

const char* period_name(Period unit) {
    switch (unit) {
        case Period::second:
            return "second";
        case Period::minute:
            return "minute";
        case Period::hour:
            return "hour";
        case Period::day:
            return "day";
        case Period::week:
            return "week";
        case Period::month:
            return "month";
        default:
            return "year";
    }
}

}  // namespace tamsel::kernels::page
