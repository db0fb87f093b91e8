#include "time_stamps.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <functional>
#include <numeric>
#include <queue>
#include <stdexcept>
#include <utility>

namespace tamsel::kernels {
namespace {

// b - a as np.diff subtracts int64: wrapping, never undefined.
std::int64_t step_of(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a));
}

// Keeps `buf` the up to k smallest distinct values seen, ascending.
void keep_smallest(std::vector<std::int64_t>& buf, std::int64_t x, std::size_t k) {
    if (buf.size() == k && x >= buf.back()) return;
    auto at = std::lower_bound(buf.begin(), buf.end(), x);
    if (at != buf.end() && *at == x) return;
    buf.insert(at, x);
    if (buf.size() > k) buf.pop_back();
}

std::uint64_t mix(std::int64_t gap) { return static_cast<std::uint64_t>(gap) * 0x9E3779B97F4A7C15ULL; }

// Distinct gaps counted in a small open-addressing table; an axis with more
// distinct gaps than it holds is counted by sorting them instead.
class GapCounter {
public:
    bool add(std::int64_t gap) {
        std::size_t at = (mix(gap) >> 40) & (slots - 1);
        while (used_[at]) {
            if (keys_[at] == gap) {
                ++counts_[at];
                return true;
            }
            at = (at + 1) & (slots - 1);
        }
        if (size_ == limit) return false;
        used_[at] = 1;
        keys_[at] = gap;
        counts_[at] = 1;
        ++size_;
        return true;
    }
    void table(std::vector<std::int64_t>& keys, std::vector<std::int64_t>& counts) const {
        std::vector<std::size_t> order;
        order.reserve(size_);
        for (std::size_t i = 0; i < slots; ++i)
            if (used_[i]) order.push_back(i);
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys_[a] < keys_[b]; });
        for (std::size_t i : order) {
            keys.push_back(keys_[i]);
            counts.push_back(counts_[i]);
        }
    }

private:
    static constexpr std::size_t slots = 8192;
    static constexpr std::size_t limit = slots / 2;
    std::vector<std::uint8_t> used_ = std::vector<std::uint8_t>(slots);
    std::vector<std::int64_t> keys_ = std::vector<std::int64_t>(slots);
    std::vector<std::int64_t> counts_ = std::vector<std::int64_t>(slots);
    std::size_t size_ = 0;
};

// Sorts int64 values ascending: least significant digit first over the
// offsets from the smallest value, as many digits as the values span (a
// gap table's values span little), one read counting all digits.
void sort_stamps(std::int64_t* a, std::size_t n) {
    if (n < 1024) {
        std::sort(a, a + n);
        return;
    }
    const auto [lo, hi] = std::minmax_element(a, a + n);
    const auto base = static_cast<std::uint64_t>(*lo);
    const std::uint64_t range = static_cast<std::uint64_t>(*hi) - base;
    if (range == 0) return;
    constexpr int digit = 11;
    constexpr std::size_t radix = std::size_t{1} << digit;
    const int bits = 64 - __builtin_clzll(range);
    const int digits = (bits + digit - 1) / digit;
    std::vector<std::array<std::size_t, radix>> counts(static_cast<std::size_t>(digits));
    for (auto& c : counts) c.fill(0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = static_cast<std::uint64_t>(a[i]) - base;
        for (int d = 0; d < digits; ++d) ++counts[static_cast<std::size_t>(d)][(key >> (d * digit)) & (radix - 1)];
    }
    std::vector<std::int64_t> spare(n);
    std::int64_t* from = a;
    std::int64_t* to = spare.data();
    for (int d = 0; d < digits; ++d) {
        auto& at = counts[static_cast<std::size_t>(d)];
        std::size_t sum = 0;
        for (std::size_t& c : at) sum += std::exchange(c, sum);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = static_cast<std::uint64_t>(from[i]) - base;
            to[at[(key >> (d * digit)) & (radix - 1)]++] = from[i];
        }
        std::swap(from, to);
    }
    if (from != a) std::copy(from, from + n, a);
}

