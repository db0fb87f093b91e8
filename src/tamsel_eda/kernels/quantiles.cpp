#include "quantiles.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "order_key.hpp"
#include "pairwise_tree.hpp"

namespace tamsel::kernels {
namespace {

constexpr std::size_t chunk = 4096;
// Below this many rows a sort of the keys is cheaper than clearing tables
// for every possible bucket (and deeper levels always sort: their tables
// would be large, and only one bucket's values are in them).
constexpr std::size_t dense_from = std::size_t{1} << 16;
// Up to this many buckets a gather compares each value's bucket with each.
constexpr std::size_t few_requests = 8;

// Calls visit(key, value) for every present value of rows [0, n), and counts
// the missing ones.
template <class Visit>
std::uint64_t for_each_key(const ColumnView& col, std::size_t n, Visit visit) {
    double values[chunk];
    std::uint64_t missing = 0;
    for (std::size_t begin = 0; begin < n; begin += chunk) {
        const std::size_t count = std::min(chunk, n - begin);
        load_doubles(col, begin, count, values);
        for (std::size_t i = 0; i < count; ++i) {
            const double v = values[i];
            if (v != v) {
                ++missing;
                continue;
            }
            visit(order_key(v), v);
        }
    }
    return missing;
}

void append(BucketScan& s, std::uint32_t b, std::uint64_t count, std::uint64_t lo, std::uint64_t hi) {
    s.bucket.push_back(b);
    s.count.push_back(count);
    s.lo.push_back(lo);
    s.hi.push_back(hi);
}

void note_zero(BucketScan& s, double v) {
    if (v == 0) (std::signbit(v) ? s.neg_zero : s.pos_zero) = true;
}

BucketScan scan_sorted(const ColumnView& col, std::size_t n, const BucketLevel& level) {
    std::vector<std::uint64_t> keys;
    if (level.level == 0) keys.reserve(n);
    BucketScan s;
    s.level = level;
    s.missing = for_each_key(col, n, [&](std::uint64_t k, double v) {
        if (!level.holds(k)) return;
        keys.push_back(k);
        note_zero(s, v);
    });
    std::sort(keys.begin(), keys.end());
    for (std::size_t i = 0; i < keys.size();) {
        const std::uint32_t b = level.bucket(keys[i]);
        std::size_t j = i + 1;
        while (j < keys.size() && level.bucket(keys[j]) == b) ++j;
        append(s, b, j - i, keys[i], keys[j - 1]);
        i = j;
    }
    return s;
}

BucketScan scan_dense(const ColumnView& col, std::size_t n) {
    const BucketLevel level;
    // Per bucket, 1 + the index of its entry (0: not seen yet). A table of
    // every bucket is a few MB: each thread keeps its own from scan to scan
    // and clears only what a scan touched, so a scan neither allocates nor
    // sweeps it (a process that hands freed memory back to the system would
    // fault it in again every time).
    thread_local std::vector<std::uint32_t> slot;
    if (slot.size() != level.size()) slot.assign(level.size(), 0);
    std::vector<std::uint32_t> seen;
    std::vector<std::uint64_t> count, lo, hi;
    struct Clear {
        std::vector<std::uint32_t>& seen;
        ~Clear() {
            for (std::uint32_t b : seen) slot[b] = 0;
        }
    } clear{seen};
    BucketScan s;
    s.missing = for_each_key(col, n, [&](std::uint64_t k, double v) {
        note_zero(s, v);
        const std::uint32_t b = level.bucket(k);
        std::uint32_t& at = slot[b];
        if (at == 0) {
            seen.push_back(b);
            count.push_back(0);
            lo.push_back(k);
            hi.push_back(k);
            at = static_cast<std::uint32_t>(seen.size());
        }
        const std::size_t i = at - 1;
        ++count[i];
        lo[i] = std::min(lo[i], k);
        hi[i] = std::max(hi[i], k);
    });
    std::vector<std::uint32_t> order(seen.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return seen[a] < seen[b]; });
    for (std::uint32_t i : order) append(s, seen[i], count[i], lo[i], hi[i]);
    return s;
}

// nth_element for each of the sorted, distinct ranks r[0..nr) within
// [lo, hi): afterwards b[r[i]] holds the value of that rank. The middle rank
// splits the range first, so the quartiles are looked for in halves; a rank
// right after one just placed is the smallest value above it, one scan.
void select_ranks(double* b, std::size_t lo, std::size_t hi, const std::size_t* r, std::size_t nr) {
    if (nr == 0 || lo >= hi) return;
    const std::size_t mid = nr / 2;
    const std::size_t k = r[mid];
    std::nth_element(b + lo, b + k, b + hi);
    std::size_t right = mid + 1;
    if (right < nr && r[right] == k + 1) {
        std::iter_swap(b + k + 1, std::min_element(b + k + 1, b + hi));
        ++right;
    }
    select_ranks(b, lo, k, r, mid);
    select_ranks(b, r[right - 1] + 1, hi, r + right, nr - right);
}

// The values of the sorted, distinct ranks r[0..nr) of f[0..nf) into
// values[0..nr), on a long column in one pass: a strided sample, sorted,
// brackets each rank by the sample values a few standard errors around it;
// the pass counts the values between brackets and gathers those inside, and
// the ranks are selected among the gathered ones. When a rank falls outside
// its bracket (a sample unlike the column), or too much was gathered, the
// whole column is partitioned instead. Either way the values are the exact
// order statistics.
bool bracketed_ranks(const double* f, std::size_t nf, const std::size_t* r, std::size_t nr, double* values,
                     double* spare, std::size_t spare_size) {
    constexpr std::size_t sample_size = 16384, margin = 256;
    if (nf < 4 * sample_size || spare_size < sample_size + nf / 4) return false;
    double* sample = spare;
    const std::size_t stride = nf / sample_size;
    for (std::size_t i = 0; i < sample_size; ++i) sample[i] = f[i * stride];
    std::sort(sample, sample + sample_size);

    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Interval {
        double lo, hi;
    };
    Interval interval[6];
    std::size_t ni = 0;
    for (std::size_t j = 0; j < nr; ++j) {
        const auto at = static_cast<std::size_t>(static_cast<double>(r[j]) / static_cast<double>(nf) * sample_size);
        const std::size_t a = at > margin ? at - margin : 0;
        const std::size_t b = at + margin < sample_size - 1 ? at + margin : sample_size - 1;
        const double lo = a == 0 ? -inf : sample[a];
        const double hi = b == sample_size - 1 ? inf : sample[b];
        if (ni > 0 && lo <= interval[ni - 1].hi) {
            interval[ni - 1].hi = std::max(interval[ni - 1].hi, hi);
        } else {
            interval[ni++] = {lo, hi};
        }
    }

    double* gathered = spare + sample_size;
    const std::size_t capacity = std::min(spare_size - sample_size, nf / 4);
    std::size_t ng = 0;
    std::size_t gap[7] = {0, 0, 0, 0, 0, 0, 0};  // below interval k (above k - 1)
    std::size_t inside[6] = {0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < nf; ++i) {
        const double v = f[i];
        std::size_t k = 0;
        while (k < ni && v > interval[k].hi) ++k;
        if (k < ni && v >= interval[k].lo) {
            if (ng == capacity) return false;
            gathered[ng++] = v;
            ++inside[k];
        } else {
            ++gap[k];
        }
    }

    std::size_t local[6];
    for (std::size_t j = 0; j < nr; ++j) {
        std::size_t below = 0, gathered_below = 0, k = 0;
        for (; k < ni; ++k) {
            below += gap[k];
            if (r[j] < below + gathered_below + inside[k]) break;
            gathered_below += inside[k];
        }
        if (k == ni || r[j] < below + gathered_below) return false;
        local[j] = r[j] - below;
    }
    select_ranks(gathered, 0, ng, local, nr);
    for (std::size_t j = 0; j < nr; ++j) values[j] = gathered[local[j]];
    return true;
}

// Python's min() and max() of a list: the first of equal values, NaN
// never replacing nor replaced after the first.
double first_min(const double* v, std::size_t n) {
    double m = v[0];
    for (std::size_t i = 1; i < n; ++i) m = v[i] < m ? v[i] : m;
    return m;
}

double first_max(const double* v, std::size_t n) {
    double m = v[0];
    for (std::size_t i = 1; i < n; ++i) m = v[i] > m ? v[i] : m;
    return m;
}

// The fences round differently from corner to corner of the brackets; a
// margin far above that rounding keeps the true fence inside.
std::pair<double, double> widen(double low, double high) {
    const double span = high - low;
    if (std::isfinite(low) && std::isfinite(span)) low -= 1e-9 * (std::fabs(low) + span) + 1e-300;
    if (std::isfinite(high) && std::isfinite(span)) high += 1e-9 * (std::fabs(high) + span) + 1e-300;
    return {low, high};
}

}  // namespace

