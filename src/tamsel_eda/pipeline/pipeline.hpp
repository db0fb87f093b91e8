// The analysis entry: eda_report_and_score runs the steps of profile/,
// diagnostics/ and scoring/ in their fixed order and assembles the report.
#pragma once

#include "../pyapi/pyapi.hpp"

namespace tamsel::pipeline {

// eda_report_and_score.
std::span<const pyapi::MethodDef> entry_methods();

}  // namespace tamsel::pipeline
