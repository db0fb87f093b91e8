#include "ranks.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>

namespace tamsel::kernels {
namespace {

constexpr unsigned digit_bits = 11;
constexpr std::size_t buckets = std::size_t{1} << digit_bits;

// Least significant digit first; the order of equal keys does not matter
// for average ranks, so only the keys' order is needed. A digit that every
// key shares is skipped.
template <class Key>
void radix_sort(Key* keys, std::uint32_t* idx, Key* keys_tmp, std::uint32_t* idx_tmp, std::size_t n, Key*& sorted_keys,
                std::uint32_t*& sorted_idx) {
    constexpr unsigned passes = (sizeof(Key) * 8 + digit_bits - 1) / digit_bits;
    std::array<std::array<std::size_t, buckets>, passes> counts{};
    for (std::size_t i = 0; i < n; ++i) {
        Key k = keys[i];
        for (unsigned p = 0; p < passes; ++p) ++counts[p][(k >> (p * digit_bits)) & (buckets - 1)];
    }
    Key* src_k = keys;
    std::uint32_t* src_i = idx;
    Key* dst_k = keys_tmp;
    std::uint32_t* dst_i = idx_tmp;
    for (unsigned p = 0; p < passes; ++p) {
        auto& c = counts[p];
        const unsigned shift = p * digit_bits;
        if (n == 0 || c[(src_k[0] >> shift) & (buckets - 1)] == n) continue;
        std::size_t sum = 0;
        for (std::size_t b = 0; b < buckets; ++b) {
            const std::size_t here = c[b];
            c[b] = sum;
            sum += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t pos = c[(src_k[i] >> shift) & (buckets - 1)]++;
            dst_k[pos] = src_k[i];
            dst_i[pos] = src_i[i];
        }
        std::swap(src_k, dst_k);
        std::swap(src_i, dst_i);
    }
    sorted_keys = src_k;
    sorted_idx = src_i;
}

// Walks the sorted keys and gives every member of a tie group 2s + d + 1.
template <class Key, class Store>
void assign_groups(const Key* keys, const std::uint32_t* idx, std::size_t m, Store&& store) {
    std::size_t s = 0;
    while (s < m) {
        std::size_t e = s + 1;
        while (e < m && keys[e] == keys[s]) ++e;
        const std::uint32_t doubled = static_cast<std::uint32_t>(2 * s + (e - s) + 1);
        for (std::size_t j = s; j < e; ++j) store(idx[j], doubled);
        s = e;
    }
}

}  // namespace

std::size_t rank_scratch_bytes(std::size_t n) { return 2 * n * (sizeof(std::uint64_t) + sizeof(std::uint32_t)); }

void doubled_ranks(const double* v, std::size_t n, std::uint32_t* out, void* scratch) {
    auto* keys = static_cast<std::uint64_t*>(scratch);
    auto* keys_tmp = keys + n;
    auto* idx = reinterpret_cast<std::uint32_t*>(keys_tmp + n);
    auto* idx_tmp = idx + n;
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = 0;
        const double x = v[i];
        if (std::isnan(x)) continue;  // NaN: no rank, and no place in the order
        // -0.0 and 0.0 compare equal and so tie; the key maps both to +0.0.
        std::uint64_t b = x == 0.0 ? 0 : std::bit_cast<std::uint64_t>(x);
        b = (b >> 63) ? ~b : (b | (std::uint64_t{1} << 63));
        keys[m] = b;
        idx[m] = static_cast<std::uint32_t>(i);
        ++m;
    }
    std::uint64_t* sk;
    std::uint32_t* si;
    radix_sort(keys, idx, keys_tmp, idx_tmp, m, sk, si);
    assign_groups(sk, si, m, [&](std::uint32_t row, std::uint32_t doubled) {
        if (std::isfinite(v[row])) out[row] = doubled;
    });
}

void doubled_ranks(const std::uint32_t* in, std::size_t n, std::uint32_t* out, void* scratch) {
    auto* keys = static_cast<std::uint32_t*>(scratch);
    auto* keys_tmp = keys + n;
    auto* idx = keys_tmp + n;
    auto* idx_tmp = idx + n;
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = in[i];
        idx[i] = static_cast<std::uint32_t>(i);
    }
    std::uint32_t* sk;
    std::uint32_t* si;
    radix_sort(keys, idx, keys_tmp, idx_tmp, n, sk, si);
    assign_groups(sk, si, n, [&](std::uint32_t row, std::uint32_t doubled) { out[row] = doubled; });
}

}  // namespace tamsel::kernels