// Run-length counts of sorted gaps.
void count_sorted(std::vector<std::int64_t>& gaps, std::vector<std::int64_t>& keys, std::vector<std::int64_t>& counts) {
    sort_stamps(gaps.data(), gaps.size());
    for (std::size_t i = 0; i < gaps.size();) {
        std::size_t j = i + 1;
        while (j < gaps.size() && gaps[j] == gaps[i]) ++j;
        keys.push_back(gaps[i]);
        counts.push_back(static_cast<std::int64_t>(j - i));
        i = j;
    }
}

// The gap table of `values`; false when they decrease somewhere.
bool count_gaps(const std::int64_t* v, std::size_t n, std::vector<std::int64_t>& keys,
                std::vector<std::int64_t>& counts) {
    if (n < 2) return true;
    const std::int64_t common = step_of(v[0], v[1]);
    std::size_t i = 1;
    // Most axes step evenly: one pass, no table.
    for (; i < n; ++i) {
        if (v[i] < v[i - 1]) return false;
        if (step_of(v[i - 1], v[i]) != common) break;
    }
    if (i == n) {
        keys.push_back(common);
        counts.push_back(static_cast<std::int64_t>(n - 1));
        return true;
    }
    GapCounter counter;
    std::size_t counted = 0;  // gaps [0, counted) are in the counter
    for (std::size_t j = 1; j < n; ++j) {
        if (v[j] < v[j - 1]) return false;
        if (counted == j - 1 && counter.add(step_of(v[j - 1], v[j]))) counted = j;
    }
    if (counted == n - 1) {
        counter.table(keys, counts);
        return true;
    }
    std::vector<std::int64_t> gaps(n - 1);
    for (std::size_t j = 1; j < n; ++j) gaps[j - 1] = step_of(v[j - 1], v[j]);
    count_sorted(gaps, keys, counts);
    return true;
}

// A fixed sequence of positions below m (splitmix64), so that the sample
// of a partition does not depend on how its rows happen to be ordered.
std::size_t sample_position(std::uint64_t& state, std::size_t m) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<std::size_t>((z ^ (z >> 31)) % m);
}

// The count is pandas' float quotient of two int64 values, a whole number of
// at most 2**63 in magnitude, so it prints as the integer it is (and the
// modules carry no fixed-precision float printer, whose tables weigh more
// than most kernels).
std::string counted_alias(const char* base, double count) {
    if (count == 1.0) return base;
    char digits[24];
    char* start = digits;
    if (count < 0.0) *start++ = '-';
    const auto done = std::to_chars(start, digits + sizeof digits, static_cast<std::uint64_t>(std::fabs(count)));
    return std::string(digits, done.ptr) + base;
}

// pandas' intraday rules (_FrequencyInferer.get_freq past its day test):
// business hours by the wall-clock gaps (one hour, and the night or the
// weekend), else the single distinct gap in the largest unit it divides.
std::string intraday_alias(const std::vector<std::int64_t>& wall, const std::vector<std::int64_t>& utc,
                           std::int64_t per_second) {
    const std::int64_t per_hour = per_second * 3600;
    const std::int64_t h = per_hour;
    using Gaps = std::vector<std::int64_t>;
    if (wall == Gaps{h, 17 * h} || wall == Gaps{h, 65 * h} || wall == Gaps{h, 17 * h, 65 * h}) return "bh";
    if (utc.size() != 1) return "";
    const std::int64_t delta = utc[0];
    const std::pair<std::int64_t, const char*> units[] = {
        {per_hour, "h"},           {per_hour / 60, "min"},       {per_second, "s"},
        {per_second / 1000, "ms"}, {per_second / 1000000, "us"},
    };
    for (const auto& [step, base] : units) {
        if (step && delta % step == 0) return counted_alias(base, static_cast<double>(delta / step));
    }
    return delta == 1 ? std::string("ns") : std::to_string(delta) + "ns";
}

}  // namespace

