// Truth and comparison as the interpreter decides them. A file of its own:
// the kernel module's Arrow text reader links it without the rest of pyapi.
#include "pyapi.hpp"

namespace tamsel::pyapi {

namespace {

bool compare_bool(py::handle a, py::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

}  // namespace

bool truthy(py::handle value) {
    const int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool eq(py::handle a, py::handle b) { return compare_bool(a, b, Py_EQ); }
bool gt(py::handle a, py::handle b) { return compare_bool(a, b, Py_GT); }
bool ge(py::handle a, py::handle b) { return compare_bool(a, b, Py_GE); }

py::object compare(py::handle a, py::handle b, int op) {
    return steal_or_throw<py::object>(PyObject_RichCompare(a.ptr(), b.ptr(), op));
}

}  // namespace tamsel::pyapi
