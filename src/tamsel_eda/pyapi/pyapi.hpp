// The small toolkit over the C API that the rest of profilon is written in:
// native function objects that behave like Python functions, argument
// binding, module-global lookups, guards and interpreter-side formatting.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace py = pybind11;

namespace tamsel {
using namespace pybind11::literals;
}

namespace tamsel::pyapi {

// ---------------------------------------------------------------------------
// Native methods
// ---------------------------------------------------------------------------

enum class ParamKind { positional_or_keyword, keyword_only, var_keyword };

// One parameter of a published signature. `annotation` and `default_expr`
// are Python expressions evaluated in the module namespace when the class is
// created, exactly as a `def` statement would evaluate them (so
// "Optional[float]" becomes the typing object, and "'pd.Series'" stays a
// string). nullptr means "none".
struct Param {
    const char* name;
    ParamKind kind = ParamKind::positional_or_keyword;
    const char* annotation = nullptr;
    const char* default_expr = nullptr;
};

class Frame;
using Body = py::object (*)(const Frame&);

struct MethodDef {
    const char* name;
    std::span<const Param> params;  // `self` included
    const char* returns;            // return annotation expression, or nullptr
    const char* doc;                // nullptr gives __doc__ None
    Body body;
};

// What a method body sees of one call: its bound arguments in parameter
// order (a `**kwargs` parameter receives a dict) and the module namespace,
// which it reads at call time like a Python function reads its globals.
class Frame {
public:
    Frame(py::handle globals, PyObject* const* args, py::handle function = py::handle())
        : globals_(globals), args_(args), function_(function) {}

    py::handle arg(std::size_t i) const { return args_[i]; }
    py::handle self() const { return args_[0]; }
    py::handle globals() const { return globals_; }
    // The function object being called: what a method keeps in its own
    // __dict__ (the comparison's report class) it reads from there.
    py::handle function() const { return function_; }

    // Module global, then builtin; NameError otherwise.
    py::object g(const char* name) const;

private:
    py::handle globals_;
    PyObject* const* args_;
    py::handle function_;
};

// Creates the native function type for one module instance. It is a heap
// type owned by the functions made from it, never kept in a C++ static.
py::object make_function_type(py::handle module);

// A function object of that type for `def`, with `__qualname__`
// "<owner_qualname>.<name>", its annotations and defaults evaluated in
// `globals`.
py::object make_function(py::handle function_type, const MethodDef& def, const char* owner_qualname,
                         py::handle globals);

// Whether `fn` is a native function object made from a MethodDef with this
// body (a method the class still has as its own, not a replacement).
bool runs_body(py::handle fn, Body body);

// Whether attribute lookup on `self` finds the class's own method `name`:
// not shadowed on the instance, and what the class hierarchy yields is
// still the module's native function EDA.<name>.
bool own_method(py::handle self, const char* name);

// Evaluates a Python expression in the module namespace (annotations and
// defaults are written as the expressions a `def` would hold).
py::object evaluate(const char* expr, py::handle globals);

// A data-class field of a class body: annotation and default are Python
// expressions evaluated in the module namespace (default nullptr: none).
struct FieldDef {
    const char* name;
    const char* annotation;
    const char* default_expr = nullptr;
};

// Creates a class as a Python class statement would in module `globals`:
// a namespace holding __module__, __qualname__, __annotations__ (in field
// order), the field defaults and the methods, passed to type(name, (), ns).
py::object make_class(py::handle function_type, py::handle globals, const char* name, std::span<const FieldDef> fields,
                      std::span<const MethodDef* const> methods);

// ---------------------------------------------------------------------------
// Lookups
// ---------------------------------------------------------------------------

// The attribute, or a null object when the lookup raised AttributeError;
// any other exception propagates.
py::object optional_attr(py::handle obj, py::handle name);

// getattr(obj, name, None) as the interpreter does it: only AttributeError
// means "absent"; any other exception propagates.
py::object getattr_or_none(py::handle obj, const char* name);
py::object getattr_or_none(py::handle obj, py::handle name);

// hasattr(obj, name): false only for AttributeError.
bool hasattr(py::handle obj, py::handle name);

// Module global then builtin; NameError otherwise.
py::object global(py::handle globals, const char* name);

// A builtin by name (len, sorted, print, ...).
py::object builtin(py::handle globals, const char* name);

// ---------------------------------------------------------------------------
// Guards
// ---------------------------------------------------------------------------

// True when the in-flight C++ exception stands for an ordinary Python
// `Exception` (a Python error of that class, or a pybind11 conversion
// error). KeyboardInterrupt, SystemExit and other BaseException-only errors
// answer false and must be rethrown.
bool is_ordinary(const py::error_already_set& e);

// Runs `body`; an ordinary exception is cleared and `fallback()` is returned
// instead. Everything else propagates unchanged.
template <class Body, class Fallback>
auto guarded(Body&& body, Fallback&& fallback) -> decltype(body()) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        if (!is_ordinary(e)) throw;
        return fallback();
    } catch (py::builtin_exception&) {
        // pybind11's own conversion errors stand for TypeError/ValueError.
        return fallback();
    }
}

// Runs `body` for its effects; an ordinary exception only ends it early.
template <class Body>
void guarded_void(Body&& body) {
    guarded(
        [&] {
            body();
            return 0;
        },
        [] { return 0; });
}

// ---------------------------------------------------------------------------
// C entry points
// ---------------------------------------------------------------------------

// Sets the Python error that the C++ exception being handled stands for: a
// Python error as it was raised, pybind11's conversion errors as their
// TypeError/ValueError, std::bad_alloc as MemoryError, anything else as a
// SystemError naming `where` (a str, or nullptr for the module). Only valid
// inside a catch block.
void restore_python_error(PyObject* where) noexcept;