StampScan stamp_scan(const std::int64_t* v, std::size_t n, std::size_t picks) {
    StampScan out;
    out.rows = static_cast<std::int64_t>(n);
    bool ordered = true, any = false;
    std::int64_t first = 0, last = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t x = v[i];
        if (x == stamp_missing) {
            ++out.missing;
            continue;
        }
        if (!any) {
            first = x;
            any = true;
        } else if (x < last) {
            ordered = false;
        }
        last = x;
    }
    out.ordered.push_back(ordered);
    out.filled.push_back(any);
    out.first.push_back(first);
    out.last.push_back(last);
    const std::size_t m = n - static_cast<std::size_t>(out.missing);
    if (m == 0 || picks == 0) return out;
    std::vector<std::int64_t> valid;
    const std::int64_t* sorted = v;
    if (!ordered) {
        // The picks only cut the axis into ranges of about equal size (the
        // figures do not depend on them): out of order, a sample of the
        // partition stands for it rather than a sort of every stamp.
        std::vector<std::int64_t> pool;
        if (out.missing) {
            pool.reserve(m);
            for (std::size_t i = 0; i < n; ++i)
                if (v[i] != stamp_missing) pool.push_back(v[i]);
        }
        const std::int64_t* from = out.missing ? pool.data() : v;
        std::uint64_t state = 0;
        const std::size_t draws = std::min(m, 16 * picks);
        for (std::size_t i = 0; i < draws; ++i) valid.push_back(from[m == draws ? i : sample_position(state, m)]);
        std::sort(valid.begin(), valid.end());
        sorted = valid.data();
    } else if (out.missing) {
        for (std::size_t i = 0; i < n; ++i)
            if (v[i] != stamp_missing) valid.push_back(v[i]);
        sorted = valid.data();
    }
    const std::size_t k = ordered ? m : valid.size();
    if (k <= picks) {
        out.picks.assign(sorted, sorted + k);
    } else {
        // np.linspace(0, k - 1, picks) truncated to positions.
        const double step = static_cast<double>(k - 1) / static_cast<double>(picks - 1);
        for (std::size_t i = 0; i + 1 < picks; ++i)
            out.picks.push_back(sorted[static_cast<std::size_t>(static_cast<double>(i) * step)]);
        out.picks.push_back(sorted[k - 1]);
    }
    out.weights.assign(out.picks.size(), static_cast<double>(m) / static_cast<double>(out.picks.size()));
    return out;
}

void stamp_scan_merge(StampScan& into, const StampScan& later) {
    into.rows += later.rows;
    into.missing += later.missing;
    into.picks.insert(into.picks.end(), later.picks.begin(), later.picks.end());
    into.weights.insert(into.weights.end(), later.weights.begin(), later.weights.end());
    into.ordered.insert(into.ordered.end(), later.ordered.begin(), later.ordered.end());
    into.filled.insert(into.filled.end(), later.filled.begin(), later.filled.end());
    into.first.insert(into.first.end(), later.first.begin(), later.first.end());
    into.last.insert(into.last.end(), later.last.begin(), later.last.end());
}

