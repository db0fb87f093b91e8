#include "recent_points.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace tamsel::kernels {
namespace {

// The sort order of two times that are not missing: NaN after every number.
template <class Key>
bool earlier(Key a, Key b) {
    if constexpr (std::is_floating_point_v<Key>) {
        return a < b || (std::isnan(b) && !std::isnan(a));
    } else {
        return a < b;
    }
}

template <class Key>
bool meets(Key key, bool untimed, const RecentBound<Key>& bound) {
    return untimed || (!bound.untimed_only && !earlier(key, bound.from));
}

}  // namespace

template <class Key>
RecentFacts<Key> recent_facts(const Key* key, const std::uint8_t* missing, const std::uint8_t* valid, std::size_t n) {
    RecentFacts<Key> f;
    for (std::size_t i = 0; i < n; ++i) {
        if (valid && !valid[i]) continue;
        ++f.valid;
        if (missing[i]) {
            ++f.untimed;
        } else if (!f.timed) {
            f.timed = true;
            f.low = f.high = key[i];
        } else {
            if (earlier(key[i], f.low)) f.low = key[i];
            if (earlier(f.high, key[i])) f.high = key[i];
        }
    }
    return f;
}

template <class Key>
bool recent_bound(const std::vector<RecentFacts<Key>>& facts, std::size_t points, RecentBound<Key>& bound) {
    std::int64_t untimed = 0;
    for (const auto& f : facts) untimed += f.untimed;
    const auto wanted = static_cast<std::int64_t>(points);
    if (untimed >= wanted) {
        bound = {true, Key{}};
        return true;
    }
    // Whole partitions from the latest earliest time down: each partition's
    // timed rows all lie at or past its earliest time, so once they add up
    // to the rows still needed, that time bounds the most recent rows.
    std::vector<const RecentFacts<Key>*> timed;
    for (const auto& f : facts)
        if (f.timed) timed.push_back(&f);
    std::sort(timed.begin(), timed.end(), [](auto* a, auto* b) { return earlier(b->low, a->low); });
    std::int64_t found = untimed;
    for (const auto* f : timed) {
        found += f->valid - f->untimed;
        if (found >= wanted) {
            bound = {false, f->low};
            return true;
        }
    }
    return false;
}

template <class Key>
bool recent_reaches(const RecentFacts<Key>& facts, const RecentBound<Key>& bound) {
    return facts.untimed > 0 || (facts.timed && meets(facts.high, false, bound));
}

template <class Key>
bool recent_plan(const std::vector<RecentFacts<Key>>& facts, std::size_t points, RecentBound<Key>& bound,
                 std::vector<std::uint8_t>& reaches) {
    reaches.clear();
    if (!recent_bound(facts, points, bound)) return false;
    for (const auto& f : facts) reaches.push_back(recent_reaches(f, bound) ? 1 : 0);
    return true;
}

template <class Key>
std::vector<std::int64_t> recent_rows(const Key* key, const std::uint8_t* missing, const std::uint8_t* valid,
                                      std::size_t n, std::size_t points, const RecentBound<Key>* bound) {
    std::vector<std::int64_t> rows;
    for (std::size_t i = 0; i < n; ++i) {
        if ((valid && !valid[i]) || (bound && !meets(key[i], missing[i] != 0, *bound))) continue;
        rows.push_back(static_cast<std::int64_t>(i));
    }
    if (rows.size() <= points) return rows;
    // Older first: a strict total order, so the most recent `points` are
    // one set whatever the selection's own order of work.
    const auto older = [&](std::int64_t a, std::int64_t b) {
        const bool ua = missing[a] != 0, ub = missing[b] != 0;
        if (ua != ub) return ub;
        if (!ua) {
            if (earlier(key[a], key[b])) return true;
            if (earlier(key[b], key[a])) return false;
        }
        return a < b;
    };
    const auto cut = rows.end() - static_cast<std::ptrdiff_t>(points);
    std::nth_element(rows.begin(), cut, rows.end(), older);
    std::vector<std::int64_t> chosen(cut, rows.end());
    std::sort(chosen.begin(), chosen.end());
    return chosen;
}

#define TAMSEL_RECENT_POINTS(Key)                                                                                     \
    template RecentFacts<Key> recent_facts(const Key*, const std::uint8_t*, const std::uint8_t*, std::size_t);        \
    template bool recent_bound(const std::vector<RecentFacts<Key>>&, std::size_t, RecentBound<Key>&);                 \
    template bool recent_reaches(const RecentFacts<Key>&, const RecentBound<Key>&);                                   \
    template bool recent_plan(const std::vector<RecentFacts<Key>>&, std::size_t, RecentBound<Key>&,                   \
                              std::vector<std::uint8_t>&);                                                            \
    template std::vector<std::int64_t> recent_rows(const Key*, const std::uint8_t*, const std::uint8_t*, std::size_t, \
                                                   std::size_t, const RecentBound<Key>*);
TAMSEL_RECENT_POINTS(std::int64_t)
TAMSEL_RECENT_POINTS(std::uint64_t)
TAMSEL_RECENT_POINTS(double)
#undef TAMSEL_RECENT_POINTS

}  // namespace tamsel::kernels
