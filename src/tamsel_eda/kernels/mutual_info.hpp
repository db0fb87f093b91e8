// Mutual information between continuous features and a continuous target by
// the k-nearest-neighbour estimator (Kraskov et al.), as the library computes
// it for each feature once its inputs are scaled and jittered:
//
//   r_i  = the k-th smallest Chebyshev distance max(|dx|, |dy|) from point i
//          to the other points, moved one ulp towards zero
//   nx_i = #{j != i : |x_j - x_i| <= r_i},  ny_i likewise for y
//   mi   = psi(n) + psi(k) - mean(psi(nx_i + 1)) - mean(psi(ny_i + 1))
//
// Every distance is the same rounded difference the library's trees compute
// and every comparison is theirs (a neighbour counts when its distance is
// <= the radius), so the counts are equal and not merely close. The means are
// NumPy's pairwise sums over the same values in the same order.
#pragma once

#include <cstddef>
#include <functional>

namespace tamsel::kernels {

struct MiProblem {
    // Feature f of row i is at (char*)x + i * row_stride + f * col_stride;
    // strides in bytes, as NumPy gives them.
    const double* x = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;
    std::size_t n = 0;         // rows
    std::size_t features = 0;  // columns of x
    const double* y = nullptr;
    std::ptrdiff_t y_stride = 0;
    std::size_t neighbors = 3;  // k, at least 1 and below n
    // digamma[c - 1] = psi(c) for c = 1..n, computed by the caller with the
    // library's own digamma so that every term is its value.
    const double* digamma = nullptr;
    // Doubles per vector in the k = 3 neighbour searches: 0 for the widest
    // this machine has, or 2, 4, 8 up to it (the results are the same; tests
    // choose each).
    std::size_t lane_width = 0;
};

// 8 with AVX-512, 4 with AVX2, else 2.
std::size_t widest_lane_width();

// Inputs the kernel reproduces the library on: finite values, 1 <= k < n,
// a lane width this machine has, and at most 8192 rows (NumPy 1.x sums longer arrays in buffer-sized chunks,
// which the plain pairwise sum here does not follow).
bool mutual_info_supported(const MiProblem& p);

// Writes the estimate of every feature to out[features], before the library
// replaces negative estimates by zero (the caller does that, as the library
// does, in Python). Features are spread over thread_count() threads; each
// result depends only on its own feature. `poll` as for parallel_for; false
// when stopped, with `out` incomplete.
bool mutual_info_cc(const MiProblem& p, double* out, const std::function<bool()>& poll);

}  // namespace tamsel::kernels
