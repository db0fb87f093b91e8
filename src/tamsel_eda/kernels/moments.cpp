#include "moments.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "libm.hpp"
#include "pairwise.hpp"

namespace tamsel::kernels {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// The floating-point exceptions NumPy turns into warnings after a ufunc
// loop under its default error state (underflow is ignored).
constexpr int warned_exceptions = FE_OVERFLOW | FE_INVALID | FE_DIVBYZERO;

// d**order of the run's deviations, computed a chunk at a time with NumPy's
// power loop as the pairwise walk asks for them (in increasing order, so
// each chunk is computed once).
class PowerStream {
public:
    PowerStream(const double* f, std::size_t count, double mean, double order, const PowerLoop& loop)
        : f_(f), count_(count), mean_(mean), order_(order), loop_(loop) {}

    double at(std::size_t i) {
        if (i < start_ || i >= end_) fill(i);
        return out_[i - start_];
    }

    bool warned() const { return warned_; }

private:
    static constexpr std::size_t chunk = 512;

    void fill(std::size_t i) {
        start_ = i;
        end_ = std::min(count_, i + chunk);
        const std::size_t n = end_ - start_;
        for (std::size_t j = 0; j < n; ++j) deviation_[j] = f_[start_ + j] - mean_;
        std::feclearexcept(warned_exceptions);
        loop_.raise(deviation_, n, order_, out_);
        if (std::fetestexcept(warned_exceptions) != 0) warned_ = true;
    }

    const double* f_;
    std::size_t count_;
    double mean_, order_;
    const PowerLoop& loop_;
    std::size_t start_ = 0, end_ = 0;
    bool warned_ = false;
    double deviation_[chunk];
    double out_[chunk];
};

}  // namespace

void PowerLoop::operator()(const double* x, std::size_t n, double e, double* out) const {
    if (n == 0) return;
    char* args[3] = {const_cast<char*>(reinterpret_cast<const char*>(x)), reinterpret_cast<char*>(&e),
                     reinterpret_cast<char*>(out)};
    const std::ptrdiff_t dimensions[1] = {static_cast<std::ptrdiff_t>(n)};
    const std::ptrdiff_t steps[3] = {sizeof(double), 0, sizeof(double)};
    function(args, dimensions, steps, data);
}

