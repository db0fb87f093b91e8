// An unsigned 64-bit key per float64 whose integer order is the values'
// order, so that the top bits of the key name a range of values (a bucket)
// and buckets can be counted, merged and compared without looking at the
// values again. Both zeros get one key: NumPy's selection treats them as
// equal, so a bucket must not tell them apart either.
#pragma once

#include <bit>
#include <cstdint>

namespace tamsel::kernels {

constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

// The key of a value that is not NaN (NaN has no place in the order).
inline std::uint64_t order_key(double v) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(v == 0.0 ? 0.0 : v);
    // Negatives count down as their magnitude grows: flipping every bit turns
    // that around and puts them below the positives, whose sign bit is set.
    return (bits & sign_bit) ? ~bits : bits | sign_bit;
}

inline double key_value(std::uint64_t key) { return std::bit_cast<double>((key & sign_bit) ? key & ~sign_bit : ~key); }

// Which bits of the key name a bucket. Level 0 takes the top 20 (the sign,
// the 11 exponent bits and 8 mantissa bits: 1/256 of a binade). A bucket too
// full of distinct values can be split further: level 1 takes the next 24
// bits of the keys inside one level-0 bucket (`prefix`), level 2 the last
// 20 inside one level-1 bucket, and there every bucket is a single key.
struct BucketLevel {
    static constexpr unsigned deepest = 2;
    static constexpr unsigned width[3] = {20, 24, 20};
    static constexpr unsigned below[3] = {44, 20, 0};  // key bits under the level's

    unsigned level = 0;
    std::uint64_t prefix = 0;  // the key bits above the level's

    bool holds(std::uint64_t key) const { return level == 0 || key >> (below[level] + width[level]) == prefix; }
    std::uint32_t bucket(std::uint64_t key) const {
        return static_cast<std::uint32_t>((key >> below[level]) & (size() - 1));
    }
    std::uint64_t size() const { return std::uint64_t{1} << width[level]; }
    // The level that splits `bucket` of this one (level < deepest).
    BucketLevel inside(std::uint32_t bucket) const { return {level + 1, prefix << width[level] | bucket}; }
    bool operator==(const BucketLevel&) const = default;
};

}  // namespace tamsel::kernels
