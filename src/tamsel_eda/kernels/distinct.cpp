// Distinct counts. Narrow keys (8 and 16 bits) mark a 65,536-bit set. Wider
// keys are gathered, partitioned by their hash into buckets of about a
// thousand keys (equal keys share a bucket), and each bucket's keys are
// counted by a small open-addressing set that stays in the first-level
// cache: two sequential passes and cache-resident probes, instead of a
// sort's passes or a large table's cache misses. Each key is a bijective mix
// of the value's bit pattern after the one normalisation pandas' hash table
// makes for floats (-0.0 and 0.0 are one value), so equal keys are exactly
// the values pandas counts once.
#include "distinct.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels.hpp"

namespace tamsel::kernels {
namespace {

constexpr unsigned max_bucket_bits = 10;
constexpr std::size_t keys_per_bucket = 1024;
constexpr std::size_t alignment = 64;

std::size_t aligned(std::size_t bytes) { return (bytes + alignment - 1) / alignment * alignment; }

struct Layout {
    std::size_t keys = 0;       // bytes of one key buffer
    std::size_t histogram = 0;  // bytes of the bucket offsets
    std::size_t part = 0;       // bytes of one part's scratch
};

Layout layout(const DistinctProblem& p) {
    Layout l;
    l.keys = aligned(std::max<std::size_t>(p.n, 1) * sizeof(std::uint64_t));
    l.histogram = aligned(((std::size_t{1} << max_bucket_bits) + 1) * sizeof(std::size_t));
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

// A bijective 64-bit mix (the finaliser of MurmurHash3), applied once as a
// key is gathered: distinct keys stay distinct, and every bit of the value
// moves the top bits, which choose the bucket, and the low bits, which
// choose the slot.
inline std::uint64_t mix(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
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
        keys[m++] = mix(v == T(0) ? 0 : std::bit_cast<Bits>(v));
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
        // Zero-extended: the same key for the same value, whatever the sign.
        keys[m++] = mix(static_cast<U>(v));
    }
}

// Distinct keys of one bucket: linear probing in a table that doubles when
// half full. One key value marks an empty slot and is tracked on the side.
class KeySet {
public:
    void reset(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < 2 * expected && cap < initial_cap_limit) cap *= 2;
        slots_.assign(cap, empty);
        size_ = 0;
        has_empty_ = false;
    }
    void insert(std::uint64_t k) {
        if (k == empty) {
            has_empty_ = true;
            return;
        }
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(k) & mask;; i = (i + 1) & mask) {
            if (slots_[i] == k) return;
            if (slots_[i] == empty) {
                slots_[i] = k;
                if (++size_ * 2 > slots_.size()) grow();
                return;
            }
        }
    }
    std::size_t count() const { return size_ + (has_empty_ ? 1 : 0); }

private:
    static constexpr std::uint64_t empty = 0x7ff4dead5eedbeefULL;
    static constexpr std::size_t initial_cap_limit = std::size_t{1} << 12;

    void grow() {
        std::vector<std::uint64_t> old(slots_.size() * 2, empty);
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (std::uint64_t k : old) {
            if (k == empty) continue;
            std::size_t i = static_cast<std::size_t>(k) & mask;
            while (slots_[i] != empty) i = (i + 1) & mask;
            slots_[i] = k;
        }
    }

    std::vector<std::uint64_t> slots_;
    std::size_t size_ = 0;
    bool has_empty_ = false;
};

// Counts the distinct (mixed) keys among keys[0, m); false when stopped.
bool count_keys(std::uint64_t* keys, std::uint64_t* spare, std::size_t* offsets, std::size_t m, KeySet& set,
                const Stop& stop, std::int64_t& count) {
    unsigned bits = 0;
    while (bits < max_bucket_bits && (m >> bits) > keys_per_bucket) ++bits;
    const std::size_t buckets = std::size_t{1} << bits;
    const std::uint64_t* grouped = keys;
    if (bits > 0) {
        const unsigned shift = 64 - bits;
        std::fill(offsets, offsets + buckets + 1, std::size_t{0});
        for (std::size_t i = 0; i < m; ++i) ++offsets[(keys[i] >> shift) + 1];
        for (std::size_t b = 0; b < buckets; ++b) offsets[b + 1] += offsets[b];
        for (std::size_t i = 0; i < m; ++i) {
            const std::uint64_t k = keys[i];
            spare[offsets[k >> shift]++] = k;
        }
        // offsets[b] now holds the end of bucket b, which is where b + 1 starts.
        for (std::size_t b = buckets; b > 0; --b) offsets[b] = offsets[b - 1];
        offsets[0] = 0;
        grouped = spare;
        if (stop.requested()) return false;
    } else {
        offsets[0] = 0;
        offsets[1] = m;
    }
    std::int64_t total = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t begin = offsets[b], end = offsets[b + 1];
        set.reset(end - begin);
        for (std::size_t i = begin; i < end; ++i) set.insert(grouped[i]);
        total += static_cast<std::int64_t>(set.count());
    }
    count = total;
    return true;
}

bool count_column(const DistinctColumn& c, std::size_t n, const Scratch& s, KeySet& set, const Stop& stop,
                  std::int64_t& out) {
    std::size_t m = 0;
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
            break;
        case ValueType::i64:
            gather_int<std::int64_t>(c, n, s.keys, m);
            break;
        case ValueType::u64:
            gather_int<std::uint64_t>(c, n, s.keys, m);
            break;
        case ValueType::i32:
            gather_int<std::int32_t>(c, n, s.keys, m);
            break;
        case ValueType::u32:
            gather_int<std::uint32_t>(c, n, s.keys, m);
            break;
    }
    return count_keys(s.keys, s.spare, s.histogram, m, set, stop, out);
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
        KeySet set;
        for (std::size_t c = part; c < p.k && !stop.requested(); c += parts) {
            if (!count_column(p.columns[c], p.n, s, set, stop, out[c])) return;
        }
    };
    return parallel_for(parts, task, poll);
}

}  // namespace tamsel::kernels
