#include "adf.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>
#include <vector>

#include "lanes.hpp"

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

// The rows' residual sums of squares on every prefix of columns, and the lag
// AIC prefers, from the search factor R (w x w, the response last).
struct LagChoice {
    std::vector<double> rss;  // rss[c]: on the first c columns
    bool exact_fit = false;   // a residual is left to rounding
    std::size_t lag = 0;
    double aic = 0.0;
    double gap = 0.0;  // to the next best candidate's AIC
};

LagChoice choose_lag(const std::vector<double>& R, std::size_t w, std::size_t maxlag, double nobs) {
    const std::size_t p = w - 1;
    LagChoice out;
    // rss[c] is the squared norm of the response column's entries at and
    // below row c.
    out.rss.assign(p + 1, 0.0);
    double tail = 0.0;
    for (std::size_t i = w; i-- > 0;) {
        tail += R[i * w + p] * R[i * w + p];
        if (i <= p) out.rss[i] = tail;
    }
    const double yy = out.rss[0];
    double best_aic = std::numeric_limits<double>::infinity();
    double second_aic = std::numeric_limits<double>::infinity();
    for (std::size_t lag = 0; lag <= maxlag; ++lag) {
        double ssr = out.rss[lag + 2];
        // An almost exact fit leaves the residual to rounding: its logarithm,
        // and so the choice, would be noise.
        if (!(ssr > 1e-8 * yy)) {
            out.exact_fit = true;
            return out;
        }
        double aic = aic_of(ssr, nobs, static_cast<double>(lag + 2));
        // Strictly smaller wins: ties keep the smaller lag.
        if (aic < best_aic) {
            second_aic = best_aic;
            best_aic = aic;
            out.lag = lag;
        } else if (aic < second_aic) {
            second_aic = aic;
        }
    }
    out.aic = best_aic;
    out.gap = second_aic - best_aic;
    return out;
}

// The t statistic of the level (column 1) from the final regression's factor
// F (wf x wf, the response last) on `rows` rows; false when `as_given`, the
// factor of the columns as the library sees them (F itself, or F with the
// level's shift undone), is too close to rank deficient to promise it.
bool level_statistic(const std::vector<double>& F, const std::vector<double>& as_given, std::size_t wf, double rows,
                     double& statistic) {
    const std::size_t c = wf - 1;
    if (!leading_blocks_well_posed(as_given.data(), wf, c, c, rows)) return false;
    std::vector<double> Finv;
    invert_upper(F.data(), wf, c, Finv);
    // Coefficient of the level and its variance row of R^-1.
    double b1 = 0.0, v1 = 0.0;
    for (std::size_t k = 1; k < c; ++k) {
        b1 += Finv[1 * c + k] * F[k * wf + c];
        v1 += Finv[1 * c + k] * Finv[1 * c + k];
    }
    double ssr_f = F[c * wf + c] * F[c * wf + c];
    double scale = ssr_f / (rows - static_cast<double>(c));
    statistic = b1 / std::sqrt(v1 * scale);
    return std::isfinite(statistic);
}

// ---- The factor from the columns' cross products -------------------------
//
// The lagged differences are shifts of one series, so their cross products
// over the search rows are its lagged products over one window, corrected by
// a few terms at either end: O(rows x lags) work where the QR's is
// O(rows x lags^2). Their Cholesky factor is the QR's triangular factor, but
// its rounding grows with the square of the columns' condition, so this way
// is taken only where that condition, the AIC choice and the rank decision
// leave a wide margin; elsewhere the streamed QR decides.

// Largest bound of the scaled condition number kappa (the columns at unit
// norm) the cross products are trusted at. Their statistic's relative error
// stays below kappa^2 times the unit roundoff (measured on a few hundred
// seasonal series with kappa up to 1e5), so here below 2.3e-10, and the
// bound overstates kappa itself.
constexpr double kGramCondition = 1000.0;

// Two lags whose AIC differ by less than this many units per row go to the
// QR, which orders them more exactly: the residual sums' relative error is of
// the same order as the statistic's, and the AIC moves by rows times it.
constexpr double kGramAicMargin = 1e-8;

