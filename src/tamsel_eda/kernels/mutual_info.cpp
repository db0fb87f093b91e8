// The per-feature work is three searches: the k nearest neighbours of every
// point in the plane (a 2-d tree of our own; its pruning only skips points
// whose distance is provably not smaller, so the k-th distance is exact) and
// two counts within a radius on a line (searches outwards from the point's
// place in a sorted copy; the target's copy is shared by all features).
#include "mutual_info.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "kernels.hpp"
#include "pairwise.hpp"

namespace tamsel::kernels {
namespace {

const double& at(const double* base, std::ptrdiff_t offset_bytes) {
    return *reinterpret_cast<const double*>(reinterpret_cast<const char*>(base) + offset_bytes);
}

struct Point {
    double x, y;
    std::uint32_t id;
};

// Chebyshev distance as the library's metric computes it: the larger of the
// two rounded absolute differences.
inline double chebyshev(double ax, double ay, double bx, double by) {
    return std::max(std::fabs(ax - bx), std::fabs(ay - by));
}

// A 2-d tree over the points, split at the median of the wider side. The
// bound for a node is the rounded gap between the query and the node's box;
// rounding is monotone, so no point inside the box is nearer than it.
class PlaneTree {
public:
    explicit PlaneTree(std::vector<Point>& pts) : pts_(pts) {
        nodes_.reserve(2 * (pts.size() / leaf_size + 1) + 1);
        nodes_.push_back({});
        build(0, 0, static_cast<std::uint32_t>(pts.size()));
    }

    // The (k+1)-th smallest distance from q to the tree's points, q itself
    // among them: the k-th smallest to the others, whichever duplicate the
    // library drops as "itself".
    double kth_distance(const Point& q, std::size_t k, double* best) const {
        std::fill(best, best + k + 1, std::numeric_limits<double>::infinity());
        search(0, q, k, best);
        return best[k];
    }

private:
    static constexpr std::uint32_t leaf_size = 12;

    struct Node {
        double lox = 0, hix = 0, loy = 0, hiy = 0;
        std::uint32_t begin = 0, end = 0;
        std::uint32_t left = 0;  // 0 for a leaf; the right child follows the left one
    };

    void build(std::size_t at_node, std::uint32_t begin, std::uint32_t end) {
        Node node;
        node.begin = begin;
        node.end = end;
        node.lox = node.hix = pts_[begin].x;
        node.loy = node.hiy = pts_[begin].y;
        for (std::uint32_t i = begin + 1; i < end; ++i) {
            node.lox = std::min(node.lox, pts_[i].x);
            node.hix = std::max(node.hix, pts_[i].x);
            node.loy = std::min(node.loy, pts_[i].y);
            node.hiy = std::max(node.hiy, pts_[i].y);
        }
        if (end - begin > leaf_size) {
            const std::uint32_t mid = begin + (end - begin) / 2;
            auto first = pts_.begin() + begin, nth = pts_.begin() + mid, last = pts_.begin() + end;
            if (node.hix - node.lox >= node.hiy - node.loy) {
                std::nth_element(first, nth, last, [](const Point& a, const Point& b) { return a.x < b.x; });
            } else {
                std::nth_element(first, nth, last, [](const Point& a, const Point& b) { return a.y < b.y; });
            }
            node.left = static_cast<std::uint32_t>(nodes_.size());
            nodes_.push_back({});
            nodes_.push_back({});
            nodes_[at_node] = node;
            build(node.left, begin, mid);
            build(node.left + 1, mid, end);
        } else {
            nodes_[at_node] = node;
        }
    }

    static double gap(const Node& nd, const Point& q) {
        double dx = 0.0, dy = 0.0;
        if (q.x < nd.lox) {
            dx = nd.lox - q.x;
        } else if (q.x > nd.hix) {
            dx = q.x - nd.hix;
        }
        if (q.y < nd.loy) {
            dy = nd.loy - q.y;
        } else if (q.y > nd.hiy) {
            dy = q.y - nd.hiy;
        }
        return std::max(dx, dy);
    }

    // best[0..k] ascending; a node whose bound is not below best[k] cannot
    // change the (k+1)-th smallest value.
    void search(std::uint32_t at_node, const Point& q, std::size_t k, double* best) const {
        const Node& nd = nodes_[at_node];
        if (nd.left == 0) {
            for (std::uint32_t i = nd.begin; i < nd.end; ++i) {
                const double d = chebyshev(q.x, q.y, pts_[i].x, pts_[i].y);
                if (d < best[k]) {
                    std::size_t j = k;
                    while (j > 0 && best[j - 1] > d) {
                        best[j] = best[j - 1];
                        --j;
                    }
                    best[j] = d;
                }
            }
            return;
        }
        std::uint32_t near = nd.left, far = nd.left + 1;
        double g_near = gap(nodes_[near], q), g_far = gap(nodes_[far], q);
        if (g_far < g_near) {
            std::swap(near, far);
            std::swap(g_near, g_far);
        }
        if (g_near < best[k]) search(near, q, k, best);
        if (g_far < best[k]) search(far, q, k, best);
    }

