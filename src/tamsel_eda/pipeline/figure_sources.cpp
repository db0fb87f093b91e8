// The figures of a pandas frame: each step's own kernels and library calls.
#include "sources.hpp"

namespace tamsel::pipeline {
namespace {

class FrameFigures final : public FigureSource {
public:
    explicit FrameFigures(const Input& in) : in_(in), relationships_start_(in) {}

    profile::SchemaFigures schema() override { return profile::schema_figures(in_); }
    std::vector<profile::ColumnFigures> column_summaries() override { return profile::column_summaries(in_); }
    profile::RelationshipFigures relationships() override {
        return profile::relationship_figures(in_, relationships_start_);
    }
    std::vector<diagnostics::TargetFigures> targets() override { return diagnostics::target_figures(in_); }
    diagnostics::AxisFigures time_axis() override { return diagnostics::axis_figures(in_); }
    diagnostics::LeakageFigures leakage() override { return diagnostics::leakage_figures(in_); }

private:
    const Input& in_;
    profile::RelationshipsStart relationships_start_;
};

}  // namespace

std::unique_ptr<FigureSource> frame_figures(const Input& in) { return std::make_unique<FrameFigures>(in); }

}  // namespace tamsel::pipeline
