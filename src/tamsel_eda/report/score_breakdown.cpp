// EdaScoreBreakdown: 13 component scores and their fixed integer weights.
#include <array>
#include <utility>

#include "report.hpp"

namespace tamsel::report {
namespace {

using pyapi::FieldDef;
using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;

constexpr std::array<std::pair<const char*, int>, 13> weights = {{
    {"size_adequacy", 15},
    {"feature_to_row_ratio", 10},
    {"missingness", 10},
    {"categorical_cardinality", 8},
    {"target_quality", 8},
    {"multicollinearity", 8},
    {"scale_heterogeneity", 5},
    {"outliers", 5},
    {"ts_quality", 10},
    {"leakage_risk", 6},
    {"redundancy", 5},
    {"split_viability", 5},
    {"meta_completeness", 5},
}};

constexpr std::array<FieldDef, 13> fields = [] {
    std::array<FieldDef, 13> out{};
    for (std::size_t i = 0; i < weights.size(); ++i) out[i] = FieldDef{weights[i].first, "float"};
    return out;
}();

// The products are summed by the interpreter's sum(), whose float
// accumulation is compensated: a hand-written loop would differ in the last
// bit on some inputs.
py::object weighted_total(const Frame& f) {
    py::list products;
    for (const auto& [name, weight] : weights) {
        products.append(py::object(f.self().attr(name)) * py::int_(weight));
    }
    py::object total = pyapi::builtin(f.globals(), "sum")(products);
    return pyapi::to_float(total) / py::float_(100.0);
}

constexpr Param self_only[] = {{"self"}};

constexpr MethodDef methods[] = {
    {"weighted_total", self_only, "float", nullptr, weighted_total},
};

}  // namespace

std::span<const FieldDef> score_breakdown_fields() { return fields; }
std::span<const MethodDef> score_breakdown_methods() { return methods; }
std::span<const std::pair<const char*, int>> component_weights() { return weights; }

}  // namespace tamsel::report