// Sums over rows r = t0 .. t0+m-1 in eight lanes (lane r - t0 mod 8), blocked
// so that the rows stay in the L1 cache across the lags: per lag j, the
// products of the level x[r] and of the response d[r] with d[r-j], and d[r-j].
struct LagSums {
    std::vector<double> level, response, plain;  // indexed by j = 0 .. maxlag
    double x = 0.0, xx = 0.0;                    // the level's sum and squares
};

// False when stop was requested between blocks.
__attribute__((target_clones("avx512f", "avx2", "default"))) bool lag_sums(const double* x, const double* d,
                                                                           std::size_t t0, std::size_t m,
                                                                           std::size_t maxlag, const Stop& stop,
                                                                           LagSums& out) {
    constexpr std::size_t kRows = 1024;  // a multiple of the lanes
    // Lanes of the three sums per lag, then of the level's sum and squares.
    std::vector<double> acc(kLanes * (3 * (maxlag + 1) + 2), 0.0);
    double* lv = acc.data();
    double* rs = lv + kLanes * (maxlag + 1);
    double* pl = rs + kLanes * (maxlag + 1);
    double* sums = pl + kLanes * (maxlag + 1);
    const std::size_t full = m / kLanes * kLanes;
    const double* xs = x + t0;
    const double* ds = d + t0;
    for (std::size_t b0 = 0; b0 < full; b0 += kRows) {
        const std::size_t b1 = std::min(full, b0 + kRows);
        v8 sx, sxx;
        load8(sx, sums);
        load8(sxx, sums + kLanes);
        for (std::size_t i = b0; i < b1; i += kLanes) {
            v8 xv;
            load8(xv, xs + i);
            sx += xv;
            sxx += xv * xv;
        }
        std::memcpy(sums, &sx, sizeof(v8));
        std::memcpy(sums + kLanes, &sxx, sizeof(v8));
        for (std::size_t j = 0; j <= maxlag; ++j) {
            v8 a, r, q;
            load8(a, lv + kLanes * j);
            load8(r, rs + kLanes * j);
            load8(q, pl + kLanes * j);
            for (std::size_t i = b0; i < b1; i += kLanes) {
                v8 dj, xv, d0;
                load8(dj, ds + i - j);
                load8(xv, xs + i);
                load8(d0, ds + i);
                a += xv * dj;
                r += d0 * dj;
                q += dj;
            }
            std::memcpy(lv + kLanes * j, &a, sizeof(v8));
            std::memcpy(rs + kLanes * j, &r, sizeof(v8));
            std::memcpy(pl + kLanes * j, &q, sizeof(v8));
        }
        if (stop.requested()) return false;
    }
    auto lanes = [](const double* v) { return ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7])); };
    out.level.resize(maxlag + 1);
    out.response.resize(maxlag + 1);
    out.plain.resize(maxlag + 1);
    double tx = 0.0, txx = 0.0;
    for (std::size_t i = full; i < m; ++i) {
        tx += x[t0 + i];
        txx += x[t0 + i] * x[t0 + i];
    }
    out.x = lanes(sums) + tx;
    out.xx = lanes(sums + kLanes) + txx;
    for (std::size_t j = 0; j <= maxlag; ++j) {
        double a = 0.0, r = 0.0, q = 0.0;
        for (std::size_t i = t0 + full; i < t0 + m; ++i) {
            a += x[i] * d[i - j];
            r += d[i] * d[i - j];
            q += d[i - j];
        }
        out.level[j] = lanes(lv + kLanes * j) + a;
        out.response[j] = lanes(rs + kLanes * j) + r;
        out.plain[j] = lanes(pl + kLanes * j) + q;
    }
    return true;
}

// Column of the difference lagged j in the search design: the response (j = 0)
// is last, lag j >= 1 follows the constant and the level.
inline std::size_t lag_column(std::size_t j, std::size_t w) { return j == 0 ? w - 1 : 1 + j; }