BucketLevel bucket_level(std::uint64_t level, std::uint64_t prefix) {
    if (level > BucketLevel::deepest) throw std::invalid_argument("bucket levels are 0, 1 and 2");
    const unsigned bits = BucketLevel::below[level] + BucketLevel::width[level];
    if (level == 0 ? prefix != 0 : prefix >> (64 - bits) != 0)
        throw std::invalid_argument("a prefix too wide for its level");
    return {static_cast<unsigned>(level), prefix};
}

BucketScan scan_of(const BucketLevel& level, std::uint64_t missing, std::uint64_t zeros,
                   std::vector<std::uint32_t> bucket, const std::vector<std::int64_t>& counts,
                   const std::vector<double>& lo, const std::vector<double>& hi) {
    if (zeros > 3) throw std::invalid_argument("zeros is a mask of 1 (-0.0) and 2 (+0.0)");
    BucketScan s;
    s.level = level;
    s.missing = missing;
    s.neg_zero = zeros & 1;
    s.pos_zero = zeros & 2;
    s.bucket = std::move(bucket);
    const std::size_t m = s.bucket.size();
    if (counts.size() != m || lo.size() != m || hi.size() != m)
        throw std::invalid_argument("scan arrays differ in length");
    for (std::size_t i = 0; i < m; ++i) {
        if (counts[i] <= 0 || lo[i] != lo[i] || hi[i] != hi[i] || (i > 0 && s.bucket[i] <= s.bucket[i - 1]))
            throw std::invalid_argument("not a scan: counts must be positive and buckets ascending");
        s.count.push_back(static_cast<std::uint64_t>(counts[i]));
        s.lo.push_back(order_key(lo[i]));
        s.hi.push_back(order_key(hi[i]));
        if (!level.holds(s.lo[i]) || !level.holds(s.hi[i]) || level.bucket(s.lo[i]) != s.bucket[i] ||
            level.bucket(s.hi[i]) != s.bucket[i] || s.lo[i] > s.hi[i])
            throw std::invalid_argument("not a scan: a bucket's extremes lie outside it");
    }
    return s;
}

