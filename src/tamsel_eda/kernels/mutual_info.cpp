// The per-feature work is three searches: the k nearest neighbours of every
// point in the plane (a 2-d tree of our own; its pruning only skips points
// whose distance is provably not smaller, so the k-th distance is exact) and,
// once every radius is known, two counts within a radius on a line, walked
// along a sorted copy (the target's copy is shared by all features).
#include "mutual_info.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels.hpp"
#include "pairwise.hpp"

namespace tamsel::kernels {
namespace {

const double& at(const double* base, std::ptrdiff_t offset_bytes) {
    return *reinterpret_cast<const double*>(reinterpret_cast<const char*>(base) + offset_bytes);
}

// Chebyshev distance as the library's metric computes it: the larger of the
// two rounded absolute differences.
inline double chebyshev(double ax, double ay, double bx, double by) {
    return std::max(std::fabs(ax - bx), std::fabs(ay - by));
}

// The k+1 smallest distances seen so far, ascending. Fixed: the k of the
// analysis, held in registers; Dynamic: any other k.
template <std::size_t Slots>
struct FixedBest {
    double d[Slots];
    explicit FixedBest(std::size_t) { std::fill(d, d + Slots, std::numeric_limits<double>::infinity()); }
    double worst() const { return d[Slots - 1]; }
    // A minimum and one compare-exchange per slot, with no test: whether a
    // leaf's point is taken, and where it goes, varies from point to point
    // and would mostly be mispredicted. A value not below the last slot
    // leaves the list as it is.
    void take(double v) {
        d[Slots - 1] = std::min(d[Slots - 1], v);
        for (std::size_t j = Slots - 1; j > 0; --j) {
            const double lo = std::min(d[j - 1], d[j]), hi = std::max(d[j - 1], d[j]);
            d[j - 1] = lo;
            d[j] = hi;
        }
    }
};

struct DynamicBest {
    std::vector<double> d;
    explicit DynamicBest(std::size_t slots) : d(slots, std::numeric_limits<double>::infinity()) {}
    double worst() const { return d.back(); }
    void take(double v) {
        const std::size_t last = d.size() - 1;
        if (!(v < d[last])) return;
        std::size_t j = last;
        while (j > 0 && d[j - 1] > v) {
            d[j] = d[j - 1];
            --j;
        }
        d[j] = v;
    }
};

struct Point {
    double x, y;
    std::uint32_t id;
};

// A 2-d tree over the points, split at the median of the wider side. The
// bound for a node is the rounded gap between the query and the node's box;
// rounding is monotone, so no point inside the box is nearer than it.
class PlaneTree {
public:
    // by_x, by_y: the rows in ascending order of x and of y. A node's rows
    // stay in both orders as it is split, so its box is read off the ends of
    // its two runs and its median is the middle of one.
    PlaneTree(const double* x, const double* y, const std::uint32_t* by_x, const std::uint32_t* by_y, std::size_t n)
        : pts_(n), leaf_of_(n) {
        std::vector<std::uint32_t> rows_x(by_x, by_x + n), rows_y(by_y, by_y + n), spill(n);
        std::vector<unsigned char> goes_left(n);
        Lists lists{x, y, rows_x.data(), rows_y.data(), spill.data(), goes_left.data()};
        nodes_.reserve(2 * (n / leaf_size + 1) + 1);
        nodes_.push_back({});
        parent_.reserve(nodes_.capacity());
        parent_.push_back(0);
        build(lists, 0, 0, static_cast<std::uint32_t>(n));
        for (std::size_t i = 0; i < n; ++i) pts_[i] = {x[rows_x[i]], y[rows_x[i]], rows_x[i]};
    }

    std::size_t size() const { return pts_.size(); }
    std::uint32_t row(std::size_t t) const { return pts_[t].id; }

