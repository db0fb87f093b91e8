// Level counts. The hashes of the present cells are gathered once, then
// grouped by range and, within a range, by their top bits into buckets of
// about a thousand entries (a counting sort: two sequential passes), and each
// bucket is counted by a small open-addressing table that stays in the
// first-level cache. The output is therefore contiguous per range, and no
// large hash table is ever probed at random. Merging states gathers their
// hashes with their counts as weights and counts them the same way.
//
// Distinct counts alone take a lighter road: narrow keys (8 and 16 bits)
// mark a 65,536-bit set; wider keys are partitioned by their hash into
// buckets of about a thousand keys, each counted by a small set, keeping no
// count and no range. Their keys are a bijective mix of the value's bit
// pattern after the same normalisation of floats, so equal keys are exactly
// the values pandas counts once.
#include "level_counts.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <stdexcept>
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

// ---- The steps of the mergeable kernel.

namespace {

LevelState empty_state(std::size_t k) {
    LevelState s;
    s.begin.assign(1, 0);
    s.missing.assign(k * missing_kinds, 0);
    s.lone_begin.assign(1, 0);
    s.key_begin.assign(1, 0);
    return s;
}

template <class T>
void append(std::vector<T>& to, const T* from, std::size_t n) {
    to.insert(to.end(), from, from + n);
}

// Appends column j of every state but its levels: missing kinds added,
// lone levels side by side.
void merge_missing(const LevelStateView* states, std::size_t m, std::size_t j, LevelState& out) {
    for (std::size_t s = 0; s < m; ++s) {
        const LevelStateView& v = states[s];
        for (std::size_t kind = 0; kind < missing_kinds; ++kind)
            out.missing[j * missing_kinds + kind] += v.missing[j * missing_kinds + kind];
        append(out.lone, v.lone + v.lone_begin[j], static_cast<std::size_t>(v.lone_begin[j + 1] - v.lone_begin[j]));
    }
    out.lone_begin.push_back(static_cast<std::int64_t>(out.lone.size()));
}

template <class T>
FewState few_of(const LevelColumn& c, std::size_t n) {
    const char* base = static_cast<const char*>(c.view.data);
    FewState st;
    std::uint64_t first = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const auto at = static_cast<std::ptrdiff_t>(i);
        if (c.view.missing && c.view.missing[at * c.view.missing_stride] != 0) continue;
        const T v = value<T>(base + at * c.view.stride);
        if constexpr (std::is_floating_point_v<T>) {
            if (v != v) continue;
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            if (c.skip_int_min && v == std::numeric_limits<std::int64_t>::min()) continue;
        }
        const std::uint64_t w = word(v);
        if (st.levels == FewLevels::none) {
            st.levels = FewLevels::one;
            first = w;
        } else if (w != first) {
            return FewState{FewLevels::many, 0};
        }
    }
    if (st.levels == FewLevels::one) st.hash = c.hashed ? first : pandas_mix(first);
    return st;
}

FewState few_any(const LevelColumn& c, std::size_t n) {
    switch (c.view.type) {
        case ValueType::f64:
            return few_of<double>(c, n);
        case ValueType::f32:
            return few_of<float>(c, n);
        case ValueType::i64:
            return few_of<std::int64_t>(c, n);
        case ValueType::i32:
            return few_of<std::int32_t>(c, n);
        case ValueType::i16:
            return few_of<std::int16_t>(c, n);
        case ValueType::i8:
            return few_of<std::int8_t>(c, n);
        case ValueType::u64:
            return few_of<std::uint64_t>(c, n);
        case ValueType::u32:
            return few_of<std::uint32_t>(c, n);
        case ValueType::u16:
            return few_of<std::uint16_t>(c, n);
        case ValueType::u8:
            return few_of<std::uint8_t>(c, n);
        case ValueType::boolean:
            return few_of<bool>(c, n);
    }
    return FewState{FewLevels::many, 0};
}

}  // namespace

