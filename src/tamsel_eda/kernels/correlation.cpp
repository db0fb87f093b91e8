// Layout of the work:
// Tasks are small (a column, a few blocks of pairs, a pair) so that a thread
// that joins late still finds work; each borrows one of the parts' scratch
// areas for its duration.
// 1. Per column: for Spearman the doubled
//    ranks of the whole column, 0 where the value is not finite; for both
//    methods whether the column is entirely finite.
// 2. Pairs of entirely finite columns: pandas' loop for such a pair reads
//    every row, so the per-column terms (the centred ranks; Welford's
//    running deviations) are the same for all pairs that column is in. Rows
//    are taken in chunks; each chunk's terms are laid out row-major and 4x8
//    blocks of pairs accumulate their products, each pair's sum in row order
//    as pandas adds it. Tasks own disjoint runs of blocks.
// 3. Every other pair runs pandas' per-pair loop over its complete rows
//    (re-ranking them when the two columns miss different rows).
#include "correlation.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "kernels.hpp"
#include "ranks.hpp"

namespace tamsel::kernels {
namespace {

constexpr std::size_t chunk_rows = 128;
constexpr std::size_t block_x = 4, block_y = 8;
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::size_t round_up(std::size_t v, std::size_t to) { return (v + to - 1) / to * to; }

struct Layout {
    std::size_t kp = 0;  // row length of tiles and accumulators
    std::size_t acc = 0, ranks = 0, part = 0, part_bytes = 0, total = 0;
};

Layout layout(const CorrProblem& p) {
    Layout l;
    l.kp = round_up(std::max<std::size_t>(p.k, 1), block_y);
    std::size_t off = 0;
    l.acc = off;
    off += round_up(p.k * l.kp * sizeof(double), 64);
    l.ranks = off;
    if (p.method == CorrMethod::spearman) off += round_up(p.k * p.n * sizeof(std::uint32_t), 64);
    const std::size_t tiles = (p.method == CorrMethod::pearson ? 2 : 1) * chunk_rows * l.kp * sizeof(double) +
                              (l.kp + chunk_rows) * sizeof(double);
    std::size_t scratch = std::max(tiles, 2 * chunk_rows * sizeof(double));
    if (p.method == CorrMethod::spearman) {
        scratch = std::max(scratch, round_up(p.n * sizeof(double), 64) + rank_scratch_bytes(p.n));
        scratch = std::max(scratch, round_up(2 * p.n * sizeof(std::uint32_t), 64) + rank_scratch_bytes(p.n));
    }
    l.part_bytes = round_up(scratch, 64);
    l.part = off;
    off += l.part_bytes * std::max<std::size_t>(p.parts, 1);
    l.total = off + 64;  // room to align the start
    return l;
}

// acc[a * 8 + b] += x[i][a] * y[i][b] for the rows of one chunk, row by row:
// each of the 32 sums grows in row order, as pandas' loop adds. Clones for
// wider vector units change how many sums advance per instruction, not the
// operations applied to any one of them.
__attribute__((target_clones("avx2", "default"))) void block_products(const double* x, const double* y,
                                                                      std::size_t rows, std::size_t ld, double* acc) {
    double s[block_x * block_y];
    for (std::size_t j = 0; j < block_x * block_y; ++j) s[j] = acc[j];
    for (std::size_t i = 0; i < rows; ++i) {
        const double* xr = x + i * ld;
        const double* yr = y + i * ld;
        for (std::size_t a = 0; a < block_x; ++a) {
            const double xa = xr[a];
            for (std::size_t b = 0; b < block_y; ++b) s[a * block_y + b] += xa * yr[b];
        }
    }
    for (std::size_t j = 0; j < block_x * block_y; ++j) acc[j] = s[j];
}

double finish(double num, double divisor, bool clip) {
    if (divisor == 0) return nan;
    double v = num / divisor;
    if (clip) {
        if (v > 1.0) {
            v = 1.0;
        } else if (v < -1.0) {
            v = -1.0;
        }
    }
    return v;
}

class Correlation {
public:
    Correlation(const CorrProblem& p, double* out, void* workspace, const std::function<bool()>& poll)
        : p_(p), out_(out), poll_(poll), l_(layout(p)) {
        auto base = reinterpret_cast<std::uintptr_t>(workspace);
        ws_ = reinterpret_cast<char*>(round_up(base, 64));
        parts_ = std::max<std::size_t>(p.parts, 1);
    }

