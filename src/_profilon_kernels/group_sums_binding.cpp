// correlation_ratio(y, codes, rank, sum_block, min_rows_to_split=None): the group-sums
// kernel on a float64 target, int64 group codes (negative: missing), each
// group's position in sorted key order and NumPy's summation block (see
// numpy_sum_block). Answers (status, value) with status
// "ok", "too_few", "not_finite" or "bad_input".
// group_sums(y, codes, groups, sum_block): one slice's groups, for a merge
// across slices: y float64 and codes int64 in [0, groups), one per row;
// answers (codes, counts, sums), int64 / int64 / float64 arrays with one
// entry per group present, in the order of each group's first row, the sum
// being np.add.reduce of the group's values in row order (sum_block as for
// numpy_sum).
#include <cstring>
#include <stdexcept>
#include <vector>

#include "../tamsel_eda/kernels/group_sums.hpp"
#include "arrays.hpp"

namespace tamsel::kernel_module {
namespace {

std::vector<std::int64_t> int64_values(PyObject* obj) {
    py::object np = py::module_::import("numpy");
    py::object arr = np.attr("ascontiguousarray")(py::handle(obj), "dtype"_a = np.attr("int64"));
    if (py::int_(arr.attr("ndim")).cast<int>() != 1) throw py::value_error("expected a one-dimensional array");
    std::vector<std::int64_t> out(py::len(arr));
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
    if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(std::int64_t));
    PyBuffer_Release(&view);
    return out;
}

PyObject* correlation_ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 4 || nargs > 5)
            throw py::type_error("correlation_ratio(y, codes, rank, sum_block, min_rows_to_split=None)");
        pyapi::Float64View y(args[0]);
        const std::vector<std::int64_t> codes = int64_values(args[1]);
        const std::vector<std::int64_t> rank = int64_values(args[2]);
        if (static_cast<std::size_t>(y.size()) != codes.size()) throw py::value_error("y and codes differ in length");
        kernels::RatioProblem p;
        p.y = y.data();
        p.codes = codes.data();
        p.n = codes.size();
        p.rank = rank.data();
        p.groups = rank.size();
        p.sum_block = PyLong_AsSize_t(args[3]);
        if (PyErr_Occurred()) throw py::error_already_set();
        p.mean_block = p.sum_block;
        if (nargs > 4 && args[4] != Py_None) {
            p.min_rows_to_split = PyLong_AsSize_t(args[4]);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        const kernels::RatioResult r =
            pyapi::without_gil([&](const std::function<bool()>& poll) { return kernels::correlation_ratio(p, poll); });
        const char* status = "bad_input";
        switch (r.status) {
            case kernels::RatioStatus::ok:
                status = "ok";
                break;
            case kernels::RatioStatus::too_few:
                status = "too_few";
                break;
            case kernels::RatioStatus::not_finite:
                status = "not_finite";
                break;
            case kernels::RatioStatus::stopped:
                status = "stopped";
                break;
            case kernels::RatioStatus::bad_input:
                break;
        }
        return py::object(py::make_tuple(py::str(status), py::float_(r.value)));
    });
}

PyObject* group_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("group_sums(y, codes, groups, sum_block)");
        const HeldBuffer y(args[0]), codes(args[1]);
        if (buffer_value_type(y.view()) != kernels::ValueType::f64) throw py::type_error("y: a float64 array");
        if (buffer_value_type(codes.view()) != kernels::ValueType::i64) throw py::type_error("codes: an int64 array");
        const auto n = static_cast<std::size_t>(y.view().shape[0]);
        if (static_cast<std::size_t>(codes.view().shape[0]) != n) throw py::value_error("y and codes differ in length");
        const std::size_t groups = size_arg(args[2]), block = size_arg(args[3]);
        kernels::FirstSeenGroups out;
        const kernels::GroupSumsStatus status = pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::first_seen_group_sums(static_cast<const double*>(y.view().buf), y.view().strides[0],
                                                  static_cast<const std::int64_t*>(codes.view().buf),
                                                  codes.view().strides[0], n, groups, block, poll, out);
        });
        if (status == kernels::GroupSumsStatus::bad_input) throw py::value_error("a code outside [0, groups)");
        // A stop is a pending signal, raised by without_gil before this line.
        if (status != kernels::GroupSumsStatus::ok) throw std::runtime_error("group_sums stopped");
        return py::object(py::make_tuple(make_array(out.code, "int64"), make_array(out.count, "int64"),
                                         make_array(out.sum, "float64")));
    });
}

}  // namespace

const PyMethodDef group_sums_entries[] = {
    {"group_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(group_sums)), METH_FASTCALL,
     "group_sums(y, codes, groups, sum_block): per group in first-seen order, its code, count and sum."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef group_sums_test_entries[] = {
    {"correlation_ratio", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(correlation_ratio)), METH_FASTCALL,
     "correlation_ratio(y, codes, rank, sum_block, min_rows_to_split=None): the group-sums kernel."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