bool level_partial(const PartialColumn* columns, std::size_t k, std::size_t ranges, std::vector<LevelState>& out,
                   std::vector<bool>& undecided, const std::function<bool()>& poll) {
    ranges = std::max<std::size_t>(ranges, 1);
    out.assign(ranges, empty_state(k));
    undecided.assign(k, false);
    for (std::size_t j = 0; j < k; ++j) {
        const PartialColumn& c = columns[j];
        LevelCounts counts;
        if (c.read) {
            LevelProblem p;
            p.columns = c.read;
            p.rows = &c.rows;
            p.k = 1;
            p.ranges = ranges;
            if (!level_counts(p, &counts, poll)) return false;
            undecided[j] = counts.undecided;
        }
        const bool counted = c.read && !counts.undecided;
        for (std::size_t r = 0; r < ranges; ++r) {
            LevelState& s = out[r];
            if (counted) {
                const std::size_t b = counts.range_begin[r], n = counts.range_begin[r + 1] - b;
                append(s.hashes, counts.hashes.get() + b, n);
                append(s.counts, counts.counts.get() + b, n);
            }
            s.begin.push_back(static_cast<std::int64_t>(s.hashes.size()));
            if (r == 0) {
                std::int64_t* m = s.missing.data() + j * missing_kinds;
                std::copy(c.missing, c.missing + missing_kinds, m);
                if (counted) {
                    m[missing_nan] += counts.nan;
                    m[missing_na] += counts.masked;
                    m[missing_nat] += counts.nat;
                }
                append(s.lone, c.lone, c.lone_size);
            }
            s.lone_begin.push_back(static_cast<std::int64_t>(s.lone.size()));
        }
        for (std::size_t i = 0; i < c.keys; ++i) {
            const std::uint64_t h = c.key_hashes ? c.key_hashes[i] : 0;
            LevelState& s = out[c.key_ranges ? static_cast<std::size_t>(c.key_ranges[i]) % ranges : h % ranges];
            s.key_counts.push_back(c.key_counts[i]);
            s.key_hashes.push_back(h);
            s.key_source.push_back(i);
        }
        for (LevelState& s : out) s.key_begin.push_back(static_cast<std::int64_t>(s.key_counts.size()));
    }
    return true;
}

std::vector<bool> joined_columns(const LevelStateView* states, std::size_t m) {
    if (m == 0) throw std::invalid_argument("level_merge needs at least one state");
    const std::size_t k = states[0].k;
    for (std::size_t s = 1; s < m; ++s)
        if (states[s].k != k) throw std::invalid_argument("states of different columns");
    std::vector<bool> levels(k, false), keys(k, false), out(k, false);
    for (std::size_t s = 0; s < m; ++s) {
        for (std::size_t j = 0; j < k; ++j) {
            levels[j] = levels[j] || states[s].begin[j + 1] > states[s].begin[j];
            keys[j] = keys[j] || states[s].key_begin[j + 1] > states[s].key_begin[j];
        }
    }
    for (std::size_t j = 0; j < k; ++j) out[j] = levels[j] && keys[j];
    return out;
}

bool merge_level_states(const LevelStateView* states, std::size_t m, const std::vector<bool>& joined,
                        const KeyLevelsView& keys, LevelState& out, const std::function<bool()>& poll) {
    const std::size_t k = m ? states[0].k : 0;
    out = empty_state(k);
    bool stopped = false;
    // Column j's levels of state s, then (joined) its keys by their hashes.
    auto table = [&](std::size_t s, std::size_t j, bool of_keys, const std::uint64_t*& h, const std::int64_t*& c) {
        const LevelStateView& v = states[s];
        const std::int64_t* b = of_keys ? v.key_begin : v.begin;
        h = (of_keys ? v.key_hashes : v.hashes) + b[j];
        c = (of_keys ? v.key_counts : v.counts) + b[j];
        return static_cast<std::size_t>(b[j + 1] - b[j]);
    };
    auto task = [&](std::size_t, const Stop& stop) {
        for (std::size_t j = 0; j < k; ++j) {
            const std::size_t sides = joined[j] ? 2 : 1;
            std::size_t total = 0, tables = 0, only = 0;
            const std::uint64_t* h;
            const std::int64_t* c;
            for (std::size_t t = 0; t < m * sides; ++t) {
                const std::size_t n = table(t % m, j, t >= m, h, c);
                total += n;
                if (n) ++tables, only = t;
            }
            if (tables == 1) {
                // One table of levels is its own union (a joined column has
                // two at least).
                table(only % m, j, only >= m, h, c);
                append(out.hashes, h, total);
                append(out.counts, c, total);
            } else if (tables > 1) {
                Gathered g;
                g.hashes = raw<std::uint64_t>(total);
                g.weights = raw<std::int64_t>(total);
                for (std::size_t t = 0; t < m * sides; ++t) {
                    const std::size_t n = table(t % m, j, t >= m, h, c);
                    std::copy(h, h + n, g.hashes.get() + g.size);
                    std::copy(c, c + n, g.weights.get() + g.size);
                    g.size += n;
                }
                LevelCounts united;
                if (!count(g, 1, united, stop)) {
                    stopped = true;
                    return;
                }
                append(out.hashes, united.hashes.get(), united.size);
                append(out.counts, united.counts.get(), united.size);
            }
            out.begin.push_back(static_cast<std::int64_t>(out.hashes.size()));
            merge_missing(states, m, j, out);
            if (!joined[j]) {
                const auto b = static_cast<std::size_t>(keys.begin[j]),
                           n = static_cast<std::size_t>(keys.begin[j + 1]) - b;
                append(out.key_counts, keys.counts + b, n);
                append(out.key_hashes, keys.hashes + b, n);
            }
            out.key_begin.push_back(static_cast<std::int64_t>(out.key_counts.size()));
        }
    };
    return parallel_for(1, task, poll) && !stopped;
}

