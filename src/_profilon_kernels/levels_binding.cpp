// The Dask driver's merges of the correlation ratio's groups and the routing
// of pandas-counted levels (kernels/group_sums.hpp, pyapi/level_routes.hpp).
//
// group_merge(codes, counts, sums, groups): the groups of consecutive slices
// (group_sums results laid end to end) merged, codes int64 in [0, groups)
// numbering them across the slices in first-seen order: (counts, sums) per
// merged group, int64 and float64, each added in slice order.
// group_between(sums, counts, rank, mu, total, whole_sum): ss_between of the
// merged groups in key order (rank int64, each group's position in it).
// level_routes(keys, ranges, numbers): the range (intp) of each level of an
// object array of keys, the same in every process for equal keys.
// level_missing(keys, counts, kinds): the missing keys of a value_counts
// with their int64 counts, as (four int64 cell counts of the missing kinds
// `kinds` (None, pd.NA, NaT) and a float NaN; int64 counts of the keys only
// equal to themselves).
#include <vector>

#include "../tamsel_eda/kernels/group_sums.hpp"
#include "../tamsel_eda/pyapi/level_routes.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* group_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("group_merge(codes, counts, sums, groups)");
        const auto codes = read_array<std::int64_t>(args[0], "int64");
        const auto counts = read_array<std::int64_t>(args[1], "int64");
        const auto sums = read_array<double>(args[2], "float64");
        if (counts.size() != codes.size() || sums.size() != codes.size())
            throw py::value_error("codes, counts and sums differ in length");
        kernels::FirstSeenGroups out;
        if (kernels::merge_group_sums(codes.data(), counts.data(), sums.data(), codes.size(), size_arg(args[3]), out) !=
            kernels::GroupSumsStatus::ok)
            throw py::value_error("a code outside [0, groups)");
        return py::object(py::make_tuple(make_array(out.count, "int64"), make_array(out.sum, "float64")));
    });
}

PyObject* group_between(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 6) throw py::type_error("group_between(sums, counts, rank, mu, total, whole_sum)");
        const auto sums = read_array<double>(args[0], "float64");
        const auto counts = read_array<std::int64_t>(args[1], "int64");
        const auto rank = read_array<std::int64_t>(args[2], "int64");
        if (counts.size() != sums.size() || rank.size() != sums.size())
            throw py::value_error("sums, counts and rank differ in length");
        const double mu = PyFloat_AsDouble(args[3]), whole_sum = PyFloat_AsDouble(args[5]);
        if (PyErr_Occurred()) throw py::error_already_set();
        const auto total = static_cast<std::int64_t>(size_arg(args[4]));
        double ss = 0.0;
        if (kernels::between_groups(sums.data(), counts.data(), rank.data(), sums.size(), mu, total, whole_sum, ss) !=
            kernels::GroupSumsStatus::ok)
            throw py::value_error("rank is not a permutation, or a count is not positive");
        return py::object(py::float_(ss));
    });
}

PyObject* level_routes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("level_routes(keys, ranges, numbers)");
        const std::size_t ranges = size_arg(args[1]);
        if (ranges < 1) throw py::value_error("ranges must be at least 1");
        py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(args[0], "keys must be a sequence"));
        if (!seq) throw py::error_already_set();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        std::vector<std::intptr_t> out(static_cast<std::size_t>(n));
        pyapi::object_level_routes(PySequence_Fast_ITEMS(seq.ptr()), n, ranges, args[2], out.data());
        return make_array(out, "intp");
    });
}

PyObject* level_missing(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("level_missing(keys, counts, kinds)");
        py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(args[0], "keys must be a sequence"));
        if (!seq) throw py::error_already_set();
        const auto counts = read_array<std::int64_t>(args[1], "int64");
        if (!PyTuple_Check(args[2]) || PyTuple_GET_SIZE(args[2]) != 3) throw py::type_error("kinds: a tuple of three");
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        if (static_cast<std::size_t>(n) != counts.size()) throw py::value_error("keys and counts differ in length");
        PyObject* const kind_objects[3] = {PyTuple_GET_ITEM(args[2], 0), PyTuple_GET_ITEM(args[2], 1),
                                           PyTuple_GET_ITEM(args[2], 2)};
        std::vector<std::int64_t> kinds(4, 0), lone;
        pyapi::missing_level_kinds(PySequence_Fast_ITEMS(seq.ptr()), counts.data(), n, kind_objects, kinds.data(),
                                   lone);
        return py::object(py::make_tuple(make_array(kinds, "int64"), make_array(lone, "int64")));
    });
}

}  // namespace

const PyMethodDef levels_entries[] = {
    {"group_merge", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group_merge)), METH_FASTCALL,
     "group_merge(codes, counts, sums, groups): slices' group counts and sums merged by their codes."},
    {"group_between", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group_between)), METH_FASTCALL,
     "group_between(sums, counts, rank, mu, total, whole_sum): ss_between of merged groups in key order."},
    {"level_missing", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(level_missing)), METH_FASTCALL,
     "level_missing(keys, counts, kinds): the missing kinds' cells and the lone missing keys' counts."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef levels_test_entries[] = {
    {"level_routes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(level_routes)), METH_FASTCALL,
     "level_routes(keys, ranges, numbers): the range of each pandas-counted level, fixed across processes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
