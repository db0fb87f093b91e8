// level_counts(values, mask, missing, ranges, weights=None): the level-count
// kernel on one column. `values` is a one-dimensional NumPy array of plain
// numbers, `mask` None or a boolean array of the same length (true: a
// missing cell), `missing` "" (only the mask), "nat" (INT64_MIN is missing)
// or "hashed" (uint64 hashes of an earlier result, taken as they are), and
// `weights` None or an int64 count per row. Gives None when the kernel cannot
// decide (a masked float column holding an unmasked NaN), else
// (hashes, counts, range_begin, nan, masked, nat): uint64 and int64 arrays
// of the distinct levels, range r being [range_begin[r], range_begin[r + 1]).
#include "../tamsel_eda/kernels/level_counts.hpp"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

// A new NumPy array of `dtype` holding values[0, n).
template <class T>
py::object array_of(const T* values, std::size_t n, const char* dtype) {
    py::object arr = py::module_::import("numpy").attr("empty")(n, "dtype"_a = dtype);
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
    if (n) std::memcpy(view.buf, values, n * sizeof(T));
    PyBuffer_Release(&view);
    return arr;
}

PyObject* level_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 4 || nargs > 5) throw py::type_error("level_counts(values, mask, missing, ranges, weights=None)");
        HeldBuffer values(args[0]);
        const Py_buffer& v = values.view();
        const auto n = static_cast<std::size_t>(v.shape[0]);
        kernels::LevelColumn c;
        c.view.data = v.buf;
        c.view.stride = v.strides[0];
        c.view.type = buffer_value_type(v);
        std::unique_ptr<HeldBuffer> mask, weights;
        if (args[1] != Py_None) {
            mask = std::make_unique<HeldBuffer>(args[1]);
            const Py_buffer& m = mask->view();
            if (static_cast<std::size_t>(m.shape[0]) != n || m.itemsize != 1)
                throw py::value_error("mask: bytes, one per row");
            c.view.missing = static_cast<const std::uint8_t*>(m.buf);
            c.view.missing_stride = m.strides[0];
        }
        const std::string missing = py::str(args[2]);
        if (missing == "nat") {
            if (c.view.type != kernels::ValueType::i64) throw py::value_error("nat: int64 values");
            c.skip_int_min = true;
        } else if (missing == "hashed") {
            if (c.view.type != kernels::ValueType::u64) throw py::value_error("hashed: uint64 values");
            c.hashed = true;
        } else if (!missing.empty()) {
            throw py::value_error("missing: '', 'nat' or 'hashed'");
        }
        const std::size_t ranges = size_arg(args[3]);
        if (ranges < 1) throw py::value_error("ranges must be at least 1");
        if (nargs > 4 && args[4] != Py_None) {
            weights = std::make_unique<HeldBuffer>(args[4]);
            const Py_buffer& w = weights->view();
            if (static_cast<std::size_t>(w.shape[0]) != n || buffer_value_type(w) != kernels::ValueType::i64)
                throw py::value_error("weights: int64, one per row");
            c.weights = static_cast<const std::int64_t*>(w.buf);
            c.weights_stride = w.strides[0];
        }
        kernels::LevelCounts out;
        const bool done = pyapi::without_gil(
            [&](const std::function<bool()>& poll) { return kernels::level_counts(c, n, ranges, out, poll); });
        if (!done) throw py::error_already_set();
        if (out.undecided) return py::object(py::none());
        return py::object(py::make_tuple(
            array_of(out.hashes.get(), out.size, "uint64"), array_of(out.counts.get(), out.size, "int64"),
            make_array(out.range_begin, "intp"), py::int_(out.nan), py::int_(out.masked), py::int_(out.nat)));
    });
}

}  // namespace

const PyMethodDef level_counts_entries[] = {
    {"level_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(level_counts)), METH_FASTCALL,
     "level_counts(values, mask, missing, ranges, weights=None): value_counts(dropna=False) by level hash."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