    // The (k+1)-th smallest distance from the point at tree place t to the
    // tree's points, itself among them: the k-th smallest to the others,
    // whichever duplicate the library drops as "itself".
    template <class Best>
    double kth_distance(std::size_t t, Best best) const {
        const double qx = pts_[t].x, qy = pts_[t].y;
        // The query's own leaf first, then the sibling of each node on the
        // way up: the nearest regions come first, so the bound is tight
        // before the larger subtrees are reached, and the way down to the
        // query's leaf is never walked.
        std::uint32_t at_node = leaf_of_[t];
        const Node& own = nodes_[at_node];
        for (std::uint32_t i = own.begin; i < own.end; ++i) best.take(chebyshev(qx, qy, pts_[i].x, pts_[i].y));
        while (at_node != 0) {
            const std::uint32_t up = parent_[at_node];
            const std::uint32_t sibling = at_node == nodes_[up].left ? at_node + 1 : at_node - 1;
            if (gap(nodes_[sibling], qx, qy) < best.worst()) search(sibling, qx, qy, best);
            at_node = up;
        }
        return best.worst();
    }

private:
    static constexpr std::uint32_t leaf_size = 16;

    struct Node {
        double lox = 0, hix = 0, loy = 0, hiy = 0;
        std::uint32_t begin = 0, end = 0;
        std::uint32_t left = 0;  // 0 for a leaf; the right child follows the left one
    };

    struct Lists {
        const double *x, *y;
        std::uint32_t *by_x, *by_y, *spill;
        unsigned char* goes_left;
    };

    void build(Lists& l, std::size_t at_node, std::uint32_t begin, std::uint32_t end) {
        Node node;
        node.begin = begin;
        node.end = end;
        node.lox = l.x[l.by_x[begin]];
        node.hix = l.x[l.by_x[end - 1]];
        node.loy = l.y[l.by_y[begin]];
        node.hiy = l.y[l.by_y[end - 1]];
        if (end - begin > leaf_size) {
            const std::uint32_t mid = begin + (end - begin) / 2;
            const bool on_x = node.hix - node.lox >= node.hiy - node.loy;
            const std::uint32_t* split = on_x ? l.by_x : l.by_y;
            std::uint32_t* other = on_x ? l.by_y : l.by_x;
            for (std::uint32_t i = begin; i < end; ++i) l.goes_left[split[i]] = i < mid ? 1 : 0;
            // Stable partition of the other order: each half keeps it.
            std::uint32_t kept = begin, spilled = 0;
            for (std::uint32_t i = begin; i < end; ++i) {
                const std::uint32_t row = other[i];
                const unsigned char left = l.goes_left[row];
                other[kept] = row;
                l.spill[spilled] = row;
                kept += left;
                spilled += 1 - left;
            }
            std::copy(l.spill, l.spill + spilled, other + kept);
            node.left = static_cast<std::uint32_t>(nodes_.size());
            nodes_.push_back({});
            nodes_.push_back({});
            parent_.push_back(static_cast<std::uint32_t>(at_node));
            parent_.push_back(static_cast<std::uint32_t>(at_node));
            nodes_[at_node] = node;
            build(l, node.left, begin, mid);
            build(l, node.left + 1, mid, end);
        } else {
            nodes_[at_node] = node;
            for (std::uint32_t i = begin; i < end; ++i) leaf_of_[i] = static_cast<std::uint32_t>(at_node);
        }
    }

    // The larger of the rounded gaps on either axis, 0 inside the box: the
    // differences a point on the box's edge would give.
    static double gap(const Node& nd, double qx, double qy) {
        const double dx = std::max(std::max(nd.lox - qx, qx - nd.hix), 0.0);
        const double dy = std::max(std::max(nd.loy - qy, qy - nd.hiy), 0.0);
        return std::max(dx, dy);
    }

    // A node whose bound is not below the current (k+1)-th distance cannot
    // change it.
    template <class Best>
    void search(std::uint32_t at_node, double qx, double qy, Best& best) const {
        const Node& nd = nodes_[at_node];
        if (nd.left == 0) {
            for (std::uint32_t i = nd.begin; i < nd.end; ++i) best.take(chebyshev(qx, qy, pts_[i].x, pts_[i].y));
            return;
        }
        std::uint32_t near = nd.left, far = nd.left + 1;
        double g_near = gap(nodes_[near], qx, qy), g_far = gap(nodes_[far], qx, qy);
        if (g_far < g_near) {
            std::swap(near, far);
            std::swap(g_near, g_far);
        }
        if (g_near < best.worst()) search(near, qx, qy, best);
        if (g_far < best.worst()) search(far, qx, qy, best);
    }

