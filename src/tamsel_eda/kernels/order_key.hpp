// An unsigned 64-bit key per float64 whose integer order is the values'
// order, so that the top bits of the key name a range of values (a bucket)
// and buckets can be counted, merged and compared without looking at the
// values again. Both zeros get one key: NumPy's selection treats them as
// equal, so a bucket must not tell them apart either.
#pragma once

#include <bit>
#include <cstdint>

namespace tamsel::kernels {

constexpr unsigned bucket_bits = 20;  // sign, 11 exponent bits, 8 mantissa bits: 1/256 of a binade
constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

// The key of a value that is not NaN (NaN has no place in the order).
inline std::uint64_t order_key(double v) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v == 0.0 ? 0.0 : v);
    // Negatives count down as their magnitude grows: flipping every bit turns
    // that around and puts them below the positives, whose sign bit is set.
    return (bits & sign_bit) ? ~bits : bits | sign_bit;
}

inline double key_value(std::uint64_t key) { return std::bit_cast<double>((key & sign_bit) ? key & ~sign_bit : ~key); }

inline std::uint32_t bucket_of(std::uint64_t key) { return static_cast<std::uint32_t>(key >> (64 - bucket_bits)); }

}  // namespace tamsel::kernels
