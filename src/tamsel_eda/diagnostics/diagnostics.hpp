// Target and time-series diagnostics: target distribution, the time axis,
// lags/autocorrelation/stationarity, and leakage hints.
#pragma once

#include <optional>

#include "../analysis/analysis.hpp"

namespace tamsel::diagnostics {

using analysis::Input;

// Steps of the analysis, in the order the entry runs them.
analysis::TargetDiagnostics target_diagnostics(const Input& in);
analysis::TimeSeries time_axis(const Input& in);
analysis::Leakage leakage(const Input& in);

// _canonical_time_lags, _autocorr_at_lags, _seasonality_strength.
std::span<const pyapi::MethodDef> lag_methods();
// _leakage_hints_per_target.
std::span<const pyapi::MethodDef> leakage_methods();

// Piece of the time-axis step that lives in its own file: stationarity and
// autocorrelation of each target along ts.ts_df, into ts.per_target_ts.
void per_target_time_series(const Input& in, analysis::TimeSeries& ts);
// The ADF p-value of y from the native kernel, or nothing where the library
// call must decide (see adf_native.cpp).
std::optional<py::object> native_adf_pvalue(const Input& in, py::handle y);

}  // namespace tamsel::diagnostics