    std::vector<Point> pts_;
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> leaf_of_;  // by tree place
    std::vector<std::uint32_t> parent_;   // by node; the root's is unused
};

// The values of one coordinate in ascending order, with the row of each
// place. #{j : |s_j - v| <= r} for the value v at a place is one run around
// that place (the rounded difference only grows away from v), found by
// galloping outwards and a branch-free search of the last step: the runs are
// short, so this beats searching the whole line. Tied values sit in any order
// among themselves: their runs are the same.
class SortedLine {
public:
    // A least-significant-digit radix sort of the values' bits mapped to
    // unsigned integers of the same order (finite values; -0 sorts just
    // before +0, which no count can tell apart).
    void assign(const double* values, std::size_t n) {
        constexpr int digit_bits = 11, passes = 6;
        constexpr std::size_t buckets = std::size_t{1} << digit_bits;
        order_.resize(n);
        std::vector<Entry> spare(n);
        std::vector<std::uint32_t> counts(passes * buckets, 0);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint64_t u;
            std::memcpy(&u, &values[i], sizeof u);
            u = (u >> 63) != 0 ? ~u : u | (std::uint64_t{1} << 63);
            order_[i] = {u, static_cast<std::uint32_t>(i)};
            for (int p = 0; p < passes; ++p) ++counts[p * buckets + ((u >> (p * digit_bits)) & (buckets - 1))];
        }
        for (int p = 0; p < passes && n > 0; ++p) {
            std::uint32_t* c = &counts[p * buckets];
            const int shift = p * digit_bits;
            // A digit all keys share moves nothing.
            if (c[(order_[0].key >> shift) & (buckets - 1)] == n) continue;
            std::uint32_t total = 0;
            for (std::size_t b = 0; b < buckets; ++b) {
                const std::uint32_t here = c[b];
                c[b] = total;
                total += here;
            }
            for (const Entry& e : order_) spare[c[(e.key >> shift) & (buckets - 1)]++] = e;
            order_.swap(spare);
        }
        sorted_.resize(n);
        rows_.resize(n);
        for (std::size_t j = 0; j < n; ++j) {
            rows_[j] = order_[j].id;
            sorted_[j] = values[rows_[j]];
        }
    }

    std::size_t size() const { return sorted_.size(); }
    std::uint32_t row_at(std::size_t pos) const { return rows_[pos]; }
    const std::uint32_t* rows() const { return rows_.data(); }

    std::size_t count_within_at(std::size_t pos, double r) const {
        const std::size_t n = sorted_.size();
        const double v = sorted_[pos];
        const double* s = sorted_.data();
        // Left: the first place whose difference is within r.
        std::size_t step = 1, known_in = pos;
        while (step <= known_in && v - s[known_in - step] <= r) {
            known_in -= step;
            step *= 2;
        }
        const std::size_t left_lo = step <= known_in ? known_in - step + 1 : 0;
        const double* lo = first_in(s + left_lo, known_in - left_lo, [v, r](double a) { return v - a > r; });
        // Right: one past the last place within r.
        step = 1;
        known_in = pos;
        while (known_in + step < n && s[known_in + step] - v <= r) {
            known_in += step;
            step *= 2;
        }
        const std::size_t right_hi = std::min(n, known_in + step);
        const double* hi = first_in(s + known_in + 1, right_hi - known_in - 1, [v, r](double a) { return a - v <= r; });
        return static_cast<std::size_t>(hi - lo);
    }

private:
    // The first element of [p, p + len) for which `before` is false, all
    // elements for which it is true coming first; no branch on the data.
    template <class Before>
    static const double* first_in(const double* p, std::size_t len, Before before) {
        if (len == 0) return p;
        while (len > 1) {
            const std::size_t half = len / 2;
            p = before(p[half - 1]) ? p + half : p;
            len -= half;
        }
        return p + (before(*p) ? 1 : 0);
    }

