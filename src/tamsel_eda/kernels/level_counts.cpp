// Level counts. The hashes of the present cells are gathered once, then
// grouped by range and, within a range, by their top bits into buckets of
// about a thousand entries (a counting sort: two sequential passes), and each
// bucket is counted by a small open-addressing table that stays in the
// first-level cache. The output is therefore contiguous per range, and no
// large hash table is ever probed at random.
#include "level_counts.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kernels.hpp"

namespace tamsel::kernels {
namespace {

constexpr unsigned max_bucket_bits = 10;
constexpr std::size_t entries_per_bucket = 1024;

template <class T>
T load(const char* p) {
    T v;
    std::memcpy(&v, p, sizeof(T));
    return v;
}

// A cell's value; a boolean is read as its byte, so any nonzero byte is true.
template <class T>
T value(const char* p) {
    if constexpr (std::is_same_v<T, bool>) {
        return load<std::uint8_t>(p) != 0;
    } else {
        return load<T>(p);
    }
}

// An array left uninitialised: every buffer here is written before it is
// read, and clearing millions of entries would cost as much as counting.
template <class T>
std::unique_ptr<T[]> raw(std::size_t n) {
    return std::unique_ptr<T[]>(new T[std::max<std::size_t>(n, 1)]);
}

struct Gathered {
    std::unique_ptr<std::uint64_t[]> hashes;
    std::unique_ptr<std::int64_t[]> weights;  // null: every entry counts 1
    std::size_t size = 0;
};

// The 64-bit word pandas' hash_array mixes for a value of type T.
template <class T>
std::uint64_t word(T v) {
    if constexpr (std::is_same_v<T, bool>) {
        return v ? 1 : 0;
    } else if constexpr (std::is_floating_point_v<T>) {
        using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
        // Both zeros are one level; +0.0's bits stand for them.
        return std::bit_cast<Bits>(v == T(0) ? T(0) : v);
    } else {
        return static_cast<std::make_unsigned_t<T>>(v);
    }
}

// Gathers the hashes (and weights) of the present cells; false for a masked
// float column with an unmasked NaN.
template <class T>
bool gather(const LevelColumn& c, std::size_t n, LevelCounts& out, Gathered& g) {
    const char* base = static_cast<const char*>(c.view.data);
    const char* wbase = reinterpret_cast<const char*>(c.weights);
    const bool weighted = c.weights != nullptr;
    g.hashes = raw<std::uint64_t>(n);
    if (weighted) g.weights = raw<std::int64_t>(n);
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto at = static_cast<std::ptrdiff_t>(i);
        const std::int64_t w = weighted ? load<std::int64_t>(wbase + at * c.weights_stride) : 1;
        if (w == 0) continue;
        if (c.view.missing && c.view.missing[at * c.view.missing_stride] != 0) {
            out.masked += w;
            continue;
        }
        const T v = value<T>(base + at * c.view.stride);
        if constexpr (std::is_floating_point_v<T>) {
            if (v != v) {
                if (c.view.missing) return false;
                out.nan += w;
                continue;
            }
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            if (c.skip_int_min && v == std::numeric_limits<std::int64_t>::min()) {
                out.nat += w;
                continue;
            }
        }
        const std::uint64_t k = word(v);
        g.hashes[m] = c.hashed ? k : pandas_mix(k);
        if (weighted) g.weights[m] = w;
        ++m;
    }
    g.size = m;
    return true;
}

// Counts of the hashes of one bucket: linear probing over a table that
// doubles when half full; a count of 0 marks an empty slot. The slot comes
// from the middle bits of the hash, since the range fixes its residue and
// the bucket its top bits. Emitting empties the table, so the next bucket
// reuses it without clearing it again.
class Counter {
public:
    void reset(std::size_t expected) {
        std::size_t cap = 16;
        while (cap < 2 * expected && cap < initial_cap_limit) cap *= 2;
        if (cap != hashes_.size()) {
            hashes_.assign(cap, 0);
            counts_.assign(cap, 0);
        }
        size_ = 0;
    }
    void add(std::uint64_t h, std::int64_t w) {
        const std::size_t mask = hashes_.size() - 1;
        for (std::size_t i = slot(h) & mask;; i = (i + 1) & mask) {
            if (counts_[i] == 0) {
                hashes_[i] = h;
                counts_[i] = w;
                if (++size_ * 2 > hashes_.size()) grow();
                return;
            }
            if (hashes_[i] == h) {
                counts_[i] += w;
                return;
            }
        }
    }
    // Writes the bucket's levels from hashes[at], counts[at] on; returns
    // where they end.
    std::size_t emit(std::uint64_t* hashes, std::int64_t* counts, std::size_t at) {
        for (std::size_t i = 0; i < hashes_.size(); ++i) {
            if (counts_[i] == 0) continue;
            hashes[at] = hashes_[i];
            counts[at++] = counts_[i];
            counts_[i] = 0;
        }
        return at;
    }

private:
    static constexpr std::size_t initial_cap_limit = std::size_t{1} << 12;
    static std::size_t slot(std::uint64_t h) { return static_cast<std::size_t>((h >> 17) ^ (h >> 41)); }

