#include "time_stamps.hpp"

#include <algorithm>
#include <charconv>
#include <numeric>
#include <stdexcept>

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

// Run-length counts of sorted gaps.
void count_sorted(std::vector<std::int64_t>& gaps, std::vector<std::int64_t>& keys, std::vector<std::int64_t>& counts) {
    std::sort(gaps.begin(), gaps.end());
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

// The elements of sorted order at the ascending, distinct `positions` of
// [lo, hi), put in place by selection rather than a full sort.
void select_positions(std::int64_t* a, std::size_t lo, std::size_t hi, const std::size_t* positions, std::size_t plo,
                      std::size_t phi) {
    if (plo >= phi) return;
    const std::size_t mid = plo + (phi - plo) / 2;
    const std::size_t at = positions[mid];
    std::nth_element(a + lo, a + at, a + hi);
    select_positions(a, lo, at, positions, plo, mid);
    select_positions(a, at + 1, hi, positions, mid + 1, phi);
}

std::string counted_alias(const char* base, double count) {
    if (count == 1.0) return base;
    char digits[400];
    const auto done = std::to_chars(digits, digits + sizeof digits, count, std::chars_format::fixed, 0);
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
    if (out.missing || !ordered) {
        valid.reserve(m);
        for (std::size_t i = 0; i < n; ++i)
            if (v[i] != stamp_missing) valid.push_back(v[i]);
        sorted = valid.data();
    }
    if (m <= picks) {
        if (!ordered) std::sort(valid.begin(), valid.end());
        out.picks.assign(sorted, sorted + m);
    } else {
        // np.linspace(0, m - 1, picks) truncated to positions.
        std::vector<std::size_t> positions(picks);
        const double step = static_cast<double>(m - 1) / static_cast<double>(picks - 1);
        for (std::size_t i = 0; i + 1 < picks; ++i)
            positions[i] = static_cast<std::size_t>(static_cast<double>(i) * step);
        positions[picks - 1] = m - 1;
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        if (!ordered) select_positions(valid.data(), 0, m, positions.data(), 0, positions.size());
        for (std::size_t at : positions) out.picks.push_back(sorted[at]);
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

std::vector<std::int64_t> stamp_join(const std::vector<const std::int64_t*>& runs,
                                     const std::vector<std::size_t>& sizes) {
    std::vector<std::size_t> bounds{0};
    for (std::size_t r = 0; r < runs.size(); ++r) {
        if (!std::is_sorted(runs[r], runs[r] + sizes[r])) throw std::invalid_argument("a run of stamps is not sorted");
        if (sizes[r]) bounds.push_back(bounds.back() + sizes[r]);
    }
    std::vector<std::int64_t> out;
    out.reserve(bounds.back());
    for (std::size_t r = 0; r < runs.size(); ++r) out.insert(out.end(), runs[r], runs[r] + sizes[r]);
    // Neighbouring runs merged pairwise until one is left.
    while (bounds.size() > 2) {
        std::vector<std::size_t> next{0};
        for (std::size_t i = 0; i + 1 < bounds.size(); i += 2) {
            const std::size_t end = i + 2 < bounds.size() ? bounds[i + 2] : bounds[i + 1];
            if (i + 2 < bounds.size()) {
                const auto base = out.begin();
                std::inplace_merge(base + static_cast<std::ptrdiff_t>(bounds[i]),
                                   base + static_cast<std::ptrdiff_t>(bounds[i + 1]),
                                   base + static_cast<std::ptrdiff_t>(end));
            }
            next.push_back(end);
        }
        bounds = std::move(next);
    }
    return out;
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
    std::vector<std::pair<std::int64_t, std::int64_t>> pairs;
    for (const GapTable& t : tables)
        for (std::size_t i = 0; i < t.n; ++i) pairs.emplace_back(t.keys[i], t.counts[i]);
    for (std::size_t i = 0; i < n_extra; ++i)
        if (gap_bucket(extra[i], buckets) == bucket) pairs.emplace_back(extra[i], 1);
    std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    GapMode best;
    for (std::size_t i = 0; i < pairs.size();) {
        std::int64_t total = 0;
        std::size_t j = i;
        for (; j < pairs.size() && pairs[j].first == pairs[i].first; ++j) total += pairs[j].second;
        // Strictly more common: among equals the first, smallest gap stays.
        if (!best.found || total > best.count) best = {true, pairs[i].first, total};
        i = j;
    }
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

}  // namespace tamsel::kernels
