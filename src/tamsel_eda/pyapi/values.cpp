// Values and text through the interpreter, so every number and list a user
// reads is printed byte for byte as Python prints it.
#include "pyapi.hpp"

namespace tamsel::pyapi {

py::str format(py::handle value, const char* spec) {
    py::str s(spec);
    return steal_or_throw<py::str>(PyObject_Format(value.ptr(), s.ptr()));
}

py::float_ to_float(py::handle value) { return steal_or_throw<py::float_>(PyNumber_Float(value.ptr())); }

double as_double(py::handle value) {
    if (PyFloat_CheckExact(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    return PyFloat_AS_DOUBLE(to_float(value).ptr());
}

bool is_instance(py::handle value, py::handle type) {
    const int r = PyObject_IsInstance(value.ptr(), type.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::object head(py::handle seq, py::handle stop) {
    py::object bound = steal_or_throw(PySlice_New(nullptr, stop.ptr(), nullptr));
    return steal_or_throw(PyObject_GetItem(seq.ptr(), bound.ptr()));
}

py::object head(py::handle seq, Py_ssize_t stop) { return head(seq, py::int_(stop)); }

py::object absolute(py::handle value) { return steal_or_throw(PyNumber_Absolute(value.ptr())); }

bool contains(py::handle container, py::handle item) {
    const int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::str text(const char* utf8) { return steal_or_throw<py::str>(PyUnicode_FromString(utf8)); }

py::object Piece::get() const {
    if (utf8_) return text(utf8_);
    return py::reinterpret_borrow<py::object>(str_);
}

py::str concat(std::initializer_list<Piece> pieces) {
    py::list parts;
    for (const Piece& p : pieces) parts.append(p.get());
    return steal_or_throw<py::str>(PyUnicode_Join(text("").ptr(), parts.ptr()));
}

py::object round_to(py::handle x, int ndigits) {
    py::int_ nd(ndigits);
    return steal_or_throw<py::object>(PyObject_CallMethod(x.ptr(), "__round__", "O", nd.ptr()));
}

// `a, b = value`: exactly two items, with the interpreter's own errors for
// anything else.
std::pair<py::object, py::object> unpack_pair(py::handle value) {
    py::iterator it = py::iter(value);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject* next = PyIter_Next(it.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        items[i] = py::reinterpret_steal<py::object>(next);
    }
    PyObject* extra = PyIter_Next(it.ptr());
    if (extra) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return {std::move(items[0]), std::move(items[1])};
}

py::list sorted_by_value_desc(py::handle globals, py::handle items) {
    py::object itemgetter = py::module_::import("operator").attr("itemgetter");
    return builtin(globals, "sorted")(items, "key"_a = itemgetter(1), "reverse"_a = true);
}

}  // namespace tamsel::pyapi
