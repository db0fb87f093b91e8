// Target and time-series diagnostics: target distribution, the time axis,
// lags/autocorrelation/stationarity, and leakage hints.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "../analysis/analysis.hpp"

namespace tamsel::diagnostics {

using analysis::Input;

// Each step reads its figures, which come from a pandas frame's rows (the
// producers below) or from elsewhere (a Dask frame's passes).

// One target's shape figures; one per entry of target_cols, in order.
struct TargetFigures {
    py::object skew, kurtosis, zero_share;
};
// A numeric column's skew and kurtosis as the distribution step computed
// them, which a target of that column shares.
struct ColumnMoments {
    py::object label, skew, kurtosis;
};
// `known`: the distribution step's figures, reused for a target whose
// values the step read as they are (a NumPy number dtype) while the
// moments are the class's own library calls.
std::vector<TargetFigures> target_figures(const Input& in, const std::vector<ColumnMoments>& known = {});
analysis::TargetDiagnostics target_diagnostics(const Input& in, const std::vector<TargetFigures>& targets);

// The facts of a time axis, each asked only where the step needs it.
struct AxisFacts {
    // The share of gaps off the most common one (0.0 without gaps); the
    // argument is false where the share goes unreported, which a source may
    // then skip.
    std::function<py::object(bool)> irregular;
    std::function<py::int_()> periods;        // distinct stamps
    std::function<py::object()> first, last;  // the axis' smallest and largest stamp
};
struct AxisFigures {
    // What the per-target diagnostics read along the axis (the frame sorted
    // by it, or each target's series); None when there is no axis.
    py::object ts_df = py::none();
    Py_ssize_t stamps = 0;
    // pandas' inference of the sorted stamps, through reported_alias; asked
    // only when no freq was given and there are three stamps or more.
    std::function<py::object()> infer;
    AxisFacts facts;  // set when there are stamps
};
AxisFigures axis_figures(const Input& in);
// The figures of an axis `ts_df` (a frame sorted by the axis and indexed by
// it; None: no axis).
AxisFigures axis_figures_of(const Input& in, py::object ts_df);
// `frame` sorted by its time column and indexed by it, as the analysis takes
// a time column; None where pandas cannot (a label naming several columns,
// values that do not order).
py::object along_column(py::handle frame, py::handle column);
analysis::TimeSeries time_axis(const Input& in, const AxisFigures& axis);
// infer_freq's result as the report names it: the alias text (an offset's
// freqstr), quarter-start anchors named by their last quarter; None stays.
py::object reported_alias(py::object found);
// pd.infer_freq(index), through reported_alias.
py::object inferred_alias(const Input& in, py::handle index);

// What the leakage hints read of each target: the candidate features with
// |r| >= 0.99 to it, and those identical to it (lists of labels, by target).
struct LeakageFigures {
    py::object candidates;  // the labels of the frame without its targets
    py::dict correlated, identical;
    // Where an overriding _leakage_hints_per_target decides, its hints.
    std::optional<analysis::Leakage> hints;
};
LeakageFigures leakage_figures(const Input& in);
analysis::Leakage leakage(const Input& in, const LeakageFigures& figures);

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
