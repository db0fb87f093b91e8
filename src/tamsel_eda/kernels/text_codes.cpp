#include "text_codes.hpp"

#include <algorithm>
#include <cstring>

namespace tamsel::kernels {
namespace {

constexpr std::uint64_t golden = 0x9E3779B97F4A7C15ull;

std::uint64_t fold(std::uint64_t h) {
    h *= golden;
    return h ^ (h >> 29);
}

// The first up to eight bytes of a text as a word (the bytes past its end
// zero). `limit` is the end of the bytes that may be read: an eight-byte
// load is taken whole when it stays inside, the usual case.
std::uint64_t head_word(const std::uint8_t* p, std::size_t n, const std::uint8_t* limit) {
    std::uint64_t w = 0;
    if (n >= 8 || p + 8 <= limit) {
        std::memcpy(&w, p, 8);
        if (n < 8) w &= (std::uint64_t{1} << (8 * n)) - 1;
    } else {
        for (std::size_t i = 0; i < n; ++i) w |= std::uint64_t{p[i]} << (8 * i);
    }
    return w;
}

// A hash for the table only (equality is decided by the bytes).
std::uint64_t text_key(const std::uint8_t* p, std::size_t n, std::uint64_t head) {
    std::uint64_t h = fold(head ^ (n * golden));
    for (std::size_t i = 8; i < n; i += 8) {
        std::uint64_t w = 0;
        std::memcpy(&w, p + i, n - i < 8 ? n - i : 8);
        h = fold(h ^ w);
    }
    return h ^ (h >> 32);
}

class Table {
public:
    // Returns the code of the text, adding it when it is new.
    std::int64_t code(const std::uint8_t* p, std::size_t n, const std::uint8_t* limit, std::int64_t row,
                      TextCodes& out) {
        if (2 * (texts_.size() + 1) > slots_.size()) grow();
        const std::uint64_t head = head_word(p, n, limit);
        const std::uint64_t h = text_key(p, n, head);
        for (std::size_t at = h & mask_;; at = (at + 1) & mask_) {
            const std::int64_t c = slots_[at];
            if (c < 0) {
                slots_[at] = static_cast<std::int64_t>(texts_.size());
                texts_.push_back({p, n, h, head});
                out.first.push_back(row);
                out.counts.push_back(0);
                return slots_[at];
            }
            const Text& t = texts_[static_cast<std::size_t>(c)];
            if (t.hash == h && t.len == n && t.head == head && (n <= 8 || std::memcmp(t.data, p, n) == 0)) return c;
        }
    }

private:
    struct Text {
        const std::uint8_t* data;
        std::size_t len;
        std::uint64_t hash, head;
    };

    void grow() {
        const std::size_t size = slots_.empty() ? 1024 : 2 * slots_.size();
        slots_.assign(size, -1);
        mask_ = size - 1;
        for (std::size_t c = 0; c < texts_.size(); ++c) {
            std::size_t at = texts_[c].hash & mask_;
            while (slots_[at] >= 0) at = (at + 1) & mask_;
            slots_[at] = static_cast<std::int64_t>(c);
        }
    }

    std::vector<std::int64_t> slots_;
    std::vector<Text> texts_;
    std::size_t mask_ = 0;
};

}  // namespace

bool text_codes(const TextColumn* chunks, const std::size_t* rows, std::size_t k, std::int64_t* codes, TextCodes& out,
                const std::function<bool()>& poll) {
    out = TextCodes{};
    Table table;
    constexpr std::size_t block = 1 << 16;
    std::int64_t row = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const TextColumn& c = chunks[i];
        // The texts' bytes end at the last offset: no read goes past it.
        const std::uint8_t* limit = c.data + (c.offsets32 ? c.offsets32[rows[i]] : c.offsets64[rows[i]]);
        for (std::size_t begin = 0; begin < rows[i]; begin += block) {
            if (poll && poll()) return false;
            const std::size_t end = std::min(rows[i], begin + block);
            for (std::size_t r = begin; r < end; ++r, ++row) {
                if (c.missing && c.missing[r]) {
                    if (codes) codes[row] = -1;
                    ++out.missing;
                    continue;
                }
                const std::int64_t a = c.offsets32 ? c.offsets32[r] : c.offsets64[r];
                const std::int64_t b = c.offsets32 ? c.offsets32[r + 1] : c.offsets64[r + 1];
                const std::int64_t code = table.code(c.data + a, static_cast<std::size_t>(b - a), limit, row, out);
                if (codes) codes[row] = code;
                ++out.counts[static_cast<std::size_t>(code)];
            }
        }
    }
    return true;
}

}  // namespace tamsel::kernels