namespace {

// clearly_rounded_power's arithmetic without a branch, so that the loop
// over a chunk of bases vectorises: `out` gets the nearest double to d**K,
// and the result says whether it is clear of a midpoint by `margin` units
// in the last place (and d inside the range where the arithmetic is exact).
template <int K>
[[gnu::always_inline]] inline bool round_clearly(double d, double margin, double& out) {
    // Far from overflow, underflow and subnormal powers. A base out of
    // range is replaced before any arithmetic, so that no floating-point
    // exception is raised for it (its caller tests the flags NumPy warns of).
    const double a = std::fabs(d);
    const bool in_range = (a >= 0x1p-240) & (a <= 0x1p240);
    d = in_range ? d : -1.0;
    // d*d = p + pe exactly; the power's head and tail carry it to within
    // 2**-100 of its value, far below any margin asked for (so a compiler
    // fusing the tail's product and sum changes nothing that is returned).
    const double p = d * d, pe = std::fma(d, d, -p);
    double head, tail;
    if constexpr (K == 3) {
        head = p * d;
        tail = std::fma(p, d, -head) + pe * d;
    } else {
        head = p * p;
        tail = std::fma(p, p, -head) + 2.0 * p * pe;
    }
    const double nearest = head + tail;
    const double beyond = (head - nearest) + tail;  // exact value minus `nearest`
    // The gap to the neighbour on the side of the exact value: one unit in
    // the last place (a normal double here), half of one below a power of
    // two. Out of range the bits mean nothing, and the answer is no.
    std::uint64_t bits;
    std::memcpy(&bits, &nearest, sizeof bits);
    const std::uint64_t biased = (bits >> 52) & 0x7ff;
    const std::uint64_t gap_bits = (biased - 52) << 52;
    double gap;
    std::memcpy(&gap, &gap_bits, sizeof gap);
    const bool below_power_of_two =
        ((bits & ((std::uint64_t{1} << 52) - 1)) == 0) & ((beyond < 0.0) == (nearest > 0.0));
    gap *= below_power_of_two ? 0.5 : 1.0;
    out = nearest;
    return in_range & (std::fabs(beyond) <= (0.5 - margin) * gap);
}

// Rounds the negative bases of x[0..n) that are clear of a midpoint into
// out; the others go to left[] with their positions in at[]. Returns how
// many are left. Both loops are free of branches on the data: the first
// vectorises, the second writes every base and advances past the rounded
// ones (the signs of deviations are a coin toss a branch would mispredict).
template <int K>
[[gnu::always_inline]] inline std::size_t split_bases(const double* x, std::size_t n, double* out, double* left,
                                                      std::size_t* at) {
    constexpr std::size_t block = 256;
    std::uint8_t rounded[block];
    std::size_t m = 0;
    for (std::size_t b = 0; b < n; b += block) {
        const std::size_t len = std::min(block, n - b);
        for (std::size_t i = 0; i < len; ++i) {
            const double d = x[b + i];
            rounded[i] = (d < 0.0) & round_clearly<K>(d, power_rounding_margin, out[b + i]);
        }
        for (std::size_t i = 0; i < len; ++i) {
            left[m] = x[b + i];
            at[m] = b + i;
            m += rounded[i] ^ 1u;
        }
    }
    return m;
}

// Clones for CPUs with AVX-512 and with fused multiply-add, where std::fma
// is one instruction rather than a call.
__attribute__((target_clones("arch=x86-64-v4", "fma", "default"))) std::size_t round_negatives(
    const double* x, std::size_t n, int k, double* out, double* left, std::size_t* at) {
    if (k == 3) return split_bases<3>(x, n, out, left, at);
    return split_bases<4>(x, n, out, left, at);
}

}  // namespace

std::optional<double> clearly_rounded_power(double d, int k, double margin) {
    double out = 0.0;
    const bool clear = k == 3 ? round_clearly<3>(d, margin, out) : k == 4 ? round_clearly<4>(d, margin, out) : false;
    if (!clear) return std::nullopt;
    return out;
}

void PowerLoop::raise(const double* x, std::size_t n, double e, double* out) const {
    const int k = e == 3.0 ? 3 : e == 4.0 ? 4 : 0;
    if (!rounds_negative_powers || k == 0) {
        (*this)(x, n, e, out);
        return;
    }
    // The loop computes each element on its own (see operator()), so the
    // bases left to it can go in calls of their own, a block at a time.
    constexpr std::size_t block = 512;
    double left[block], raised[block];
    std::size_t at[block];
    for (std::size_t b = 0; b < n; b += block) {
        const std::size_t len = std::min(block, n - b);
        const std::size_t m = round_negatives(x + b, len, k, out + b, left, at);
        (*this)(left, m, e, raised);
        for (std::size_t j = 0; j < m; ++j) out[b + at[j]] = raised[j];
    }
}

double PowerLoop::scalar(double a, double e) const {
    double out = 0.0;
    char* args[3] = {reinterpret_cast<char*>(&a), reinterpret_cast<char*>(&e), reinterpret_cast<char*>(&out)};
    const std::ptrdiff_t dimensions[1] = {1};
    const std::ptrdiff_t steps[3] = {0, 0, sizeof(double)};
    function(args, dimensions, steps, data);
    return out;
}