std::vector<std::int64_t> plan_rows(const std::vector<BucketRequest>& requests) {
    std::vector<std::int64_t> flat;
    flat.reserve(requests.size() * plan_row_width);
    for (const BucketRequest& r : requests) {
        for (std::uint64_t v :
             {std::uint64_t{r.level.level}, r.level.prefix, std::uint64_t{r.bucket}, r.count, r.first, r.last}) {
            flat.push_back(static_cast<std::int64_t>(v));
        }
    }
    return flat;
}

std::vector<BucketRequest> plan_of_rows(const std::vector<std::int64_t>& flat) {
    if (flat.size() % plan_row_width != 0)
        throw std::invalid_argument("a plan has rows of (level, prefix, bucket, count, first, last)");
    std::vector<BucketRequest> out;
    for (std::size_t i = 0; i < flat.size(); i += plan_row_width) {
        const std::int64_t lv = flat[i], pre = flat[i + 1], b = flat[i + 2], c = flat[i + 3], f = flat[i + 4],
                           l = flat[i + 5];
        if (lv < 0 || pre < 0 || b < 0 || f < 0 || f > l || l >= c)
            throw std::invalid_argument("a plan row out of range");
        const BucketLevel level = bucket_level(static_cast<std::uint64_t>(lv), static_cast<std::uint64_t>(pre));
        if (static_cast<std::uint64_t>(b) >= level.size()) throw std::invalid_argument("a plan row out of range");
        if (!out.empty() && !(out.back().level == level)) throw std::invalid_argument("plan rows of different levels");
        out.push_back({level, static_cast<std::uint32_t>(b), static_cast<std::uint64_t>(c),
                       static_cast<std::uint64_t>(f), static_cast<std::uint64_t>(l)});
    }
    return out;
}

