// distinct_counts(columns, threads=None): the distinct-count kernel on a list
// of (values, mask, missing) tuples: `values` a one-dimensional NumPy array
// of plain numbers, `mask` None or a boolean array of the same length, and
// `missing` "" (only the mask), "nat" (INT64_MIN is missing) or "codes"
// (negative values are missing). Gives a list of counts, None where the
// kernel cannot decide. `threads` sets how many parts the columns are split
// into (the thread count otherwise).
#include "../tamsel_eda/kernels/distinct.hpp"

#include <memory>
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/kernels.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

class Buffer {
public:
    explicit Buffer(py::handle owner) {
        if (PyObject_GetBuffer(owner.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) throw py::error_already_set();
    }
    ~Buffer() { PyBuffer_Release(&view_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
};

kernels::ValueType value_type(const Py_buffer& v) {
    const std::string f = v.format ? v.format : "B";
    const char c = f.empty() ? 'B' : f.back();
    const bool sized = f.size() == 1 || (f.size() == 2 && (f[0] == '=' || f[0] == '<' || f[0] == '@'));
    if (sized) {
        switch (c) {
            case 'd':
                return kernels::ValueType::f64;
            case 'f':
                return kernels::ValueType::f32;
            case '?':
                return kernels::ValueType::boolean;
            case 'b':
                return kernels::ValueType::i8;
            case 'B':
                return kernels::ValueType::u8;
            case 'h':
                return kernels::ValueType::i16;
            case 'H':
                return kernels::ValueType::u16;
            case 'i':
                return kernels::ValueType::i32;
            case 'I':
                return kernels::ValueType::u32;
            case 'l':
            case 'q':
                if (v.itemsize == 8) return kernels::ValueType::i64;
                break;
            case 'L':
            case 'Q':
                if (v.itemsize == 8) return kernels::ValueType::u64;
                break;
            default:
                break;
        }
    }
    throw py::type_error("unsupported buffer format " + f);
}

PyObject* distinct_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 1 || nargs > 2) throw py::type_error("distinct_counts(columns, threads=None)");
        py::list columns = py::reinterpret_borrow<py::list>(args[0]);
        std::vector<std::unique_ptr<Buffer>> held;
        std::vector<kernels::DistinctColumn> cols;
        Py_ssize_t n = -1;
        for (py::handle item : columns) {
            py::tuple t = py::reinterpret_borrow<py::tuple>(item);
            if (py::len(t) != 3) throw py::value_error("each column is (values, mask, missing)");
            held.push_back(std::make_unique<Buffer>(t[0]));
            const Py_buffer& v = held.back()->view();
            if (v.ndim != 1 || (n >= 0 && v.shape[0] != n)) throw py::value_error("columns of one length");
            n = v.shape[0];
            kernels::DistinctColumn c;
            c.view.data = v.buf;
            c.view.stride = v.strides[0];
            c.view.type = value_type(v);
            if (!t[1].is_none()) {
                held.push_back(std::make_unique<Buffer>(t[1]));
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
