// NumPy's summation of float64 values, reproduced to the bit: np.add.reduce
// (and so sum, mean, var and std) adds runs of up to 128 values with eight
// interleaved accumulators and splits longer runs in two at a multiple of
// eight. Some NumPy releases hand the reduction over in pieces of the ufunc
// buffer size (8192 by default) and add the pieces' sums in order; others
// pass the whole array at once. `block` says which: 0 for the whole array,
// otherwise the piece length. Which one the running NumPy does is asked of
// NumPy itself (stats::numpy_sum_block), never assumed from its version.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tamsel::kernels {

// The sum of n values p[0], p[stride], ... in NumPy's pairwise order.
template <class Load>
double pairwise_run(Load load, std::size_t first, std::size_t n) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += load(first + i);
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = load(first + j);
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += load(first + i + j);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += load(first + i);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_run(load, first, n2) + pairwise_run(load, first + n2, n - n2);
}

// np.add.reduce over n values given by load(i): pieces of `block` values (or
// one piece when block is 0), their sums added in order to an initial +0.0.
template <class Load>
double numpy_sum(Load load, std::size_t n, std::size_t block) {
    if (block == 0 || n <= block) return 0.0 + pairwise_run(load, 0, n);
    double res = 0.0;
    for (std::size_t start = 0; start < n; start += block) {
        res += pairwise_run(load, start, n - start < block ? n - start : block);
    }
    return res;
}

inline double numpy_sum(const double* p, std::size_t n, std::ptrdiff_t stride, std::size_t block) {
    return numpy_sum([p, stride](std::size_t i) { return p[static_cast<std::ptrdiff_t>(i) * stride]; }, n, block);
}

// The probe that tells the two ways apart: values spread over many
// magnitudes, so that where the pieces are cut changes the rounding, from a
// fixed generator so the probe is the same in every process.
inline std::vector<double> sum_probe_values(std::size_t block) {
    std::vector<double> values(3 * block + 77);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (double& v : values) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double unit = static_cast<double>(state >> 11) / 9007199254740992.0;
        const int exponent = static_cast<int>((state >> 3) % 24) - 12;
        v = (unit - 0.5) * std::ldexp(1.0, exponent * 3);
    }
    return values;
}

// Given what NumPy's add.reduce made of the probe: 0 (whole array), `block`
// (pieces), or nothing when it is neither or the probe cannot tell.
inline std::optional<std::size_t> sum_block_from(double numpy_result, const std::vector<double>& values,
                                                 std::size_t block) {
    const double whole = numpy_sum(values.data(), values.size(), 1, 0);
    const double pieces = numpy_sum(values.data(), values.size(), 1, block);
    if (whole == pieces) return std::nullopt;
    if (numpy_result == whole) return std::size_t{0};
    if (numpy_result == pieces) return block;
    return std::nullopt;
}

}  // namespace tamsel::kernels