void check_bucket_order(const std::vector<BucketRequest>& requests) {
    for (std::size_t j = 1; j < requests.size(); ++j) {
        if (requests[j].bucket <= requests[j - 1].bucket) throw std::invalid_argument("plan rows out of bucket order");
    }
}

std::vector<std::uint64_t> ranks_of(const std::vector<std::int64_t>& ranks) {
    if (std::any_of(ranks.begin(), ranks.end(), [](std::int64_t r) { return r < 0; }))
        throw std::invalid_argument("negative rank");
    return {ranks.begin(), ranks.end()};
}

std::uint64_t BucketScan::present() const {
    std::uint64_t total = 0;
    for (std::uint64_t c : count) total += c;
    return total;
}

BucketScan scan_buckets(const ColumnView& col, std::size_t n, const BucketLevel& level) {
    return level.level == 0 && n >= dense_from ? scan_dense(col, n) : scan_sorted(col, n, level);
}

BucketScan merge_scans(const BucketScan* scans, std::size_t k) {
    BucketScan out;
    if (k > 0) out.level = scans[0].level;
    // Every input is ascending: repeatedly take the smallest head bucket.
    std::vector<std::size_t> at(k, 0);
    for (std::size_t p = 0; p < k; ++p) {
        if (!(scans[p].level == out.level)) throw std::invalid_argument("scans of different bucket levels");
        out.missing += scans[p].missing;
        out.neg_zero = out.neg_zero || scans[p].neg_zero;
        out.pos_zero = out.pos_zero || scans[p].pos_zero;
    }
    for (;;) {
        const std::uint64_t none = out.level.size();
        std::uint64_t next = none;
        for (std::size_t p = 0; p < k; ++p) {
            if (at[p] < scans[p].bucket.size()) next = std::min<std::uint64_t>(next, scans[p].bucket[at[p]]);
        }
        if (next == none) break;
        bool first = true;
        for (std::size_t p = 0; p < k; ++p) {
            const BucketScan& s = scans[p];
            const std::size_t i = at[p];
            if (i >= s.bucket.size() || s.bucket[i] != next) continue;
            if (first) {
                append(out, s.bucket[i], s.count[i], s.lo[i], s.hi[i]);
                first = false;
            } else {
                out.count.back() += s.count[i];
                out.lo.back() = std::min(out.lo.back(), s.lo[i]);
                out.hi.back() = std::max(out.hi.back(), s.hi[i]);
            }
            ++at[p];
        }
    }
    return out;
}

std::vector<std::uint64_t> bucket_ends(const BucketScan& scan) {
    std::vector<std::uint64_t> ends(scan.count.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) ends[i] = total += scan.count[i];
    return ends;
}

std::pair<std::size_t, std::uint64_t> bucket_of(const BucketScan& scan, const std::vector<std::uint64_t>& ends,
                                                std::uint64_t rank) {
    const auto i = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), rank) - ends.begin());
    if (i == ends.size()) throw std::invalid_argument("rank past the scanned values");
    return {i, rank - (ends[i] - scan.count[i])};
}

