// The levels of columns pandas counted, for the Dask driver's level counts:
// the range each level goes to (equal levels must meet in one range whichever
// process routes them, so no hash seeded per process, such as Python's hash of
// a text, may decide), the missing ones, and the present levels united across
// the shares of a column (keys equal as pandas' object hash table finds them
// equal, value_counts' and groupby's, their counts added).
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../kernels/level_counts.hpp"
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

// pandas' equality of two keys: the same object, floats and complex numbers
// whose NaN parts meet, tuples item by item so; else ==, an error there
// meaning unequal.
inline bool pandas_keys_equal(PyObject* a, PyObject* b) {
    if (a == b) return true;
    if (Py_TYPE(a) == Py_TYPE(b)) {
        const auto same = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
        if (PyFloat_CheckExact(a)) return same(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b));
        if (PyComplex_CheckExact(a)) {
            const Py_complex x = PyComplex_AsCComplex(a), y = PyComplex_AsCComplex(b);
            return same(x.real, y.real) && same(x.imag, y.imag);
        }
        if (PyTuple_CheckExact(a)) {
            const Py_ssize_t n = PyTuple_GET_SIZE(a);
            if (n != PyTuple_GET_SIZE(b)) return false;
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!pandas_keys_equal(PyTuple_GET_ITEM(a, i), PyTuple_GET_ITEM(b, i))) return false;
            return true;
        }
    }
    const int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) PyErr_Clear();
    return r == 1;
}

// Whether a float, complex number or tuple holds a NaN, where pandas'
// equality differs from Python's.
inline bool holds_nan(PyObject* v) {
    if (PyFloat_CheckExact(v)) return std::isnan(PyFloat_AS_DOUBLE(v));
    if (PyComplex_CheckExact(v)) {
        const Py_complex x = PyComplex_AsCComplex(v);
        return std::isnan(x.real) || std::isnan(x.imag);
    }
    if (!PyTuple_CheckExact(v)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i)
        if (holds_nan(PyTuple_GET_ITEM(v, i))) return true;
    return false;
}

// A hash equal for keys pandas_keys_equal finds equal: Python's, but for a
// key holding a NaN (whose NaN parts count as 0) and an unhashable key (0,
// told apart by ==).
inline Py_hash_t pandas_key_hash(PyObject* v) {
    if (holds_nan(v)) {
        if (PyFloat_CheckExact(v)) return 0;
        std::uint64_t h = 0x9e3779b97f4a7c15ULL;
        if (PyComplex_CheckExact(v)) {
            const Py_complex x = PyComplex_AsCComplex(v);
            for (double part : {x.real, x.imag})
                h = kernels::pandas_mix(
                    h ^ (std::isnan(part) ? 0 : static_cast<std::uint64_t>(pandas_key_hash(py::float_(part).ptr()))));
        } else {
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(v); ++i)
                h = kernels::pandas_mix(h ^ static_cast<std::uint64_t>(pandas_key_hash(PyTuple_GET_ITEM(v, i))));
        }
        return static_cast<Py_hash_t>(h);
    }
    const Py_hash_t h = PyObject_Hash(v);
    if (h == -1) PyErr_Clear();
    return h == -1 ? 0 : h;
}

// The keys of `m` states' columns (keys[s]: state s's key objects, in the
// order of its key counts), united per column where joined[j] is false:
// the united keys appended to `out`, their counts and the hash of each
// one's first key to `united`, whose key_begin it fills.
inline void unite_object_levels(const kernels::LevelStateView* states, const std::vector<PyObject* const*>& keys,
                                std::size_t m, const std::vector<bool>& joined, py::list& out,
                                kernels::LevelState& united) {
    const std::size_t k = m ? states[0].k : 0;
    united.key_begin.assign(1, 0);
    std::vector<std::int64_t> slots;
    for (std::size_t j = 0; j < k; ++j) {
        const std::size_t at = united.key_counts.size();
        std::size_t total = 0;
        for (std::size_t s = 0; s < m && !joined[j]; ++s)
            total += static_cast<std::size_t>(states[s].key_begin[j + 1] - states[s].key_begin[j]);
        std::size_t cap = 16;
        while (cap < 2 * total) cap *= 2;
        slots.assign(total ? cap : 0, -1);
        std::vector<Py_hash_t> hashes;
        for (std::size_t s = 0; s < m && total; ++s) {
            for (auto i = states[s].key_begin[j]; i < states[s].key_begin[j + 1]; ++i) {
                PyObject* key = keys[s][i];
                const Py_hash_t h = pandas_key_hash(key);
                for (std::size_t slot = static_cast<std::size_t>(kernels::pandas_mix(static_cast<std::uint64_t>(h)));;
                     ++slot) {
                    std::int64_t& u = slots[slot & (cap - 1)];
                    if (u < 0) {
                        u = static_cast<std::int64_t>(united.key_counts.size());
                        out.append(py::handle(key));
                        hashes.push_back(h);
                        united.key_counts.push_back(states[s].key_counts[i]);
                        united.key_hashes.push_back(states[s].key_hashes[i]);
                        break;
                    }
                    if (hashes[static_cast<std::size_t>(u) - at] == h && pandas_keys_equal(out[u].ptr(), key)) {
                        united.key_counts[static_cast<std::size_t>(u)] += states[s].key_counts[i];
                        break;
                    }
                }
            }
        }
        united.key_begin.push_back(static_cast<std::int64_t>(united.key_counts.size()));
    }
}

// The keys of one share's state (level_partial's), in its order: column
// j's own keys[j] at the positions key_source names.
inline py::list keys_of_state(const kernels::LevelState& s, const std::vector<PyObject* const*>& keys) {
    py::list out;
    for (std::size_t j = 0; j + 1 < s.key_begin.size(); ++j)
        for (auto i = s.key_begin[j]; i < s.key_begin[j + 1]; ++i)
            out.append(py::handle(keys[j][s.key_source[static_cast<std::size_t>(i)]]));
    return out;
}

}  // namespace tamsel::pyapi
