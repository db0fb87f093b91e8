#include "row_hash.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

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

std::uint64_t load_le(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
}

constexpr std::uint64_t fnv_prime = 1099511628211ull;

// pandas hashes every text under the key "0123456789123456".
constexpr std::uint64_t key0 = 0x3736353433323130ull;  // "01234567", little-endian
constexpr std::uint64_t key1 = 0x3635343332313938ull;  // "89123456"

std::uint64_t siphash24(const std::uint8_t* data, std::size_t len) {
    std::uint64_t v0 = 0x736f6d6570736575ull ^ key0;
    std::uint64_t v1 = 0x646f72616e646f6dull ^ key1;
    std::uint64_t v2 = 0x6c7967656e657261ull ^ key0;
    std::uint64_t v3 = 0x7465646279746573ull ^ key1;
    const std::uint8_t* end = data + (len - len % 8);
    for (; data != end; data += 8) {
        const std::uint64_t m = load_le(data);
        v3 ^= m;
        sip_round(v0, v1, v2, v3);
        sip_round(v0, v1, v2, v3);
        v0 ^= m;
    }
    std::uint64_t b = static_cast<std::uint64_t>(len) << 56;
    for (std::size_t i = len % 8; i-- > 0;) b |= static_cast<std::uint64_t>(data[i]) << (8 * i);
    v3 ^= b;
    sip_round(v0, v1, v2, v3);
    sip_round(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) sip_round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace

std::uint64_t text_hash(const std::uint8_t* data, std::size_t len) { return mix(siphash24(data, len)); }

void text_row_hashes(const TextColumn& c, std::size_t first, std::size_t count, std::uint64_t* out) {
    const std::uint64_t filled = text_hash(c.fill, c.fill_len);
    for (std::size_t i = first; i < first + count; ++i) {
        if (c.missing && c.missing[i]) {
            *out++ = filled;
            continue;
        }
        const std::int64_t a = c.offsets32 ? c.offsets32[i] : c.offsets64[i];
        const std::int64_t b = c.offsets32 ? c.offsets32[i + 1] : c.offsets64[i + 1];
        *out++ = text_hash(c.data + a, static_cast<std::size_t>(b - a));
    }
}

std::size_t float_repr(double v, char* out) {
    char* p = out;
    if (std::signbit(v)) *p++ = '-';
    const double a = std::fabs(v);
    if (std::isinf(a)) {
        std::memcpy(p, "inf", 3);
        return static_cast<std::size_t>(p + 3 - out);
    }
    // The shortest digits that read back, in scientific form "d.ddde±x".
    char sci[32];
    const auto [end, ec] = std::to_chars(sci, sci + sizeof sci, a, std::chars_format::scientific);
    char digits[20];
    int nd = 0;
    const char* q = sci;
    for (; q != end && *q != 'e'; ++q) {
        if (*q != '.') digits[nd++] = *q;
    }
    int exponent = 0;
    std::from_chars(q + 1 + (q[1] == '+'), end, exponent);
    const int decpt = exponent + 1;
    // The interpreter switches to an exponent below 1e-4 and from 1e16 on.
    if (decpt <= -4 || decpt > 16) {
        *p++ = digits[0];
        if (nd > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, static_cast<std::size_t>(nd - 1));
            p += nd - 1;
        }
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        const int e = exponent < 0 ? -exponent : exponent;
        if (e >= 100) *p++ = static_cast<char>('0' + e / 100);
        *p++ = static_cast<char>('0' + e / 10 % 10);
        *p++ = static_cast<char>('0' + e % 10);
    } else if (decpt <= 0) {
        *p++ = '0';
        *p++ = '.';
        for (int i = 0; i < -decpt; ++i) *p++ = '0';
        std::memcpy(p, digits, static_cast<std::size_t>(nd));
        p += nd;
    } else if (decpt >= nd) {
        std::memcpy(p, digits, static_cast<std::size_t>(nd));
        p += nd;
        for (int i = nd; i < decpt; ++i) *p++ = '0';
        *p++ = '.';
        *p++ = '0';
    } else {
        std::memcpy(p, digits, static_cast<std::size_t>(decpt));
        p += decpt;
        *p++ = '.';
        std::memcpy(p, digits + decpt, static_cast<std::size_t>(nd - decpt));
        p += nd - decpt;
    }
    return static_cast<std::size_t>(p - out);
}

void float_text_row_hashes(const HashColumn& c, std::size_t n, const std::uint8_t* fill, std::size_t fill_len,
                           std::uint64_t* out, int first_zero) {
    const std::uint64_t filled = text_hash(fill, fill_len);
    std::optional<std::uint64_t> zero;
    char text[32];
    if (first_zero != 0) {
        const double z = first_zero < 0 ? -0.0 : 0.0;
        zero = text_hash(reinterpret_cast<const std::uint8_t*>(text), float_repr(z, text));
    }
    const std::byte* p = c.data;
    for (std::size_t i = 0; i < n; ++i, p += c.stride) {
        double x;
        if (c.width == 8) {
            std::memcpy(&x, p, 8);
        } else {
            float f;
            std::memcpy(&f, p, 4);
            x = f;
        }
        if (std::isnan(x)) {
            out[i] = filled;
            continue;
        }
        if (x == 0.0 && zero) {
            out[i] = *zero;
            continue;
        }
        out[i] = text_hash(reinterpret_cast<const std::uint8_t*>(text), float_repr(x, text));
        if (x == 0.0) zero = out[i];
    }
}

void row_hashes(const HashColumn& c, std::size_t first, std::size_t count, std::uint64_t* out) {
    const std::byte* p = c.data + static_cast<std::ptrdiff_t>(first) * c.stride;
    for (std::size_t i = 0; i < count; ++i, p += c.stride) out[i] = mix(widened_bits(p, c));
}

bool text_offsets_valid(const TextColumn& c, std::size_t n, std::size_t data_len) {
    std::int64_t previous = 0;
    for (std::size_t i = 0; i <= n; ++i) {
        const std::int64_t at = c.offsets32 ? c.offsets32[i] : c.offsets64[i];
        if (at < previous || at > static_cast<std::int64_t>(data_len)) return false;
        previous = at;
    }
    return true;
}

std::uint64_t fnv_words(std::uint64_t state, const std::uint64_t* words, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) state = (state ^ words[i]) * fnv_prime;
    return state;
}

std::uint64_t fnv_bytes(std::uint64_t state, const void* data, std::size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        state = (state ^ w) * fnv_prime;
    }
    for (; i < len; ++i) state = (state ^ p[i]) * fnv_prime;
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

bool chunked_text_row_hashes(const std::vector<TextColumn>& chunks, const std::vector<std::size_t>& rows,
                             const std::uint8_t* fill, std::size_t fill_len, std::size_t block,
                             const std::function<bool()>& stop,
                             const std::function<void(const std::uint64_t*, std::size_t)>& visit) {
    std::vector<std::uint64_t> hashes(std::max<std::size_t>(block, 1));
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        TextColumn chunk = chunks[c];
        chunk.fill = fill;
        chunk.fill_len = fill_len;
        for (std::size_t first = 0; first < rows[c]; first += hashes.size()) {
            if (stop()) return false;
            const std::size_t count = std::min(hashes.size(), rows[c] - first);
            text_row_hashes(chunk, first, count, hashes.data());
            visit(hashes.data(), count);
        }
    }
    return true;
}

}  // namespace tamsel::kernels