    void grow() {
        std::vector<std::uint64_t> old_h(hashes_.size() * 2, 0);
        std::vector<std::int64_t> old_c(counts_.size() * 2, 0);
        old_h.swap(hashes_);
        old_c.swap(counts_);
        const std::size_t mask = hashes_.size() - 1;
        for (std::size_t j = 0; j < old_h.size(); ++j) {
            if (old_c[j] == 0) continue;
            std::size_t i = slot(old_h[j]) & mask;
            while (counts_[i] != 0) i = (i + 1) & mask;
            hashes_[i] = old_h[j];
            counts_[i] = old_c[j];
        }
    }

    std::vector<std::uint64_t> hashes_;
    std::vector<std::int64_t> counts_;
    std::size_t size_ = 0;
};

bool count(Gathered& g, std::size_t ranges, LevelCounts& out, const Stop& stop) {
    const std::size_t m = g.size;
    const bool weighted = g.weights != nullptr;
    unsigned bits = 0;
    while (bits < max_bucket_bits && (m / ranges >> bits) > entries_per_bucket) ++bits;
    const std::size_t buckets = std::size_t{1} << bits;
    const std::size_t groups = ranges * buckets;
    // A power-of-two count of ranges takes the residue by a mask, sparing a
    // division per entry.
    const bool pow2 = (ranges & (ranges - 1)) == 0;
    auto group = [&](std::uint64_t h) {
        const std::size_t top = bits ? static_cast<std::size_t>(h >> (64 - bits)) : 0;
        const auto r = static_cast<std::size_t>(pow2 ? h & (ranges - 1) : h % ranges);
        return static_cast<std::uint32_t>(r * buckets + top);
    };
    auto ids = raw<std::uint32_t>(m);
    std::vector<std::size_t> begin(groups + 1, 0);
    for (std::size_t i = 0; i < m; ++i) {
        ids[i] = group(g.hashes[i]);
        ++begin[ids[i] + 1];
    }
    for (std::size_t b = 0; b < groups; ++b) begin[b + 1] += begin[b];
    // The grouped entries; each bucket's levels are then written back over
    // its own entries' start (a bucket has no more levels than entries), so
    // the output is compacted in place.
    auto hashes = raw<std::uint64_t>(m);
    auto counts = raw<std::int64_t>(m);
    {
        std::vector<std::size_t> next(begin.begin(), begin.end() - 1);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t to = next[ids[i]]++;
            hashes[to] = g.hashes[i];
            counts[to] = weighted ? g.weights[i] : 1;
        }
    }
    ids.reset();
    g = Gathered{};
    if (stop.requested()) return false;
    Counter counter;
    out.range_begin.assign(ranges + 1, 0);
    std::size_t at = 0;
    for (std::size_t b = 0; b < groups; ++b) {
        if (b % buckets == 0) out.range_begin[b / buckets] = at;
        counter.reset(begin[b + 1] - begin[b]);
        for (std::size_t i = begin[b]; i < begin[b + 1]; ++i) counter.add(hashes[i], counts[i]);
        at = counter.emit(hashes.get(), counts.get(), at);
        if (b % 64 == 63 && stop.requested()) return false;
    }
    out.range_begin[ranges] = at;
    out.hashes = std::move(hashes);
    out.counts = std::move(counts);
    out.size = at;
    return true;
}

bool gather_any(const LevelColumn& c, std::size_t n, LevelCounts& out, Gathered& g) {
    switch (c.view.type) {
        case ValueType::f64:
            return gather<double>(c, n, out, g);
        case ValueType::f32:
            return gather<float>(c, n, out, g);
        case ValueType::i64:
            return gather<std::int64_t>(c, n, out, g);
        case ValueType::i32:
            return gather<std::int32_t>(c, n, out, g);
        case ValueType::i16:
            return gather<std::int16_t>(c, n, out, g);
        case ValueType::i8:
            return gather<std::int8_t>(c, n, out, g);
        case ValueType::u64:
            return gather<std::uint64_t>(c, n, out, g);
        case ValueType::u32:
            return gather<std::uint32_t>(c, n, out, g);
        case ValueType::u16:
            return gather<std::uint16_t>(c, n, out, g);
        case ValueType::u8:
            return gather<std::uint8_t>(c, n, out, g);
        case ValueType::boolean:
            return gather<bool>(c, n, out, g);
    }
    return false;
}

}  // namespace

bool level_counts(const LevelProblem& p, LevelCounts* out, const std::function<bool()>& poll) {
    const std::size_t ranges = std::max<std::size_t>(p.ranges, 1);
    const std::size_t parts = std::max<std::size_t>(std::min(p.parts, p.k), 1);
    auto task = [&](std::size_t part, const Stop& stop) {
        for (std::size_t j = part; j < p.k && !stop.requested(); j += parts) {
            LevelCounts& o = out[j];
            o = LevelCounts{};
            Gathered g;
            if (!gather_any(p.columns[j], p.rows[j], o, g)) {
                o = LevelCounts{};
                o.undecided = true;
                o.range_begin.assign(ranges + 1, 0);
                continue;
            }
            // Stopped: the caller discards every result.
            if (!count(g, ranges, o, stop)) return;
        }
    };
    // With one part the columns are counted on the calling thread, which
    // polls as it goes.
    return parallel_for(parts, task, poll);
}

}  // namespace tamsel::kernels
