// pairwise_partial(values, offset, total, block): what a partition holding
// `values` at global positions [offset, offset + len(values)) of an array of
// `total` values contributes to NumPy's sum of that array (block as for
// numpy_sum): (bounds, sums, edges) with bounds an int64 array of [lo, hi)
// rows of whole tree nodes, sums their pairwise sums, edges a list of
// (start, values) runs of leaves cut by the partition's borders.
// pairwise_combine(partials, total, block): np.add.reduce of the whole
// array from the partials of all partitions, in any order.
#include "../tamsel_eda/kernels/pairwise_tree.hpp"

#include <stdexcept>

#include "arrays.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* pairwise_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("pairwise_partial(values, offset, total, block)");
        pyapi::Float64View values(args[0]);
        const std::uint64_t offset = size_arg(args[1]), total = size_arg(args[2]), block = size_arg(args[3]);
        const auto count = static_cast<std::uint64_t>(values.size());
        if (offset > total || count > total - offset) throw py::value_error("the values lie outside the array");
        const kernels::TreePartial t = pyapi::without_gil([&](const std::function<bool()>&) {
            return kernels::pairwise_partial(values.data(), offset, count, total, block);
        });
        std::vector<std::int64_t> bounds;
        for (std::size_t j = 0; j < t.node_sum.size(); ++j) {
            bounds.push_back(static_cast<std::int64_t>(t.node_lo[j]));
            bounds.push_back(static_cast<std::int64_t>(t.node_hi[j]));
        }
        py::list edges;
        for (std::size_t j = 0; j < t.edge_at.size(); ++j) {
            edges.append(py::make_tuple(t.edge_at[j], make_array(t.edge_values[j], "float64")));
        }
        return py::object(py::make_tuple(make_array(bounds, "int64").attr("reshape")(-1, 2),
                                         make_array(t.node_sum, "float64"), edges));
    });
}

kernels::TreePartial partial_from(py::handle obj) {
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

PyObject* pairwise_combine(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("pairwise_combine(partials, total, block)");
        std::vector<kernels::TreePartial> parts;
        for (py::handle item : py::reinterpret_borrow<py::sequence>(args[0])) parts.push_back(partial_from(item));
        const std::uint64_t total = size_arg(args[1]), block = size_arg(args[2]);
        try {
            return py::object(py::float_(kernels::pairwise_combine(parts.data(), parts.size(), total, block)));
        } catch (const std::invalid_argument& e) {
            throw py::value_error(e.what());
        }
    });
}

}  // namespace

const PyMethodDef pairwise_tree_entries[] = {
    {"pairwise_partial", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pairwise_partial)), METH_FASTCALL,
     "pairwise_partial(values, offset, total, block): a partition's share of NumPy's sum."},
    {"pairwise_combine", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pairwise_combine)), METH_FASTCALL,
     "pairwise_combine(partials, total, block): np.add.reduce of the whole array."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
