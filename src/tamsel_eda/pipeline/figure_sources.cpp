// The figures of a pandas frame: each step's own kernels and library calls.
#include "sources.hpp"

namespace tamsel::pipeline {
namespace {

class FrameFigures final : public FigureSource {
public:
    explicit FrameFigures(const Input& in) : in_(in), relationships_start_(in) {}

    profile::SchemaFigures schema() override { return profile::schema_figures(in_); }
    std::vector<profile::ColumnFigures> column_summaries() override {
        std::vector<profile::ColumnFigures> columns = profile::column_summaries(in_);
        std::size_t at = 0;
        for (py::handle c : in_.num_cols) {
            if (at == columns.size()) break;
            const profile::ColumnFigures& f = columns[at++];
            moments_.push_back({py::reinterpret_borrow<py::object>(c), f.skew, f.kurtosis});
        }
        return columns;
    }
    profile::RelationshipFigures relationships() override {
        return profile::relationship_figures(in_, relationships_start_);
    }
    // A target among the numeric columns shares their skew and kurtosis.
    std::vector<diagnostics::TargetFigures> targets() override { return diagnostics::target_figures(in_, moments_); }
    diagnostics::AxisFigures time_axis() override { return diagnostics::axis_figures(in_); }
    diagnostics::LeakageFigures leakage() override { return diagnostics::leakage_figures(in_); }

private:
    const Input& in_;
    profile::RelationshipsStart relationships_start_;
    std::vector<diagnostics::ColumnMoments> moments_;
};

}  // namespace

std::unique_ptr<FigureSource> frame_figures(const Input& in) { return std::make_unique<FrameFigures>(in); }

}  // namespace tamsel::pipeline
