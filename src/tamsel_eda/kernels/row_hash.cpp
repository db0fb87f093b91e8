#include "row_hash.hpp"

#include <cstring>
#include <stdexcept>
#include <type_traits>

#include "kernels.hpp"

namespace tamsel::kernels {
namespace {

inline std::uint64_t splitmix(std::uint64_t v) {
    v ^= v >> 30;
    v *= 0xBF58476D1CE4E5B9ULL;
    v ^= v >> 27;
    v *= 0x94D049BB133111EBULL;
    v ^= v >> 31;
    return v;
}

// The value's bytes as the unsigned integer of the same width, widened.
template <class T>
std::uint64_t digest(const ColumnView& c, std::size_t n, bool canonical_zero, const Stop& stop, bool& stopped) {
    using U = std::conditional_t<
        sizeof(T) == 8, std::uint64_t,
        std::conditional_t<sizeof(T) == 4, std::uint32_t, std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint8_t>>>;
    const char* p = static_cast<const char*>(c.data);
    std::uint64_t h = fnv_offset;
    constexpr std::size_t block = std::size_t{1} << 16;
    for (std::size_t start = 0; start < n; start += block) {
        if (stop.requested()) {
            stopped = true;
            return 0;
        }
        const std::size_t end = start + block < n ? start + block : n;
        for (std::size_t i = start; i < end; ++i) {
            U u;
            std::memcpy(&u, p + static_cast<std::ptrdiff_t>(i) * c.stride, sizeof(U));
            if constexpr (std::is_floating_point_v<T>) {
                T v;
                std::memcpy(&v, &u, sizeof(T));
                if (canonical_zero && v == T(0)) u = 0;
            }
            h = (h ^ splitmix(static_cast<std::uint64_t>(u))) * fnv_prime;
        }
    }
    return h;
}

std::uint64_t column_digest(const ColumnView& c, std::size_t n, bool canonical_zero, const Stop& stop, bool& stopped) {
    switch (c.type) {
        case ValueType::f64:
            return digest<double>(c, n, canonical_zero, stop, stopped);
        case ValueType::f32:
            return digest<float>(c, n, canonical_zero, stop, stopped);
        case ValueType::i64:
        case ValueType::u64:
            return digest<std::uint64_t>(c, n, false, stop, stopped);
        case ValueType::i32:
        case ValueType::u32:
            return digest<std::uint32_t>(c, n, false, stop, stopped);
        case ValueType::i16:
        case ValueType::u16:
            return digest<std::uint16_t>(c, n, false, stop, stopped);
        case ValueType::i8:
        case ValueType::u8:
            return digest<std::uint8_t>(c, n, false, stop, stopped);
        case ValueType::boolean:
            break;
    }
    throw std::logic_error("row hash digest of an unsupported column type");
}

}  // namespace

bool row_hash_digests(const RowHashProblem& p, std::uint64_t* out, const std::function<bool()>& poll) {
    return parallel_for(
        p.k,
        [&](std::size_t c, const Stop& stop) {
            bool stopped = false;
            out[c] = column_digest(p.columns[c], p.n, p.canonical_zero, stop, stopped);
        },
        poll);
}

}  // namespace tamsel::kernels
