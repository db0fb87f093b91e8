#include "row_hash.hpp"

#include <cmath>
#include <cstring>

namespace tamsel::kernels {
namespace {

std::uint64_t widened_bits(const std::byte* p, const HashColumn& c) {
    switch (c.width) {
        case 1: {
            std::uint8_t v;
            std::memcpy(&v, p, 1);
            return v;
        }
        case 2: {
            std::uint16_t v;
            std::memcpy(&v, p, 2);
            return v;
        }
        case 4: {
            std::uint32_t v;
            std::memcpy(&v, p, 4);
            if (c.floating && c.canonical_floats) {
                float f;
                std::memcpy(&f, p, 4);
                if (std::isnan(f)) {
                    const float nan = std::nanf("");
                    std::memcpy(&v, &nan, 4);
                } else if (f == 0.0f) {
                    v = 0;
                }
            }
            return v;
        }
        default: {
            std::uint64_t v;
            std::memcpy(&v, p, 8);
            if (c.floating && c.canonical_floats) {
                double d;
                std::memcpy(&d, p, 8);
                if (std::isnan(d)) {
                    const double nan = std::nan("");
                    std::memcpy(&v, &nan, 8);
                } else if (d == 0.0) {
                    v = 0;
                }
            }
            return v;
        }
    }
}

std::uint64_t mix(std::uint64_t v) {
    v ^= v >> 30;
    v *= 0xBF58476D1CE4E5B9ull;
    v ^= v >> 27;
    v *= 0x94D049BB133111EBull;
    v ^= v >> 31;
    return v;
}

}  // namespace

void row_hashes(const HashColumn& c, std::size_t first, std::size_t count, std::uint64_t* out) {
    const std::byte* p = c.data + static_cast<std::ptrdiff_t>(first) * c.stride;
    for (std::size_t i = 0; i < count; ++i, p += c.stride) out[i] = mix(widened_bits(p, c));
}

std::uint64_t fnv_words(std::uint64_t state, const std::uint64_t* words, std::size_t n) {
    constexpr std::uint64_t prime = 1099511628211ull;
    for (std::size_t i = 0; i < n; ++i) state = (state ^ words[i]) * prime;
    return state;
}

std::uint64_t row_hash_digest(const HashColumn& c, std::size_t n) {
    constexpr std::size_t block = 4096;
    std::uint64_t buffer[block];
    std::uint64_t state = fnv_offset;
    for (std::size_t start = 0; start < n; start += block) {
        const std::size_t count = n - start < block ? n - start : block;
        row_hashes(c, start, count, buffer);
        state = fnv_words(state, buffer, count);
    }
    return state;
}

}  // namespace tamsel::kernels
