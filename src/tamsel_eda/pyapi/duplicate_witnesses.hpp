// The duplicate scan's witnesses (kernels/duplicate_digests.hpp): values of
// an object share that, hashed before a later share of the same column,
// force the decisions pandas takes on the whole column (the dtype it infers,
// whether it hashes texts or the str() of every item): of each type (and
// time zone) the first, and the least and largest int. They are Python
// values ordered by Python's own comparison, so they are kept here, beside
// the kernel's state of the column: a dict {key: value} in the order found,
// keys ("first", type, zone or None), ("min",) and ("max",). An item's zone
// is str() of its `tz`, for types whose first item has one.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <utility>
#include <vector>

namespace tamsel::pyapi {

namespace py = pybind11;

namespace witness_detail {

// pandas' missing cells among the items the scan hands over (other missing
// markers are dropped before).
inline bool missing(PyObject* v) { return v == Py_None || (PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v))); }

// later < held and later > held, asked as min() and max() ask them.
inline bool compares(py::handle later, py::handle held, int op) {
    const int r = PyObject_RichCompareBool(later.ptr(), held.ptr(), op);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}
inline bool below(py::handle later, py::handle held) { return compares(later, held, Py_LT); }
inline bool above(py::handle later, py::handle held) { return compares(later, held, Py_GT); }

inline bool subtype(PyTypeObject* t, py::handle base) {
    return PyType_IsSubtype(t, reinterpret_cast<PyTypeObject*>(base.ptr())) != 0;
}

// The item's `tz`, or a null object when it has none (AttributeError only).
inline py::object zone_of(py::handle v) {
    PyObject* tz = PyObject_GetAttrString(v.ptr(), "tz");
    if (!tz) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(tz);
}

// Adds an int range to `out`: a later bound replaces a held one only when
// strictly beyond it, as min() and max() keep the first of equal items.
inline void extend_range(py::dict& out, py::handle least, py::handle largest) {
    const py::tuple lo = py::make_tuple("min"), hi = py::make_tuple("max");
    if (!out.contains(lo)) {
        out[lo] = least;
        out[hi] = largest;
        return;
    }
    if (below(least, out[lo])) out[lo] = least;
    if (above(largest, out[hi])) out[hi] = largest;
}

struct Kind {
    PyTypeObject* type = nullptr;
    bool zoned = false;
    bool integer = false;
    py::dict firsts;
    py::object least, largest;
};

}  // namespace witness_detail

// The witnesses of items[0..n) (missing cells left out). Keys come grouped
// by type in the order the types first appear, the int range after the
// first int type's.
inline py::dict share_witnesses(PyObject* const* items, Py_ssize_t n) {
    namespace w = witness_detail;
    std::vector<w::Kind> kinds;
    py::object numpy;
    std::size_t last = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle v = items[i];
        if (w::missing(v.ptr())) continue;
        PyTypeObject* type = Py_TYPE(v.ptr());
        if (kinds.empty() || kinds[last].type != type) {
            last = 0;
            while (last < kinds.size() && kinds[last].type != type) ++last;
        }
        if (last == kinds.size()) {
            w::Kind k;
            k.type = type;
            k.zoned = bool(w::zone_of(v));
            const bool python_int = PyType_IsSubtype(type, &PyLong_Type) && !PyType_IsSubtype(type, &PyBool_Type);
            if (!python_int && !numpy && !PyUnicode_Check(v.ptr()) && !PyFloat_Check(v.ptr()))
                numpy = py::module_::import("numpy");
            k.integer = python_int || (numpy && w::subtype(type, numpy.attr("integer")));
            kinds.push_back(std::move(k));
        }
        w::Kind& k = kinds[last];
        py::handle kind = reinterpret_cast<PyObject*>(type);
        if (k.zoned) {
            py::tuple key = py::make_tuple("first", kind, py::str(w::zone_of(v)));
            if (!PyDict_SetDefault(k.firsts.ptr(), key.ptr(), v.ptr())) throw py::error_already_set();
        } else if (k.firsts.empty()) {
            k.firsts[py::make_tuple("first", kind, py::none())] = v;
        }
        if (k.integer) {
            if (!k.least || w::below(v, k.least)) k.least = py::reinterpret_borrow<py::object>(v);
            if (!k.largest || w::above(v, k.largest)) k.largest = py::reinterpret_borrow<py::object>(v);
        }
    }
    py::dict out;
    for (w::Kind& k : kinds) {
        for (auto [key, value] : k.firsts) out[key] = value;
        if (k.integer) w::extend_range(out, k.least, k.largest);
    }
    return out;
}

// The witnesses of two runs of one column, `first` before `second` (a new
// dict): the first's, then the second's keys not held, the int range of both.
inline py::dict merged_witnesses(py::handle first, py::handle second) {
    py::dict out = py::reinterpret_steal<py::dict>(PyDict_Copy(first.ptr()));
    if (!out) throw py::error_already_set();
    const py::tuple lo = py::make_tuple("min"), hi = py::make_tuple("max");
    py::dict later = py::reinterpret_borrow<py::dict>(second);
    const bool both = out.contains(lo) && later.contains(lo);
    for (auto [key, value] : later)
        if (!PyDict_SetDefault(out.ptr(), key.ptr(), value.ptr())) throw py::error_already_set();
    if (both) {
        if (witness_detail::below(later[lo], out[lo])) out[lo] = later[lo];
        if (witness_detail::above(later[hi], out[hi])) out[hi] = later[hi];
    }
    return out;
}

// Whether pandas hashes a filled object share through the str() of its
// items (some item is neither text, bytes nor tuple), and whether it holds
// bytes.
inline std::pair<bool, bool> object_decisions(PyObject* const* items, Py_ssize_t n) {
    bool fallback = false, bytes = false;
    PyTypeObject* seen = nullptr;
    for (Py_ssize_t i = 0; i < n && !(fallback && bytes); ++i) {
        PyTypeObject* t = Py_TYPE(items[i]);
        if (t == seen) continue;
        seen = t;
        const bool is_bytes = PyType_IsSubtype(t, &PyBytes_Type);
        bytes = bytes || is_bytes;
        fallback =
            fallback || !(is_bytes || PyType_IsSubtype(t, &PyUnicode_Type) || PyType_IsSubtype(t, &PyTuple_Type));
    }
    return {fallback, bytes};
}

}  // namespace tamsel::pyapi
