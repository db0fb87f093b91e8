// Level counts of one column held in a plain buffer, as value_counts(
// dropna=False) counts them, split into ranges by a hash of each level.
//
// Each level is known by its hash: the value's bits at its own width,
// zero-extended to 64 bits (a float's -0.0 taken as 0.0, as pandas' hash
// table compares them), then mixed as pandas' hash_array mixes them. The mix
// is a bijection of 64-bit words, so within one dtype two levels are equal
// exactly when their hashes are; the hashes of partial tables can therefore
// be united by the hash alone, and a level's range (hash modulo the number
// of ranges) is the one the Python path gives it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "columns.hpp"

namespace tamsel::kernels {

struct LevelColumn {
    ColumnView view;
    // Dates and durations as int64: INT64_MIN is NaT, a missing cell.
    bool skip_int_min = false;
    // The values are hashes already (a uint64 buffer of earlier results):
    // taken as they are, not mixed again.
    bool hashed = false;
    // Optional int64 weight of each row (a count of an earlier table);
    // rows of weight 0 are left out. nullptr: every row counts 1.
    const std::int64_t* weights = nullptr;
    std::ptrdiff_t weights_stride = 0;  // bytes
};

struct LevelCounts {
    // The distinct hashes and their counts, [0, size), range by range: range
    // r holds [range_begin[r], range_begin[r + 1]).
    std::unique_ptr<std::uint64_t[]> hashes;
    std::unique_ptr<std::int64_t[]> counts;
    std::size_t size = 0;
    std::vector<std::size_t> range_begin;
    std::int64_t nan = 0;     // unmasked float NaN cells
    std::int64_t masked = 0;  // cells the mask marks missing
    std::int64_t nat = 0;     // NaT cells (skip_int_min)
    // A masked float column holding an unmasked NaN: left to the caller.
    bool undecided = false;
};

// pandas' hash_array mix of a 64-bit word.
inline std::uint64_t pandas_mix(std::uint64_t v) {
    v ^= v >> 30;
    v *= 0xBF58476D1CE4E5B9ULL;
    v ^= v >> 27;
    v *= 0x94D049BB133111EBULL;
    v ^= v >> 31;
    return v;
}

struct LevelProblem {
    const LevelColumn* columns = nullptr;
    const std::size_t* rows = nullptr;  // rows of each column
    std::size_t k = 0;                  // columns
    std::size_t ranges = 1;             // at least 1
    // Columns are taken round-robin by this many parts (threads); the
    // counts do not depend on it.
    std::size_t parts = 1;
};

// Counts every column of `p` into out[k], split into `p.ranges` ranges.
// `poll` is called on the calling thread now and then; when it answers true
// the work ends early and false is returned, with `out` incomplete.
bool level_counts(const LevelProblem& p, LevelCounts* out, const std::function<bool()>& poll);

}  // namespace tamsel::kernels
