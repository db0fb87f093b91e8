// SciPy's biased skewness and Fisher kurtosis of a sample of finite values,
// in the arithmetic of the running release, in three steps so that a sample
// split into runs gives the whole sample's bits: a partial per run (the
// pairwise-tree shares of the sums of the deviations' powers about the
// sample mean, and the largest deviation), their merge, and the finish
// (SciPy's zero-variance and precision tests and its float64 scalar
// arithmetic). The in-memory distribution step and the Dask driver both
// compute their moments here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "pairwise_tree.hpp"

namespace tamsel::kernels {

// How SciPy's skew and kurtosis raise the deviations.
enum class MomentFormula : std::uint8_t {
    none,  // not reproduced: the library answers
    // 1.13 to 1.17: repeated squaring (d*d, (d*d)*d, (d*d)*(d*d)); the
    // moments are NumPy scalars, so m2**1.5 and m2**2.0 are the C library's
    // pow.
    squares,
    // 1.18: d**order with `order` a 0-d float64 array, NumPy's power ufunc;
    // the moments are 0-d arrays, so m2**1.5 and m2**2.0 are that ufunc too.
    powers,
};

// NumPy's float64 power inner loop ('dd->d' of numpy.power) and the data
// pointer NumPy hands it, as the running NumPy dispatched it for this CPU.
struct PowerLoop {
    using Function = void (*)(char** args, const std::ptrdiff_t* dimensions, const std::ptrdiff_t* steps, void* data);
    Function function = nullptr;
    void* data = nullptr;

    // out[i] = x[i] ** e for i < n, with the arguments NumPy's trivial
    // ufunc loop passes for a contiguous array raised to a 0-d exponent into
    // a new array: strides (8, 0, 8), one call. The loop's branches depend
    // on the strides, the exponent and whether the output overlaps an
    // input, never on the length, and every branch computes each element on
    // its own, so any split into calls gives the same bits. `x` and `out`
    // must not overlap.
    void operator()(const double* x, std::size_t n, double e, double* out) const;
    // a ** e for 0-d operands: strides (0, 0, 8), one element.
    double scalar(double a, double e) const;

    // The loop's d**3 and d**4 of a negative d are within 0.5 + 1/32 units
    // in the last place of the exact power: its AVX-512 routine's scalar
    // path for negative bases was measured within 0.512 on 5e7 values, the
    // C library's pow is documented within 0.52, and
    // pyapi::power_loop_agrees checks a probe (d**2 needs nothing: the loop
    // squares a base itself when the exponent is 2). A power whose exact value lies farther than that from the
    // midpoint between two doubles can then only be the nearest double,
    // which the kernel computes itself: the vector routine's scalar path
    // costs some seventy times a positive base.
    bool rounds_negative_powers = false;
    // out[i] = x[i] ** e as operator() gives it, taking the shortcut above
    // where it is allowed.
    void raise(const double* x, std::size_t n, double e, double* out) const;
};

// The nearest double to d**k (k 3 or 4), when the exact power is farther
// than `margin` units in the last place from a midpoint between doubles and
// safely inside the normal range; nothing otherwise.
std::optional<double> clearly_rounded_power(double d, int k, double margin);
// The margin raise() keeps from a midpoint.
inline constexpr double power_rounding_margin = 1.0 / 32.0;

struct MomentRules {
    MomentFormula formula = MomentFormula::none;
    // The scale of SciPy's zero-variance and precision-loss tests:
    // np.finfo(np.float64).resolution up to 1.13, .eps from 1.14 on.
    double tolerance = 2.220446049250313e-16;
    // How NumPy's add.reduce splits a sum (pairwise.hpp).
    std::size_t sum_block = 0;
    PowerLoop power;  // the powers formula only
};

// What one run of a sample's finite values contributes.
struct MomentPartial {
    TreePartial sums[3];   // of d**2, d**3, d**4 (d = value - mean), as SciPy raises them
    double largest = 0.0;  // max |d| over the run
    bool nan_deviation = false;
    // NumPy's power loop raised an exception NumPy warns of.
    bool warned = false;
};

// The merged sums: np.add.reduce of each power array, and max |d| (NaN
// when a deviation is NaN, as np.max propagates it).
struct MomentSums {
    double sum2 = 0.0, sum3 = 0.0, sum4 = 0.0;
    double largest = 0.0;
    bool warned = false;
};

struct Moments {
    double skew = 0.0, kurtosis = 0.0;
    // SciPy would warn here (catastrophic cancellation, or an overflow on
    // the way): a caller that must show the library's warning asks the
    // library. skew and kurtosis still hold SciPy's values.
    bool by_library = false;
};

// The partial of the `count` finite values f[0..count), which sit at
// positions [offset, offset + count) of the sample of `total` values whose
// mean (np.mean of the whole sample) is `mean`.
MomentPartial moment_partial(const double* f, std::uint64_t count, std::uint64_t offset, std::uint64_t total,
                             double mean, const MomentRules& rules);

// The partials of runs covering the sample once, in any order. Throws
// std::invalid_argument when they do not cover it once.
MomentSums merge_moments(const MomentPartial* parts, std::size_t k, std::uint64_t total, const MomentRules& rules);

// skew and kurtosis of a sample of `count` finite values with mean `mean`.
// `all_equal`: the sample's values are all equal, where the analysis itself
// answers NaN without asking SciPy when the variance is below SciPy's bound.
Moments finish_moments(const MomentSums& sums, std::uint64_t count, double mean, bool all_equal,
                       const MomentRules& rules);

// The three steps on a whole sample: np.mean, one partial, the finish.
Moments sample_moments(const double* f, std::size_t count, bool all_equal, const MomentRules& rules);

}  // namespace tamsel::kernels
