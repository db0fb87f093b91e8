// Degenerate inputs: where a library call's answer is already known (NaN for
// an empty or constant sample), it is given without the call, so the
// library's warning about that input never reaches the caller; where the
// answer comes from NumPy arithmetic on such input, its floating-point
// warnings are silenced for the call alone.
#include <csignal>
#include <string>

#include "../kernels/rules.hpp"
#include "../pyapi/column_views.hpp"
#include "stats.hpp"

namespace tamsel::stats {

// NumPy keeps its error state per thread (per context from NumPy 2 on), so
// this scope does not reach analyses running on other threads. The state is
// NumPy's own, not the module global `np`, which a caller may have rebound.
QuietFloatingPoint::QuietFloatingPoint() {
    py::object errstate = py::module_::import("numpy").attr("errstate");
    scope_ = errstate("divide"_a = "ignore", "invalid"_a = "ignore");
    scope_.attr("__enter__")();
}

QuietFloatingPoint::~QuietFloatingPoint() {
    try {
        py::none none;
        scope_.attr("__exit__")(none, none, none);
    } catch (py::error_already_set& e) {
        // A Ctrl-C that lands in the restoring call cannot leave a
        // destructor; it is handed back to the interpreter as a pending
        // interrupt, raised at the next bytecode, instead of being lost.
        if (e.matches(PyExc_KeyboardInterrupt)) {
            PyErr_SetInterruptEx(SIGINT);
        } else {
            e.discard_as_unraisable("restoring NumPy's error state");
        }
    } catch (...) {
        // Nothing to restore with: the scope's own error state stays.
    }
}

bool is_library_function(py::handle fn, const char* module, const char* name) {
    PyObject* mod = PyImport_GetModule(py::str(module).ptr());
    if (!mod) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    py::object library = py::reinterpret_steal<py::object>(mod);
    py::object original = pyapi::optional_attr(library, py::str(name));
    return original && original.is(fn);
}

namespace {

// The float64 attribute SciPy's skew and kurtosis scale the mean by in
// their zero-variance test. A constant column whose mean does not round-trip
// has a second moment between the two bounds: NaN for the one, a skewness
// for the other.
const char* zero_variance_tolerance() {
    const auto release = pyapi::version_of(py::module_::import("scipy"));
    return rules::releases::scipy_zero_variance_by_resolution(release) ? "resolution" : "eps";
}

}  // namespace

// scipy.stats.skew and kurtosis answer NaN when the second central moment
// is zero up to that tolerance of the mean; on constant data they also warn
// of precision loss first. The same test, on the same values with the same
// NumPy operations, is made here only when every value is equal, so any
// sample whose answer is not NaN still goes to the library.
bool moments_undefined(py::handle finite_values) {
    py::object x = py::module_::import("numpy").attr("asarray")(finite_values);
    // Booleans are the library's to judge: SciPy 1.14 and 1.15 refuse them
    // where other releases answer.
    const std::string kind = py::str(x.attr("dtype").attr("kind"));
    if (kind != "f" && kind != "i" && kind != "u") return false;
    if (pyapi::eq(x.attr("size"), py::int_(0))) return true;
    if (!pyapi::eq(x.attr("min")(), x.attr("max")())) return false;
    py::object mean = x.attr("mean")();
    py::object deviation = x - mean;
    py::object m2 = pyapi::steal_or_throw(PyNumber_Power(deviation.ptr(), py::int_(2).ptr(), Py_None)).attr("mean")();
    py::object tolerance = py::module_::import("numpy").attr("finfo")(m2.attr("dtype")).attr(zero_variance_tolerance());
    py::object bound = tolerance * mean;
    py::object bound2 = pyapi::steal_or_throw(PyNumber_Power(bound.ptr(), py::int_(2).ptr(), Py_None));
    return pyapi::truthy(pyapi::compare(m2, bound2, Py_LE));
}

}  // namespace tamsel::stats