    bool run() {
        const std::size_t k = p_.k;
        if (p_.n == 0) {
            std::fill(out_, out_ + k * k, nan);
            return true;
        }
        finite_.assign(k, 0);
        for (std::size_t part = parts_; part-- > 0;) free_.push_back(part);
        each(k, [&](std::size_t c, char* scratch, const Stop&) { column_pass(c, scratch); });
        std::vector<std::size_t> fast, slow_pairs;
        for (std::size_t c = 0; c < k; ++c) {
            if (finite_[c]) fast.push_back(c);
        }
        fast_ = fast;
        if (stopped_) return false;
        fast_pairs();
        for (std::size_t x = 0; x < k; ++x) {
            for (std::size_t y = 0; y <= x; ++y) {
                if (!finite_[x] || !finite_[y]) slow_pairs.push_back(x * k + y);
            }
        }
        each(slow_pairs.size(), [&](std::size_t i, char* scratch, const Stop&) {
            const std::size_t x = slow_pairs[i] / k, y = slow_pairs[i] % k;
            const double r =
                p_.method == CorrMethod::spearman ? spearman_pair(x, y, scratch) : pearson_pair(x, y, scratch);
            out_[x * k + y] = out_[y * k + x] = r;
        });
        return !stopped_;
    }

private:
    // A part's scratch, borrowed for one task. More tasks at once than parts
    // (a thread count raised since the workspace was sized) get scratch of
    // their own.
    class Scratch {
    public:
        explicit Scratch(Correlation& c) : c_(c) {
            std::lock_guard<std::mutex> lock(c_.m_);
            if (c_.free_.empty()) {
                own_ = std::make_unique<char[]>(c_.l_.part_bytes + 64);
                data_ = reinterpret_cast<char*>(round_up(reinterpret_cast<std::uintptr_t>(own_.get()), 64));
                return;
            }
            part_ = c_.free_.back();
            c_.free_.pop_back();
            data_ = c_.ws_ + c_.l_.part + part_ * c_.l_.part_bytes;
        }
        ~Scratch() {
            if (own_) return;
            std::lock_guard<std::mutex> lock(c_.m_);
            c_.free_.push_back(part_);
        }
        Scratch(const Scratch&) = delete;
        Scratch& operator=(const Scratch&) = delete;
        char* data() const { return data_; }

    private:
        Correlation& c_;
        std::unique_ptr<char[]> own_;
        std::size_t part_ = 0;
        char* data_ = nullptr;
    };

    // Runs task(i, scratch, stop) for every i in [0, count) unless an
    // earlier call was stopped.
    template <class Task>
    void each(std::size_t count, Task&& task) {
        if (stopped_) return;
        const bool done = parallel_for(
            count,
            [&](std::size_t i, const Stop& stop) {
                if (stop.requested()) return;
                const Scratch scratch(*this);
                task(i, scratch.data(), stop);
            },
            poll_);
        if (!done) stopped_ = true;
    }
    std::uint32_t* ranks(std::size_t c) const { return reinterpret_cast<std::uint32_t*>(ws_ + l_.ranks) + c * p_.n; }
    double* acc() const { return reinterpret_cast<double*>(ws_ + l_.acc); }

    void column_pass(std::size_t c, char* scratch) {
        const std::size_t n = p_.n;
        if (p_.method == CorrMethod::spearman) {
            auto* v = reinterpret_cast<double*>(scratch);
            load_doubles(p_.columns[c], 0, n, v);
            std::uint32_t* r = ranks(c);
            doubled_ranks(v, n, r, scratch + round_up(n * sizeof(double), 64));
            finite_[c] = std::find(r, r + n, 0u) == r + n;
            return;
        }
        auto* v = reinterpret_cast<double*>(scratch);
        bool all = true;
        for (std::size_t i0 = 0; i0 < n && all; i0 += chunk_rows) {
            const std::size_t m = std::min(chunk_rows, n - i0);
            load_doubles(p_.columns[c], i0, m, v);
            for (std::size_t i = 0; i < m; ++i) all = all && std::isfinite(v[i]);
        }
        finite_[c] = all;
    }

