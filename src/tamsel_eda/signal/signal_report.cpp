// SignalReport: the value a signal check returns and its dictionary view.
#include "signal.hpp"

namespace tamsel::signal {
namespace {

using pyapi::FieldDef;
using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;

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

constexpr Param self_only[] = {{"self"}};

// to_json is the analysis report's own (render/json.cpp), over this to_dict.
constexpr MethodDef methods[] = {
    {"to_dict", self_only, "Dict[str, Any]", nullptr, to_dict},
};

}  // namespace

std::span<const FieldDef> report_fields() { return fields; }
std::span<const MethodDef> report_methods() { return methods; }

}  // namespace tamsel::signal
