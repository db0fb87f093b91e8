// Target and time-series diagnostics: target distribution and quality, the
// time axis, lags/autocorrelation/stationarity, time-series quality and
// leakage hints.
#pragma once

#include <optional>

#include "../profile/analysis.hpp"

namespace tamsel::diagnostics {

using profile::Analysis;

// Steps of the analysis, in the order the entry runs them.
void target_diagnostics(Analysis& a);  // target_diag
void time_axis(Analysis& a);           // ts_df, ts_details, per_target_ts, ts_base_quality
void leakage(Analysis& a);             // leakage_scores, leakage_reasons_all

// The per-call helpers the breakdown uses: the target_quality component of
// one target column, and the ts_quality component of one target label.
py::object target_quality_for(const Analysis& a, py::handle y_series);
py::object ts_quality_for(const Analysis& a, py::handle tgt);

// _canonical_time_lags, _autocorr_at_lags, _seasonality_strength.
std::span<const pyapi::MethodDef> lag_methods();
// _leakage_hints_per_target.
std::span<const pyapi::MethodDef> leakage_methods();

// Pieces of the time-axis step that live in their own files.
// ts_base_quality from the irregular and missing shares and the history rule.
void base_ts_quality(Analysis& a, py::handle irregular_share, py::handle missing_ts_share, bool enough_hist);
// per_target_ts: stationarity and autocorrelation of each target along ts_df.
void per_target_time_series(Analysis& a);
// The ADF p-value of y from the native kernel, or nothing where the library
// call must decide (see adf_native.cpp).
std::optional<py::object> native_adf_pvalue(const Analysis& a, py::handle y);

}  // namespace tamsel::diagnostics
