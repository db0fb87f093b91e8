// The per-feature work is three searches: the k nearest neighbours of every
// point in the plane (a 2-d tree of our own; its pruning only skips points
// whose distance is provably not smaller, so the k-th distance is exact) and,
// once every radius is known, two counts within a radius on a line, walked
// along a sorted copy (the target's copy is shared by all features).
//
// With the analysis' k = 3 the points of one leaf are searched together, one
// per lane: a leaf's points lie close together, so they mostly need the same
// nodes, and a node is searched for all of them once any of them needs it.
// A lane fed points it did not need keeps the same k+1 smallest distances.
#include "mutual_info.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "kernels.hpp"
#include "lanes.hpp"
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

// The k+1 smallest distances seen so far, ascending, for any k.
struct Nearest {
    std::vector<double> d;
    explicit Nearest(std::size_t slots) : d(slots, std::numeric_limits<double>::infinity()) {}
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

// A 2-d tree over the points, split at the median of the wider side. The
// bound for a node is the rounded gap between the query and the node's box;
// rounding is monotone, so no point inside the box is nearer than it.
class PlaneTree {
public:
    // by_x, by_y: the rows in ascending order of x and of y. A node's rows
    // stay in both orders as it is split, so its box is read off the ends of
    // its two runs and its median is the middle of one.
    PlaneTree(const double* x, const double* y, const std::uint32_t* by_x, const std::uint32_t* by_y, std::size_t n)
        : px_(n), py_(n), id_(n), leaf_of_(n) {
        std::vector<std::uint32_t> rows_x(by_x, by_x + n), rows_y(by_y, by_y + n), spill(n);
        std::vector<unsigned char> goes_left(n);
        Lists lists{x, y, rows_x.data(), rows_y.data(), spill.data(), goes_left.data()};
        nodes_.reserve(2 * (n / leaf_size + 1) + 1);
        nodes_.push_back({});
        parent_.reserve(nodes_.capacity());
        parent_.push_back(0);
        build(lists, 0, 0, static_cast<std::uint32_t>(n));
        for (std::size_t i = 0; i < n; ++i) {
            px_[i] = x[rows_x[i]];
            py_[i] = y[rows_x[i]];
            id_[i] = rows_x[i];
        }
    }

    std::size_t size() const { return id_.size(); }
    std::uint32_t row(std::size_t t) const { return id_[t]; }
    std::size_t leaves() const { return leaves_.size(); }

    // The 4th smallest distance (k = 3, the point itself included) for every
    // point of leaves [first, last), written as radii[row] moved one ulp
    // towards zero, as the library does; in vectors of `width` doubles.
    void leaf_radii(std::size_t width, std::size_t first, std::size_t last, double* radii) const;

    // The (k+1)-th smallest distance from the point at tree place t to the
    // tree's points, itself among them: the k-th smallest to the others,
    // whichever duplicate the library drops as "itself".
    double kth_distance(std::size_t t, Nearest best) const {
        const double qx = px_[t], qy = py_[t];
        // The query's own leaf first, then the sibling of each node on the
        // way up: the nearest regions come first, so the bound is tight
        // before the larger subtrees are reached, and the way down to the
        // query's leaf is never walked.
        std::uint32_t at_node = leaf_of_[t];
        const Node& own = nodes_[at_node];
        for (std::uint32_t i = own.begin; i < own.end; ++i) best.take(chebyshev(qx, qy, px_[i], py_[i]));
        while (at_node != 0) {
            const std::uint32_t up = parent_[at_node];
            const std::uint32_t sibling = at_node == nodes_[up].left ? at_node + 1 : at_node - 1;
            if (gap(nodes_[sibling], qx, qy) < best.worst()) search(sibling, qx, qy, best);
            at_node = up;
        }
        return best.worst();
    }

