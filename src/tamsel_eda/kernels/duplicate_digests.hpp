// The duplicate-column figure of a frame read in shares of rows (the
// partitions of a Dask frame). The schema step fills each whole column's
// missing cells with a text, hashes it with pandas' hash_pandas_object and
// pairs every column whose hash array equals an earlier one's with the first
// column of its class; here the shares are looked at twice:
//
//   partial  one share of a column -> ColumnDigest: a digest of its row
//            hashes (or of its values) and the facts of the filled share;
//   merge    the ColumnDigests of consecutive shares, in row order: the
//            digests are chained, so a share's position counts;
//   finish   every column's merged ColumnDigest -> CandidatePlan: the pairs
//            whose hashes may be equal (equal digests are only candidates);
//   confirm  per share, which candidate pairs have equal row hashes, merged
//            by AND; then each duplicate with the first column of its class.
//
// Floats with missing cells become objects when filled, and pandas hashes
// each of their values through its str(). str() tells every two floats
// apart except the zeros, which pandas gives the text of the column's first
// zero, so such a share is digested by its values instead (float32 widened
// exactly, every NaN alike, every zero as +0.0): equal wherever the texts
// are, and far faster. Such a digest cannot meet that of a text column
// holding those very texts, so each text share records whether it could
// hold them at all, and those pairs are compared by their hashes.
//
// A few decisions pandas takes on the whole column can come out differently
// on a share (the dtype an object column infers; whether an object column
// holding bytes is hashed through the texts of its values). A column whose
// shares disagree is a candidate with every other column and is hashed again
// behind a few of its values (the driver's witnesses) that force the whole
// column's decisions; so is a column digested by its values in some shares
// and by its hashes in others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "row_hash.hpp"

namespace tamsel::kernels::dupes {

// Facts of a share, as bits of ColumnDigest::flags.
namespace facts {
constexpr std::uint32_t failed = 1u << 0;          // the step could not fill or hash it
constexpr std::uint32_t text_fallback = 1u << 1;   // objects pandas hashed through their str()
constexpr std::uint32_t bytes_alone = 1u << 2;     // objects holding bytes, hashed as they are
constexpr std::uint32_t by_values = 1u << 3;       // a float share with missing cells, by its values
constexpr std::uint32_t by_hashes = 1u << 4;       // a share digested by its row hashes
constexpr std::uint32_t no_float_texts = 1u << 5;  // some row cannot hash as a float's str()
constexpr std::uint32_t zero = 1u << 6;            // by values: the first zero seen, and its sign
constexpr std::uint32_t negative_zero = 1u << 7;
constexpr std::uint32_t dtypes_differ = 1u << 8;  // non-empty shares filled to two dtypes
}  // namespace facts

struct ColumnDigest {
    std::uint64_t digest = fnv_offset;
    std::uint32_t flags = 0;
    std::string dtype;  // of the filled non-empty shares (the first one's); empty: none yet
};

// partial of a float64 or float32 share of a column with missing cells;
// *first_present: the row of its first value that is not NaN (n: none), the
// driver's witness of the share's values.
ColumnDigest float_values_partial(const HashColumn& c, std::size_t n, std::size_t* first_present);

// partial of a share of plain numbers without missing cells, by the hashes
// row_hashes gives it; `dtype` is the share's own.
ColumnDigest numbers_partial(const HashColumn& c, std::size_t n, std::string dtype);

// The value of row i of a float64 or float32 share, widened exactly.
double float_value_at(const HashColumn& c, std::size_t i);

// The text facts of a filled share (bits of ColumnDigest::flags): whether
// pandas hashed it through the str() of its items, whether it holds bytes,
// whether every row could hash as a float's str() or the fill. pandas hashes
// bytes as they are only when no item forces the str() road.
constexpr std::uint32_t text_facts(bool fallback, bool has_bytes, bool could_be_float_texts) {
    return (fallback ? facts::text_fallback : 0) | (has_bytes && !fallback ? facts::bytes_alone : 0) |
           (could_be_float_texts ? 0 : facts::no_float_texts);
}

// partial of a share whose row hashes were made elsewhere (pandas, a text
// kernel); `flags` holds the text facts of the filled share (text_facts),
// `dtype` its dtype.
ColumnDigest hashes_partial(const void* hashes, std::size_t n, std::string dtype, std::uint32_t flags);

// merge of two runs of rows, `a` before `b`.
ColumnDigest merge(const ColumnDigest& a, const ColumnDigest& b);

// merge of runs[0..k) of one column, in row order, for each column:
// runs[r][j] is column j over run r; every run has the same columns. A
// State is a ColumnDigest or carries one beside other facts of the run,
// `merge(a, b)` its merge (`a` before `b`).
template <class State, class Merge>
std::vector<State> merge_runs(const std::vector<std::vector<State>>& runs, Merge&& merge) {
    if (runs.empty()) return {};
    std::vector<State> out = runs[0];
    for (std::size_t r = 1; r < runs.size(); ++r) {
        if (runs[r].size() != out.size()) throw std::invalid_argument("runs of different columns");
        for (std::size_t j = 0; j < out.size(); ++j) out[j] = merge(out[j], runs[r][j]);
    }
    return out;
}

using ColumnPair = std::pair<std::size_t, std::size_t>;  // (later, earlier) column positions

struct CandidatePlan {
    std::vector<ColumnPair> pairs;       // ascending
    std::vector<std::size_t> unsettled;  // hashed again behind their witnesses
    // by-values columns with a zero: (column, whether its first zero is -0.0)
    std::vector<std::pair<std::size_t, bool>> zeros;
};

// finish: the plan of the confirmation from every column's merged digest.
CandidatePlan candidate_plan(const std::vector<ColumnDigest>& columns);

// Row hashes of one column over one share, as they lie in a buffer (any
// alignment); null: it could not be hashed.
struct HashRun {
    const void* hashes = nullptr;
    std::size_t n = 0;
};

// confirm: out[i] = 1 when pairs[i]'s two columns have equal hashes here;
// std::invalid_argument for a pair past `columns`.
void equal_pairs(const std::vector<HashRun>& columns, const std::vector<ColumnPair>& pairs, std::uint8_t* out);

// merge of the confirmation: 1 where every share has 1 (shares of the same
// pairs; none: no pair).
std::vector<std::uint8_t> confirm_merge(const std::vector<std::vector<std::uint8_t>>& shares);

// finish of the confirmation: (column, first earlier equal column) in column
// order, given the pairs found equal (an equivalence) among n_columns;
// std::invalid_argument for a pair past them.
std::vector<ColumnPair> first_of_class(std::size_t n_columns, const std::vector<ColumnPair>& equal);

// Whether a text whose first character (or first UTF-8 byte) is `c` could be
// a float's str() ("1.5", "-0.0", "inf", "1e-05") or the fill: one test of a
// necessary condition, so a byte that leads the fill's character passes too.
constexpr bool float_text_start(std::uint32_t c, std::uint32_t fill_start) {
    return (c >= '0' && c <= '9') || c == '-' || c == 'i' || c == fill_start;
}

// Whether every present text of c's rows [0, n) could be a float's str() or
// the fill (whose first UTF-8 byte is fill_lead): no empty text, no text
// starting elsewhere.
bool texts_could_be_float_texts(const TextColumn& c, std::size_t n, std::uint8_t fill_lead);
// The same of a column in chunks of rows[c] texts each.
bool texts_could_be_float_texts(const std::vector<TextColumn>& chunks, const std::vector<std::size_t>& rows,
                                std::uint8_t fill_lead);

}  // namespace tamsel::kernels::dupes
