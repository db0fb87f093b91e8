// A target's most recent points along a time axis, chosen from a frame held
// in partitions. Rows are ordered from the oldest to the most recent by
// (time missing, time key, position): rows without a time come after every
// time, as the pandas sort places them, and equal times count the row later
// in the frame as the more recent. A NaN key that is no missing time (an
// Arrow float can hold one) sorts after every other time, where NumPy's and
// Arrow's sorts put it.
//
// Partial: each partition keeps its own `points` most recent rows with a
// value (the candidates), in frame order. Merge: the candidates of adjoining
// partitions, concatenated in partition order, are narrowed the same way.
// Finish: the merged candidates are the chosen rows, in frame order. Pass 1's
// facts per partition give a bound that every chosen row meets, so the
// candidates of a partition are looked for among the rows past it, and a
// partition with no row past it contributes none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsel::kernels {

// Which rows can be among the most recent: those without a time only, or
// those at or past `from` and those without a time.
template <class Key>
struct RecentBound {
    bool untimed_only = false;
    Key from{};
};

// One target's rows with a value in one partition.
template <class Key>
struct RecentFacts {
    std::int64_t valid = 0;
    std::int64_t untimed = 0;  // of them, those without a time
    bool timed = false;        // whether low and high hold the others' extremes
    Key low{};
    Key high{};
};

// `missing` and `valid` hold a byte per row (nonzero: a missing time, a
// value); `valid` may be null (every row has one).
template <class Key>
RecentFacts<Key> recent_facts(const Key* key, const std::uint8_t* missing, const std::uint8_t* valid, std::size_t n);

// The bound of `points` rows over every partition's facts; false when the
// rows with a value are too few to need one.
template <class Key>
bool recent_bound(const std::vector<RecentFacts<Key>>& facts, std::size_t points, RecentBound<Key>& bound);

// Whether a partition of these facts holds a row that meets the bound.
template <class Key>
bool recent_reaches(const RecentFacts<Key>& facts, const RecentBound<Key>& bound);

// The bound of `points` rows over every partition's facts and, per
// partition, whether it holds a row that meets it (1) or not (0); false
// when the rows with a value are too few to need a bound.
template <class Key>
bool recent_plan(const std::vector<RecentFacts<Key>>& facts, std::size_t points, RecentBound<Key>& bound,
                 std::vector<std::uint8_t>& reaches);

// The row indices of the `points` most recent rows with a value (meeting
// `bound` when not null), ascending.
template <class Key>
std::vector<std::int64_t> recent_rows(const Key* key, const std::uint8_t* missing, const std::uint8_t* valid,
                                      std::size_t n, std::size_t points, const RecentBound<Key>* bound);

}  // namespace tamsel::kernels
