// Scoring and advice: the dataset-wide components, the per-target
// components, the breakdowns and scores, and the recommendations.
#pragma once

#include "../analysis/analysis.hpp"

namespace tamsel::scoring {

using analysis::Input;

// The ten shared components and high_card.
analysis::Components score_components(const Input& in, const analysis::SchemaMissingness& schema,
                                      const analysis::Distributions& dist, const analysis::Relationships& rel,
                                      const analysis::TimeSeries& ts);
// Per-target and overall breakdowns and scores.
analysis::Suitability suitability(const Input& in, const analysis::Components& comp,
                                  const analysis::TargetDiagnostics& target, const analysis::TimeSeries& ts,
                                  const analysis::Leakage& leak);
// recs: one line per rule that fires, in rule order.
py::list recommendations(const Input& in, const analysis::SchemaMissingness& schema,
                         const analysis::Distributions& dist, const analysis::Relationships& rel,
                         const analysis::TimeSeries& ts, const analysis::Components& comp,
                         const analysis::Leakage& leak);

// The target components of one breakdown, each of one target label.
py::object target_quality_for(const Input& in, const analysis::TargetDiagnostics& target, py::handle tgt);
py::object ts_quality_for(const Input& in, const analysis::TimeSeries& ts, py::handle tgt);

}  // namespace tamsel::scoring
