// Average ranks as pandas' rank_1d gives them (ties "average", NaN kept),
// by a radix sort of the values' bits instead of a comparison sort.
//
// A tie group occupying sorted positions s+1 .. s+d has the average rank
// (d*s + d*(d+1)/2) / d, which pandas computes as an exact integer sum
// divided by d: the quotient is the half-integer s + (d+1)/2 exactly. So
// twice the rank, 2s + d + 1, is an integer and holds the same value in four
// bytes; rank = doubled * 0.5 restores the bits. Valid while the integer sum
// is exact in a double, which max_rank_rows guarantees.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamsel::kernels {

inline constexpr std::size_t max_rank_rows = std::size_t{1} << 26;

// Bytes of scratch the two functions below need for n values.
std::size_t rank_scratch_bytes(std::size_t n);

// out[i] = twice the average rank of v[i] among the values that are not
// NaN, for finite v[i]; 0 for NaN and for ±inf (which still take their
// places in the order, so -inf shifts every finite rank by one).
void doubled_ranks(const double* v, std::size_t n, std::uint32_t* out, void* scratch);

// out[i] = twice the average rank of keys[i] among all n keys (ranks of
// ranks, when a pair of columns re-ranks its complete rows).
void doubled_ranks(const std::uint32_t* keys, std::size_t n, std::uint32_t* out, void* scratch);

}  // namespace tamsel::kernels
