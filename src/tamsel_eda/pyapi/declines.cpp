#include "declines.hpp"

namespace tamsel::pyapi {

void note_decline(py::handle globals, const char* kernel) {
    PyObject* hook = PyDict_GetItemWithError(globals.ptr(), py::str("_kernel_declines").ptr());
    if (!hook) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return;
    }
    if (hook == Py_None) return;
    py::reinterpret_borrow<py::object>(hook)(kernel);
}

}  // namespace tamsel::pyapi
