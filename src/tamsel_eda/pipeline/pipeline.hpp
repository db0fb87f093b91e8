// The analysis entry: eda_report_and_score runs the steps of profile/,
// diagnostics/ and scoring/ in their fixed order and assembles the report.
#pragma once

#include "../pyapi/pyapi.hpp"

namespace tamsel::pipeline {

// eda_report_and_score.
std::span<const pyapi::MethodDef> entry_methods();

// A Polars, PyArrow or DuckDB frame, or an Arrow C stream, converted to
// pandas by its own library; null for any other object.
py::object foreign_to_pandas(py::handle df);

// Whether `df` is a Dask DataFrame; never imports Dask.
bool is_dask_frame(py::handle df);

}  // namespace tamsel::pipeline