// Cross products (w x w, row-major, both triangles) of the search design
// [1, x(r), d(r-1) .. d(r-maxlag), d(r)] over rows r = maxlag .. n-2; false
// when stop was requested.
bool search_gram(const double* x, const std::vector<double>& d, std::size_t n, std::size_t maxlag, const Stop& stop,
                 std::vector<double>& G) {
    const std::size_t w = maxlag + 3;
    const std::size_t t0 = maxlag, t1 = n - 2, m = n - 1 - maxlag;
    LagSums s;
    if (!lag_sums(x, d.data(), t0, m, maxlag, stop, s)) return false;
    G.assign(w * w, 0.0);
    auto put = [&](std::size_t a, std::size_t b, double v) { G[a * w + b] = G[b * w + a] = v; };
    put(0, 0, static_cast<double>(m));
    put(0, 1, s.x);
    put(1, 1, s.xx);
    for (std::size_t j = 0; j <= maxlag; ++j) {
        put(0, lag_column(j, w), s.plain[j]);
        put(1, lag_column(j, w), s.level[j]);
    }
    // d(r-i) d(r-i-k) over the rows is the window's lagged product
    // sum_{s=t0}^{t1} d(s) d(s-k) with the window moved i rows earlier: the
    // i products entering at the front added and those leaving at the back
    // taken away, each end summed on its own.
    for (std::size_t k = 0; k <= maxlag; ++k) {
        double head = 0.0, tail = 0.0;
        for (std::size_t i = 0; i + k <= maxlag; ++i) {
            if (i > 0) {
                head += d[t0 - i] * d[t0 - i - k];
                tail += d[t1 - i + 1] * d[t1 - i + 1 - k];
            }
            put(lag_column(i, w), lag_column(i + k, w), s.response[k] + (head - tail));
        }
    }
    return true;
}

// The upper Cholesky factor of G (w x w, row-major), or false when a pivot is
// not positive.
bool cholesky_upper(const std::vector<double>& G, std::size_t w, std::vector<double>& R) {
    R.assign(w * w, 0.0);
    for (std::size_t j = 0; j < w; ++j) {
        double s = G[j * w + j];
        for (std::size_t i = 0; i < j; ++i) s -= R[i * w + j] * R[i * w + j];
        if (!(s > 0.0)) return false;
        const double r = std::sqrt(s);
        R[j * w + j] = r;
        for (std::size_t k = j + 1; k < w; ++k) {
            double t = G[j * w + k];
            for (std::size_t i = 0; i < j; ++i) t -= R[i * w + j] * R[i * w + k];
            R[j * w + k] = t / r;
        }
    }
    return true;
}

// Whether the first c columns, scaled to unit norm (their norms the square
// roots of G's diagonal), have a condition bound within kGramCondition.
bool gram_well_scaled(const std::vector<double>& R, const std::vector<double>& G, std::size_t w, std::size_t c) {
    std::vector<double> Rinv;
    if (!invert_upper(R.data(), w, c, Rinv)) return false;
    // The scaled factor's columns have unit norm, so its Frobenius norm is
    // sqrt(c); its inverse is R^-1 with row i times the norm of column i.
    double fi = 0.0;
    for (std::size_t i = 0; i < c; ++i) {
        double row = 0.0;
        for (std::size_t k = i; k < c; ++k) row += Rinv[i * c + k] * Rinv[i * c + k];
        fi += row * G[i * w + i];
    }
    return std::sqrt(static_cast<double>(c)) * std::sqrt(fi) <= kGramCondition;
}

