// The level-count kernel.
//
// level_counts(values, mask, missing, ranges, weights=None) counts one
// column: `values` a one-dimensional NumPy array of plain numbers, `mask`
// None or a boolean array of the same length (true: a missing cell),
// `missing` "" (only the mask), "nat" (INT64_MIN is missing) or "hashed"
// (uint64 hashes of an earlier result, taken as they are), and `weights`
// None or an int64 count per row. Gives None when the kernel cannot decide (a
// masked float column holding an unmasked NaN), else (hashes, counts,
// range_begin, nan, masked, nat): uint64 and int64 arrays of the distinct
// levels, range r being [range_begin[r], range_begin[r + 1]).
//
// level_counts_columns(columns, ranges, threads=None) counts a list of
// (values, mask, missing) or (values, mask, missing, weights) columns at
// once, on up to `threads` threads (the thread count otherwise), and gives
// the list of their results.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/kernels.hpp"
#include "../tamsel_eda/kernels/level_counts.hpp"
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

// One column argument, its buffers held while the kernel reads them.
struct LevelArg {
    std::vector<std::unique_ptr<HeldBuffer>> held;
    kernels::LevelColumn column;
    std::size_t rows = 0;

    LevelArg(py::handle values, py::handle mask, py::handle missing_kind, py::handle weights) {
        held.push_back(std::make_unique<HeldBuffer>(values));
        const Py_buffer& v = held.back()->view();
        rows = static_cast<std::size_t>(v.shape[0]);
        column.view.data = v.buf;
        column.view.stride = v.strides[0];
        column.view.type = buffer_value_type(v);
        if (!mask.is_none()) {
            held.push_back(std::make_unique<HeldBuffer>(mask));
            const Py_buffer& m = held.back()->view();
            if (static_cast<std::size_t>(m.shape[0]) != rows || m.itemsize != 1)
                throw py::value_error("mask: bytes, one per row");
            column.view.missing = static_cast<const std::uint8_t*>(m.buf);
            column.view.missing_stride = m.strides[0];
        }
        const std::string missing = py::str(missing_kind);
        if (missing == "nat") {
            if (column.view.type != kernels::ValueType::i64) throw py::value_error("nat: int64 values");
            column.skip_int_min = true;
        } else if (missing == "hashed") {
            if (column.view.type != kernels::ValueType::u64) throw py::value_error("hashed: uint64 values");
            column.hashed = true;
        } else if (!missing.empty()) {
            throw py::value_error("missing: '', 'nat' or 'hashed'");
        }
        if (!weights.is_none()) {
            held.push_back(std::make_unique<HeldBuffer>(weights));
            const Py_buffer& w = held.back()->view();
            if (static_cast<std::size_t>(w.shape[0]) != rows || buffer_value_type(w) != kernels::ValueType::i64)
                throw py::value_error("weights: int64, one per row");
            column.weights = static_cast<const std::int64_t*>(w.buf);
            column.weights_stride = w.strides[0];
        }
    }
};

std::size_t ranges_arg(py::handle obj) {
    const std::size_t ranges = size_arg(obj);
    if (ranges < 1) throw py::value_error("ranges must be at least 1");
    return ranges;
}

// Counts `args` and gives their results, in order.
std::vector<py::object> run(const std::vector<std::unique_ptr<LevelArg>>& args, std::size_t ranges, std::size_t parts) {
    std::vector<kernels::LevelColumn> columns;
    std::vector<std::size_t> rows;
    for (const auto& a : args) {
        columns.push_back(a->column);
        rows.push_back(a->rows);
    }
    kernels::LevelProblem p;
    p.columns = columns.data();
    p.rows = rows.data();
    p.k = columns.size();
    p.ranges = ranges;
    p.parts = parts;
    std::vector<kernels::LevelCounts> out(p.k);
    // A stop can only come from a signal, whose error without_gil raises.
    pyapi::without_gil([&](const std::function<bool()>& poll) { return kernels::level_counts(p, out.data(), poll); });
    std::vector<py::object> results;
    for (const kernels::LevelCounts& o : out) {
        if (o.undecided) {
            results.push_back(py::none());
            continue;
        }
        results.push_back(py::make_tuple(array_of(o.hashes.get(), o.size, "uint64"),
                                         array_of(o.counts.get(), o.size, "int64"),
                                         array_of(o.range_begin.data(), o.range_begin.size(), "intp"), py::int_(o.nan),
                                         py::int_(o.masked), py::int_(o.nat)));
    }
    return results;
}

PyObject* level_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 4 || nargs > 5) throw py::type_error("level_counts(values, mask, missing, ranges, weights=None)");
        std::vector<std::unique_ptr<LevelArg>> columns;
        columns.push_back(std::make_unique<LevelArg>(args[0], args[1], args[2], nargs > 4 ? args[4] : Py_None));
        return run(columns, ranges_arg(args[3]), 1).front();
    });
}

PyObject* level_counts_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 2 || nargs > 3) throw py::type_error("level_counts_columns(columns, ranges, threads=None)");
        std::vector<std::unique_ptr<LevelArg>> columns;
        for (py::handle item : py::reinterpret_borrow<py::list>(args[0])) {
            py::tuple t = py::reinterpret_borrow<py::tuple>(item);
            const std::size_t fields = py::len(t);
            if (fields != 3 && fields != 4) throw py::value_error("each column is (values, mask, missing[, weights])");
            const py::object weights = fields == 4 ? py::object(t[3]) : py::object(py::none());
            columns.push_back(std::make_unique<LevelArg>(t[0], t[1], t[2], weights));
        }
        const std::size_t ranges = ranges_arg(args[1]);
        const std::size_t parts = nargs > 2 && args[2] != Py_None ? size_arg(args[2]) : kernels::thread_count();
        py::list result;
        for (py::object& r : run(columns, ranges, parts)) result.append(r);
        return py::object(std::move(result));
    });
}

}  // namespace

const PyMethodDef level_counts_entries[] = {
    {"level_counts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(level_counts)), METH_FASTCALL,
     "level_counts(values, mask, missing, ranges, weights=None): value_counts(dropna=False) by level hash."},
    {"level_counts_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(level_counts_columns)),
     METH_FASTCALL, "level_counts_columns(columns, ranges, threads=None): level_counts of several columns."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