RankPlan plan_ranks(const BucketScan& merged, const std::uint64_t* ranks, std::size_t nr) {
    RankPlan plan;
    plan.request.assign(nr, -1);
    plan.inside.assign(nr, 0);
    plan.known.assign(nr, 0.0);
    // Cumulative counts, so each rank finds its bucket by binary search.
    const std::vector<std::uint64_t> end = bucket_ends(merged);
    const std::uint64_t total = end.empty() ? 0 : end.back();
    // Requests in bucket order, whatever the order of the ranks.
    std::vector<std::size_t> order(nr);
    for (std::size_t j = 0; j < nr; ++j) order[j] = j;
    std::sort(order.begin(), order.end(), [ranks](std::size_t a, std::size_t b) { return ranks[a] < ranks[b]; });
    for (std::size_t j : order) {
        const std::uint64_t r = ranks[j];
        if (r >= total) throw std::out_of_range("rank past the present values");
        const auto [i, inside] = bucket_of(merged, end, r);
        if (merged.lo[i] == merged.hi[i]) {
            const double v = key_value(merged.lo[i]);
            plan.known[j] = v == 0 && merged.neg_zero && !merged.pos_zero ? -0.0 : v;
            continue;
        }
        if (plan.requests.empty() || plan.requests.back().bucket != merged.bucket[i]) {
            plan.requests.push_back({merged.level, merged.bucket[i], merged.count[i], inside, inside});
        }
        BucketRequest& req = plan.requests.back();
        req.first = std::min(req.first, inside);
        req.last = std::max(req.last, inside);
        plan.request[j] = static_cast<std::ptrdiff_t>(plan.requests.size() - 1);
        plan.inside[j] = inside;
    }
    return plan;
}

std::vector<std::vector<double>> gather_bucket_values(const ColumnView& col, std::size_t n,
                                                      const BucketRequest* requests, std::size_t m) {
    std::vector<std::uint32_t> wanted(m);
    for (std::size_t j = 0; j < m; ++j) {
        wanted[j] = requests[j].bucket;
        if (!(requests[j].level == requests[0].level)) throw std::invalid_argument("requests of different levels");
    }
    if (!std::is_sorted(wanted.begin(), wanted.end())) throw std::invalid_argument("requests out of bucket order");
    std::vector<std::vector<double>> out(m);
    if (m == 0) return out;
    const BucketLevel level = requests[0].level;
    const std::uint32_t lowest = wanted.front(), highest = wanted.back();
    if (m <= few_requests) {
        // A few buckets (a column's median and quartiles): comparing each
        // value's bucket with every one of them is a test that almost never
        // passes, where a range test first would fail or pass at random.
        for_each_key(col, n, [&](std::uint64_t k, double v) {
            if (!level.holds(k)) return;
            const std::uint32_t b = level.bucket(k);
            for (std::size_t j = 0; j < m; ++j) {
                if (wanted[j] == b) {
                    out[j].push_back(v);
                    return;
                }
            }
        });
    } else {
        for_each_key(col, n, [&](std::uint64_t k, double v) {
            if (!level.holds(k)) return;
            const std::uint32_t b = level.bucket(k);
            if (b < lowest || b > highest) return;
            const auto it = std::lower_bound(wanted.begin(), wanted.end(), b);
            if (it != wanted.end() && *it == b) out[static_cast<std::size_t>(it - wanted.begin())].push_back(v);
        });
    }
    for (std::size_t j = 0; j < m; ++j) {
        std::vector<double>& v = out[j];
        const std::uint64_t keep = requests[j].keep();
        if (v.size() > keep) {
            const auto cut = static_cast<std::ptrdiff_t>(keep);
            if (requests[j].from_top()) {
                std::nth_element(v.begin(), v.end() - cut, v.end());
                v.erase(v.begin(), v.end() - cut);
            } else {
                std::nth_element(v.begin(), v.begin() + cut, v.end());
                v.resize(keep);
            }
        }
        std::sort(v.begin(), v.end());
    }
    return out;
}

