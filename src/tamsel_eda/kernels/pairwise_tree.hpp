// NumPy's float64 sum of an array (pairwise.hpp) rebuilt from partitions of
// it. The pairwise tree depends only on the whole length and the piece
// length of the running NumPy, so a partition that knows where it sits can
// sum every tree node lying wholly inside it, and hand over the raw values
// of the (at most two) leaves its borders cut. Adding those along the same
// tree gives np.add.reduce's bits for any partitioning, where adding the
// partitions' own sums would not.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "pairwise.hpp"

namespace tamsel::kernels {

// What one partition contributes.
struct TreePartial {
    // Maximal tree nodes [lo, hi) inside the partition (global positions) and
    // their pairwise sums as NumPy's loop leaves them (no +0.0 added).
    std::vector<std::uint64_t> node_lo, node_hi;
    std::vector<double> node_sum;
    // The partition's values of leaves it shares with a neighbour, each run
    // starting at the global position edge_at[i].
    std::vector<std::uint64_t> edge_at;
    std::vector<std::vector<double>> edge_values;
};

// A partial's nodes as flat [lo, hi) rows, and a partial from such rows,
// their sums and its edge runs (start, values): how partials travel between
// the partition-wise driver's tasks. std::invalid_argument for rows that no
// partial holds.
std::vector<std::int64_t> node_rows(const TreePartial& t);
using EdgeRun = std::pair<std::uint64_t, std::vector<double>>;
TreePartial tree_partial_of(const std::vector<std::int64_t>& rows, std::vector<double> sums,
                            std::vector<EdgeRun> edges);

namespace pairwise_detail {

constexpr std::uint64_t leaf_size = 128;

inline std::uint64_t split(std::uint64_t n) {
    std::uint64_t n2 = n / 2;
    return n2 - n2 % 8;
}

// Walks the node [lo, hi) against the partition [a, b).
template <class Load>
void walk(Load& load, std::uint64_t a, std::uint64_t b, std::uint64_t lo, std::uint64_t hi, TreePartial& out) {
    if (hi <= a || lo >= b) return;
    if (a <= lo && hi <= b) {
        out.node_lo.push_back(lo);
        out.node_hi.push_back(hi);
        out.node_sum.push_back(pairwise_run(load, static_cast<std::size_t>(lo - a), static_cast<std::size_t>(hi - lo)));
        return;
    }
    if (hi - lo <= leaf_size) {
        const std::uint64_t s = lo > a ? lo : a, e = hi < b ? hi : b;
        std::vector<double> values(static_cast<std::size_t>(e - s));
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = load(static_cast<std::size_t>(s - a) + i);
        out.edge_at.push_back(s);
        out.edge_values.push_back(std::move(values));
        return;
    }
    const std::uint64_t mid = lo + split(hi - lo);
    walk(load, a, b, lo, mid, out);
    walk(load, a, b, mid, hi, out);
}

}  // namespace pairwise_detail

// The partial of the `count` values load(0), load(1), ... that sit at global
// positions [offset, offset + count) of an array of `total` values summed
// with piece length `block` (0: the whole array at once).
template <class Load>
TreePartial pairwise_partial(Load load, std::uint64_t offset, std::uint64_t count, std::uint64_t total,
                             std::uint64_t block) {
    TreePartial out;
    const std::uint64_t end = offset + count;
    const std::uint64_t piece = block == 0 || total <= block ? (total > 0 ? total : 1) : block;
    for (std::uint64_t start = offset / piece * piece; start < end; start += piece) {
        const std::uint64_t stop = total - start < piece ? total : start + piece;
        pairwise_detail::walk(load, offset, end, start, stop, out);
    }
    return out;
}

inline TreePartial pairwise_partial(const double* p, std::uint64_t offset, std::uint64_t count, std::uint64_t total,
                                    std::uint64_t block) {
    return pairwise_partial([p](std::size_t i) { return p[i]; }, offset, count, total, block);
}

// The terms a column's summary sums, each as NumPy computes that array's
// element, without building the arrays: np.where(np.isnan(x), 0.0, x) ...
inline TreePartial nan_as_zero_partial(const double* x, std::uint64_t offset, std::uint64_t count, std::uint64_t total,
                                       std::uint64_t block) {
    return pairwise_partial([x](std::size_t i) { return std::isnan(x[i]) ? 0.0 : x[i]; }, offset, count, total, block);
}

// ... and nanstd's squared deviations from `avg`, NaN cells 0.
inline TreePartial nan_as_zero_square_partial(const double* x, double avg, std::uint64_t offset, std::uint64_t count,
                                              std::uint64_t total, std::uint64_t block) {
    return pairwise_partial(
        [x, avg](std::size_t i) {
            const double d = std::isnan(x[i]) ? 0.0 : x[i] - avg;
            return d * d;
        },
        offset, count, total, block);
}

// The finite values of x[0..n) in order, `finite` their count; empty when
// every value is finite (x is then read in place).
inline std::vector<double> finite_values(const double* x, std::size_t n, std::size_t& finite) {
    finite = 0;
    for (std::size_t i = 0; i < n; ++i) finite += std::isfinite(x[i]) ? 1 : 0;
    std::vector<double> out;
    if (finite == n) return out;
    out.reserve(finite);
    for (std::size_t i = 0; i < n; ++i)
        if (std::isfinite(x[i])) out.push_back(x[i]);
    return out;
}

// np.add.reduce over the whole array from the partials of partitions that
// cover it once (any order). Throws std::invalid_argument when they do not.
double pairwise_combine(const TreePartial* parts, std::size_t k, std::uint64_t total, std::uint64_t block);

}  // namespace tamsel::kernels