StampPlan stamp_plan(const StampScan& scan, std::size_t rows_per_range, bool in_order_road) {
    if (rows_per_range == 0) throw std::invalid_argument("rows_per_range must be positive");
    StampPlan plan;
    const auto n_valid = static_cast<std::size_t>(scan.rows - scan.missing);
    const std::size_t wanted = std::max<std::size_t>(1, (n_valid + rows_per_range - 1) / rows_per_range);
    if (in_order_road) {
        bool in_order = true, seen = false;
        std::int64_t last = 0;
        for (std::size_t p = 0; p < scan.ordered.size() && in_order; ++p) {
            if (!scan.ordered[p] || (scan.filled[p] && seen && scan.first[p] < last)) {
                in_order = false;
                break;
            }
            plan.has_previous.push_back(seen);
            plan.previous.push_back(seen ? last : 0);
            if (scan.filled[p]) {
                last = scan.last[p];
                seen = true;
            }
        }
        if (in_order) {
            plan.in_order = true;
            plan.ranges = wanted;
            return plan;
        }
        plan.has_previous.clear();
        plan.previous.clear();
    }
    if (wanted == 1 || scan.picks.empty()) return plan;
    // Cuts at the weighted quantiles of the partitions' evenly spaced stamps.
    const std::size_t k = scan.picks.size();
    std::vector<std::size_t> order(k);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return scan.picks[a] < scan.picks[b]; });
    std::vector<double> cumulative(k);
    double total = 0.0;
    for (std::size_t i = 0; i < k; ++i) cumulative[i] = total += scan.weights[order[i]];
    const std::int64_t smallest = scan.picks[order[0]];
    for (std::size_t r = 1; r < wanted; ++r) {
        const double target = total * static_cast<double>(r) / static_cast<double>(wanted);
        std::size_t at = static_cast<std::size_t>(std::lower_bound(cumulative.begin(), cumulative.end(), target) -
                                                  cumulative.begin());
        const std::int64_t cut = scan.picks[order[std::min(at, k - 1)]];
        // A range starts at its cut; the smallest value needs no cut of its own.
        if (cut > smallest && (plan.cuts.empty() || cut > plan.cuts.back())) plan.cuts.push_back(cut);
    }
    plan.ranges = plan.cuts.size() + 1;
    return plan;
}

RunStatus stamp_run(const std::int64_t* v, std::size_t n, const std::int64_t* wall, const std::int64_t* previous,
                    StampRun& out) {
    out = StampRun{};
    out.count = static_cast<std::int64_t>(n);
    if (n == 0) return RunStatus::ok;
    if (previous && v[0] < *previous) return RunStatus::out_of_order;
    if (!count_gaps(v, n, out.gap_keys, out.gap_counts)) return RunStatus::out_of_order;
    const std::int64_t zeros = !out.gap_keys.empty() && out.gap_keys[0] == 0 ? out.gap_counts[0] : 0;
    const std::int64_t repeats_previous = previous && v[0] == *previous ? 1 : 0;
    out.distinct = out.count - zeros - repeats_previous;
    out.first = v[0];
    out.last = v[n - 1];
    const std::size_t kept = std::min(out.gap_keys.size(), stamp_smallest_gaps);
    out.utc_gaps.assign(out.gap_keys.begin(), out.gap_keys.begin() + static_cast<std::ptrdiff_t>(kept));
    if (wall == nullptr) {
        out.first_wall = out.first;
        out.last_wall = out.last;
        out.wall_gaps = out.utc_gaps;
        return RunStatus::ok;
    }
    out.first_wall = wall[0];
    out.last_wall = wall[n - 1];
    for (std::size_t i = 1; i < n; ++i)
        keep_smallest(out.wall_gaps, step_of(wall[i - 1], wall[i]), stamp_smallest_gaps);
    return RunStatus::ok;
}

void stamp_route(const std::int64_t* v, std::size_t n, const std::vector<std::int64_t>& cuts,
                 std::vector<std::vector<std::int64_t>>& out) {
    if (!std::is_sorted(cuts.begin(), cuts.end())) throw std::invalid_argument("the cuts are not sorted");
    // As np.searchsorted(sorted, cuts, side="left") splits a sorted
    // partition: a stamp equal to a cut opens that cut's range. A few cuts
    // are counted without branches; many are searched.
    const auto range_of = [&](std::int64_t x) {
        if (cuts.size() > 16)
            return static_cast<std::size_t>(std::upper_bound(cuts.begin(), cuts.end(), x) - cuts.begin());
        std::size_t r = 0;
        for (std::int64_t c : cuts) r += x >= c ? 1 : 0;
        return r;
    };
    // Each stamp's range once (the cuts are fewer than 2^32), then each
    // range reserved at its size and written in row order.
    std::vector<std::uint32_t> at(n);
    std::vector<std::size_t> sizes(cuts.size() + 2, 0);
    const auto skipped = static_cast<std::uint32_t>(cuts.size() + 1);
    for (std::size_t i = 0; i < n; ++i) {
        at[i] = v[i] == stamp_missing ? skipped : static_cast<std::uint32_t>(range_of(v[i]));
        ++sizes[at[i]];
    }
    out.assign(cuts.size() + 1, {});
    for (std::size_t r = 0; r < out.size(); ++r) out[r].reserve(sizes[r]);
    for (std::size_t i = 0; i < n; ++i)
        if (at[i] != skipped) out[at[i]].push_back(v[i]);
}

