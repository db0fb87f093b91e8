// The one translation of C++ exceptions into Python errors, used wherever
// the interpreter calls into our code.
#include <exception>
#include <new>

#include "pyapi.hpp"

namespace tamsel::pyapi {

void restore_python_error(PyObject* where) noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::exception& e) {
        if (where) {
            PyErr_Format(PyExc_SystemError, "%U: internal error: %s", where, e.what());
        } else {
            PyErr_Format(PyExc_SystemError, "profilon: internal error: %s", e.what());
        }
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "profilon: internal error of unknown kind");
    }
}

}  // namespace tamsel::pyapi
