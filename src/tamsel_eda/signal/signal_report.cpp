// SignalReport: the value a signal check returns, its dictionary view and
// its JSON text.
#include <cmath>

#include "signal.hpp"

namespace tamsel::signal {
namespace {

using pyapi::FieldDef;
using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;
using pyapi::steal_or_throw;

constexpr FieldDef fields[] = {
    {"targets", "Dict[Any, Dict[str, Any]]"},
    {"notes", "List[str]"},
    {"settings", "Dict[str, Any]"},
};

py::object to_dict(const Frame& f) {
    py::handle self = f.self();
    py::dict out;
    out["settings"] = self.attr("settings");
    out["targets"] = self.attr("targets");
    out["notes"] = self.attr("notes");
    return out;
}

// What JSON has no word for becomes text (a label that is a timestamp),
// NaN and infinities null, and mapping keys their text.
py::object plain(py::handle value) {
    if (Py_EnterRecursiveCall(" while converting a signal report to JSON")) throw py::error_already_set();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    PyObject* v = value.ptr();
    if (v == Py_None || PyBool_Check(v) || PyUnicode_Check(v)) return py::reinterpret_borrow<py::object>(value);
    if (PyFloat_Check(v)) {
        const double d = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(d)) return py::none();
        return steal_or_throw(PyFloat_FromDouble(d));
    }
    if (PyLong_Check(v)) return steal_or_throw(PyNumber_Index(v));
    if (PyDict_Check(v)) {
        py::dict out;
        for (auto [key, val] : py::reinterpret_borrow<py::dict>(value)) {
            py::object k =
                PyUnicode_Check(key.ptr()) ? py::reinterpret_borrow<py::object>(key) : py::object(pyapi::format(key));
            out[k] = plain(val);
        }
        return out;
    }
    if (PyList_Check(v) || PyTuple_Check(v)) {
        py::list out;
        for (py::handle item : value) out.append(plain(item));
        return out;
    }
    return pyapi::format(value);
}

py::object to_json(const Frame& f) {
    py::object data = plain(f.self().attr("to_dict")());
    py::object json = steal_or_throw(PyImport_ImportModule("json"));
    return json.attr("dumps")(data, "indent"_a = f.arg(1), "allow_nan"_a = false);
}

constexpr Param self_only[] = {{"self"}};
constexpr Param json_params[] = {
    {"self"},
    {"indent", ParamKind::positional_or_keyword, "Optional[int]", "None"},
};

constexpr MethodDef methods[] = {
    {"to_dict", self_only, "Dict[str, Any]", nullptr, to_dict},
    {"to_json", json_params, "str", "The report's to_dict() as standard JSON (NaN and infinities as null).", to_json},
};

}  // namespace

std::span<const FieldDef> report_fields() { return fields; }
std::span<const MethodDef> report_methods() { return methods; }

}  // namespace tamsel::signal
