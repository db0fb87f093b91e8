#include "adf.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace tamsel::kernels {
namespace {

// Rows per block: the block (rows x columns doubles) stays in the L2 cache
// for the lag counts of series up to millions of rows. A multiple of the
// vector width.
constexpr std::size_t kBlockRows = 256;

// The OLS rank decision counts singular values above sigma_max * rows * eps.
// A design is taken only when a bound of its condition number keeps it this
// many times inside that threshold, so the rank cannot differ.
constexpr double kRankMargin = 64.0;

// Eight doubles; the sums below are split into eight lanes explicitly, so
// the rounding is fixed by the code, not by what the compiler vectorises or
// the machine it runs on (one AVX-512 register, two AVX2 ones). Only element
// alignment is assumed: the standard allocator does not promise more.
typedef double v8 __attribute__((vector_size(64), aligned(8)));
constexpr std::size_t kLanes = 8;

// Reflectors applied together to each trailing column: every column of the
// block is then read twice per panel instead of twice per reflector.
constexpr std::size_t kPanel = 8;

struct Block {
    std::size_t ld = 0;        // rows, padded to the vector width with zero rows
    std::vector<double> data;  // column-major, leading dimension ld
    v8* col(std::size_t j) { return reinterpret_cast<v8*>(data.data() + j * ld); }
    double* at(std::size_t j) { return data.data() + j * ld; }
};

inline __attribute__((always_inline)) double lane_sum(const v8& a) {
    return ((a[0] + a[1]) + (a[2] + a[3])) + ((a[4] + a[5]) + (a[6] + a[7]));
}

// R (w x w, row-major, upper triangular) becomes the triangular factor of
// [R; B]. Householder reflections, each touching one row of R and the block:
// reflector j has the entry v0 in row j of R and the block's column j (as it
// stands when the reflector is formed) below, and the block is left holding
// those vectors. Zero padding rows change nothing.
//
// Reflectors are formed a panel of kPanel columns at a time; each trailing
// column then takes the panel's dot products in one pass and its update in a
// second (the products between the panel's vectors correct the dot products
// for the reflectors applied before).
template <std::size_t NB>
__attribute__((always_inline)) inline void apply_panel(double* R, std::size_t w, Block& B, std::size_t j0,
                                                       const double* v0, const double* beta,
                                                       const double (*G)[kPanel]) {
    const std::size_t nv = B.ld / kLanes;
    const v8* b[NB];
    for (std::size_t t = 0; t < NB; ++t) b[t] = B.col(j0 + t);
    for (std::size_t k = j0 + NB; k < w; ++k) {
        v8* bk = B.col(k);
        v8 acc[NB];
        for (std::size_t t = 0; t < NB; ++t) acc[t] = v8{};
        for (std::size_t i = 0; i < nv; ++i) {
            v8 xk = bk[i];
            for (std::size_t t = 0; t < NB; ++t) acc[t] += b[t][i] * xk;
        }
        double s[NB];
        for (std::size_t t = 0; t < NB; ++t) {
            double d = lane_sum(acc[t]);
            for (std::size_t u = 0; u < t; ++u) d -= s[u] * G[t][u];
            double& r = R[(j0 + t) * w + k];
            s[t] = (v0[t] * r + d) * beta[t];
            r -= s[t] * v0[t];
        }
        for (std::size_t i = 0; i < nv; ++i) {
            v8 xk = bk[i];
            for (std::size_t t = 0; t < NB; ++t) xk -= s[t] * b[t][i];
            bk[i] = xk;
        }
    }
}

__attribute__((target_clones("avx512f", "avx2", "default"))) void absorb_rows(double* R, std::size_t w, Block& B) {
    const std::size_t nv = B.ld / kLanes;
    for (std::size_t j0 = 0; j0 < w; j0 += kPanel) {
        const std::size_t nb = std::min(kPanel, w - j0);
        double v0[kPanel] = {}, beta[kPanel] = {};
        double G[kPanel][kPanel] = {};
        // Form the panel's reflectors, applying each to the panel's later columns.
        for (std::size_t t = 0; t < nb; ++t) {
            const std::size_t j = j0 + t;
            const v8* bj = B.col(j);
            v8 acc = {};
            for (std::size_t i = 0; i < nv; ++i) acc += bj[i] * bj[i];
            double sigma = lane_sum(acc);
            if (sigma == 0.0) continue;  // nothing below the diagonal: the identity
            double a = R[j * w + j];
            double norm = std::sqrt(a * a + sigma);
            double alpha = a > 0.0 ? -norm : norm;
            v0[t] = a - alpha;  // |v0| = |a| + norm: no cancellation
            beta[t] = 1.0 / (norm * std::fabs(v0[t]));
            for (std::size_t k = j + 1; k < j0 + nb; ++k) {
                v8* bk = B.col(k);
                v8 d = {};
                for (std::size_t i = 0; i < nv; ++i) d += bj[i] * bk[i];
                double& r = R[j * w + k];
                double s = (v0[t] * r + lane_sum(d)) * beta[t];
                r -= s * v0[t];
                for (std::size_t i = 0; i < nv; ++i) bk[i] -= s * bj[i];
            }
            R[j * w + j] = alpha;
        }
        if (j0 + nb >= w) break;
        for (std::size_t t = 0; t < nb; ++t) {
            for (std::size_t u = 0; u < t; ++u) {
                v8 acc = {};
                const v8* bt = B.col(j0 + t);
                const v8* bu = B.col(j0 + u);
                for (std::size_t i = 0; i < nv; ++i) acc += bt[i] * bu[i];
                G[t][u] = lane_sum(acc);
            }
        }
        // Only the last panel can be short, and nothing trails it.
        apply_panel<kPanel>(R, w, B, j0, v0, beta, G);
    }
}

// Fills the block with the regression rows r0..r0+m-1: constant, level x[r],
// differences d[r-1] .. d[r-lags], response d[r], where d[i] = x[i+1] - x[i];
// rows m..ld-1 are zero.
void fill_rows(Block& B, std::size_t m, const double* x, std::size_t r0, std::size_t lags) {
    const std::size_t w = lags + 3;
    B.ld = (m + kLanes - 1) / kLanes * kLanes;
    B.data.assign(w * B.ld, 0.0);
    double* one = B.at(0);
    double* level = B.at(1);
    double* response = B.at(w - 1);
    for (std::size_t i = 0; i < m; ++i) {
        one[i] = 1.0;
        level[i] = x[r0 + i];
        response[i] = x[r0 + i + 1] - x[r0 + i];
    }
    for (std::size_t j = 1; j <= lags; ++j) {
        double* col = B.at(1 + j);
        for (std::size_t i = 0; i < m; ++i) col[i] = x[r0 + i - j + 1] - x[r0 + i - j];
    }
}

// The profile log-likelihood's AIC of an OLS fit, in the order of operations
// of the reference implementation.
double aic_of(double ssr, double nobs, double k_params) {
    double nobs2 = nobs / 2.0;
    double llf = -nobs2 * std::log(2.0 * std::numbers::pi) - nobs2 * std::log(ssr / nobs) - nobs2;
    return -2.0 * llf + 2.0 * k_params;
}

// Inverse of the leading c x c block of R (row-major, leading dimension w),
// written into Rinv (c x c, row-major). False when a diagonal entry is zero.
bool invert_upper(const double* R, std::size_t w, std::size_t c, std::vector<double>& Rinv) {
    Rinv.assign(c * c, 0.0);
    for (std::size_t j = c; j-- > 0;) {
        if (R[j * w + j] == 0.0) return false;
        Rinv[j * c + j] = 1.0 / R[j * w + j];
        for (std::size_t i = j; i-- > 0;) {
            double s = 0.0;
            for (std::size_t k = i + 1; k <= j; ++k) s += R[i * w + k] * Rinv[k * c + j];
            Rinv[i * c + j] = -s / R[i * w + i];
        }
    }
    return true;
}

// Whether every leading block of R (sizes first..c) is far enough from rank
// deficiency: ||R_c||_F ||R_c^-1||_F bounds sigma_max / sigma_min, and the
// inverse of a leading block is the leading block of the inverse.
bool leading_blocks_well_posed(const double* R, std::size_t w, std::size_t first, std::size_t c, double rows) {
    std::vector<double> Rinv;
    if (!invert_upper(R, w, c, Rinv)) return false;
    double limit = 1.0 / (rows * std::numeric_limits<double>::epsilon() * kRankMargin);
    double fr = 0.0, fi = 0.0;
    for (std::size_t k = 0; k < c; ++k) {
        for (std::size_t i = 0; i <= k; ++i) {
            fr += R[i * w + k] * R[i * w + k];
            fi += Rinv[i * c + k] * Rinv[i * c + k];
        }
        if (k + 1 >= first && !(std::sqrt(fr) * std::sqrt(fi) < limit)) return false;
    }
    return true;
}

}  // namespace

