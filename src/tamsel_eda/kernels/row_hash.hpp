// The digest the duplicate-column scan keys its buckets by, computed from a
// numeric column's buffer instead of from the row hashes pandas'
// hash_pandas_object(series, index=False) would materialise: each row's
// value is widened to 64 bits as pandas' _hash_ndarray does, mixed by its
// splitmix64 finaliser, and the resulting words folded by FNV-1a, exactly as
// the scan folds a materialised hash array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "columns.hpp"

namespace tamsel::kernels {

// FNV-1a over 64-bit words, one word per row.
inline constexpr std::uint64_t fnv_offset = 14695981039346656037ull;
inline constexpr std::uint64_t fnv_prime = 1099511628211ull;

struct RowHashProblem {
    const ColumnView* columns = nullptr;  // f64, f32 and integer types; no mask
    std::size_t k = 0;
    std::size_t n = 0;
    // pandas 3 hashes -0.0 as 0.0 (and every NaN alike; the scan only reads
    // columns without missing cells, so no NaN occurs).
    bool canonical_zero = false;
};

// Fills out[k]; false when `poll` asked to stop.
bool row_hash_digests(const RowHashProblem& p, std::uint64_t* out, const std::function<bool()>& poll);

}  // namespace tamsel::kernels
