// The error bounds behind the screen's margin. u = 2^-53, g(m) = m u / (1 - m u)
// (the bound of any m-term summation or dot product, whatever its order and
// whether or not it fuses multiply and add), m the number of pairs, A the
// mean of |x|, s^2 = Sxx / m the population variance, Sxx the exact sum of
// squared deviations.
// - The library centres with its computed mean, off by e <= g(m + 1) A. The
//   centred sums then hold Sxx + m e^2 and Sxy + m ex ey (the deviations sum
//   to zero exactly), which moves r by at most rho_x + rho_y with
//   rho = (e / s)^2.
// - Rounding each centred value (and, on pandas 3, scaling it by its maximum)
//   and the dot products move r by at most 4 (g(m) + 8u) (1 + rho_x + rho_y);
//   the final square roots and divisions add a few u, inside that term.
// - This kernel centres with its own mean in a first pass, then removes what
//   that mean's error leaves in the sums with the correction of the corrected
//   two-pass algorithm (Sxx - (sum dx)^2 / m, and likewise for Sxy), which
//   leaves errors of the same order as the library's rounding terms.
// The margin is 8 times the sum of both bounds and never below 1e-7: orders
// of magnitude wider than any error either computation can make, while a
// real correlation almost never lands that close to the threshold.
#include "pearson_screen.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <type_traits>

#include "kernels.hpp"

