// Distinct counts. Narrow keys (8 and 16 bits) mark a 65,536-bit set; wider
// keys are gathered, sorted by an LSD radix sort of 11-bit digits (digits
// that are equal in every key are skipped, so small integers and dates take
// one or two passes) and counted as runs of equal keys. Each key is the
// value's bit pattern after the one normalisation pandas' hash table makes
// for floats (-0.0 and 0.0 are one value), so equal keys are exactly the
// values pandas counts once.
#include "distinct.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "kernels.hpp"

namespace tamsel::kernels {
namespace {

constexpr unsigned digit_bits = 11;
constexpr std::size_t digit_values = std::size_t{1} << digit_bits;
constexpr std::size_t max_passes = (64 + digit_bits - 1) / digit_bits;
constexpr std::size_t alignment = 64;

std::size_t aligned(std::size_t bytes) { return (bytes + alignment - 1) / alignment * alignment; }

struct Layout {
    std::size_t keys = 0;       // bytes of one key buffer
    std::size_t histogram = 0;  // bytes of the digit histograms
    std::size_t part = 0;       // bytes of one part's scratch
};

Layout layout(const DistinctProblem& p) {
    Layout l;
    l.keys = aligned(std::max<std::size_t>(p.n, 1) * sizeof(std::uint64_t));
    l.histogram = aligned(max_passes * digit_values * sizeof(std::size_t));
    l.part = 2 * l.keys + l.histogram;
    return l;
}

struct Scratch {
    std::uint64_t* keys;
    std::uint64_t* spare;
    std::size_t* histogram;
};

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

class ColumnReader {
public:
    explicit ColumnReader(const DistinctColumn& c) : c_(c), base_(static_cast<const char*>(c.view.data)) {}
    template <class T>
    T value(std::size_t i) const {
        return load<T>(base_ + static_cast<std::ptrdiff_t>(i) * c_.view.stride);
    }
    bool masked(std::size_t i) const {
        return c_.view.missing && c_.view.missing[static_cast<std::ptrdiff_t>(i) * c_.view.missing_stride] != 0;
    }

private:
    const DistinctColumn& c_;
    const char* base_;
};

// 8- and 16-bit values: a bit per possible value.
template <class T>
std::int64_t count_narrow(const DistinctColumn& c, std::size_t n) {
    static_assert(sizeof(T) <= 2);
    std::uint64_t seen[65536 / 64] = {};
    const ColumnReader r(c);
    for (std::size_t i = 0; i < n; ++i) {
        if (r.masked(i)) continue;
        const T v = r.value<T>(i);
        if constexpr (std::numeric_limits<T>::is_signed) {
            if (c.skip_negative && v < 0) continue;
        }
        const auto key = static_cast<std::uint16_t>(static_cast<std::make_unsigned_t<T>>(v));
        seen[key >> 6] |= std::uint64_t{1} << (key & 63);
    }
    std::int64_t count = 0;
    for (std::uint64_t w : seen) count += std::popcount(w);
    return count;
}

// Gathers the keys of the present values into keys[0, m); false for a
// masked float column with an unmasked NaN.
template <class T>
bool gather_float(const DistinctColumn& c, std::size_t n, std::uint64_t* keys, std::size_t& m) {
    using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
    const ColumnReader r(c);
    m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (r.masked(i)) continue;
        const T v = r.value<T>(i);
        if (v != v) {
            if (c.view.missing) return false;
            continue;
        }
        // pandas' hash table compares floats with ==: both zeros are one.
        keys[m++] = v == T(0) ? 0 : std::bit_cast<Bits>(v);
    }
    return true;
}

template <class T>
void gather_int(const DistinctColumn& c, std::size_t n, std::uint64_t* keys, std::size_t& m) {
    using U = std::make_unsigned_t<T>;
    const ColumnReader r(c);
    m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (r.masked(i)) continue;
        const T v = r.value<T>(i);
        if constexpr (std::numeric_limits<T>::is_signed) {
            if (c.skip_negative && v < 0) continue;
            if (c.skip_int_min && v == std::numeric_limits<T>::min()) continue;
        }
        // Zero-extended, so the upper digits of 32-bit keys are all zero.
        keys[m++] = static_cast<U>(v);
    }
}

