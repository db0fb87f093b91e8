// The pieces of the leakage hints that the method and the step's native path
// share, so both build the same reasons from the same checks.
#pragma once

#include "diagnostics.hpp"

namespace tamsel::diagnostics::leak {

// The name check: one reason per target-like label of `columns`, in order,
// 0.15 off the score for each. Not guarded: its errors end the caller.
void name_reasons(const pyapi::Frame& f, py::handle columns, py::list& reasons, double& score);

// "Columns with |r|≥0.99 to target: " followed by the first five hits.
py::str correlation_reason(const pyapi::Frame& f, py::handle hits);

// "Columns identical to target: " followed by the first three labels.
py::str identity_reason(const pyapi::Frame& f, py::handle equal_cols);

// The checks' figures computed without copying the frame, when the
// instance's _leakage_hints_per_target is still the class's own method
// (running `own_body`) and the frame is one whose columns the native checks
// read; false otherwise (`out` untouched), and the method decides.
bool native_checks(const Input& in, pyapi::Body own_body, LeakageFigures& out);

}  // namespace tamsel::diagnostics::leak