// The whole test from the cross products, or nothing where this way cannot
// promise the QR's answer (the caller then takes the QR).
std::optional<AdfResult> adf_by_gram(const double* x, std::size_t n, std::size_t maxlag, const Stop& stop) {
    std::vector<double> d(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) d[i] = x[i + 1] - x[i];
    const std::size_t w = maxlag + 3, p = w - 1;
    const std::size_t rows = n - 1 - maxlag;
    // The level is taken about its mean. Subtracting a multiple of the constant
    // column changes neither the level's coefficient, nor its standard error,
    // nor any residual, but keeps a series far from zero from making the
    // level and the constant nearly parallel.
    double shift = 0.0;
    for (std::size_t r = maxlag; r + 1 < n; ++r) shift += x[r];
    shift /= static_cast<double>(rows);
    std::vector<double> level(n - 1);
    for (std::size_t r = 0; r + 1 < n; ++r) level[r] = x[r] - shift;
    std::vector<double> G, R;
    if (!search_gram(level.data(), d, n, maxlag, stop, G)) {
        AdfResult stopped;
        stopped.status = AdfStatus::interrupted;
        return stopped;
    }
    if (!cholesky_upper(G, w, R) || !gram_well_scaled(R, G, w, p)) return std::nullopt;
    // The rank the library decides is that of the level as it is: its factor
    // is this one with the constant's multiple added back to the level column.
    // (Row 0 is the constant's, so only its entry in the level column moves.)
    auto as_given = [shift](std::vector<double> f) {
        f[1] += shift * f[0];
        return f;
    };
    if (!leading_blocks_well_posed(as_given(R).data(), w, 2, p, static_cast<double>(rows))) return std::nullopt;
    const double nobs = static_cast<double>(rows);
    const LagChoice choice = choose_lag(R, w, maxlag, nobs);
    if (choice.exact_fit || choice.gap <= std::max(1e-9 * (1.0 + std::fabs(choice.aic)), kGramAicMargin * nobs))
        return std::nullopt;

    // The final regression's cross products: the search ones of its columns
    // and the rows best .. maxlag-1 the search left out.
    const std::size_t best = choice.lag, c = best + 2, wf = c + 1;
    std::vector<double> Gf(wf * wf, 0.0);
    auto search_col = [&](std::size_t q) { return q == c ? p : q; };
    for (std::size_t a = 0; a < wf; ++a)
        for (std::size_t b = 0; b < wf; ++b) Gf[a * wf + b] = G[search_col(a) * w + search_col(b)];
    std::vector<double> row(wf);
    for (std::size_t r = best; r < maxlag; ++r) {
        row[0] = 1.0;
        row[1] = level[r];
        for (std::size_t j = 1; j <= best; ++j) row[1 + j] = d[r - j];
        row[c] = d[r];
        for (std::size_t a = 0; a < wf; ++a)
            for (std::size_t b = 0; b < wf; ++b) Gf[a * wf + b] += row[a] * row[b];
    }
    std::vector<double> F;
    if (!cholesky_upper(Gf, wf, F) || !gram_well_scaled(F, Gf, wf, c)) return std::nullopt;
    AdfResult out;
    out.way = AdfWay::cross_products;
    out.max_lag = static_cast<int>(maxlag);
    out.used_lag = static_cast<int>(best);
    out.icbest = choice.aic;
    out.nobs = n - 1 - best;
    if (!level_statistic(F, as_given(F), wf, static_cast<double>(out.nobs), out.statistic)) return std::nullopt;
    return out;
}
}  // namespace

long adf_default_maxlag(std::size_t n) {
    long maxlag = static_cast<long>(std::ceil(12.0 * std::pow(static_cast<double>(n) / 100.0, 1.0 / 4.0)));
    long cap = static_cast<long>(n / 2) - 1 - 1;
    return std::min(cap, maxlag);
}

AdfResult adf_constant_aic(const double* x, std::size_t n, const Stop& stop, AdfWay way) {
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

    if (way == AdfWay::cross_products) {
        if (auto fast = adf_by_gram(x, n, maxlag, stop)) return *fast;
    }

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
    const LagChoice choice = choose_lag(R, w, maxlag, static_cast<double>(rows));
    // Two candidates closer than the rounding of their AIC could be ordered
    // either way by another least-squares method.
    if (choice.exact_fit || choice.gap <= 1e-9 * (1.0 + std::fabs(choice.aic))) {
        out.status = AdfStatus::ill_conditioned;
        return out;
    }
    const std::size_t best = choice.lag;
    out.used_lag = static_cast<int>(best);
    out.icbest = choice.aic;

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
    F[c * wf + c] = std::sqrt(choice.rss[c]);
    if (best < maxlag) {
        Block Bf;
        fill_rows(Bf, maxlag - best, x, best, best);
        absorb_rows(F.data(), wf, Bf);
    }
    out.nobs = n - 1 - best;
    if (!level_statistic(F, F, wf, static_cast<double>(out.nobs), out.statistic))
        out.status = AdfStatus::ill_conditioned;
    return out;
}

}  // namespace tamsel::kernels