namespace tamsel::kernels {
namespace {

constexpr std::size_t chunk_rows = 512;
constexpr double unit = 0x1p-53;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// Beyond these scales the library's squares may overflow or lose digits to
// underflow; such columns go to the library.
constexpr double max_magnitude = 1e100;
constexpr double min_spread = 1e-100;
// A total error bound above this means the centring decides the digits that
// matter (values nearly constant against their mean).
constexpr double max_error = 1e-3;
constexpr double min_margin = 1e-7;
constexpr double margin_factor = 8.0;

double gamma(double m) {
    const double mu = m * unit;
    return mu < 0.5 ? mu / (1 - mu) : std::numeric_limits<double>::infinity();
}

struct Chunk {
    double x[chunk_rows];
    double y[chunk_rows];
};

struct FirstPass {
    std::size_t pairs = 0;
    bool infinite = false;
    bool constant_x = true, constant_y = true;
    double first_x = 0, first_y = 0;
    double sum_x = 0, sum_y = 0, abs_x = 0, abs_y = 0, max_x = 0, max_y = 0;
};

// Counts, sums, magnitudes; ends early once an infinity among two or more
// pairs makes the column the library's anyway.
bool first_pass(const ColumnView& yc, const ColumnView& xc, std::size_t n, Chunk& c, FirstPass& f, const Stop& stop) {
    for (std::size_t i0 = 0; i0 < n; i0 += chunk_rows) {
        if (stop.requested()) return false;
        const std::size_t rows = std::min(chunk_rows, n - i0);
        load_doubles(xc, i0, rows, c.x);
        load_doubles(yc, i0, rows, c.y);
        double sx = 0, sy = 0, ax = 0, ay = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            const double xv = c.x[i], yv = c.y[i];
            if (std::isnan(xv) || std::isnan(yv)) continue;
            if (f.pairs++ == 0) {
                f.first_x = xv;
                f.first_y = yv;
            }
            f.constant_x = f.constant_x && xv == f.first_x;
            f.constant_y = f.constant_y && yv == f.first_y;
            if (std::isinf(xv) || std::isinf(yv)) f.infinite = true;
            sx += xv;
            sy += yv;
            ax += std::fabs(xv);
            ay += std::fabs(yv);
            f.max_x = std::max(f.max_x, std::fabs(xv));
            f.max_y = std::max(f.max_y, std::fabs(yv));
        }
        f.sum_x += sx;
        f.sum_y += sy;
        f.abs_x += ax;
        f.abs_y += ay;
        if (f.infinite && f.pairs >= 2) return true;
    }
    return true;
}

struct SecondPass {
    double sxx = 0, syy = 0, sxy = 0, dx = 0, dy = 0;
};

bool second_pass(const ColumnView& yc, const ColumnView& xc, std::size_t n, double mean_x, double mean_y, Chunk& c,
                 SecondPass& s, const Stop& stop) {
    for (std::size_t i0 = 0; i0 < n; i0 += chunk_rows) {
        if (stop.requested()) return false;
        const std::size_t rows = std::min(chunk_rows, n - i0);
        load_doubles(xc, i0, rows, c.x);
        load_doubles(yc, i0, rows, c.y);
        double sxx = 0, syy = 0, sxy = 0, sdx = 0, sdy = 0;
        for (std::size_t i = 0; i < rows; ++i) {
            const double xv = c.x[i], yv = c.y[i];
            if (std::isnan(xv) || std::isnan(yv)) continue;
            const double dx = xv - mean_x, dy = yv - mean_y;
            sxx += dx * dx;
            syy += dy * dy;
            sxy += dx * dy;
            sdx += dx;
            sdy += dy;
        }
        s.sxx += sxx;
        s.syy += syy;
        s.sxy += sxy;
        s.dx += sdx;
        s.dy += sdy;
    }
    return true;
}

bool screen_column(const ColumnView& yc, const ColumnView& xc, std::size_t n, double threshold, ScreenColumn& out,
                   const Stop& stop) {
    Chunk c;
    FirstPass f;
    out = ScreenColumn{};
    if (!first_pass(yc, xc, n, c, f, stop)) return false;
    out.pairs = f.pairs;
    if (f.pairs < 2) {
        // NumPy's correlation of one pair, or pandas' answer for none: NaN.
        out.r = nan;
        out.verdict = Verdict::no;
        return true;
    }
    if (f.infinite || f.constant_x || f.constant_y || f.max_x > max_magnitude || f.max_y > max_magnitude) {
        return true;
    }
    const double m = static_cast<double>(f.pairs);
    SecondPass s;
    if (!second_pass(yc, xc, n, f.sum_x / m, f.sum_y / m, c, s, stop)) return false;
    const double sxx = s.sxx - s.dx * s.dx / m;
    const double syy = s.syy - s.dy * s.dy / m;
    const double sxy = s.sxy - s.dx * s.dy / m;
    if (!(sxx > 0 && syy > 0)) return true;
    const double sd_x = std::sqrt(sxx / m), sd_y = std::sqrt(syy / m);
    if (sd_x < min_spread || sd_y < min_spread) return true;
    out.r = sxy / (std::sqrt(sxx) * std::sqrt(syy));

    const double g = gamma(m + 1);
    // The spreads above carry a relative error far below 1%; the bound takes
    // them 1% smaller.
    const double ex = g * (f.abs_x / m) / (0.99 * sd_x), ey = g * (f.abs_y / m) / (0.99 * sd_y);
    const double rho = ex * ex + ey * ey;
    const double library = 4 * (g + 8 * unit) * (1 + rho) + 2 * rho;
    const double ours = 4 * (g + 8 * unit) * (1 + rho) + 4 * (g + unit) * (ex + ey) * (1 + rho);
    const double bound = library + ours;
    if (!(bound <= max_error)) return true;
    out.margin = std::max(min_margin, margin_factor * bound);
    const double a = std::fabs(out.r);
    if (a - out.margin >= threshold) {
        out.verdict = Verdict::yes;
    } else if (a + out.margin < threshold) {
        out.verdict = Verdict::no;
    }
    return true;
}

template <class T>
Verdict compare_typed(const ColumnView& a, const ColumnView& b, std::size_t begin, std::size_t count) {
    const char* pa = static_cast<const char*>(a.data) + static_cast<std::ptrdiff_t>(begin) * a.stride;
    const char* pb = static_cast<const char*>(b.data) + static_cast<std::ptrdiff_t>(begin) * b.stride;
    for (std::size_t i = 0; i < count; ++i, pa += a.stride, pb += b.stride) {
        T va, vb;
        __builtin_memcpy(&va, pa, sizeof(T));
        __builtin_memcpy(&vb, pb, sizeof(T));
        if constexpr (std::is_floating_point_v<T>) {
            if (!(va == vb) && !(std::isnan(va) && std::isnan(vb))) return Verdict::no;
        } else if constexpr (std::is_same_v<T, bool>) {
            // Only the bytes 0 and 1 are ordinary booleans.
            unsigned char ba, bb;
            __builtin_memcpy(&ba, pa, 1);
            __builtin_memcpy(&bb, pb, 1);
            if ((ba | bb) > 1) return Verdict::undecided;
            if (ba != bb) return Verdict::no;
        } else {
            if (va != vb) return Verdict::no;
        }
    }
    return Verdict::yes;
}

Verdict compare_rows(const ColumnView& a, const ColumnView& b, std::size_t begin, std::size_t count) {
    switch (a.type) {
        case ValueType::f64:
            return compare_typed<double>(a, b, begin, count);
        case ValueType::f32:
            return compare_typed<float>(a, b, begin, count);
        case ValueType::i64:
        case ValueType::u64:
            return compare_typed<std::uint64_t>(a, b, begin, count);
        case ValueType::i32:
        case ValueType::u32:
            return compare_typed<std::uint32_t>(a, b, begin, count);
        case ValueType::i16:
        case ValueType::u16:
            return compare_typed<std::uint16_t>(a, b, begin, count);
        case ValueType::i8:
        case ValueType::u8:
            return compare_typed<std::uint8_t>(a, b, begin, count);
        case ValueType::boolean:
            return compare_typed<bool>(a, b, begin, count);
    }
    return Verdict::undecided;
}

}  // namespace

