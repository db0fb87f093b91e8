// Row hashes of plain numeric columns as pandas' hash_pandas_object makes
// them: the value's bits widened to 64, then a fixed bijective mix. So two
// columns have equal hash arrays exactly when pandas would say so, and a
// column's digest can be formed block by block without the whole array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

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
// The same over `len` bytes as they lie in a buffer (any alignment): its
// whole 64-bit words, then any bytes past the last one, one by one.
std::uint64_t fnv_bytes(std::uint64_t state, const void* data, std::size_t len);

// The digest of a column's whole hash array, computed in blocks.
std::uint64_t row_hash_digest(const HashColumn& c, std::size_t n);

// pandas' row hash of a text: SipHash-2-4 of its UTF-8 bytes under pandas'
// fixed key, then the same mix as a number's bits.
std::uint64_t text_hash(const std::uint8_t* data, std::size_t len);

// Texts laid out as Arrow lays them out: row i is data[offsets[i],
// offsets[i + 1]). A row whose `missing` byte is nonzero hashes as `fill`.
struct TextColumn {
    const std::uint8_t* data = nullptr;
    const std::int32_t* offsets32 = nullptr;  // one of the two
    const std::int64_t* offsets64 = nullptr;
    const std::uint8_t* missing = nullptr;  // optional
    const std::uint8_t* fill = nullptr;
    std::size_t fill_len = 0;
};

// Whether the n + 1 offsets of `c` rise and stay inside its `data_len`
// bytes: what every text kernel assumes of offsets that came from outside.
bool text_offsets_valid(const TextColumn& c, std::size_t n, std::size_t data_len);

// The interpreter's repr() of a double (the shortest text that reads back
// as it), into `out` (32 bytes are enough); returns its length.
std::size_t float_repr(double v, char* out);

// Hashes of a float64 or float32 column (`c.floating`) whose missing cells
// were filled with a text, so that pandas hashed every value through its
// str(): NaN hashes as `fill`, any zero as the text of the column's first
// zero (pandas groups the values as objects first, where -0.0 equals 0.0).
// `first_zero` is that zero's sign when the column's first zero lies before
// these rows (+1: "0.0", -1: "-0.0"); 0: these rows' own first zero.
void float_text_row_hashes(const HashColumn& c, std::size_t n, const std::uint8_t* fill, std::size_t fill_len,
                           std::uint64_t* out, int first_zero = 0);

// Hashes of rows [first, first + count) into out.
void text_row_hashes(const TextColumn& c, std::size_t first, std::size_t count, std::uint64_t* out);

// The row hashes of a text column in chunks (chunk c holds rows[c] texts,
// its missing cells hashed as the `fill_len` bytes of `fill`), handed to
// `visit(hashes, count)` a block of at most `block` rows at a time in row
// order; false when `stop()` asked to stop between two blocks.
bool chunked_text_row_hashes(const std::vector<TextColumn>& chunks, const std::vector<std::size_t>& rows,
                             const std::uint8_t* fill, std::size_t fill_len, std::size_t block,
                             const std::function<bool()>& stop,
                             const std::function<void(const std::uint64_t*, std::size_t)>& visit);

}  // namespace tamsel::kernels
