// A pairwise-tree partial (kernels/pairwise_tree.hpp) as Python holds it
// between the workers: (bounds, sums, edges), bounds an int64 array of
// [lo, hi) rows of whole tree nodes, sums their pairwise sums, edges a list
// of (start, values) runs of the leaves cut by the partition's borders.
#pragma once

#include <ranges>
#include <vector>

#include "../tamsel_eda/kernels/pairwise_tree.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"

namespace tamsel::kernel_module {

inline py::object partial_to_python(const kernels::TreePartial& t) {
    py::list edges = pyapi::list_each(std::views::iota(std::size_t{0}, t.edge_at.size()), [&](std::size_t j) {
        return py::make_tuple(t.edge_at[j], make_array(t.edge_values[j], "float64"));
    });
    return py::make_tuple(make_array(kernels::node_rows(t), "int64").attr("reshape")(-1, 2),
                          make_array(t.node_sum, "float64"), edges);
}

inline kernels::TreePartial partial_from(py::handle obj) {
    if (!PyTuple_Check(obj.ptr()) || PyTuple_GET_SIZE(obj.ptr()) != 3)
        throw py::type_error("a partial is (bounds, sums, edges)");
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    const std::vector<std::int64_t> rows =
        read_array<std::int64_t>(py::module_::import("numpy").attr("ravel")(t[0]), "int64");
    std::vector<double> sums = read_array<double>(t[1], "float64");
    std::vector<kernels::EdgeRun> edges = pyapi::read_each(t[2], [](py::handle edge) {
        if (!PyTuple_Check(edge.ptr()) || PyTuple_GET_SIZE(edge.ptr()) != 2)
            throw py::type_error("an edge is (start, values)");
        py::tuple e = py::reinterpret_borrow<py::tuple>(edge);
        return kernels::EdgeRun(size_arg(e[0]), read_array<double>(e[1], "float64"));
    });
    return argument_errors([&] { return kernels::tree_partial_of(rows, std::move(sums), std::move(edges)); });
}

}  // namespace tamsel::kernel_module