bool valid_level_state(const LevelStateView& s, std::size_t levels, std::size_t lone, std::size_t keys) {
    if (s.begin[0] != 0 || s.lone_begin[0] != 0 || s.key_begin[0] != 0) return false;
    for (std::size_t j = 0; j < s.k; ++j) {
        if (s.begin[j + 1] < s.begin[j] || s.lone_begin[j + 1] < s.lone_begin[j] || s.key_begin[j + 1] < s.key_begin[j])
            return false;
    }
    if (static_cast<std::size_t>(s.begin[s.k]) != levels || static_cast<std::size_t>(s.lone_begin[s.k]) != lone ||
        static_cast<std::size_t>(s.key_begin[s.k]) != keys)
        return false;
    // A count of 0 would mark an empty slot of the tables that unite them.
    const auto positive = [](std::int64_t c) { return c > 0; };
    return std::all_of(s.counts, s.counts + levels, positive) &&
           std::all_of(s.key_counts, s.key_counts + keys, positive);
}

std::int64_t rare_threshold(std::int64_t rows) {
    return std::max<std::int64_t>(static_cast<std::int64_t>(0.01 * static_cast<double>(rows)), 2);
}

void finish_level_state(const LevelStateView& s, std::int64_t threshold,
                        const std::vector<std::vector<std::int64_t>>& extra, std::int64_t* distinct,
                        std::int64_t* rare) {
    std::vector<const std::int64_t*> at(extra.size());
    std::vector<std::size_t> size(extra.size());
    for (std::size_t j = 0; j < extra.size(); ++j) {
        at[j] = extra[j].data();
        size[j] = extra[j].size();
    }
    finish_level_state(s, threshold, extra.empty() ? nullptr : at.data(), size.data(), distinct, rare);
}

void finish_level_state(const LevelStateView& s, std::int64_t threshold, const std::int64_t* const* extra,
                        const std::size_t* extra_size, std::int64_t* distinct, std::int64_t* rare) {
    auto rare_of = [threshold](const std::int64_t* from, const std::int64_t* to) {
        std::int64_t sum = 0;
        for (const std::int64_t* c = from; c != to; ++c)
            if (*c <= threshold) sum += *c;
        return sum;
    };
    for (std::size_t j = 0; j < s.k; ++j) {
        const std::int64_t* m = s.missing + j * missing_kinds;
        distinct[j] = s.begin[j + 1] - s.begin[j];
        rare[j] = rare_of(s.counts + s.begin[j], s.counts + s.begin[j + 1]) + rare_of(m, m + missing_kinds) +
                  rare_of(s.lone + s.lone_begin[j], s.lone + s.lone_begin[j + 1]) +
                  rare_of(s.key_counts + s.key_begin[j], s.key_counts + s.key_begin[j + 1]);
        distinct[j] += s.key_begin[j + 1] - s.key_begin[j];
        if (extra && extra[j]) {
            distinct[j] += static_cast<std::int64_t>(extra_size[j]);
            rare[j] += rare_of(extra[j], extra[j] + extra_size[j]);
        }
    }
}

void few_levels(const LevelColumn* columns, std::size_t k, const std::size_t* rows, FewState* out) {
    std::size_t first = k;
    for (std::size_t j = 0; j < k; ++j) {
        const LevelColumn& c = columns[j];
        if (!c.hashed && first == k) first = j;
        if (!c.hashed && rows[j] != rows[first]) throw std::invalid_argument("columns of one length");
        if (c.weights) throw std::invalid_argument("few_levels reads values or hashes, not weights");
        if (c.view.missing && (c.view.type == ValueType::f64 || c.view.type == ValueType::f32))
            throw std::invalid_argument("a masked float column: counted by pandas");
    }
    for (std::size_t j = 0; j < k; ++j) out[j] = few_any(columns[j], rows[j]);
}