long adf_default_maxlag(std::size_t n) {
    long maxlag = static_cast<long>(std::ceil(12.0 * std::pow(static_cast<double>(n) / 100.0, 1.0 / 4.0)));
    long cap = static_cast<long>(n / 2) - 1 - 1;
    return std::min(cap, maxlag);
}

AdfResult adf_constant_aic(const double* x, std::size_t n, const Stop& stop) {
    AdfResult out;
    if (n == 0) {
        out.status = AdfStatus::too_short;
        return out;
    }
    double lo = x[0], hi = x[0];
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i])) {
            out.status = AdfStatus::non_finite;
            return out;
        }
        lo = std::min(lo, x[i]);
        hi = std::max(hi, x[i]);
    }
    if (lo == hi) {
        out.status = AdfStatus::constant;
        return out;
    }
    long maxlag_l = adf_default_maxlag(n);
    if (maxlag_l < 0) {
        out.status = AdfStatus::too_short;
        return out;
    }
    const std::size_t maxlag = static_cast<std::size_t>(maxlag_l);
    out.max_lag = static_cast<int>(maxlag);

    // Search: rows maxlag .. n-2 of the differences, columns
    // [const, level, d lag 1..maxlag] and the response.
    const std::size_t p = maxlag + 2;
    const std::size_t w = p + 1;
    const std::size_t rows = n - 1 - maxlag;
    std::vector<double> R(w * w, 0.0);
    Block B;
    for (std::size_t r0 = maxlag; r0 < n - 1; r0 += kBlockRows) {
        std::size_t m = std::min(kBlockRows, n - 1 - r0);
        fill_rows(B, m, x, r0, maxlag);
        absorb_rows(R.data(), w, B);
        if (stop.requested()) {
            out.status = AdfStatus::interrupted;
            return out;
        }
    }
    for (double v : R) {
        if (!std::isfinite(v)) {
            out.status = AdfStatus::ill_conditioned;
            return out;
        }
    }
    if (!leading_blocks_well_posed(R.data(), w, 2, p, static_cast<double>(rows))) {
        out.status = AdfStatus::ill_conditioned;
        return out;
    }

    // rss[c]: residual sum of squares on the first c columns, the squared
    // norm of the response column's entries at and below row c.
    std::vector<double> rss(p + 1, 0.0);
    double tail = 0.0;
    for (std::size_t i = w; i-- > 0;) {
        tail += R[i * w + p] * R[i * w + p];
        if (i <= p) rss[i] = tail;
    }
    const double yy = rss[0];
    const double nobs = static_cast<double>(rows);
    std::size_t best = 0;
    double best_aic = std::numeric_limits<double>::infinity();
    double second_aic = std::numeric_limits<double>::infinity();
    for (std::size_t lag = 0; lag <= maxlag; ++lag) {
        double ssr = rss[lag + 2];
        // An almost exact fit leaves the residual to rounding: its logarithm,
        // and so the choice, would be noise.
        if (!(ssr > 1e-8 * yy)) {
            out.status = AdfStatus::ill_conditioned;
            return out;
        }
        double aic = aic_of(ssr, nobs, static_cast<double>(lag + 2));
        // Strictly smaller wins: ties keep the smaller lag.
        if (aic < best_aic) {
            second_aic = best_aic;
            best_aic = aic;
            best = lag;
        } else if (aic < second_aic) {
            second_aic = aic;
        }
    }
    // Two candidates closer than the rounding of their AIC could be ordered
    // either way by another least-squares method.
    if (second_aic - best_aic <= 1e-9 * (1.0 + std::fabs(best_aic))) {
        out.status = AdfStatus::ill_conditioned;
        return out;
    }
    out.used_lag = static_cast<int>(best);
    out.icbest = best_aic;

    // Final regression: the chosen prefix of columns on rows best .. n-2. Its
    // factor is the search factor's leading block, the response's entries
    // above row c and the residual norm, updated with the rows best..maxlag-1.
    const std::size_t c = best + 2;
    const std::size_t wf = c + 1;
    std::vector<double> F(wf * wf, 0.0);
    for (std::size_t i = 0; i < c; ++i) {
        for (std::size_t k = i; k < c; ++k) F[i * wf + k] = R[i * w + k];
        F[i * wf + c] = R[i * w + p];
    }
    F[c * wf + c] = std::sqrt(rss[c]);
    if (best < maxlag) {
        Block Bf;
        fill_rows(Bf, maxlag - best, x, best, best);
        absorb_rows(F.data(), wf, Bf);
    }
    const std::size_t rows_f = n - 1 - best;
    std::vector<double> Finv;
    if (!leading_blocks_well_posed(F.data(), wf, c, c, static_cast<double>(rows_f))) {
        out.status = AdfStatus::ill_conditioned;
        return out;
    }
    invert_upper(F.data(), wf, c, Finv);
    // Coefficient of the level (column 1) and its variance row of R^-1.
    double b1 = 0.0, v1 = 0.0;
    for (std::size_t k = 1; k < c; ++k) {
        b1 += Finv[1 * c + k] * F[k * wf + c];
        v1 += Finv[1 * c + k] * Finv[1 * c + k];
    }
    double ssr_f = F[c * wf + c] * F[c * wf + c];
    double scale = ssr_f / (static_cast<double>(rows_f) - static_cast<double>(c));
    out.statistic = b1 / std::sqrt(v1 * scale);
    out.nobs = rows_f;
    if (!std::isfinite(out.statistic)) out.status = AdfStatus::ill_conditioned;
    return out;
}

}  // namespace tamsel::kernels
