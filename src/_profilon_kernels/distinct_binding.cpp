// distinct_counts(columns, threads=None): the distinct-count kernel on a list
// of (values, mask, missing) tuples: `values` a one-dimensional NumPy array
// of plain numbers, `mask` None or a boolean array of the same length, and
// `missing` "" (only the mask), "nat" (INT64_MIN is missing) or "codes"
// (negative values are missing). Gives a list of counts, None where the
// kernel cannot decide. `threads` sets how many parts the columns are split
// into (the thread count otherwise).
#include <memory>
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/distinct.hpp"
#include "../tamsel_eda/kernels/kernels.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* distinct_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 1 || nargs > 2) throw py::type_error("distinct_counts(columns, threads=None)");
        py::list columns = py::reinterpret_borrow<py::list>(args[0]);
        std::vector<std::unique_ptr<HeldBuffer>> held;
        std::vector<kernels::DistinctColumn> cols;
        Py_ssize_t n = -1;
        for (py::handle item : columns) {
            py::tuple t = py::reinterpret_borrow<py::tuple>(item);
            if (py::len(t) != 3) throw py::value_error("each column is (values, mask, missing)");
            held.push_back(std::make_unique<HeldBuffer>(t[0]));
            const Py_buffer& v = held.back()->view();
            if (v.ndim != 1 || (n >= 0 && v.shape[0] != n)) throw py::value_error("columns of one length");
            n = v.shape[0];
            kernels::DistinctColumn c;
            c.view.data = v.buf;
            c.view.stride = v.strides[0];
            c.view.type = buffer_value_type(v);
            if (!t[1].is_none()) {
                held.push_back(std::make_unique<HeldBuffer>(t[1]));
                const Py_buffer& m = held.back()->view();
                if (m.ndim != 1 || m.shape[0] != n || m.itemsize != 1)
                    throw py::value_error("mask: bytes, one per row");
                c.view.missing = static_cast<const std::uint8_t*>(m.buf);
                c.view.missing_stride = m.strides[0];
            }
            const std::string missing = py::str(t[2]);
            c.skip_int_min = missing == "nat";
            c.skip_negative = missing == "codes";
            cols.push_back(c);
        }
        kernels::DistinctProblem p;
        p.columns = cols.data();
        p.k = cols.size();
        p.n = n < 0 ? 0 : static_cast<std::size_t>(n);
        p.parts = kernels::thread_count();
        if (nargs > 1 && args[1] != Py_None) {
            p.parts = PyLong_AsSize_t(args[1]);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        std::vector<std::byte> workspace(kernels::distinct_workspace_bytes(p));
        std::vector<std::int64_t> out(p.k);
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::distinct_counts(p, out.data(), workspace.data(), poll);
        });
        py::list result;
        for (std::int64_t c : out) {
            if (c == kernels::distinct_undecided) {
                result.append(py::none());
            } else {
                result.append(py::int_(c));
            }
        }
        return py::object(std::move(result));
    });
}

}  // namespace

const PyMethodDef distinct_entries[] = {
    {"distinct_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(distinct_counts)), METH_FASTCALL,
     "distinct_counts(columns, threads=None): Series.nunique(dropna=True) of plain buffers."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