    std::vector<Point>& pts_;
    std::vector<Node> nodes_;
};

// The values of one coordinate in ascending order, with each row's place
// among them. #{j : |s_j - v| <= r} for a row's own value v is one run around
// its place (the rounded difference only grows away from v), found by
// galloping outwards: the runs are short, so this beats searching the whole
// line.
class SortedLine {
public:
    void assign(const double* values, std::size_t n) {
        order_.resize(n);
        for (std::size_t i = 0; i < n; ++i) order_[i] = {values[i], static_cast<std::uint32_t>(i)};
        std::sort(order_.begin(), order_.end(), [](const Entry& a, const Entry& b) { return a.v < b.v; });
        sorted_.resize(n);
        place_.resize(n);
        for (std::size_t j = 0; j < n; ++j) {
            sorted_[j] = order_[j].v;
            place_[order_[j].id] = static_cast<std::uint32_t>(j);
        }
    }

    std::size_t count_within(std::size_t row, double r) const {
        const std::size_t pos = place_[row], n = sorted_.size();
        const double v = sorted_[pos];
        const double* s = sorted_.data();
        // Left: the first place whose difference is within r.
        std::size_t step = 1, known_in = pos;
        while (step <= known_in && v - s[known_in - step] <= r) {
            known_in -= step;
            step *= 2;
        }
        const std::size_t left_lo = step <= known_in ? known_in - step : 0;
        const double* lo = std::partition_point(s + left_lo, s + known_in, [&](double a) { return v - a > r; });
        // Right: one past the last place within r.
        step = 1;
        known_in = pos;
        while (known_in + step < n && s[known_in + step] - v <= r) {
            known_in += step;
            step *= 2;
        }
        const std::size_t right_hi = std::min(n, known_in + step);
        const double* hi = std::partition_point(s + known_in + 1, s + right_hi, [&](double a) { return a - v <= r; });
        return static_cast<std::size_t>(hi - lo);
    }

private:
    struct Entry {
        double v;
        std::uint32_t id;
    };
    std::vector<Entry> order_;
    std::vector<double> sorted_;
    std::vector<std::uint32_t> place_;
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

bool mutual_info_cc(const MiProblem& p, double* out, const std::function<bool()>& poll) {
    const std::size_t n = p.n, k = p.neighbors;
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = at(p.y, static_cast<std::ptrdiff_t>(i) * p.y_stride);
    SortedLine y_line;
    y_line.assign(y.data(), n);
    const double base = p.digamma[n - 1] + p.digamma[k - 1];

    auto feature = [&](std::size_t f, const Stop& stop) {
        std::vector<Point> pts(n);
        std::vector<double> x(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::ptrdiff_t off =
                static_cast<std::ptrdiff_t>(i) * p.row_stride + static_cast<std::ptrdiff_t>(f) * p.col_stride;
            x[i] = at(p.x, off);
            pts[i] = {x[i], y[i], static_cast<std::uint32_t>(i)};
        }
        SortedLine x_line;
        x_line.assign(x.data(), n);
        PlaneTree tree(pts);

        // Each point's terms land at its row, so the sums below add them in
        // the library's (row) order.
        std::vector<double> psi_x(n), psi_y(n), best(k + 1);
        for (std::size_t t = 0; t < n; ++t) {
            if (t % stop_check_every == 0 && stop.requested()) return;
            // Tree order: neighbouring queries share the same nodes.
            const Point& q = pts[t];
            const double r = std::nextafter(tree.kth_distance(q, k, best.data()), 0.0);
            psi_x[q.id] = p.digamma[x_line.count_within(q.id, r) - 1];
            psi_y[q.id] = p.digamma[y_line.count_within(q.id, r) - 1];
        }
        // n <= 8192: NumPy sums the whole array at once in every release.
        const double mean_x = numpy_sum(psi_x.data(), n, 1, 0) / static_cast<double>(n);
        const double mean_y = numpy_sum(psi_y.data(), n, 1, 0) / static_cast<double>(n);
        out[f] = (base - mean_x) - mean_y;
    };
    return parallel_for(p.features, feature, poll);
}

}  // namespace tamsel::kernels