std::vector<double> select_planned(const RankPlan& plan,
                                   const std::vector<std::vector<std::vector<double>>>& gathered) {
    const std::size_t m = plan.requests.size();
    std::vector<std::vector<double>> merged(m);
    for (const auto& part : gathered) {
        if (part.size() != m) throw std::invalid_argument("one list of gathered values per request");
        for (std::size_t j = 0; j < m; ++j) merged[j].insert(merged[j].end(), part[j].begin(), part[j].end());
    }
    for (std::size_t j = 0; j < m; ++j) {
        std::sort(merged[j].begin(), merged[j].end());
        if (merged[j].size() < plan.requests[j].keep() || merged[j].size() > plan.requests[j].count) {
            throw std::invalid_argument("gathered values do not match the bucket counts");
        }
    }
    std::vector<double> out(plan.known);
    for (std::size_t r = 0; r < out.size(); ++r) {
        if (plan.request[r] < 0) continue;
        const auto j = static_cast<std::size_t>(plan.request[r]);
        const BucketRequest& req = plan.requests[j];
        const std::vector<double>& v = merged[j];
        // From the top, the union holds the bucket's largest values, so
        // ranks count back from its end.
        out[r] = req.from_top() ? v[v.size() - (req.count - plan.inside[r])] : v[plan.inside[r]];
    }
    return out;
}

std::array<double, 4> fence_brackets(const Quantile& q1, const Quantile& q3, const RankRange bounds[4]) {
    double ranges[2][2];
    const Quantile* qs[2] = {&q1, &q3};
    bool points = true;
    for (int i = 0; i < 2; ++i) {
        const RankRange a = bounds[2 * i], b = bounds[2 * i + 1];
        const double corners[4] = {lerp(a.low, b.low, qs[i]->gamma), lerp(a.low, b.high, qs[i]->gamma),
                                   lerp(a.high, b.low, qs[i]->gamma), lerp(a.high, b.high, qs[i]->gamma)};
        ranges[i][0] = first_min(corners, 4);
        ranges[i][1] = first_max(corners, 4);
        points = points && ranges[i][0] == ranges[i][1];
    }
    double lows[4], highs[4];
    for (int a = 0; a < 2; ++a) {
        for (int b = 0; b < 2; ++b) {
            const Fences f = iqr_fences(ranges[0][a], ranges[1][b]);
            lows[2 * a + b] = f.lo;
            highs[2 * a + b] = f.hi;
        }
    }
    const auto same = [](const double* v) { return v[0] == v[1] && v[0] == v[2] && v[0] == v[3]; };
    if (points && same(lows) && same(highs)) return {lows[0], lows[0], highs[0], highs[0]};
    const auto lo = widen(first_min(lows, 4), first_max(lows, 4));
    const auto hi = widen(first_min(highs, 4), first_max(highs, 4));
    return {lo.first, lo.second, hi.first, hi.second};
}

void order_statistics(double* f, std::size_t nf, const std::size_t* r, std::size_t nr, double* values, double* spare,
                      std::size_t spare_size) {
    if (nr == 0 || bracketed_ranks(f, nf, r, nr, values, spare, spare_size)) return;
    select_ranks(f, 0, nf, r, nr);
    for (std::size_t j = 0; j < nr; ++j) values[j] = f[r[j]];
}