// Sorts keys[0, m) (the sorted keys may end in `spare`) and counts runs of
// equal keys; false when stopped.
bool count_sorted(std::uint64_t* keys, std::uint64_t* spare, std::size_t* histogram, std::size_t m, unsigned width,
                  const Stop& stop, std::int64_t& count) {
    if (m == 0) {
        count = 0;
        return true;
    }
    const std::size_t passes = (width + digit_bits - 1) / digit_bits;
    std::fill(histogram, histogram + passes * digit_values, std::size_t{0});
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t k = keys[i];
        for (std::size_t d = 0; d < passes; ++d) ++histogram[d * digit_values + ((k >> (d * digit_bits)) & (digit_values - 1))];
    }
    for (std::size_t d = 0; d < passes; ++d) {
        if (stop.requested()) return false;
        std::size_t* h = histogram + d * digit_values;
        const unsigned shift = static_cast<unsigned>(d * digit_bits);
        // Every key has the same digit here: the order stays as it is.
        if (h[(keys[0] >> shift) & (digit_values - 1)] == m) continue;
        std::size_t sum = 0;
        for (std::size_t b = 0; b < digit_values; ++b) {
            const std::size_t c = h[b];
            h[b] = sum;
            sum += c;
        }
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t k = keys[i];
            spare[h[(k >> shift) & (digit_values - 1)]++] = k;
        }
        std::swap(keys, spare);
    }
    std::int64_t runs = 1;
    for (std::size_t i = 1; i < m; ++i) runs += keys[i] != keys[i - 1];
    count = runs;
    return true;
}

bool count_column(const DistinctColumn& c, std::size_t n, const Scratch& s, const Stop& stop, std::int64_t& out) {
    std::size_t m = 0;
    unsigned width = 64;
    switch (c.view.type) {
        case ValueType::i8:
            out = count_narrow<std::int8_t>(c, n);
            return true;
        case ValueType::u8:
        case ValueType::boolean:  // pandas counts a boolean array's bytes as uint8
            out = count_narrow<std::uint8_t>(c, n);
            return true;
        case ValueType::i16:
            out = count_narrow<std::int16_t>(c, n);
            return true;
        case ValueType::u16:
            out = count_narrow<std::uint16_t>(c, n);
            return true;
        case ValueType::f64:
            if (!gather_float<double>(c, n, s.keys, m)) {
                out = distinct_undecided;
                return true;
            }
            break;
        case ValueType::f32:
            if (!gather_float<float>(c, n, s.keys, m)) {
                out = distinct_undecided;
                return true;
            }
            width = 32;
            break;
        case ValueType::i64:
            gather_int<std::int64_t>(c, n, s.keys, m);
            break;
        case ValueType::u64:
            gather_int<std::uint64_t>(c, n, s.keys, m);
            break;
        case ValueType::i32:
            gather_int<std::int32_t>(c, n, s.keys, m);
            width = 32;
            break;
        case ValueType::u32:
            gather_int<std::uint32_t>(c, n, s.keys, m);
            width = 32;
            break;
    }
    return count_sorted(s.keys, s.spare, s.histogram, m, width, stop, out);
}

}  // namespace

std::size_t distinct_workspace_bytes(const DistinctProblem& p) {
    return alignment + layout(p).part * std::max<std::size_t>(p.parts, 1);
}

bool distinct_counts(const DistinctProblem& p, std::int64_t* out, void* workspace, const std::function<bool()>& poll) {
    const Layout l = layout(p);
    const std::size_t parts = std::max<std::size_t>(std::min(p.parts, p.k), 1);
    const auto base = (reinterpret_cast<std::uintptr_t>(workspace) + alignment - 1) / alignment * alignment;
    auto task = [&](std::size_t part, const Stop& stop) {
        char* mine = reinterpret_cast<char*>(base + part * l.part);
        const Scratch s{reinterpret_cast<std::uint64_t*>(mine), reinterpret_cast<std::uint64_t*>(mine + l.keys),
                        reinterpret_cast<std::size_t*>(mine + 2 * l.keys)};
        for (std::size_t c = part; c < p.k && !stop.requested(); c += parts) {
            if (!count_column(p.columns[c], p.n, s, stop, out[c])) return;
        }
    };
    return parallel_for(parts, task, poll);
}

}  // namespace tamsel::kernels