    // A leaf's points fill at most the lanes of one v8.
    static constexpr std::uint32_t leaf_size = kLanes;

private:
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
            leaves_.push_back(static_cast<std::uint32_t>(at_node));
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
    void search(std::uint32_t at_node, double qx, double qy, Nearest& best) const {
        const Node& nd = nodes_[at_node];
        if (nd.left == 0) {
            for (std::uint32_t i = nd.begin; i < nd.end; ++i) best.take(chebyshev(qx, qy, px_[i], py_[i]));
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

    template <std::size_t W>
    friend struct Lanes;

    std::vector<double> px_, py_;    // by tree place
    std::vector<std::uint32_t> id_;  // the row at each tree place
    std::vector<Node> nodes_;
    std::vector<std::uint32_t> leaf_of_;  // by tree place
    std::vector<std::uint32_t> parent_;   // by node; the root's is unused
    std::vector<std::uint32_t> leaves_;   // the leaves in tree order
};

// The eight lanes of a leaf's queries in vectors of W doubles: one vector
// with AVX-512, two with AVX2, four otherwise. Each machine gets vectors it
// holds in registers: GCC splits a generic vector wider than the machine's
// into scalars where it is compared. Held in registers only, so naturally
// aligned.
template <std::size_t W>
struct VectorOf;
template <>
struct VectorOf<2> {
    typedef double V __attribute__((vector_size(16)));
    typedef long long M __attribute__((vector_size(16)));
};
template <>
struct VectorOf<4> {
    typedef double V __attribute__((vector_size(32)));
    typedef long long M __attribute__((vector_size(32)));
};
template <>
struct VectorOf<8> {
    typedef double V __attribute__((vector_size(64)));
    typedef long long M __attribute__((vector_size(64)));
};

template <std::size_t W>
struct Lanes {
    using V = typename VectorOf<W>::V;
    using M = typename VectorOf<W>::M;
    static constexpr std::size_t halves = kLanes / W;

    static inline __attribute__((always_inline)) void keep_smaller(V& a, const V& b) { a = b < a ? b : a; }
    // The larger, or the first when they are equal, as std::max.
    static inline __attribute__((always_inline)) void keep_larger(V& a, const V& b) { a = a < b ? b : a; }
    static inline __attribute__((always_inline)) void order_pair(V& lo, V& hi) {
        const V l = hi < lo ? hi : lo, h = hi < lo ? lo : hi;
        lo = l;
        hi = h;
    }
    static inline __attribute__((always_inline)) bool any(M m) {
        if constexpr (W == 8) {
            m |= __builtin_shuffle(m, M{4, 5, 6, 7, 0, 1, 2, 3});
            m |= __builtin_shuffle(m, M{2, 3, 0, 1, 6, 7, 4, 5});
            m |= __builtin_shuffle(m, M{1, 0, 3, 2, 5, 4, 7, 6});
        } else if constexpr (W == 4) {
            m |= __builtin_shuffle(m, M{2, 3, 0, 1});
            m |= __builtin_shuffle(m, M{1, 0, 3, 2});
        } else {
            m |= __builtin_shuffle(m, M{1, 0});
        }
        return m[0] != 0;
    }

    // One leaf's queries in the lanes, each with the four smallest distances
    // it was given, ascending. The distances are the scalar ones: the
    // differences rounded, their signs cleared, the larger taken.
    static inline __attribute__((always_inline)) void radii(const PlaneTree& tree, std::size_t first, std::size_t last,
                                                            double* radii);
};

template <std::size_t W>
void Lanes<W>::radii(const PlaneTree& tree, std::size_t first, std::size_t last, double* out) {
    using Node = PlaneTree::Node;
    const Node* nodes = tree.nodes_.data();
    const double* px = tree.px_.data();
    const double* py = tree.py_.data();
    const M magnitude = M{} + 0x7fffffffffffffffLL;
    const V zero{};
    // Every node on the stack is a child of one taken from it, or a sibling
    // on the way up: no more than two per level of a tree of at most 2^32
    // points.
    std::uint32_t stack[2 * 32 + 2];
    for (std::size_t li = first; li < last; ++li) {
        const std::uint32_t leaf = tree.leaves_[li];
        const Node& own = nodes[leaf];
        const std::uint32_t queries = own.end - own.begin;
        // Lanes past the leaf's points repeat its first one.
        double lane_x[kLanes], lane_y[kLanes];
        for (std::uint32_t l = 0; l < kLanes; ++l) {
            const std::uint32_t at = own.begin + (l < queries ? l : 0);
            lane_x[l] = px[at];
            lane_y[l] = py[at];
        }
        V qx[halves], qy[halves];
        std::memcpy(qx, lane_x, sizeof qx);
        std::memcpy(qy, lane_y, sizeof qy);
        V d[halves][4];
        for (auto& half : d) {
            for (V& slot : half) slot = V{} + std::numeric_limits<double>::infinity();
        }
        // A minimum and one compare-exchange per slot, with no test: which
        // lanes take a point varies from point to point. A distance not below
        // a lane's fourth leaves that lane as it is.
        auto take_node = [&](const Node& nd) __attribute__((always_inline)) {
            for (std::uint32_t i = nd.begin; i < nd.end; ++i) {
                for (std::size_t h = 0; h < halves; ++h) {
                    V v = (V)((M)(qx[h] - px[i]) & magnitude);
                    keep_larger(v, (V)((M)(qy[h] - py[i]) & magnitude));
                    keep_smaller(d[h][3], v);
                    order_pair(d[h][2], d[h][3]);
                    order_pair(d[h][1], d[h][2]);
                    order_pair(d[h][0], d[h][1]);
                }
            }
        };
        // Whether the node's box may hold a point nearer than some lane's
        // fourth: the rounded gaps, as the scalar search takes them.
        auto wanted = [&](const Node& nd) __attribute__((always_inline)) {
            M near{};
            for (std::size_t h = 0; h < halves; ++h) {
                V gx = nd.lox - qx[h], gy = nd.loy - qy[h];
                keep_larger(gx, qx[h] - nd.hix);
                keep_larger(gx, zero);
                keep_larger(gy, qy[h] - nd.hiy);
                keep_larger(gy, zero);
                keep_larger(gx, gy);
                near |= gx < d[h][3];
            }
            return any(near);
        };
        take_node(own);
        for (std::uint32_t at_node = leaf; at_node != 0;) {
            const std::uint32_t up = tree.parent_[at_node];
            std::size_t top = 0;
            stack[top++] = at_node == nodes[up].left ? at_node + 1 : at_node - 1;
            while (top != 0) {
                const Node& nd = nodes[stack[--top]];
                if (!wanted(nd)) continue;
                if (nd.left == 0) {
                    take_node(nd);
                    continue;
                }
                // The child nearer the leaf's first point is taken first.
                const double cx = qx[0][0], cy = qy[0][0];
                const bool left_first =
                    PlaneTree::gap(nodes[nd.left], cx, cy) <= PlaneTree::gap(nodes[nd.left + 1], cx, cy);
                stack[top++] = left_first ? nd.left + 1 : nd.left;
                stack[top++] = left_first ? nd.left : nd.left + 1;
            }
            at_node = up;
        }
        for (std::uint32_t l = 0; l < queries; ++l) {
            out[tree.id_[own.begin + l]] = std::nextafter(d[l / W][3][l % W], 0.0);
        }
    }
}

__attribute__((target("avx512f"))) void leaf_radii_avx512(const PlaneTree& tree, std::size_t first, std::size_t last,
                                                          double* radii) {
    Lanes<8>::radii(tree, first, last, radii);
}
__attribute__((target("avx2"))) void leaf_radii_avx2(const PlaneTree& tree, std::size_t first, std::size_t last,
                                                     double* radii) {
    Lanes<4>::radii(tree, first, last, radii);
}
void leaf_radii_sse2(const PlaneTree& tree, std::size_t first, std::size_t last, double* radii) {
    Lanes<2>::radii(tree, first, last, radii);
}

void PlaneTree::leaf_radii(std::size_t width, std::size_t first, std::size_t last, double* radii) const {
    const auto lanes = width == 8 ? leaf_radii_avx512 : width == 4 ? leaf_radii_avx2 : leaf_radii_sse2;
    lanes(*this, first, last, radii);
}

// The values of one coordinate in ascending order, with the row of each
// place. #{j : |s_j - v| <= r} for the value v at a place is one run around
// that place (the rounded difference only grows away from v). Runs mostly
// hold tens to hundreds of places, so a group of places is searched
// together, each within `window` places either way by fixed halving steps
// free of branches, the group's loads overlapping; a run that fills its
// window is found by galloping outwards and a branch-free search of the last
// step. Tied values sit in any order among themselves: their runs are the
// same.
class SortedLine {
public:
    static constexpr std::size_t window = 512;
    static constexpr std::size_t group = 8;

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
        // A window of places past either end holds -inf and +inf, which no
        // finite value and radius count.
        padded_.assign(window + n + window, std::numeric_limits<double>::infinity());
        std::fill(padded_.begin(), padded_.begin() + window, -std::numeric_limits<double>::infinity());
        n_ = n;
        rows_.resize(n);
        for (std::size_t j = 0; j < n; ++j) {
            rows_[j] = order_[j].id;
            padded_[window + j] = values[rows_[j]];
        }
    }

    std::size_t size() const { return n_; }
    std::uint32_t row_at(std::size_t pos) const { return rows_[pos]; }
    const std::uint32_t* rows() const { return rows_.data(); }

    // The counts at places [pos, pos + group).
    void group_counts(std::size_t pos, const double* r, std::size_t* counts) const {
        const double* s = padded_.data() + window;
        double v[group];
        std::size_t right[group], left[group];
        for (std::size_t g = 0; g < group; ++g) {
            v[g] = s[pos + g];
            right[g] = left[g] = 0;
        }
        // right[g]: the places pos + g + 1 .. + window - 1 within r, a
        // prefix of them; left[g] likewise below.
        for (std::size_t half = window / 2; half >= 1; half /= 2) {
            for (std::size_t g = 0; g < group; ++g) {
                const std::size_t at = pos + g;
                right[g] += s[at + right[g] + half] - v[g] <= r[g] ? half : 0;
                left[g] += v[g] - s[at - left[g] - half] <= r[g] ? half : 0;
            }
        }
        for (std::size_t g = 0; g < group; ++g) {
            const bool filled = right[g] == window - 1 || left[g] == window - 1;
            counts[g] = filled ? count_within_at(pos + g, r[g]) : right[g] + left[g] + 1;
        }
    }

    std::size_t count_within_at(std::size_t pos, double r) const {
        const std::size_t n = n_;
        const double* s = padded_.data() + window;
        const double v = s[pos];
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
    std::vector<double> padded_;  // the sorted values, `window` sentinels either side
    std::size_t n_ = 0;
    std::vector<std::uint32_t> rows_;
};

// Queries between two looks at the stop flag (a fraction of a millisecond).
constexpr std::size_t stop_check_every = 1024;

}  // namespace

std::size_t widest_lane_width() {
    static const std::size_t width = __builtin_cpu_supports("avx512f") ? 8 : __builtin_cpu_supports("avx2") ? 4 : 2;
    return width;
}

bool mutual_info_supported(const MiProblem& p) {
    if (p.n > 8192 || p.neighbors < 1 || p.neighbors >= p.n) return false;
    const std::size_t w = p.lane_width;
    if (w != 0 && ((w != 2 && w != 4 && w != 8) || w > widest_lane_width())) return false;
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
bool radii(const PlaneTree& tree, std::size_t k, std::size_t width, double* r, const Stop& stop) {
    if (k == 3) {
        constexpr std::size_t leaves_per_check = stop_check_every / PlaneTree::leaf_size;
        for (std::size_t first = 0; first < tree.leaves(); first += leaves_per_check) {
            if (stop.requested()) return false;
            tree.leaf_radii(width, first, std::min(tree.leaves(), first + leaves_per_check), r);
        }
        return true;
    }
    for (std::size_t t = 0; t < tree.size(); ++t) {
        if (t % stop_check_every == 0 && stop.requested()) return false;
        r[tree.row(t)] = std::nextafter(tree.kth_distance(t, Nearest(k + 1)), 0.0);
    }
    return true;
}

// psi(n_i + 1) at each row, n_i the other rows within the row's radius on
// this line (the count includes the row itself). Walked in the line's order,
// so the searches read neighbouring memory.
void line_terms(const SortedLine& line, const double* r, const double* digamma, double* psi) {
    constexpr std::size_t group = SortedLine::group;
    const std::size_t n = line.size();
    std::size_t pos = 0;
    for (; pos + group <= n; pos += group) {
        double radius[group];
        std::size_t counts[group];
        for (std::size_t g = 0; g < group; ++g) radius[g] = r[line.row_at(pos + g)];
        line.group_counts(pos, radius, counts);
        for (std::size_t g = 0; g < group; ++g) psi[line.row_at(pos + g)] = digamma[counts[g] - 1];
    }
    for (; pos < n; ++pos) {
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
    const std::size_t width = p.lane_width != 0 ? p.lane_width : widest_lane_width();

    auto feature = [&](std::size_t f, const Stop& stop) {
        std::vector<double> x(n), r(n), psi_x(n), psi_y(n);
        for (std::size_t i = 0; i < n; ++i) {
            x[i] =
                at(p.x, static_cast<std::ptrdiff_t>(i) * p.row_stride + static_cast<std::ptrdiff_t>(f) * p.col_stride);
        }
        SortedLine x_line;
        x_line.assign(x.data(), n);
        const PlaneTree tree(x.data(), y.data(), x_line.rows(), y_line.rows(), n);
        if (!radii(tree, k, width, r.data(), stop)) return;
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