std::vector<double> finite_quantiles(const double* x, std::size_t n, std::size_t finite, double lo, double hi,
                                     const std::vector<double>& qs, std::vector<double>& scratch) {
    std::vector<double> out(qs.size(), std::numeric_limits<double>::quiet_NaN());
    const std::size_t m = finite;
    if (m == 0) return out;
    // The order statistics are found without sorting the column: the values
    // are counted into fine buckets of the range (the bucket of a value is
    // monotone in the value, so bucket b holds ranks [below(b), below(b + 1))),
    // and only the few buckets that hold a wanted rank are gathered and
    // selected in. A range too wide or too narrow for the arithmetic is one
    // bucket: the whole column is selected in, with the same answer.
    constexpr std::size_t fine = 4096;
    double scale = static_cast<double>(fine) / (hi - lo);
    std::size_t buckets = fine;
    if (!std::isfinite(scale) || !(scale > 0.0)) {
        scale = 0.0;
        buckets = 1;
    }
    auto bucket_of = [&](double v) {
        const double at = (v - lo) * scale;
        return at >= static_cast<double>(buckets) ? buckets - 1 : static_cast<std::size_t>(at);
    };
    std::vector<std::size_t> counts(buckets + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isfinite(x[i])) ++counts[bucket_of(x[i]) + 1];
    }
    for (std::size_t b = 1; b <= buckets; ++b) counts[b] += counts[b - 1];  // counts[b]: ranks below bucket b
    std::vector<Quantile> picks;
    std::vector<std::size_t> wanted;  // buckets holding a wanted rank
    auto bucket_of_rank = [&](std::size_t r) {
        return static_cast<std::size_t>(std::upper_bound(counts.begin(), counts.end(), r) - counts.begin()) - 1;
    };
    for (double q : qs) {
        picks.push_back(linear_quantile(m, q));
        wanted.push_back(bucket_of_rank(picks.back().below));
        wanted.push_back(bucket_of_rank(picks.back().above));
    }
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    // Gathered bucket by bucket into one scratch buffer.
    std::vector<std::size_t> slot_of(buckets, wanted.size());
    std::vector<std::size_t> begin(wanted.size() + 1, 0);
    for (std::size_t k = 0; k < wanted.size(); ++k) {
        slot_of[wanted[k]] = k;
        begin[k + 1] = begin[k] + (counts[wanted[k] + 1] - counts[wanted[k]]);
    }
    scratch.assign(begin.back(), 0.0);
    std::vector<std::size_t> fill(begin.begin(), begin.end() - 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i])) continue;
        const std::size_t k = slot_of[bucket_of(x[i])];
        if (k < wanted.size()) scratch[fill[k]++] = x[i];
    }
    auto value_at = [&](std::size_t r) {
        const std::size_t b = bucket_of_rank(r);
        const std::size_t k = slot_of[b];
        const auto first = scratch.begin() + static_cast<std::ptrdiff_t>(begin[k]);
        const auto last = scratch.begin() + static_cast<std::ptrdiff_t>(begin[k + 1]);
        const auto nth = first + static_cast<std::ptrdiff_t>(r - counts[b]);
        std::nth_element(first, nth, last);
        return *nth;
    };
    for (std::size_t i = 0; i < qs.size(); ++i) {
        out[i] = lerp(value_at(picks[i].below), value_at(picks[i].above), picks[i].gamma);
    }
    return out;
}

std::vector<double> finite_quantiles(const double* x, std::size_t n, const std::vector<double>& qs) {
    std::size_t finite = 0;
    double lo = 0, hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (!std::isfinite(v)) continue;
        lo = finite == 0 || v < lo ? v : lo;
        hi = finite == 0 || v > hi ? v : hi;
        ++finite;
    }
    std::vector<double> scratch;
    return finite_quantiles(x, n, finite, lo, hi, qs, scratch);
}

std::vector<double> finite_order_statistics(const double* x, std::size_t n, const std::vector<std::uint64_t>& ranks) {
    std::size_t nf = 0;
    std::vector<double> kept = finite_values(x, n, nf);
    if (kept.empty()) kept.assign(x, x + nf);  // every value finite: the selection reorders a copy
    std::vector<std::size_t> wanted(ranks.begin(), ranks.end());
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    if (!wanted.empty() && wanted.back() >= nf) throw std::out_of_range("rank past the finite values");
    std::vector<double> values(wanted.size()), spare(nf);
    order_statistics(kept.data(), nf, wanted.data(), wanted.size(), values.data(), spare.data(), spare.size());
    std::vector<double> out;
    out.reserve(ranks.size());
    for (std::uint64_t r : ranks) {
        const auto at = std::lower_bound(wanted.begin(), wanted.end(), static_cast<std::size_t>(r)) - wanted.begin();
        out.push_back(values[static_cast<std::size_t>(at)]);
    }
    return out;
}

}  // namespace tamsel::kernels