    // Step 2 of the layout.
    void fast_pairs() {
        const std::size_t nf = fast_.size();
        if (nf == 0) return;
        const std::size_t kp = l_.kp;
        std::fill(acc(), acc() + nf * kp, 0.0);
        std::vector<std::pair<std::size_t, std::size_t>> blocks;
        for (std::size_t xb = 0; xb < nf; xb += block_x) {
            for (std::size_t yb = 0; yb <= xb; yb += block_y) blocks.emplace_back(xb, yb);
        }
        // Each task reads every row of its blocks' columns: a few tasks per
        // part, enough for a late thread to share in.
        const std::size_t tasks = std::min(blocks.size(), 4 * parts_);
        const std::size_t per = (blocks.size() + tasks - 1) / tasks;
        each(tasks, [&](std::size_t t, char* scratch, const Stop& stop) {
            const std::size_t b0 = std::min(blocks.size(), t * per), b1 = std::min(blocks.size(), b0 + per);
            if (b0 == b1) return;
            tile_products(blocks.data() + b0, b1 - b0, scratch, stop);
        });
        const std::size_t k = p_.k;
        const bool clip = p_.method == CorrMethod::pearson && p_.clip_pearson;
        for (std::size_t x = 0; x < nf; ++x) {
            const double sxx = acc()[x * kp + x];
            for (std::size_t y = 0; y <= x; ++y) {
                const double syy = acc()[y * kp + y];
                const double r = finish(acc()[x * kp + y], std::sqrt(sxx * syy), clip);
                out_[fast_[x] * k + fast_[y]] = out_[fast_[y] * k + fast_[x]] = r;
            }
        }
    }

    void tile_products(const std::pair<std::size_t, std::size_t>* blocks, std::size_t count, char* scratch,
                       const Stop& stop) {
        const std::size_t n = p_.n, nf = fast_.size(), kp = l_.kp;
        const bool pearson = p_.method == CorrMethod::pearson;
        auto* xs = reinterpret_cast<double*>(scratch);   // centred ranks, or Welford's v - mean after the update
        auto* ys = pearson ? xs + chunk_rows * kp : xs;  // Welford's v - mean before the update
        auto* mean = (pearson ? ys : xs) + chunk_rows * kp;
        auto* col = mean + kp;
        std::fill(xs, xs + chunk_rows * kp * (pearson ? 2 : 1), 0.0);
        std::fill(mean, mean + kp, 0.0);
        const double rank_mean = (static_cast<double>(n) + 1) / 2.;
        double block_acc[block_x * block_y];
        for (std::size_t i0 = 0; i0 < n; i0 += chunk_rows) {
            if (stop.requested()) return;
            const std::size_t m = std::min(chunk_rows, n - i0);
            for (std::size_t f = 0; f < nf; ++f) {
                if (pearson) {
                    load_doubles(p_.columns[fast_[f]], i0, m, col);
                    double mu = mean[f];
                    for (std::size_t i = 0; i < m; ++i) {
                        const double v = col[i];
                        const double d = v - mu;
                        mu += 1. / static_cast<double>(i0 + i + 1) * d;
                        xs[i * kp + f] = v - mu;
                        ys[i * kp + f] = d;
                    }
                    mean[f] = mu;
                } else {
                    const std::uint32_t* r = ranks(fast_[f]) + i0;
                    for (std::size_t i = 0; i < m; ++i) xs[i * kp + f] = static_cast<double>(r[i]) * 0.5 - rank_mean;
                }
            }
            for (std::size_t b = 0; b < count; ++b) {
                const auto [xb, yb] = blocks[b];
                double* a = acc();
                for (std::size_t u = 0; u < block_x; ++u) {
                    for (std::size_t w = 0; w < block_y; ++w) {
                        block_acc[u * block_y + w] = xb + u < nf ? a[(xb + u) * kp + yb + w] : 0.0;
                    }
                }
                block_products(xs + xb, ys + yb, m, kp, block_acc);
                for (std::size_t u = 0; u < block_x && xb + u < nf; ++u) {
                    for (std::size_t w = 0; w < block_y; ++w) a[(xb + u) * kp + yb + w] = block_acc[u * block_y + w];
                }
            }
        }
    }