// Runs `body` where the interpreter calls into C++ (vectorcall, getters and
// setters, module exec): its result, or `failed` with the Python error set.
// No C++ exception gets past this into the interpreter.
template <class Result, class Body>
Result at_c_boundary(PyObject* where, Result failed, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        restore_python_error(where);
        return failed;
    }
}

// ---------------------------------------------------------------------------
// Values and text
// ---------------------------------------------------------------------------

// The new reference a C API call returned, owned; a null result means that
// call set a Python error, which is thrown.
template <class T = py::object>
T steal_or_throw(PyObject* o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<T>(o);
}

// isinstance(value, type) with the interpreter's semantics (__instancecheck__
// included); its errors propagate.
bool is_instance(py::handle value, py::handle type);

// `seq[:stop]` with the interpreter's slicing rules (negative bounds, None,
// __index__, and its TypeError for anything else).
py::object head(py::handle seq, py::handle stop);
py::object head(py::handle seq, Py_ssize_t stop);

// abs(value) as the built-in computes it.
py::object absolute(py::handle value);

// format(value, spec) through the interpreter.
py::str format(py::handle value, const char* spec = "");
// float(value): Python conversion semantics (strings parsed, errors raised).
py::float_ to_float(py::handle value);
// The C double of a Python float or anything float() accepts.
double as_double(py::handle value);
// truth value as the interpreter tests it.
bool truthy(py::handle value);
// a == b / a > b with Python semantics.
bool eq(py::handle a, py::handle b);
bool gt(py::handle a, py::handle b);
bool ge(py::handle a, py::handle b);
// a <op> b as an object (NumPy and pandas answer with arrays).
py::object compare(py::handle a, py::handle b, int op);
// `a in container`.
bool contains(py::handle container, py::handle item);

// One piece of a text put together by concat: an interpreter string (a
// formatted value), or a UTF-8 literal of ours.
class Piece {
public:
    Piece(const char* utf8) : utf8_(utf8) {}
    Piece(py::handle str) : str_(str) {}
    // The piece as an interpreter string.
    py::object get() const;

private:
    const char* utf8_ = nullptr;
    py::handle str_;
};

// Concatenates the pieces through the interpreter.
py::str concat(std::initializer_list<Piece> pieces);
// UTF-8 text as an interpreter string.
py::str text(const char* utf8);

// The interpreter's round(x, ndigits) on a float, ties to even.
py::object round_to(py::handle x, int ndigits);

// `a, b = value`: exactly two items, with the interpreter's own errors for
// anything else.
std::pair<py::object, py::object> unpack_pair(py::handle value);

// sorted(items, key=lambda kv: kv[1], reverse=True): the stable descending
// order by value of (key, value) pairs.
py::list sorted_by_value_desc(py::handle globals, py::handle items);

// ---------------------------------------------------------------------------
// Native work without the GIL
// ---------------------------------------------------------------------------

// A read-only view of a C-contiguous float64 buffer of one or two dimensions
// (a NumPy array made with ascontiguousarray(..., dtype=float64)); anything
// else raises the buffer protocol's own error or a TypeError.
class Float64View {
public:
    explicit Float64View(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &buf_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
            throw py::error_already_set();
        }
        const std::string_view fmt = buf_.format ? buf_.format : "B";
        if (buf_.itemsize != 8 || (fmt != "d" && fmt != "<d" && fmt != "=d") || buf_.ndim < 1 || buf_.ndim > 2) {
            PyBuffer_Release(&buf_);
            PyErr_SetString(PyExc_TypeError, "expected a C-contiguous float64 array of one or two dimensions");
            throw py::error_already_set();
        }
    }
    Float64View(const Float64View&) = delete;
    Float64View& operator=(const Float64View&) = delete;
    ~Float64View() { PyBuffer_Release(&buf_); }

    const double* data() const { return static_cast<const double*>(buf_.buf); }
    Py_ssize_t rows() const { return buf_.shape[0]; }
    Py_ssize_t cols() const { return buf_.ndim == 2 ? buf_.shape[1] : 1; }
    Py_ssize_t size() const { return buf_.len / 8; }

private:
    Py_buffer buf_{};
};

// Runs `work(poll)` with the GIL released. `poll` is for the calling thread
// only (kernels::Stop calls it there): it re-takes the GIL for a moment to
// run the interpreter's signal handlers and answers true once one of them
// raised. That error (KeyboardInterrupt, say) is raised here after `work`
// returns, whatever `work` returned or threw.
template <class Work>
auto without_gil(Work&& work) -> std::invoke_result_t<Work&, const std::function<bool()>&> {
    using Result = std::invoke_result_t<Work&, const std::function<bool()>&>;
    bool interrupted = false;
    PyThreadState* state = PyEval_SaveThread();
    const std::function<bool()> poll = [&] {
        if (interrupted) return true;
        PyEval_RestoreThread(state);
        interrupted = PyErr_CheckSignals() != 0;
        state = PyEval_SaveThread();
        return interrupted;
    };
    struct Reacquire {
        PyThreadState*& state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    };
    try {
        if constexpr (std::is_void_v<Result>) {
            {
                Reacquire again{state};
                work(poll);
            }
            if (interrupted) throw py::error_already_set();
        } else {
            Result out = [&] {
                Reacquire again{state};
                return work(poll);
            }();
            if (interrupted) throw py::error_already_set();
            return out;
        }
    } catch (py::error_already_set&) {
        throw;
    } catch (...) {
        // The signal handler's error wins over whatever the cut-short work
        // threw on its way out.
        if (interrupted) throw py::error_already_set();
        throw;
    }
}

}  // namespace tamsel::pyapi
