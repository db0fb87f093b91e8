// The range of each level of a column that pandas counted, for the Dask
// driver's level counts: equal levels must meet in one range whichever
// process routes them, so no hash seeded per process (Python's hash of a
// text) may decide.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../kernels/row_hash.hpp"

namespace tamsel::pyapi {

namespace py = pybind11;

// out[i]: the range in [0, ranges) of items[i]. A text (str or a subclass)
// goes by pandas' hash of its UTF-8 bytes, a text with a lone surrogate by
// that of its surrogatepass bytes (no UTF-8 text has those); an instance of
// `numbers` (a type or tuple of types) by the interpreter's hash modulo
// `ranges` as Python's % takes it, fixed across processes and equal for equal
// numbers of any type (an unhashable one: range 0). Other objects (dates,
// tuples, ...) have no hash both fixed and faithful: range 0. Throws on any
// other error, which is left set.
inline void object_level_routes(PyObject* const* items, Py_ssize_t n, std::size_t ranges, PyObject* numbers,
                                std::intptr_t* out) {
    const auto r = static_cast<Py_hash_t>(ranges);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = items[i];
        out[i] = 0;
        if (PyUnicode_Check(v)) {
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(v, &len);
            py::object raw;
            if (!text) {
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
                PyErr_Clear();
                raw = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(v, "utf-8", "surrogatepass"));
                if (!raw) throw py::error_already_set();
                text = PyBytes_AS_STRING(raw.ptr());
                len = PyBytes_GET_SIZE(raw.ptr());
            }
            const std::uint64_t h =
                kernels::text_hash(reinterpret_cast<const std::uint8_t*>(text), static_cast<std::size_t>(len));
            out[i] = static_cast<std::intptr_t>(h % static_cast<std::uint64_t>(ranges));
            continue;
        }
        const int number = PyObject_IsInstance(v, numbers);
        if (number < 0) throw py::error_already_set();
        if (!number) continue;
        const Py_hash_t h = PyObject_Hash(v);
        if (h == -1) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
            continue;
        }
        out[i] = static_cast<std::intptr_t>(((h % r) + r) % r);
    }
}

// The missing keys of a share's value_counts(dropna=False), items[i] counted
// counts[i] times: a key that is kinds[k] itself (None, pd.NA, NaT) or an
// exact float NaN (k = 3) adds its count to kind k of `out` (four counts);
// any other missing key (a NumPy NaN scalar, a NumPy NaT, a Decimal NaN)
// equals only itself, a level apiece, and its count goes to `lone`.
inline void missing_level_kinds(PyObject* const* items, const std::int64_t* counts, Py_ssize_t n,
                                PyObject* const* kinds, std::int64_t* out, std::vector<std::int64_t>& lone) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = items[i];
        int k = PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v)) ? 3 : -1;
        for (int j = 0; j < 3 && k < 0; ++j) k = v == kinds[j] ? j : -1;
        if (k < 0) {
            lone.push_back(counts[i]);
        } else {
            out[k] += counts[i];
        }
    }
}

}  // namespace tamsel::pyapi