    // nancorr_spearman's loop for one pair when a column has values that are
    // not finite: the complete rows, re-ranked unless both columns miss
    // exactly the same rows (then the whole-column ranks stand, as pandas
    // leaves them, even where -inf shifted them).
    double spearman_pair(std::size_t x, std::size_t y, char* scratch) {
        const std::size_t n = p_.n;
        const std::uint32_t* rx = ranks(x);
        const std::uint32_t* ry = ranks(y);
        auto* mx = reinterpret_cast<std::uint32_t*>(scratch);
        auto* my = mx + n;
        void* rank_scratch = scratch + round_up(2 * n * sizeof(std::uint32_t), 64);
        std::size_t nobs = 0;
        bool all_ranks = true;
        for (std::size_t i = 0; i < n; ++i) {
            const bool fx = rx[i] != 0, fy = ry[i] != 0;
            all_ranks = all_ranks && !(fx ^ fy);
            if (fx && fy) {
                mx[nobs] = rx[i];
                my[nobs] = ry[i];
                ++nobs;
            }
        }
        if (nobs < 1) return nan;
        if (!all_ranks) {
            doubled_ranks(mx, nobs, mx, rank_scratch);
            doubled_ranks(my, nobs, my, rank_scratch);
        }
        const double mean = (static_cast<double>(nobs) + 1) / 2.;
        double sumx = 0, sumxx = 0, sumyy = 0;
        for (std::size_t i = 0; i < nobs; ++i) {
            const double vx = static_cast<double>(mx[i]) * 0.5 - mean;
            const double vy = static_cast<double>(my[i]) * 0.5 - mean;
            sumx += vx * vy;
            sumxx += vx * vx;
            sumyy += vy * vy;
        }
        return finish(sumx, std::sqrt(sumxx * sumyy), false);
    }

    // nancorr's Welford loop over the rows where both values are finite.
    double pearson_pair(std::size_t x, std::size_t y, char* scratch) {
        const std::size_t n = p_.n;
        auto* vx = reinterpret_cast<double*>(scratch);
        auto* vy = vx + chunk_rows;
        std::int64_t nobs = 0;
        double meanx = 0, meany = 0, ssqdmx = 0, ssqdmy = 0, covxy = 0;
        for (std::size_t i0 = 0; i0 < n; i0 += chunk_rows) {
            const std::size_t m = std::min(chunk_rows, n - i0);
            load_doubles(p_.columns[x], i0, m, vx);
            load_doubles(p_.columns[y], i0, m, vy);
            for (std::size_t i = 0; i < m; ++i) {
                if (!(std::isfinite(vx[i]) && std::isfinite(vy[i]))) continue;
                ++nobs;
                const double dx = vx[i] - meanx;
                const double dy = vy[i] - meany;
                meanx += 1. / static_cast<double>(nobs) * dx;
                meany += 1. / static_cast<double>(nobs) * dy;
                ssqdmx += (vx[i] - meanx) * dx;
                ssqdmy += (vy[i] - meany) * dy;
                covxy += (vx[i] - meanx) * dy;
            }
        }
        if (nobs < 1) return nan;
        return finish(covxy, std::sqrt(ssqdmx * ssqdmy), p_.clip_pearson);
    }

    const CorrProblem& p_;
    double* out_;
    const std::function<bool()>& poll_;
    Layout l_;
    char* ws_ = nullptr;
    std::size_t parts_ = 1;
    std::mutex m_;
    std::vector<std::size_t> free_;  // parts whose scratch no task holds
    bool stopped_ = false;
    std::vector<char> finite_;
    std::vector<std::size_t> fast_;
};

}  // namespace

bool correlation_supported(const CorrProblem& p) { return p.method == CorrMethod::pearson || p.n < max_rank_rows; }

std::size_t correlation_workspace_bytes(const CorrProblem& p) { return layout(p).total; }

bool correlation_matrix(const CorrProblem& p, double* out, void* workspace, const std::function<bool()>& poll) {
    return Correlation(p, out, workspace, poll).run();
}

}  // namespace tamsel::kernels