std::vector<FewState> few_states_of(const std::vector<FewArrays>& shares, std::size_t& k) {
    k = shares.empty() ? 0 : shares[0].first.size();
    std::vector<FewState> states;
    for (const auto& [levels, hashes] : shares) {
        if (levels.size() != k || hashes.size() != k) throw std::invalid_argument("states of different columns");
        for (std::size_t j = 0; j < k; ++j) {
            if (levels[j] > 2) throw std::invalid_argument("levels: 0, 1 or 2");
            states.push_back({static_cast<FewLevels>(levels[j]), hashes[j]});
        }
    }
    return states;
}

void check_distinct_columns(const LevelColumn* columns, std::size_t k, const std::size_t* rows) {
    for (std::size_t j = 0; j < k; ++j) {
        if (rows[j] != rows[0]) throw std::invalid_argument("columns of one length");
        if (columns[j].hashed || columns[j].weights)
            throw std::invalid_argument("distinct_counts reads values, not hashes or weights");
    }
}

void few_merge(const FewState* states, std::size_t shares, std::size_t k, std::int64_t* out) {
    for (std::size_t j = 0; j < k; ++j) {
        std::int64_t levels = 0;
        std::uint64_t first = 0;
        for (std::size_t s = 0; s < shares && levels < 2; ++s) {
            const FewState& st = states[s * k + j];
            if (st.levels == FewLevels::many) {
                levels = 2;
            } else if (st.levels == FewLevels::one) {
                if (levels == 0) {
                    levels = 1;
                    first = st.hash;
                } else if (st.hash != first) {
                    levels = 2;
                }
            }
        }
        out[j] = levels;
    }
}

// ---- Distinct counts alone.

namespace {
namespace distinct {

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

class ColumnReader {
public:
    explicit ColumnReader(const LevelColumn& c) : c_(c), base_(static_cast<const char*>(c.view.data)) {}
    template <class T>
    T value(std::size_t i) const {
        return load<T>(base_ + static_cast<std::ptrdiff_t>(i) * c_.view.stride);
    }
    bool masked(std::size_t i) const {
        return c_.view.missing && c_.view.missing[static_cast<std::ptrdiff_t>(i) * c_.view.missing_stride] != 0;
    }

private:
    const LevelColumn& c_;
    const char* base_;
};

// 8- and 16-bit values: a bit per possible value.
template <class T>
std::int64_t count_narrow(const LevelColumn& c, std::size_t n) {
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
bool gather_float(const LevelColumn& c, std::size_t n, std::uint64_t* keys, std::size_t& m) {
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
void gather_int(const LevelColumn& c, std::size_t n, std::uint64_t* keys, std::size_t& m) {
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

bool count_column(const LevelColumn& c, std::size_t n, const Scratch& s, KeySet& set, const Stop& stop,
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

}  // namespace distinct
}  // namespace

std::size_t distinct_workspace_bytes(const DistinctProblem& p) {
    return distinct::alignment + distinct::layout(p).part * std::max<std::size_t>(p.parts, 1);
}

bool distinct_counts(const DistinctProblem& p, std::int64_t* out, void* workspace, const std::function<bool()>& poll) {
    const distinct::Layout l = distinct::layout(p);
    const std::size_t parts = std::max<std::size_t>(std::min(p.parts, p.k), 1);
    const auto base = (reinterpret_cast<std::uintptr_t>(workspace) + distinct::alignment - 1) / distinct::alignment *
                      distinct::alignment;
    auto task = [&](std::size_t part, const Stop& stop) {
        char* mine = reinterpret_cast<char*>(base + part * l.part);
        const distinct::Scratch s{reinterpret_cast<std::uint64_t*>(mine),
                                  reinterpret_cast<std::uint64_t*>(mine + l.keys),
                                  reinterpret_cast<std::size_t*>(mine + 2 * l.keys)};
        distinct::KeySet set;
        for (std::size_t c = part; c < p.k && !stop.requested(); c += parts) {
            if (!distinct::count_column(p.columns[c], p.n, s, set, stop, out[c])) return;
        }
    };
    return parallel_for(parts, task, poll);
}

}  // namespace tamsel::kernels
