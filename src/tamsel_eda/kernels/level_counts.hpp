// Distinct and level counts of columns held in plain buffers: what pandas'
// Series.nunique(dropna=True) and value_counts(dropna=False) give, for one
// whole frame or merged over its shares.
//
// Each level is known by its hash: the value's bits at its own width,
// zero-extended to 64 bits (a float's -0.0 taken as 0.0, as pandas' hash
// table compares them), then mixed as pandas' hash_array mixes them. The mix
// is a bijection of 64-bit words, so within one dtype two levels are equal
// exactly when their hashes are; the hashes of partial tables can therefore
// be united by the hash alone, and a level's range (hash modulo the number
// of ranges) is the one pandas' hash of the level gives it.
//
// The kernel in steps: level_partial counts one share's columns into a
// LevelState per range, merge_level_states unites states of the same range,
// finish_level_state gives each column's distinct count and the cells of
// its rare levels. distinct_counts is partial and finish at once for a whole
// frame when only the distinct count is asked: it keeps no counts, only
// whether a key was seen. few_levels answers, per share, whether a column
// holds no value, one (and which) or more.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "columns.hpp"

namespace tamsel::kernels {

struct LevelColumn {
    ColumnView view;
    // Dates and durations as int64: INT64_MIN is NaT, a missing cell.
    bool skip_int_min = false;
    // Category codes: negative codes are missing cells (distinct counts only).
    bool skip_negative = false;
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

// The missing levels value_counts(dropna=False) keeps apart, by the key it
// gives them. pandas' object hash table tells None, pd.NA, NaT and the
// Python float NaN apart; a column's own missing cells are one of them.
enum MissingKind : std::size_t { missing_none, missing_na, missing_nat, missing_nan, missing_kinds };

// One range's levels of k columns: column j's are [begin[j], begin[j + 1])
// of hashes and counts, its missing kinds missing[j * missing_kinds + kind],
// and the counts of its missing levels that equal only themselves (a NumPy
// NaN scalar in an object column: each is a level of its own)
// lone[lone_begin[j], lone_begin[j + 1]). The present levels the caller
// counted (objects pandas compares, which the caller keeps beside the
// state in the same order) are column j's [key_begin[j], key_begin[j + 1])
// of key_counts, with their hashes in the metadata's dtype where it has
// them (0 otherwise, never read: such a column has no levels of the kernel).
struct LevelState {
    std::vector<std::uint64_t> hashes;
    std::vector<std::int64_t> counts;
    std::vector<std::int64_t> begin;
    std::vector<std::int64_t> missing;
    std::vector<std::int64_t> lone;
    std::vector<std::int64_t> lone_begin;
    std::vector<std::int64_t> key_counts;
    std::vector<std::uint64_t> key_hashes;
    std::vector<std::int64_t> key_begin;
    // level_partial only: which of its column's given keys each key is.
    std::vector<std::size_t> key_source;
};

// A state held elsewhere (in arrays of the caller), read in place.
struct LevelStateView {
    std::size_t k = 0;
    const std::uint64_t* hashes = nullptr;
    const std::int64_t* counts = nullptr;
    const std::int64_t* begin = nullptr;    // k + 1
    const std::int64_t* missing = nullptr;  // k * missing_kinds
    const std::int64_t* lone = nullptr;
    const std::int64_t* lone_begin = nullptr;  // k + 1
    const std::int64_t* key_counts = nullptr;
    const std::uint64_t* key_hashes = nullptr;
    const std::int64_t* key_begin = nullptr;  // k + 1
};

// A column whose levels the caller counted (its missing kinds and lone
// missing levels; its present levels it unites itself), or one the kernel
// reads.
struct PartialColumn {
    const LevelColumn* read = nullptr;  // nullptr: counted by the caller
    std::size_t rows = 0;
    std::int64_t missing[missing_kinds] = {};
    const std::int64_t* lone = nullptr;
    std::size_t lone_size = 0;
    // Its present levels, as keys the caller holds: their counts, hashes
    // (nullptr: none) and ranges (nullptr: hash modulo the ranges).
    const std::int64_t* key_counts = nullptr;
    const std::uint64_t* key_hashes = nullptr;
    const std::intptr_t* key_ranges = nullptr;
    std::size_t keys = 0;
};

// One share's states, one per range; the missing kinds and lone levels go
// to range 0, each key to its range (key_source telling which it is).
// The columns are counted one at a time, so that only one column's working tables are held beside the states. A column
// the kernel cannot decide (see LevelCounts::undecided) sets undecided[j] and has no levels. False when stopped.
bool level_partial(const PartialColumn* columns, std::size_t k, std::size_t ranges, std::vector<LevelState>& out,
                   std::vector<bool>& undecided, const std::function<bool()>& poll);

// The columns whose levels and keys meet in a merge of `m` states: some
// state holds levels the kernel counted, some keys the caller counted (a
// share whose dtype was not the metadata's). Their keys join the levels by
// their hashes in the metadata's dtype.
// std::invalid_argument without a state or for states of different columns.
std::vector<bool> joined_columns(const LevelStateView* states, std::size_t m);

// The caller's union of the keys of the columns not joined (key_counts,
// key_hashes, key_begin of a state; a joined column's are empty).
struct KeyLevelsView {
    const std::int64_t* counts = nullptr;
    const std::uint64_t* hashes = nullptr;
    const std::int64_t* begin = nullptr;  // k + 1
};

// The union of states of the same range and columns: counts of equal
// hashes added (a joined column's keys among them), missing kinds added,
// lone levels kept side by side, `keys` the other columns' keys. False
// when stopped.
bool merge_level_states(const LevelStateView* states, std::size_t m, const std::vector<bool>& joined,
                        const KeyLevelsView& keys, LevelState& out, const std::function<bool()>& poll);

// The schema step's rare threshold for a frame of `rows` rows:
// max(int(0.01 * rows), 2), the float product truncated.
std::int64_t rare_threshold(std::int64_t rows);

// Whether a state read from outside holds together: offsets rising from 0
// to the sizes of its `levels`, `lone` and `keys` arrays, and every count
// of a level positive.
bool valid_level_state(const LevelStateView& s, std::size_t levels, std::size_t lone, std::size_t keys);

// Per column of a range's state: its distinct present levels (keys
// included), and the cells of its levels (missing ones included) counted at
// most `threshold` times. extra[j] (when `extra` and it are not null) holds the counts of
// column j's present levels the caller united itself: extra_size[j] more
// levels.
void finish_level_state(const LevelStateView& s, std::int64_t threshold, const std::int64_t* const* extra,
                        const std::size_t* extra_size, std::int64_t* distinct, std::int64_t* rare);
// The same with extra[j] (empty: none) for every column or for none.
void finish_level_state(const LevelStateView& s, std::int64_t threshold,
                        const std::vector<std::vector<std::int64_t>>& extra, std::int64_t* distinct,
                        std::int64_t* rare);

struct DistinctProblem {
    const LevelColumn* columns = nullptr;  // view, skip_int_min and skip_negative are read
    std::size_t k = 0;                     // columns
    std::size_t n = 0;                     // rows
    // Columns are taken round-robin by this many parts, each with its own
    // scratch; the counts do not depend on it.
    std::size_t parts = 1;
};

// What distinct_counts writes for a column it cannot decide: a masked float
// column holding an unmasked NaN, which pandas versions treat differently.
constexpr std::int64_t distinct_undecided = -1;

// Bytes of workspace distinct_counts needs (64-byte alignment included).
std::size_t distinct_workspace_bytes(const DistinctProblem& p);

// Fills out[k] with Series.nunique(dropna=True) of each column. `poll` as
// for level_counts; false when stopped, with `out` incomplete.
bool distinct_counts(const DistinctProblem& p, std::int64_t* out, void* workspace, const std::function<bool()>& poll);

// Whether a share of a column holds no present value, one, or more: the
// answer of a column whose distinct count matters only up to two.
enum class FewLevels : std::uint8_t { none, one, many };
struct FewState {
    FewLevels levels = FewLevels::none;
    std::uint64_t hash = 0;  // the one level's hash (levels == one)
};

// One share's answer for each of `k` columns, column j of rows[j] rows (a
// hashed column's rows are the hashes of the levels pandas counted). A
// masked float column is not read here (pandas versions differ on its
// unmasked NaN).
// std::invalid_argument for columns it does not read: unhashed columns of
// different lengths, weights, a masked float column.
void few_levels(const LevelColumn* columns, std::size_t k, const std::size_t* rows, FewState* out);

// Per column, 0, 1 or 2 (two or more) distinct values over the shares'
// answers: states[share * k + column].
void few_merge(const FewState* states, std::size_t shares, std::size_t k, std::int64_t* out);

// The shares' answers read back from their (levels, hashes) arrays, in
// few_merge's layout, and in `k` the columns; std::invalid_argument for
// arrays that no share gives or shares of different columns.
using FewArrays = std::pair<std::vector<std::uint8_t>, std::vector<std::uint64_t>>;
std::vector<FewState> few_states_of(const std::vector<FewArrays>& shares, std::size_t& k);

// std::invalid_argument unless the columns are what distinct_counts reads:
// values (no hashes, no weights) of one length.
void check_distinct_columns(const LevelColumn* columns, std::size_t k, const std::size_t* rows);

}  // namespace tamsel::kernels
