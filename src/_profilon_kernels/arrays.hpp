// NumPy arrays in and out of the partition-wise entries: one-dimensional
// columns of any plain numeric type (with an optional missing mask) read in
// place as kernel columns, and small result vectors copied to and from
// contiguous arrays of a given dtype.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/columns.hpp"
#include "../tamsel_eda/kernels/row_hash.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {

// A 1-d buffer held for as long as the kernel reads it.
class HeldBuffer {
public:
    explicit HeldBuffer(py::handle owner) {
        if (PyObject_GetBuffer(owner.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) throw py::error_already_set();
        if (view_.ndim != 1) {
            PyBuffer_Release(&view_);
            throw py::value_error("expected a one-dimensional array");
        }
    }
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    const Py_buffer& view() const { return view_; }

private:
    Py_buffer view_{};
};

inline kernels::ValueType buffer_value_type(const Py_buffer& v) {
    const std::string f = v.format ? v.format : "B";
    const bool native = f.size() == 1 || (f.size() == 2 && (f[0] == '=' || f[0] == '<' || f[0] == '@'));
    if (native) {
        switch (f.back()) {
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

// A column argument: an array, or a (values, mask) pair whose mask marks
// missing cells with nonzero bytes (None: no mask).
struct ColumnArg {
    std::vector<std::unique_ptr<HeldBuffer>> held;
    kernels::ColumnView view;
    std::size_t n = 0;

    explicit ColumnArg(py::handle arg) {
        py::handle values = arg, mask = py::none();
        if (PyTuple_Check(arg.ptr())) {
            py::tuple t = py::reinterpret_borrow<py::tuple>(arg);
            if (py::len(t) != 2) throw py::value_error("a column is an array or (values, mask)");
            values = t[0];
            mask = t[1];
        }
        held.push_back(std::make_unique<HeldBuffer>(values));
        const Py_buffer& v = held.back()->view();
        view.data = v.buf;
        view.stride = v.strides[0];
        view.type = buffer_value_type(v);
        n = static_cast<std::size_t>(v.shape[0]);
        if (!mask.is_none()) {
            held.push_back(std::make_unique<HeldBuffer>(mask));
            const Py_buffer& m = held.back()->view();
            if (static_cast<std::size_t>(m.shape[0]) != n || m.itemsize != 1)
                throw py::value_error("mask: bytes, one per row");
            view.missing = static_cast<const std::uint8_t*>(m.buf);
            view.missing_stride = m.strides[0];
        }
    }
};

// A non-negative integer argument, with the interpreter's own error for
// anything else (a negative number, a float, a number too large).
inline std::size_t size_arg(py::handle obj) {
    const std::size_t v = PyLong_AsSize_t(obj.ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// A float argument, with the interpreter's own error for anything else.
inline double float_arg(py::handle obj) {
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// A copy of `obj` as a vector, through np.ascontiguousarray(obj, dtype).
template <class T>
std::vector<T> read_array(py::handle obj, const char* dtype) {
    py::object np = py::module_::import("numpy");
    py::object arr = np.attr("ascontiguousarray")(obj, "dtype"_a = dtype);
    if (py::int_(arr.attr("ndim")).cast<int>() != 1) throw py::value_error("expected a one-dimensional array");
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
    std::vector<T> out(static_cast<std::size_t>(view.len) / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(T));
    PyBuffer_Release(&view);
    return out;
}

// A new array of `dtype` (whose item is a T) holding `values`.
template <class T>
py::object make_array(const std::vector<T>& values, const char* dtype) {
    py::object np = py::module_::import("numpy");
    py::object arr = np.attr("empty")(values.size(), "dtype"_a = dtype);
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
    if (!values.empty()) std::memcpy(view.buf, values.data(), values.size() * sizeof(T));
    PyBuffer_Release(&view);
    return arr;
}

// A new rows x cols array of `dtype` holding `values` row by row.
template <class T>
py::object make_matrix(const std::vector<T>& values, std::size_t rows, std::size_t cols, const char* dtype) {
    return make_array(values, dtype).attr("reshape")(rows, cols);
}

}  // namespace tamsel::kernel_module
