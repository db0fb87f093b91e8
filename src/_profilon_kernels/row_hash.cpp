// row_hashes(arr, floating, canonical_floats) -> bytes of uint64 hashes and
// row_hash_digest(arr, floating, canonical_floats) -> int, on any
// one-dimensional buffer of 1-, 2-, 4- or 8-byte values (strides allowed), so
// tests can set them beside pandas' hash_pandas_object.
#include "../tamsel_eda/kernels/row_hash.hpp"

#include <cstring>
#include <vector>

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
        const std::size_t words = static_cast<std::size_t>(view.len) / 8;
        std::vector<std::uint64_t> copy(words);
        std::memcpy(copy.data(), view.buf, words * 8);
        PyBuffer_Release(&view);
        return py::object(py::int_(kernels::fnv_words(kernels::fnv_offset, copy.data(), words)));
    });
}

}  // namespace

const PyMethodDef row_hash_entries[] = {
    {"row_hashes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row_hashes)), METH_FASTCALL,
     "row_hashes(arr, floating, canonical_floats): pandas' row hashes of a numeric buffer, as bytes."},
    {"row_hash_digest", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(row_hash_digest)), METH_FASTCALL,
     "row_hash_digest(arr, floating, canonical_floats): digest of those hashes, formed block by block."},
    {"fnv_digest", fnv_digest, METH_O, "fnv_digest(buffer): the digest of a whole hash array."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
