// Target and time-series diagnostics: target distribution, the time axis,
// lags/autocorrelation/stationarity, and leakage hints.
#pragma once

#include <functional>
#include <optional>

#include "../analysis/analysis.hpp"

namespace tamsel::diagnostics {

using analysis::Input;

// Steps of the analysis, in the order the entry runs them.
analysis::TargetDiagnostics target_diagnostics(const Input& in);
// The section's layout (one target named, several per target), each
// target's figures from `add_record`.
using TargetRecord = std::function<void(py::dict record, py::handle tgt)>;
analysis::TargetDiagnostics target_records(const Input& in, const TargetRecord& add_record);
analysis::TimeSeries time_axis(const Input& in);
analysis::Leakage leakage(const Input& in);

// The time-axis step over an axis whose facts come from elsewhere (a Dask
// frame's passes): out.ts_df and out.inferred set by the caller, then the
// facts below. Each is asked only where the in-memory step would compute it.
struct AxisFacts {
    // The share of gaps off the most common one (0.0 when pandas inferred
    // the frequency, the argument, or there are no gaps).
    std::function<py::object(bool)> irregular;
    std::function<py::int_()> periods;        // distinct stamps
    std::function<py::object()> first, last;  // the axis' smallest and largest stamp
};
void describe_axis(const Input& in, analysis::TimeSeries& out, const AxisFacts& facts);
// The frequency of an axis of `stamps` stamps: the caller's freq, else what
// `infer` reports (pandas' inference of the sorted stamps through
// reported_alias), never inferred from fewer than three stamps.
py::object axis_frequency(const Input& in, Py_ssize_t stamps, const std::function<py::object()>& infer);
// infer_freq's result as the report names it: the alias text (an offset's
// freqstr), quarter-start anchors named by their last quarter; None stays.
py::object reported_alias(py::object found);

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
