// The report model: the score breakdown record with its weights and the
// report record with its dictionary form.
#pragma once

#include <utility>

#include "../pyapi/pyapi.hpp"

namespace tamsel::report {

std::span<const pyapi::FieldDef> score_breakdown_fields();
std::span<const pyapi::MethodDef> score_breakdown_methods();
// The 13 component names and their weights, in field order.
std::span<const std::pair<const char*, int>> component_weights();

std::span<const pyapi::FieldDef> report_fields();
std::span<const pyapi::MethodDef> report_methods();

}  // namespace tamsel::report
