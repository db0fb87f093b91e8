// row_hashes(arr, floating, canonical_floats) -> bytes of uint64 hashes and
// row_hash_digest(arr, floating, canonical_floats) -> int, on any
// one-dimensional buffer of 1-, 2-, 4- or 8-byte values (strides allowed), so
// tests can set them beside pandas' hash_pandas_object. The text entries give
// the row hashes pandas gives a column of texts (after its missing cells are
// filled with a text): from Arrow's buffers, from a sequence of str, and from
// a float column whose values pandas hashes through their str().
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "../tamsel_eda/kernels/row_hash.hpp"
#include "../tamsel_eda/pyapi/arrow_text_chunks.hpp"
#include "../tamsel_eda/pyapi/text_hashes.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

struct Column {
    Py_buffer view{};
    kernels::HashColumn column;
    std::size_t n = 0;

    Column(PyObject* const* args, Py_ssize_t nargs) {
        if (nargs != 3) throw py::type_error("expected (arr, floating, canonical_floats)");
        if (PyObject_GetBuffer(args[0], &view, PyBUF_STRIDES) != 0) throw py::error_already_set();
        if (view.ndim != 1 || (view.itemsize != 1 && view.itemsize != 2 && view.itemsize != 4 && view.itemsize != 8)) {
            PyBuffer_Release(&view);
            throw py::value_error("expected a one-dimensional buffer of 1-, 2-, 4- or 8-byte values");
        }
        column.data = static_cast<const std::byte*>(view.buf);
        column.stride = view.strides[0];
        column.width = static_cast<unsigned>(view.itemsize);
        const int floating = PyObject_IsTrue(args[1]);
        const int canonical = floating < 0 ? -1 : PyObject_IsTrue(args[2]);
        if (canonical < 0) {
            PyBuffer_Release(&view);
            throw py::error_already_set();
        }
        column.floating = floating == 1;
        column.canonical_floats = canonical == 1;
        n = static_cast<std::size_t>(view.shape[0]);
    }
    ~Column() { PyBuffer_Release(&view); }
    Column(const Column&) = delete;
    Column& operator=(const Column&) = delete;
};

PyObject* row_hashes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        Column c(args, nargs);
        std::vector<std::uint64_t> out(c.n);
        kernels::row_hashes(c.column, 0, c.n, out.data());
        return py::object(py::bytes(reinterpret_cast<const char*>(out.data()), out.size() * sizeof(std::uint64_t)));
    });
}

PyObject* row_hash_digest(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        Column c(args, nargs);
        return py::object(py::int_(kernels::row_hash_digest(c.column, c.n)));
    });
}

PyObject* fnv_digest(PyObject*, PyObject* arg) {
    return entry([&] {
        Py_buffer view{};
        if (PyObject_GetBuffer(arg, &view, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
        const std::uint64_t digest =
            kernels::fnv_bytes(kernels::fnv_offset, view.buf, static_cast<std::size_t>(view.len));
        PyBuffer_Release(&view);
        return py::object(py::int_(digest));
    });
}

py::object hashes_bytes(const std::vector<std::uint64_t>& out) {
    return py::bytes(reinterpret_cast<const char*>(out.data()), out.size() * sizeof(std::uint64_t));
}

// text_row_hashes(series, fill): the row hashes of a Series of Arrow text,
// its missing cells hashed as the bytes `fill`; None for any other Series.
PyObject* text_row_hashes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("text_row_hashes(series, fill)");
        std::optional<pyapi::ArrowTextChunks> text = pyapi::arrow_text_chunks(args[0], true);
        if (!text) return py::object(py::none());
        char* fill = nullptr;
        Py_ssize_t fill_len = 0;
        if (PyBytes_AsStringAndSize(args[1], &fill, &fill_len) != 0) throw py::error_already_set();
        std::vector<std::uint64_t> out;
        out.reserve(text->total);
        const bool done = pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::chunked_text_row_hashes(
                text->chunks, text->rows, reinterpret_cast<const std::uint8_t*>(fill),
                static_cast<std::size_t>(fill_len), std::size_t{1} << 16, poll,
                [&](const std::uint64_t* hashes, std::size_t count) { out.insert(out.end(), hashes, hashes + count); });
        });
        if (!done) throw py::error_already_set();
        return hashes_bytes(out);
    });
}

