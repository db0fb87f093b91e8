// EdaReport: the value one analysis returns, and its dictionary view.
#include "report.hpp"

namespace tamsel::report {
namespace {

using pyapi::FieldDef;
using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;

constexpr FieldDef fields[] = {
    {"schema", "Dict[str, Any]"},
    {"missingness", "Dict[str, Any]"},
    {"distributions", "Dict[str, Any]"},
    {"relationships", "Dict[str, Any]"},
    {"time_series", "Dict[str, Any]"},
    {"target", "Dict[str, Any]"},
    {"score_breakdown", "EdaScoreBreakdown"},
    {"suitability_score", "float"},
    {"recommendations", "List[str]"},
    {"suitability_score_by_target", "Optional[Dict[str, float]]", "None"},
    {"score_breakdown_by_target", "Optional[Dict[str, Dict[str, float]]]", "None"},
};

// Every section is the report's own object; only the breakdown is a fresh
// dictionary, and the per-target entries appear only when they were set.
py::object to_dict(const Frame& f) {
    py::handle self = f.self();
    py::dict out;
    for (const char* key : {"schema", "missingness", "distributions", "relationships", "time_series", "target"}) {
        out[key] = self.attr(key);
    }
    out["score_breakdown"] = f.g("asdict")(self.attr("score_breakdown"));
    out["suitability_score"] = self.attr("suitability_score");
    out["recommendations"] = self.attr("recommendations");
    for (const char* key : {"suitability_score_by_target", "score_breakdown_by_target"}) {
        py::object value = self.attr(key);
        if (!value.is_none()) out[key] = value;
    }
    return out;
}

constexpr Param self_only[] = {{"self"}};

constexpr MethodDef methods[] = {
    {"to_dict", self_only, "Dict[str, Any]", nullptr, to_dict},
};

}  // namespace

std::span<const FieldDef> report_fields() { return fields; }
std::span<const MethodDef> report_methods() { return methods; }

}  // namespace tamsel::report