bool pearson_screen(const ColumnView& y, const ColumnView* xs, std::size_t k, std::size_t n, double threshold,
                    ScreenColumn* out, const std::function<bool()>& poll) {
    std::atomic<bool> complete{true};
    const bool finished = parallel_for(
        k,
        [&](std::size_t c, const Stop& stop) {
            if (!screen_column(y, xs[c], n, threshold, out[c], stop)) complete.store(false, std::memory_order_relaxed);
        },
        poll);
    return finished && complete.load();
}

bool same_values(const ColumnView& a, const ColumnView* bs, std::size_t k, std::size_t n, Verdict* out,
                 const std::function<bool()>& poll) {
    constexpr std::size_t block = 1 << 16;
    std::atomic<bool> complete{true};
    const bool finished = parallel_for(
        k,
        [&](std::size_t c, const Stop& stop) {
            Verdict v = bs[c].type == a.type && !a.missing && !bs[c].missing ? Verdict::yes : Verdict::undecided;
            for (std::size_t i0 = 0; i0 < n && v == Verdict::yes; i0 += block) {
                if (stop.requested()) {
                    complete.store(false, std::memory_order_relaxed);
                    return;
                }
                v = compare_rows(a, bs[c], i0, std::min(block, n - i0));
            }
            out[c] = v;
        },
        poll);
    return finished && complete.load();
}

void CompensatedSum::add(double x) {
    const double t = sum + x;
    carry += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
    sum = t;
}

double CompensatedSum::value() const { return carry != 0.0 && std::isfinite(carry) ? sum + carry : sum; }

PairSums pair_sums(const double* a, const double* b, std::size_t n, const double* means) {
    PairSums out;
    CompensatedSum s1, s2, s3;
    for (std::size_t i = 0; i < n; ++i) {
        if (std::isnan(a[i]) || std::isnan(b[i])) continue;
        ++out.count;
        if (means) {
            const double da = a[i] - means[0], db = b[i] - means[1];
            s1.add(da * db);
            s2.add(da * da);
            s3.add(db * db);
        } else {
            s1.add(a[i]);
            s2.add(b[i]);
        }
    }
    out.s1 = s1.value();
    out.s2 = s2.value();
    out.s3 = s3.value();
    return out;
}

bool pair_means(const PairSums* parts, std::size_t k, double& mean_a, double& mean_b) {
    std::int64_t n = 0;
    CompensatedSum sa, sb;
    for (std::size_t i = 0; i < k; ++i) {
        n += parts[i].count;
        sa.add(parts[i].s1);
        sb.add(parts[i].s2);
    }
    if (n < 2) return false;
    mean_a = sa.value() / static_cast<double>(n);
    mean_b = sb.value() / static_cast<double>(n);
    return true;
}

bool pair_hit(const PairSums* parts, std::size_t k, double threshold) {
    CompensatedSum sab, saa, sbb;
    for (std::size_t i = 0; i < k; ++i) {
        sab.add(parts[i].s1);
        saa.add(parts[i].s2);
        sbb.add(parts[i].s3);
    }
    const double r = sab.value() / std::sqrt(saa.value()) / std::sqrt(sbb.value());
    if (std::isnan(r)) return false;
    return std::fabs(std::clamp(r, -1.0, 1.0)) >= threshold;
}

}  // namespace tamsel::kernels
