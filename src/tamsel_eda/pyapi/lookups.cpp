// Attribute and name lookups with the interpreter's own semantics: only
// AttributeError means "absent", and globals fall back to builtins.
#include "pyapi.hpp"

namespace tamsel::pyapi {

namespace {

// 1 found, 0 AttributeError (cleared), -1 any other error. 3.13 made the
// lookup public under a new name and dropped the private one.
int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

}  // namespace

py::object optional_attr(py::handle obj, py::handle name) {
    PyObject* result = nullptr;
    if (lookup_attr(obj.ptr(), name.ptr(), &result) < 0) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object getattr_or_none(py::handle obj, py::handle name) {
    py::object value = optional_attr(obj, name);
    return value ? value : py::none();
}

py::object getattr_or_none(py::handle obj, const char* name) { return getattr_or_none(obj, py::str(name)); }

bool hasattr(py::handle obj, py::handle name) {
    PyObject* result = nullptr;
    const int found = lookup_attr(obj.ptr(), name.ptr(), &result);
    if (found < 0) throw py::error_already_set();
    Py_XDECREF(result);
    return found == 1;
}

namespace {

PyObject* builtins_of(py::handle globals) {
    PyObject* b = PyDict_GetItemString(globals.ptr(), "__builtins__");
    if (!b) return PyEval_GetBuiltins();
    if (PyModule_Check(b)) return PyModule_GetDict(b);
    return b;
}

}  // namespace

py::object builtin(py::handle globals, const char* name) {
    PyObject* key = PyUnicode_FromString(name);
    if (!key) throw py::error_already_set();
    PyObject* v = PyDict_GetItemWithError(builtins_of(globals), key);
    Py_DECREF(key);
    if (v) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

py::object global(py::handle globals, const char* name) {
    PyObject* key = PyUnicode_FromString(name);
    if (!key) throw py::error_already_set();
    PyObject* v = PyDict_GetItemWithError(globals.ptr(), key);
    if (!v && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins_of(globals), key);
    Py_DECREF(key);
    if (v) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw py::error_already_set();
}

py::object Frame::g(const char* name) const { return global(globals_, name); }

bool is_ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

}  // namespace tamsel::pyapi
