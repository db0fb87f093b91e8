// EdaReport.to_json: the dictionary view as standard JSON. The interpreter's
// json module writes the text; this file only turns the values JSON has no
// word for into ones it has (NaN and infinities into null, NumPy scalars and
// arrays into plain numbers and lists, non-string keys into their text), so
// every number is printed exactly as Python prints it.
#include <cmath>

#include "render.hpp"

namespace tamsel::render {
namespace {

using pyapi::Frame;
using pyapi::is_instance;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;
using pyapi::steal_or_throw;

// Python's own recursion limit bounds the walk, so a hand-built report that
// contains itself raises RecursionError instead of exhausting the C stack.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while converting a report to JSON")) throw py::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

class Converter {
public:
    explicit Converter(const Frame& f)
        : np_generic_(f.g("np").attr("generic")), np_ndarray_(f.g("np").attr("ndarray")) {}

    py::object operator()(py::handle value) const {
        RecursionGuard guard;
        PyObject* v = value.ptr();
        if (v == Py_None || PyBool_Check(v) || PyUnicode_Check(v)) return py::reinterpret_borrow<py::object>(value);
        if (PyFloat_Check(v)) {
            // NumPy's double scalar is a float subclass: it becomes a plain
            // float, and a value JSON cannot hold becomes null.
            const double d = PyFloat_AS_DOUBLE(v);
            if (!std::isfinite(d)) return py::none();
            return steal_or_throw(PyFloat_FromDouble(d));
        }
        if (PyLong_Check(v)) return steal_or_throw(PyNumber_Index(v));
        if (PyDict_Check(v) || pyapi::hasattr(value, pyapi::text("items"))) return mapping(value);
        if (PyList_Check(v) || PyTuple_Check(v)) return sequence(value);
        if (is_instance(value, np_generic_)) return (*this)(value.attr("item")());
        if (is_instance(value, np_ndarray_)) return (*this)(value.attr("tolist")());
        if (PyAnySet_Check(v)) return sequence(value);
        // Anything else (a timestamp, a frequency offset, a user object)
        // is written as the text the Markdown report prints for it.
        return pyapi::format(value);
    }

private:
    py::object mapping(py::handle value) const {
        py::dict out;
        for (py::handle item : value.attr("items")()) {
            auto [key, val] = pyapi::unpack_pair(item);
            py::object k = PyUnicode_Check(key.ptr()) ? key : py::object(pyapi::format(key));
            out[k] = (*this)(val);
        }
        return out;
    }

    py::object sequence(py::handle value) const {
        py::list out;
        for (py::handle item : value) out.append((*this)(item));
        return out;
    }

    py::object np_generic_;
    py::object np_ndarray_;
};

py::object to_json(const Frame& f) {
    py::object data = f.self().attr("to_dict")();
    if (pyapi::truthy(f.arg(2))) {
        // The page's figures under one more key (null when the report has
        // none), after the report's own keys, which stay as to_dict() has them.
        py::dict with_detail;
        for (auto [key, value] : py::dict(data)) with_detail[key] = value;
        with_detail["detail"] = page_detail(f.self());
        data = with_detail;
    }
    py::object plain = Converter(f)(data);
    // Imported at call time: the module namespace keeps exactly its
    // published names.
    py::object json = steal_or_throw(PyImport_ImportModule("json"));
    return json.attr("dumps")(plain, "indent"_a = f.arg(1), "allow_nan"_a = false);
}

constexpr Param json_params[] = {
    {"self"},
    {"indent", ParamKind::positional_or_keyword, "Optional[int]", "None"},
    {"detail", ParamKind::keyword_only, "bool", "False"},
};

constexpr MethodDef methods[] = {
    {"to_json", json_params, "str",
     "The report's to_dict() as standard JSON (NaN and infinities as null); with detail=True, the "
     "page's per-column figures too, under the key \"detail\".",
     to_json},
};

}  // namespace

std::span<const MethodDef> json_methods() { return methods; }

}  // namespace tamsel::render
