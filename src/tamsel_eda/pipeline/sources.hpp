// Where the steps' figures come from: the kernels and library calls on a
// pandas frame's rows, or the tables a Dask frame's passes filled. The steps
// that turn figures into sections are the same for both.
#pragma once

#include <memory>
#include <vector>

#include "../diagnostics/diagnostics.hpp"
#include "../profile/profile.hpp"
#include "pipeline.hpp"

namespace tamsel::pipeline {

using analysis::Input;

class FigureSource {
public:
    virtual ~FigureSource() = default;
    // Asked once each, in this order.
    virtual profile::SchemaFigures schema() = 0;
    virtual std::vector<profile::ColumnFigures> column_summaries() = 0;
    virtual profile::RelationshipFigures relationships() = 0;
    virtual std::vector<diagnostics::TargetFigures> targets() = 0;
    virtual diagnostics::AxisFigures time_axis() = 0;
    virtual diagnostics::LeakageFigures leakage() = 0;
    // One line per figure computed on a sample rather than on every row.
    virtual py::list sample_notes() { return py::list(); }
};

// The figures of in.df, a pandas frame. Created right after typing: the
// relationship kernels begin then and run beside the next two steps.
std::unique_ptr<FigureSource> frame_figures(const Input& in);

// Reads the Dask frame `ddf` through the driver's passes for the analysis
// typed in `in` (whose meta is the frame's empty pandas metadata): sets
// in.dist and the row counts, and returns the figures of its tables.
std::unique_ptr<FigureSource> dask_figures(Input& in, py::handle ddf);

}  // namespace tamsel::pipeline