RunStatus stamp_reduce(const std::int64_t* v, std::size_t n, const std::int64_t* wall, const std::int64_t* previous,
                       std::size_t buckets, StampRun& out, std::vector<std::vector<std::int64_t>>& bucket_keys,
                       std::vector<std::vector<std::int64_t>>& bucket_counts) {
    if (buckets == 0) throw std::invalid_argument("at least one gap bucket");
    const std::size_t missing = static_cast<std::size_t>(std::count(v, v + n, stamp_missing));
    std::vector<std::int64_t> valid, valid_wall;
    if (missing) {
        valid.reserve(n - missing);
        if (wall) valid_wall.reserve(n - missing);
        for (std::size_t i = 0; i < n; ++i) {
            if (v[i] == stamp_missing) continue;
            valid.push_back(v[i]);
            if (wall) valid_wall.push_back(wall[i]);
        }
        v = valid.data();
        n = valid.size();
        if (wall) wall = valid_wall.data();
    }
    const RunStatus status = stamp_run(v, n, wall, previous, out);
    if (status == RunStatus::ok)
        gap_buckets(out.gap_keys.data(), out.gap_counts.data(), out.gap_keys.size(), buckets, bucket_keys,
                    bucket_counts);
    return status;
}

std::size_t gap_bucket(std::int64_t gap, std::size_t buckets) {
    return static_cast<std::size_t>((mix(gap) >> 33) % static_cast<std::uint64_t>(buckets));
}

void gap_buckets(const std::int64_t* keys, const std::int64_t* counts, std::size_t n, std::size_t buckets,
                 std::vector<std::vector<std::int64_t>>& out_keys, std::vector<std::vector<std::int64_t>>& out_counts) {
    if (buckets == 0) throw std::invalid_argument("at least one gap bucket");
    out_keys.assign(buckets, {});
    out_counts.assign(buckets, {});
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t b = gap_bucket(keys[i], buckets);
        out_keys[b].push_back(keys[i]);
        out_counts[b].push_back(counts[i]);
    }
}

GapMode gap_mode(const std::vector<GapTable>& tables, const std::int64_t* extra, std::size_t n_extra,
                 std::size_t bucket, std::size_t buckets) {
    std::vector<std::int64_t> mine;
    for (std::size_t i = 0; i < n_extra; ++i)
        if (gap_bucket(extra[i], buckets) == bucket) mine.push_back(extra[i]);
    std::sort(mine.begin(), mine.end());
    const std::vector<std::int64_t> ones(mine.size(), 1);
    std::vector<GapTable> sources = tables;
    sources.push_back({mine.data(), ones.data(), mine.size()});
    for (const GapTable& t : sources) {
        if (!std::is_sorted(t.keys, t.keys + t.n)) throw std::invalid_argument("a gap table is not sorted");
    }
    // The tables merged in key order (a heap of their heads), the counts
    // of equal gaps added up.
    using Head = std::pair<std::int64_t, std::size_t>;  // key, source
    std::vector<std::size_t> at(sources.size(), 0);
    std::priority_queue<Head, std::vector<Head>, std::greater<>> heads;
    for (std::size_t k = 0; k < sources.size(); ++k)
        if (sources[k].n) heads.emplace(sources[k].keys[0], k);
    GapMode best;
    bool open = false;
    std::int64_t key = 0, total = 0;
    const auto close = [&] {
        // Strictly more common: among equals the first, smallest gap stays.
        if (open && (!best.found || total > best.count)) best = {true, key, total};
    };
    while (!heads.empty()) {
        const auto [gap, k] = heads.top();
        heads.pop();
        if (!open || gap != key) {
            close();
            open = true;
            key = gap;
            total = 0;
        }
        total += sources[k].counts[at[k]];
        if (++at[k] < sources[k].n) heads.emplace(sources[k].keys[at[k]], k);
    }
    close();
    return best;
}