// object_text_row_hashes(values, fill): a sequence whose items are exact str,
// or missing (None or a float NaN) hashed as the str `fill` when it is not
// None. None when some item is anything else or a text has no UTF-8 form:
// pandas takes another road for those.
PyObject* object_text_row_hashes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> py::object {
        if (nargs != 2) throw py::type_error("expected (values, fill)");
        py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(args[0], "values must be a sequence"));
        if (!seq) throw py::error_already_set();
        std::uint64_t filled = 0;
        const bool fills = args[1] != Py_None;
        if (fills) {
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(args[1], &len);
            if (!text) throw py::error_already_set();
            filled = kernels::text_hash(reinterpret_cast<const std::uint8_t*>(text), static_cast<std::size_t>(len));
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        std::vector<std::uint64_t> out;
        out.reserve(static_cast<std::size_t>(n));
        if (!pyapi::each_object_text_hash(PySequence_Fast_ITEMS(seq.ptr()), n, fills ? &filled : nullptr,
                                          [&](std::uint64_t h) { out.push_back(h); })) {
            return py::none();
        }
        return hashes_bytes(out);
    });
}

// Whether a float argument has its sign bit set.
bool signed_zero(PyObject* x) { return std::signbit(float_arg(x)); }

// float_text_row_hashes(arr, fill[, first_zero]): the hashes of a float64 or
// float32 column whose missing cells were filled with the str `fill`, so that
// pandas hashes every value through str(); first_zero (0.0 or -0.0), when
// given, is the whole column's first zero, whose text every zero takes.
PyObject* float_text_row_hashes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2 && nargs != 3) throw py::type_error("expected (arr, fill[, first_zero])");
        HeldBuffer values(args[0]);
        const Py_buffer& v = values.view();
        const kernels::ValueType type = buffer_value_type(v);
        if (type != kernels::ValueType::f64 && type != kernels::ValueType::f32)
            throw py::type_error("expected float64 or float32 values");
        Py_ssize_t len = 0;
        const char* fill = PyUnicode_AsUTF8AndSize(args[1], &len);
        if (!fill) throw py::error_already_set();
        kernels::HashColumn c;
        c.data = static_cast<const std::byte*>(v.buf);
        c.stride = v.strides[0];
        c.width = static_cast<unsigned>(v.itemsize);
        c.floating = true;
        const std::size_t n = static_cast<std::size_t>(v.shape[0]);
        const int first_zero = nargs == 3 && args[2] != Py_None ? (signed_zero(args[2]) ? -1 : 1) : 0;
        std::vector<std::uint64_t> out(n);
        pyapi::without_gil([&](const std::function<bool()>&) {
            kernels::float_text_row_hashes(c, n, reinterpret_cast<const std::uint8_t*>(fill),
                                           static_cast<std::size_t>(len), out.data(), first_zero);
            return true;
        });
        return hashes_bytes(out);
    });
}

// float_repr(x): the kernel's text of a float, to set beside repr().
PyObject* float_repr(PyObject*, PyObject* arg) {
    return entry([&] {
        const double x = float_arg(arg);
        char text[32];
        return py::object(py::str(text, kernels::float_repr(x, text)));
    });
}

}  // namespace

const PyMethodDef row_hash_entries[] = {
    {"text_row_hashes", fastcall(text_row_hashes), METH_FASTCALL,
     "text_row_hashes(series, fill): pandas' row hashes of Arrow-laid texts, as bytes."},
    {"object_text_row_hashes", fastcall(object_text_row_hashes), METH_FASTCALL,
     "object_text_row_hashes(values, fill): pandas' row hashes of str items, as bytes (or None)."},
    {"float_text_row_hashes", fastcall(float_text_row_hashes), METH_FASTCALL,
     "float_text_row_hashes(arr, fill[, first_zero]): pandas' row hashes of floats hashed through str(), as bytes."},
    {"row_hashes", fastcall(row_hashes), METH_FASTCALL,
     "row_hashes(arr, floating, canonical_floats): pandas' row hashes of a numeric buffer, as bytes."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef row_hash_test_entries[] = {
    {"float_repr", float_repr, METH_O, "float_repr(x): the kernel's repr() of a finite or infinite float."},
    {"row_hash_digest", fastcall(row_hash_digest), METH_FASTCALL,
     "row_hash_digest(arr, floating, canonical_floats): digest of those hashes, formed block by block."},
    {"fnv_digest", fnv_digest, METH_O, "fnv_digest(buffer): the digest of a whole hash array."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
