// A pairwise-tree partial (kernels/pairwise_tree.hpp) as Python holds it
// between the workers: (bounds, sums, edges), bounds an int64 array of
// [lo, hi) rows of whole tree nodes, sums their pairwise sums, edges a list
// of (start, values) runs of the leaves cut by the partition's borders.
#pragma once

#include <vector>

#include "../tamsel_eda/kernels/pairwise_tree.hpp"
#include "arrays.hpp"

namespace tamsel::kernel_module {

inline py::object partial_to_python(const kernels::TreePartial& t) {
    std::vector<std::int64_t> bounds;
    for (std::size_t j = 0; j < t.node_sum.size(); ++j) {
        bounds.push_back(static_cast<std::int64_t>(t.node_lo[j]));
        bounds.push_back(static_cast<std::int64_t>(t.node_hi[j]));
    }
    py::list edges;
    for (std::size_t j = 0; j < t.edge_at.size(); ++j) {
        edges.append(py::make_tuple(t.edge_at[j], make_array(t.edge_values[j], "float64")));
    }
    return py::make_tuple(make_array(bounds, "int64").attr("reshape")(-1, 2), make_array(t.node_sum, "float64"), edges);
}

inline kernels::TreePartial partial_from(py::handle obj) {
    if (!PyTuple_Check(obj.ptr()) || PyTuple_GET_SIZE(obj.ptr()) != 3)
        throw py::type_error("a partial is (bounds, sums, edges)");
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    kernels::TreePartial out;
    const std::vector<std::int64_t> bounds =
        read_array<std::int64_t>(py::module_::import("numpy").attr("ravel")(t[0]), "int64");
    out.node_sum = read_array<double>(t[1], "float64");
    if (bounds.size() != 2 * out.node_sum.size()) throw py::value_error("one [lo, hi) row per node sum");
    for (std::size_t j = 0; j < bounds.size(); j += 2) {
        if (bounds[j] < 0 || bounds[j + 1] <= bounds[j]) throw py::value_error("a node row out of range");
        out.node_lo.push_back(static_cast<std::uint64_t>(bounds[j]));
        out.node_hi.push_back(static_cast<std::uint64_t>(bounds[j + 1]));
    }
    for (py::handle edge : py::reinterpret_borrow<py::sequence>(t[2])) {
        if (!PyTuple_Check(edge.ptr()) || PyTuple_GET_SIZE(edge.ptr()) != 2)
            throw py::type_error("an edge is (start, values)");
        py::tuple e = py::reinterpret_borrow<py::tuple>(edge);
        out.edge_at.push_back(size_arg(e[0]));
        out.edge_values.push_back(read_array<double>(e[1], "float64"));
    }
    return out;
}

}  // namespace tamsel::kernel_module
