// The comparison report: a data class of its own beside EdaReport, its
// dictionary view and save_reference. Created at module init like
// EdaReport, but kept by EDA.compare rather than bound in the module
// namespace, which keeps exactly its published names.
#include "compare.hpp"

namespace tamsel::compare {
namespace {

using pyapi::FieldDef;
using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;

constexpr FieldDef fields[] = {
    {"reference_rows", "int"},
    {"current_rows", "int"},
    {"columns_added", "List[Any]"},
    {"columns_removed", "List[Any]"},
    {"columns_type_changed", "List[Dict[str, Any]]"},
    {"drifted_columns", "List[Any]"},
    {"drift_share", "Optional[float]"},
    {"columns", "Dict[Any, Dict[str, Any]]"},
    {"domain_classifier", "Dict[str, Any]"},
    {"targets", "Dict[Any, Dict[str, Any]]"},
    {"suitability", "Dict[str, Any]"},
    {"notes", "List[str]"},
};

py::object to_dict(const Frame& f) {
    py::dict out;
    for (const FieldDef& field : fields) out[field.name] = f.self().attr(field.name);
    return out;
}

// The file is JSON: floats round-trip exactly through their shortest text,
// and a value JSON has no word for (a level that is a timestamp, say) is
// written as its text.
py::object save_reference(const Frame& f) {
    py::object profile = pyapi::getattr_or_none(f.self(), "_reference_profile");
    if (profile.is_none()) {
        PyErr_SetString(PyExc_ValueError, "this report holds no reference figures to save");
        throw py::error_already_set();
    }
    py::object json = pyapi::steal_or_throw(PyImport_ImportModule("json"));
    py::object builtins = pyapi::steal_or_throw(PyImport_ImportModule("builtins"));
    py::object text = json.attr("dumps")(profile, "default"_a = builtins.attr("str"));
    py::object handle = builtins.attr("open")(f.arg(1), "w", "encoding"_a = "utf-8");
    try {
        handle.attr("write")(text);
    } catch (py::error_already_set&) {
        handle.attr("close")();
        throw;
    }
    handle.attr("close")();
    return py::none();
}

constexpr Param self_only[] = {{"self"}};
constexpr Param path_params[] = {{"self"}, {"path", ParamKind::positional_or_keyword, "Any"}};

constexpr MethodDef methods[] = {
    {"to_dict", self_only, "Dict[str, Any]", nullptr, to_dict},
    {"save_reference", path_params, "None",
     "Write the reference side's figures to `path`, for a later compare(path, current) without the raw data.",
     save_reference},
};

}  // namespace

std::span<const FieldDef> report_fields() { return fields; }
std::span<const MethodDef> report_methods() { return methods; }

}  // namespace tamsel::compare
