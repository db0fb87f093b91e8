// Row hashes of plain numeric columns as pandas' hash_pandas_object makes
// them: the value's bits widened to 64, then a fixed bijective mix. So two
// columns have equal hash arrays exactly when pandas would say so, and a
// column's digest can be formed block by block without the whole array.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsel::kernels {

struct HashColumn {
    const std::byte* data = nullptr;
    std::ptrdiff_t stride = 0;  // bytes
    unsigned width = 8;         // bytes per value: 1, 2, 4 or 8
    bool floating = false;
    // Newer pandas hashes -0.0 as 0.0 (and every NaN alike); older pandas
    // hashes the bits as they are.
    bool canonical_floats = false;
};

// Hashes of rows [first, first + count) into out.
void row_hashes(const HashColumn& c, std::size_t first, std::size_t count, std::uint64_t* out);

// FNV-1a over 64-bit words, continued from `state`: the bucket key the
// duplicate scan files a column's hash array under.
constexpr std::uint64_t fnv_offset = 14695981039346656037ull;
std::uint64_t fnv_words(std::uint64_t state, const std::uint64_t* words, std::size_t n);

// The digest of a column's whole hash array, computed in blocks.
std::uint64_t row_hash_digest(const HashColumn& c, std::size_t n);

}  // namespace tamsel::kernels