StampAxis stamp_axis(const std::vector<StampRun>& runs) {
    StampAxis axis;
    const StampRun* before = nullptr;
    for (const StampRun& run : runs) {
        axis.count += run.count;
        if (run.count == 0) continue;
        axis.distinct += run.distinct;
        for (std::int64_t g : run.utc_gaps) keep_smallest(axis.utc_gaps, g, stamp_smallest_gaps);
        for (std::int64_t g : run.wall_gaps) keep_smallest(axis.wall_gaps, g, stamp_smallest_gaps);
        if (before == nullptr) {
            axis.filled = true;
            axis.first = run.first;
        } else {
            axis.straddling.push_back(step_of(before->last, run.first));
            keep_smallest(axis.utc_gaps, axis.straddling.back(), stamp_smallest_gaps);
            keep_smallest(axis.wall_gaps, step_of(before->last_wall, run.first_wall), stamp_smallest_gaps);
        }
        axis.last = run.last;
        before = &run;
    }
    return axis;
}

StampFacts stamp_facts(std::int64_t rows, std::int64_t missing, std::int64_t distinct,
                       const std::vector<GapMode>& modes) {
    StampFacts out;
    const std::int64_t valid = rows - missing;
    out.n_distinct = distinct;
    out.has_duplicates = distinct < valid;
    out.unique_periods = distinct + (missing ? 1 : 0);
    out.n_gaps = std::max<std::int64_t>(valid - 1, 0);
    // The buckets hold disjoint gaps: the most common of their modes, the
    // smallest gap among equals.
    for (const GapMode& m : modes) {
        if (m.found &&
            (!out.mode.found || m.count > out.mode.count || (m.count == out.mode.count && m.gap < out.mode.gap)))
            out.mode = m;
    }
    if (out.n_gaps && out.mode.found)
        out.irregular_share = static_cast<double>(out.n_gaps - out.mode.count) / static_cast<double>(out.n_gaps);
    return out;
}

StampFrequency stamp_frequency(const std::vector<std::int64_t>& wall_gaps, const std::vector<std::int64_t>& utc_gaps,
                               std::int64_t per_second) {
    StampFrequency out;
    const std::int64_t per_day = per_second * 86400;
    if (!wall_gaps.empty() && wall_gaps[0] != 0 && wall_gaps[0] % per_day == 0) {
        out.day_spaced = true;
        return out;
    }
    out.alias = intraday_alias(wall_gaps, utc_gaps, per_second);
    return out;
}

StampFinish stamp_finish(std::int64_t rows, std::int64_t missing, const StampAxis& axis,
                         const std::vector<GapMode>& modes, std::int64_t per_second) {
    StampFinish out;
    out.facts = stamp_facts(rows, missing, axis.distinct, modes);
    if (axis.filled) {
        out.first = axis.first;
        out.last = axis.last;
    }
    if (per_second > 0 && rows >= 3 && missing == 0 && axis.distinct == rows)
        out.frequency = stamp_frequency(axis.wall_gaps, axis.utc_gaps, per_second);
    return out;
}

StampScan stamp_scans_merged(const std::vector<StampScan>& scans) {
    StampScan merged;
    for (const StampScan& scan : scans) stamp_scan_merge(merged, scan);
    return merged;
}

}  // namespace tamsel::kernels
