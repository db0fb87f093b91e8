#include "quantile_buckets.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "order_key.hpp"

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

}  // namespace

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

RankPlan plan_ranks(const BucketScan& merged, const std::uint64_t* ranks, std::size_t nr) {
    RankPlan plan;
    plan.request.assign(nr, -1);
    plan.inside.assign(nr, 0);
    plan.known.assign(nr, 0.0);
    // Cumulative counts, so each rank finds its bucket by binary search.
    std::vector<std::uint64_t> end(merged.count.size());
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < end.size(); ++i) end[i] = total += merged.count[i];
    // Requests in bucket order, whatever the order of the ranks.
    std::vector<std::size_t> order(nr);
    for (std::size_t j = 0; j < nr; ++j) order[j] = j;
    std::sort(order.begin(), order.end(), [ranks](std::size_t a, std::size_t b) { return ranks[a] < ranks[b]; });
    for (std::size_t j : order) {
        const std::uint64_t r = ranks[j];
        if (r >= total) throw std::out_of_range("rank past the present values");
        const std::size_t i = static_cast<std::size_t>(std::upper_bound(end.begin(), end.end(), r) - end.begin());
        const std::uint64_t inside = r - (end[i] - merged.count[i]);
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

}  // namespace tamsel::kernels
