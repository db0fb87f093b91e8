// pandas' row hashes of an object column of texts, item by item, for the
// duplicate scan in memory and in a Dask partition alike.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>

#include "../kernels/duplicate_digests.hpp"
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

// Whether an object share could hash, row for row, as the str() of floats
// or the fill (whose first character is `fill_start`), as the duplicate scan
// asks it of a column it digests by other means: false when the share's
// first exact str is empty or starts where none of those texts does, or when
// a text is so before any item that is neither text nor missing (None, a
// float NaN); pandas hashes such an item through its own str(), which is not
// looked at, so from there on only that first exact str can still say no.
// An item missing in another way (pd.NA, NaT) counts as such an item: the
// answer may say could where a closer look would not, never the reverse.
inline bool objects_could_be_float_texts(PyObject* const* items, Py_ssize_t n, std::uint32_t fill_start) {
    bool first_seen = false, others = false, all_start = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = items[i];
        if (PyUnicode_Check(v)) {
            const bool empty = PyUnicode_GET_LENGTH(v) == 0;
            const bool starts = !empty && kernels::dupes::float_text_start(PyUnicode_READ_CHAR(v, 0), fill_start);
            if (!first_seen && PyUnicode_CheckExact(v)) {
                first_seen = true;
                if (!starts) return false;
                if (others) return true;
            }
            if (others) continue;
            if (empty) return false;
            all_start = all_start && starts;
        } else if (!(v == Py_None || (PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v))))) {
            if (first_seen) return true;
            others = true;
        }
    }
    return others || all_start;
}

}  // namespace tamsel::pyapi
