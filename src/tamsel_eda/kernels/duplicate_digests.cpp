#include "duplicate_digests.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

namespace tamsel::kernels::dupes {
namespace {

// The bits of NumPy's NaN: every NaN of a share digests as this one, as
// pandas fills them all with the same text.
constexpr std::uint64_t canonical_nan = 0x7FF8000000000000ull;

double value_at(const std::byte* p, unsigned width) {
    if (width == 8) {
        double x;
        std::memcpy(&x, p, 8);
        return x;
    }
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

}  // namespace

ColumnDigest float_values_partial(const HashColumn& c, std::size_t n, std::size_t* first_present) {
    ColumnDigest out;
    *first_present = n;
    bool zero_seen = false;
    const std::byte* p = c.data;
    for (std::size_t i = 0; i < n; ++i, p += c.stride) {
        double x = value_at(p, c.width);
        std::uint64_t bits = canonical_nan;
        if (!std::isnan(x)) {
            if (*first_present == n) *first_present = i;
            if (x == 0.0) {
                if (!zero_seen && std::signbit(x)) out.flags |= facts::negative_zero;
                zero_seen = true;
                x = 0.0;
            }
            std::memcpy(&bits, &x, 8);
        }
        out.digest = fnv_words(out.digest, &bits, 1);
    }
    // An empty share rules nothing out, whatever its column holds.
    if (!n) return out;
    out.dtype = "object";
    out.flags |= facts::by_values | facts::no_float_texts;
    if (zero_seen) out.flags |= facts::zero;
    if (*first_present < n) out.flags |= facts::text_fallback;
    return out;
}

double float_value_at(const HashColumn& c, std::size_t i) {
    return value_at(c.data + static_cast<std::ptrdiff_t>(i) * c.stride, c.width);
}

ColumnDigest numbers_partial(const HashColumn& c, std::size_t n, std::string dtype) {
    ColumnDigest out;
    out.digest = row_hash_digest(c, n);
    if (!n) return out;
    // A number's hash mixes its bits: never the hash of a text.
    out.flags = facts::by_hashes | facts::no_float_texts;
    out.dtype = std::move(dtype);
    return out;
}

ColumnDigest hashes_partial(const void* hashes, std::size_t n, std::string dtype, std::uint32_t flags) {
    ColumnDigest out;
    out.digest = fnv_bytes(fnv_offset, hashes, n * sizeof(std::uint64_t));
    if (!n) return out;
    out.flags = (flags & (facts::text_fallback | facts::bytes_alone | facts::no_float_texts)) | facts::by_hashes;
    out.dtype = std::move(dtype);
    return out;
}

ColumnDigest merge(const ColumnDigest& a, const ColumnDigest& b) {
    ColumnDigest out;
    if ((a.flags | b.flags) & facts::failed) {
        out.flags = facts::failed;
        return out;
    }
    constexpr std::uint32_t zero_bits = facts::zero | facts::negative_zero;
    out.flags = ((a.flags | b.flags) & ~zero_bits) | (((a.flags & facts::zero) ? a.flags : b.flags) & zero_bits);
    const std::uint64_t both[2] = {a.digest, b.digest};
    out.digest = fnv_words(fnv_offset, both, 2);
    out.dtype = a.dtype.empty() ? b.dtype : a.dtype;
    if (!a.dtype.empty() && !b.dtype.empty() && a.dtype != b.dtype) out.flags |= facts::dtypes_differ;
    return out;
}

CandidatePlan candidate_plan(const std::vector<ColumnDigest>& columns) {
    const std::size_t n = columns.size();
    std::vector<std::size_t> usable;
    std::vector<char> anything(n, 0), by_values(n, 0);
    CandidatePlan plan;
    for (std::size_t j = 0; j < n; ++j) {
        const std::uint32_t f = columns[j].flags;
        if (f & facts::failed) continue;
        usable.push_back(j);
        const bool unsettled = (f & facts::dtypes_differ) || ((f & facts::text_fallback) && (f & facts::bytes_alone));
        if (unsettled) plan.unsettled.push_back(j);
        // Digests of values and of hashes do not compare.
        anything[j] = unsettled || ((f & facts::by_values) && (f & facts::by_hashes));
        by_values[j] = !anything[j] && (f & facts::by_values);
    }
    std::set<ColumnPair> pairs;
    const auto pair = [&](std::size_t a, std::size_t b) { pairs.insert({std::max(a, b), std::min(a, b)}); };
    std::map<std::pair<bool, std::uint64_t>, std::vector<std::size_t>> groups;
    std::vector<std::size_t> could;
    for (std::size_t j : usable) {
        if (anything[j]) continue;
        std::vector<std::size_t>& members = groups[{by_values[j] != 0, columns[j].digest}];
        for (std::size_t earlier : members) pair(j, earlier);
        members.push_back(j);
        if (!by_values[j] && !(columns[j].flags & facts::no_float_texts)) could.push_back(j);
    }
    for (std::size_t u : usable) {
        if (by_values[u]) {
            for (std::size_t j : could) pair(u, j);
            if (columns[u].flags & facts::zero)
                plan.zeros.emplace_back(u, (columns[u].flags & facts::negative_zero) != 0);
        }
        if (anything[u]) {
            for (std::size_t j : usable)
                if (j != u) pair(u, j);
        }
    }
    plan.pairs.assign(pairs.begin(), pairs.end());
    return plan;
}

void equal_pairs(const std::vector<HashRun>& columns, const std::vector<ColumnPair>& pairs, std::uint8_t* out) {
    for (const auto& [a, b] : pairs)
        if (a >= columns.size() || b >= columns.size()) throw std::invalid_argument("a pair names a column not given");
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const HashRun& a = columns.at(pairs[i].first);
        const HashRun& b = columns.at(pairs[i].second);
        out[i] = a.hashes && b.hashes && a.n == b.n &&
                 (a.n == 0 || std::memcmp(a.hashes, b.hashes, a.n * sizeof(std::uint64_t)) == 0);
    }
}

std::vector<std::uint8_t> confirm_merge(const std::vector<std::vector<std::uint8_t>>& shares) {
    if (shares.empty()) return {};
    std::vector<std::uint8_t> out(shares[0].size(), 1);
    for (const std::vector<std::uint8_t>& share : shares) {
        if (share.size() != out.size()) throw std::invalid_argument("shares of different pairs");
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = out[i] && share[i];
    }
    return out;
}

std::vector<ColumnPair> first_of_class(std::size_t n_columns, const std::vector<ColumnPair>& equal) {
    std::vector<std::size_t> first(n_columns, n_columns);
    for (const auto& [later, earlier] : equal) {
        if (later >= n_columns || earlier >= n_columns)
            throw std::invalid_argument("a pair names a column past n_columns");
        first[later] = std::min(first[later], earlier);
    }
    std::vector<ColumnPair> out;
    for (std::size_t j = 0; j < n_columns; ++j)
        if (first[j] < n_columns) out.emplace_back(j, first[j]);
    return out;
}

bool texts_could_be_float_texts(const std::vector<TextColumn>& chunks, const std::vector<std::size_t>& rows,
                                std::uint8_t fill_lead) {
    for (std::size_t c = 0; c < chunks.size(); ++c) {
        if (!texts_could_be_float_texts(chunks[c], rows[c], fill_lead)) return false;
    }
    return true;
}

bool texts_could_be_float_texts(const TextColumn& c, std::size_t n, std::uint8_t fill_lead) {
    for (std::size_t i = 0; i < n; ++i) {
        if (c.missing && c.missing[i]) continue;
        const std::int64_t a = c.offsets32 ? c.offsets32[i] : c.offsets64[i];
        const std::int64_t b = c.offsets32 ? c.offsets32[i + 1] : c.offsets64[i + 1];
        if (a == b || !float_text_start(c.data[a], fill_lead)) return false;
    }
    return true;
}

}  // namespace tamsel::kernels::dupes
