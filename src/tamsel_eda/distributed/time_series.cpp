// The time-axis section of a Dask frame: the axis facts of the driver's
// passes over every stamp, and each target's stationarity and
// autocorrelation on its most recent points.
#include "../diagnostics/diagnostics.hpp"
#include "distributed.hpp"

namespace tamsel::distributed {

analysis::TimeSeries time_axis(const Input& in) {
    analysis::TimeSeries out;
    out.ts_base_quality = 1.0;
    py::object facts = in.dist.attr("time_axis");
    if (facts[py::str("axis")].is_none()) return out;
    // What the in-memory step reads of its sorted frame: each target's
    // series along the axis (ts_series), or nothing when there are no targets.
    py::object series = in.dist.attr("ts_series");
    out.ts_df = series.is_none() ? py::dict() : py::dict(series);
    const auto stamps = py::cast<Py_ssize_t>(facts[py::str("n_rows")]);
    if (stamps == 0) return out;

    out.inferred = diagnostics::axis_frequency(in, stamps, [&] {
        return diagnostics::reported_alias(py::reinterpret_borrow<py::object>(facts[py::str("inferred_alias")]));
    });
    diagnostics::AxisFacts axis;
    // The driver's share is already 0.0 where pandas inferred the frequency.
    axis.irregular = [&](bool) { return py::reinterpret_borrow<py::object>(facts[py::str("irregular_share")]); };
    axis.periods = [&] { return py::int_(facts[py::str("unique_periods")]); };
    axis.first = [&] { return py::reinterpret_borrow<py::object>(facts[py::str("min")]); };
    axis.last = [&] { return py::reinterpret_borrow<py::object>(facts[py::str("max")]); };
    diagnostics::describe_axis(in, out, axis);
    return out;
}

}  // namespace tamsel::distributed
