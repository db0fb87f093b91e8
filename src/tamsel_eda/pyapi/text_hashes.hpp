// pandas' row hashes of an object column of texts, item by item, for the
// duplicate scan in memory and in a Dask partition alike.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>

#include "../kernels/row_hash.hpp"

namespace tamsel::pyapi {

namespace py = pybind11;

// Calls emit(hash) for each item of `items` (a PySequence_Fast's), in order:
// an exact str's hash is that of its UTF-8 bytes; a missing cell (None or a
// float NaN) takes *fill when fill is given. Answers false, having emitted
// some items, when an item is anything else or a text has no UTF-8 form
// (pandas takes another road for those); throws on any other error, which
// is left set.
template <class Emit>
bool each_object_text_hash(PyObject* const* items, Py_ssize_t n, const std::uint64_t* fill, Emit&& emit) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = items[i];
        if (PyUnicode_CheckExact(v)) {
            Py_ssize_t len = 0;
            const char* text = PyUnicode_AsUTF8AndSize(v, &len);
            if (!text) {
                // A lone surrogate: pandas' own hashing raises for it.
                if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
                PyErr_Clear();
                return false;
            }
            emit(kernels::text_hash(reinterpret_cast<const std::uint8_t*>(text), static_cast<std::size_t>(len)));
        } else if (fill && (v == Py_None || (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v))))) {
            emit(*fill);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace tamsel::pyapi
