// numpy_sum(arr, block): the float64 sum in NumPy's order, whole (block 0) or
// in pieces; numpy_sum_block(): which of the two the running NumPy performs,
// decided from the same probe the analysis uses.
#include "../tamsel_eda/kernels/pairwise.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* numpy_sum(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("numpy_sum(arr, block) takes two arguments");
        pyapi::Float64View arr(args[0]);
        const std::size_t block = PyLong_AsSize_t(args[1]);
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object(py::float_(kernels::numpy_sum(arr.data(), static_cast<std::size_t>(arr.size()), 1, block)));
    });
}

PyObject* numpy_sum_block(PyObject*, PyObject*) {
    return entry([] {
        py::module_ np = py::module_::import("numpy");
        const long long bufsize = py::int_(np.attr("getbufsize")());
        if (bufsize <= 0) return py::object(py::none());
        const auto block = static_cast<std::size_t>(bufsize);
        const std::vector<double> values = kernels::sum_probe_values(block);
        py::bytes raw(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
        py::object arr = np.attr("frombuffer")(raw, "dtype"_a = np.attr("float64"));
        const double numpy = py::float_(np.attr("add").attr("reduce")(arr));
        const std::optional<std::size_t> found = kernels::sum_block_from(numpy, values, block);
        return found ? py::object(py::int_(*found)) : py::object(py::none());
    });
}

}  // namespace

const PyMethodDef pairwise_entries[] = {
    {"numpy_sum_block", numpy_sum_block, METH_NOARGS, "How the running NumPy sums: 0, its piece length, or None."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef pairwise_test_entries[] = {
    {"numpy_sum", fastcall(numpy_sum), METH_FASTCALL,
     "numpy_sum(arr, block): float64 sum in NumPy's pairwise order (block 0: one pass)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