    struct Entry {
        std::uint64_t key;
        std::uint32_t id;
    };
    std::vector<Entry> order_;
    std::vector<double> sorted_;
    std::vector<std::uint32_t> rows_;
};

// Queries between two looks at the stop flag (a fraction of a millisecond).
constexpr std::size_t stop_check_every = 1024;

}  // namespace

bool mutual_info_supported(const MiProblem& p) {
    if (p.n > 8192 || p.neighbors < 1 || p.neighbors >= p.n) return false;
    if (p.n > std::numeric_limits<std::uint32_t>::max() / 2) return false;
    for (std::size_t i = 0; i < p.n; ++i) {
        if (!std::isfinite(at(p.y, static_cast<std::ptrdiff_t>(i) * p.y_stride))) return false;
        for (std::size_t f = 0; f < p.features; ++f) {
            const std::ptrdiff_t off =
                static_cast<std::ptrdiff_t>(i) * p.row_stride + static_cast<std::ptrdiff_t>(f) * p.col_stride;
            if (!std::isfinite(at(p.x, off))) return false;
        }
    }
    return true;
}

namespace {

// The radius of every row, moved one ulp towards zero as the library does,
// queried in tree order so that neighbouring queries share the nodes they
// visit. False when stopped.
template <class Best>
bool radii(const PlaneTree& tree, std::size_t slots, double* r, const Stop& stop) {
    for (std::size_t t = 0; t < tree.size(); ++t) {
        if (t % stop_check_every == 0 && stop.requested()) return false;
        r[tree.row(t)] = std::nextafter(tree.kth_distance(t, Best(slots)), 0.0);
    }
    return true;
}

// psi(n_i + 1) at each row, n_i the other rows within the row's radius on
// this line (the count includes the row itself). Walked in the line's order,
// so the searches read neighbouring memory.
void line_terms(const SortedLine& line, const double* r, const double* digamma, double* psi) {
    for (std::size_t pos = 0; pos < line.size(); ++pos) {
        const std::uint32_t row = line.row_at(pos);
        psi[row] = digamma[line.count_within_at(pos, r[row]) - 1];
    }
}

}  // namespace

bool mutual_info_cc(const MiProblem& p, double* out, const std::function<bool()>& poll) {
    const std::size_t n = p.n, k = p.neighbors;
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = at(p.y, static_cast<std::ptrdiff_t>(i) * p.y_stride);
    SortedLine y_line;
    y_line.assign(y.data(), n);
    const double base = p.digamma[n - 1] + p.digamma[k - 1];

    auto feature = [&](std::size_t f, const Stop& stop) {
        std::vector<double> x(n), r(n), psi_x(n), psi_y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] =
                at(p.x, static_cast<std::ptrdiff_t>(i) * p.row_stride + static_cast<std::ptrdiff_t>(f) * p.col_stride);
        }
        SortedLine x_line;
        x_line.assign(x.data(), n);
        const PlaneTree tree(x.data(), y.data(), x_line.rows(), y_line.rows(), n);
        const bool done =
            k == 3 ? radii<FixedBest<4>>(tree, k + 1, r.data(), stop) : radii<DynamicBest>(tree, k + 1, r.data(), stop);
        if (!done) return;
        // Each point's terms land at its row, so the sums below add them in
        // the library's (row) order.
        line_terms(x_line, r.data(), p.digamma, psi_x.data());
        line_terms(y_line, r.data(), p.digamma, psi_y.data());
        // n <= 8192: NumPy sums the whole array at once in every release.
        const double mean_x = numpy_sum(psi_x.data(), n, 1, 0) / static_cast<double>(n);
        const double mean_y = numpy_sum(psi_y.data(), n, 1, 0) / static_cast<double>(n);
        out[f] = (base - mean_x) - mean_y;
    };
    return parallel_for(p.features, feature, poll);
}

}  // namespace tamsel::kernels