MomentPartial moment_partial(const double* f, std::uint64_t count, std::uint64_t offset, std::uint64_t total,
                             double mean, const MomentRules& rules) {
    MomentPartial out;
    const std::uint64_t block = rules.sum_block;
    for (std::size_t i = 0; i < count; ++i) {
        const double a = std::fabs(f[i] - mean);
        if (a != a) out.nan_deviation = true;
        if (a > out.largest) out.largest = a;
    }
    if (rules.formula == MomentFormula::powers) {
        for (int k = 0; k < 3; ++k) {
            PowerStream stream(f, count, mean, static_cast<double>(k + 2), rules.power);
            out.sums[k] =
                pairwise_partial([&stream](std::size_t i) { return stream.at(i); }, offset, count, total, block);
            out.warned = out.warned || stream.warned();
        }
        return out;
    }
    // SciPy's repeated squaring: s = d**2 (NumPy's square), then s**2 for
    // the fourth power and s * d for the third.
    out.sums[0] = pairwise_partial(
        [f, mean](std::size_t i) {
            const double d = f[i] - mean;
            return d * d;
        },
        offset, count, total, block);
    out.sums[1] = pairwise_partial(
        [f, mean](std::size_t i) {
            const double d = f[i] - mean;
            return (d * d) * d;
        },
        offset, count, total, block);
    out.sums[2] = pairwise_partial(
        [f, mean](std::size_t i) {
            const double d = f[i] - mean;
            const double s = d * d;
            return s * s;
        },
        offset, count, total, block);
    return out;
}

MomentSums merge_moments(const MomentPartial* parts, std::size_t k, std::uint64_t total, const MomentRules& rules) {
    MomentSums out;
    std::vector<TreePartial> of(k);
    double* sums[3] = {&out.sum2, &out.sum3, &out.sum4};
    for (int m = 0; m < 3; ++m) {
        for (std::size_t i = 0; i < k; ++i) of[i] = parts[i].sums[m];
        *sums[m] = pairwise_combine(of.data(), k, total, rules.sum_block);
    }
    bool nan_deviation = false;
    for (std::size_t i = 0; i < k; ++i) {
        nan_deviation = nan_deviation || parts[i].nan_deviation;
        out.warned = out.warned || parts[i].warned;
        out.largest = std::max(out.largest, parts[i].largest);
    }
    if (nan_deviation) out.largest = nan_value;
    return out;
}

Moments finish_moments(const MomentSums& sums, std::uint64_t count, double mean, bool all_equal,
                       const MomentRules& rules) {
    Moments out;
    out.skew = out.kurtosis = nan_value;
    if (count == 0) return out;
    const double n = static_cast<double>(count);
    const bool powers = rules.formula == MomentFormula::powers;
    // np.mean of each power array; the bound is a NumPy float64 scalar
    // squared with the C library's pow in every release.
    const double m2 = sums.sum2 / n, m3 = sums.sum3 / n, m4 = sums.sum4 / n;
    const double bound = libm_pow(rules.tolerance * mean, 2.0);
    if (!(m2 <= bound)) {
        const double root = powers ? rules.power.scalar(m2, 1.5) : libm_pow(m2, 1.5);
        const double square = powers ? rules.power.scalar(m2, 2.0) : libm_pow(m2, 2.0);
        out.skew = m3 / root;
        out.kurtosis = m4 / square - 3.0;
    }
    if (!std::isfinite(mean)) {
        out.by_library = true;
        return out;
    }
    if (all_equal) {
        // The analysis' own test, without SciPy; its bound squared
        // overflows with a warning.
        if (!std::isfinite(bound)) {
            out.by_library = true;
            return out;
        }
        if (m2 <= bound) return out;
    }
    // np.max propagates NaN, and NaN < tolerance is false.
    const double relative = sums.largest / std::fabs(mean);
    const bool precision_loss = relative < rules.tolerance * 10.0 && count > 1;
    out.by_library = precision_loss || sums.warned || !std::isfinite(m2) || !std::isfinite(m3) || !std::isfinite(m4);
    return out;
}

Moments sample_moments(const double* f, std::size_t count, bool all_equal, const MomentRules& rules) {
    if (count == 0) return finish_moments(MomentSums{}, 0, 0.0, all_equal, rules);
    const double mean = numpy_sum(f, count, 1, rules.sum_block) / static_cast<double>(count);
    const MomentPartial whole = moment_partial(f, count, 0, count, mean, rules);
    return finish_moments(merge_moments(&whole, 1, count, rules), count, mean, all_equal, rules);
}

}  // namespace tamsel::kernels
