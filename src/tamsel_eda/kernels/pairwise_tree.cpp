#include "pairwise_tree.hpp"

#include <algorithm>
#include <map>
#include <stdexcept>
#include <utility>

namespace tamsel::kernels {
namespace {

struct Pieces {
    std::map<std::pair<std::uint64_t, std::uint64_t>, double> nodes;
    // Edge runs by their global start.
    std::map<std::uint64_t, const std::vector<double>*> edges;
};

double node_sum(const Pieces& p, std::uint64_t lo, std::uint64_t hi) {
    if (const auto it = p.nodes.find({lo, hi}); it != p.nodes.end()) return it->second;
    if (hi - lo <= pairwise_detail::leaf_size) {
        // A leaf cut by partition borders: its runs, in order, must tile it.
        std::vector<double> values;
        values.reserve(static_cast<std::size_t>(hi - lo));
        for (auto it = p.edges.lower_bound(lo); it != p.edges.end() && it->first < hi; ++it) {
            if (it->first != lo + values.size()) break;
            values.insert(values.end(), it->second->begin(), it->second->end());
        }
        if (values.size() != hi - lo) throw std::invalid_argument("the partials do not cover the array once");
        return pairwise_run([&values](std::size_t i) { return values[i]; }, 0, values.size());
    }
    const std::uint64_t mid = lo + pairwise_detail::split(hi - lo);
    return node_sum(p, lo, mid) + node_sum(p, mid, hi);
}

}  // namespace

double pairwise_combine(const TreePartial* parts, std::size_t k, std::uint64_t total, std::uint64_t block) {
    Pieces p;
    std::uint64_t covered = 0;
    for (std::size_t i = 0; i < k; ++i) {
        const TreePartial& t = parts[i];
        for (std::size_t j = 0; j < t.node_sum.size(); ++j) {
            if (!p.nodes.emplace(std::pair{t.node_lo[j], t.node_hi[j]}, t.node_sum[j]).second)
                throw std::invalid_argument("a tree node given twice");
            covered += t.node_hi[j] - t.node_lo[j];
        }
        for (std::size_t j = 0; j < t.edge_at.size(); ++j) {
            if (t.edge_values[j].empty()) continue;
            if (!p.edges.emplace(t.edge_at[j], &t.edge_values[j]).second)
                throw std::invalid_argument("an edge run given twice");
            covered += t.edge_values[j].size();
        }
    }
    if (covered != total) throw std::invalid_argument("the partials do not cover the array once");
    const std::uint64_t piece = block == 0 || total <= block ? total : block;
    // The pieces' sums added in order to NumPy's initial +0.0.
    double res = 0.0;
    for (std::uint64_t start = 0; start < total; start += piece) {
        res += node_sum(p, start, std::min(total, start + piece));
    }
    return res;
}

std::vector<std::int64_t> node_rows(const TreePartial& t) {
    std::vector<std::int64_t> rows;
    for (std::size_t j = 0; j < t.node_sum.size(); ++j) {
        rows.push_back(static_cast<std::int64_t>(t.node_lo[j]));
        rows.push_back(static_cast<std::int64_t>(t.node_hi[j]));
    }
    return rows;
}

TreePartial tree_partial_of(const std::vector<std::int64_t>& rows, std::vector<double> sums,
                            std::vector<EdgeRun> edges) {
    TreePartial out;
    out.node_sum = std::move(sums);
    if (rows.size() != 2 * out.node_sum.size()) throw std::invalid_argument("one [lo, hi) row per node sum");
    for (std::size_t j = 0; j < rows.size(); j += 2) {
        if (rows[j] < 0 || rows[j + 1] <= rows[j]) throw std::invalid_argument("a node row out of range");
        out.node_lo.push_back(static_cast<std::uint64_t>(rows[j]));
        out.node_hi.push_back(static_cast<std::uint64_t>(rows[j + 1]));
    }
    for (EdgeRun& e : edges) {
        out.edge_at.push_back(e.first);
        out.edge_values.push_back(std::move(e.second));
    }
    return out;
}

}  // namespace tamsel::kernels
