// The per-target breakdowns and scores, and the overall breakdown and score.
#include "scoring.hpp"

namespace tamsel::scoring {

using analysis::Components;

namespace {

// The ten shared components are the same in every breakdown; only the three
// target components vary.
py::object breakdown(const Input& in, const Components& comp, py::handle tq, py::handle tsq, py::handle lr) {
    return in.g("EdaScoreBreakdown")(
        "size_adequacy"_a = comp.size_score, "feature_to_row_ratio"_a = comp.f2r_score,
        "missingness"_a = comp.miss_score, "categorical_cardinality"_a = comp.cat_card_score, "target_quality"_a = tq,
        "multicollinearity"_a = comp.mc_score, "scale_heterogeneity"_a = comp.scale_score,
        "outliers"_a = comp.out_score, "ts_quality"_a = tsq, "leakage_risk"_a = lr, "redundancy"_a = comp.red_score,
        "split_viability"_a = comp.split_score, "meta_completeness"_a = comp.meta_score);
}

// round(100.0 * total, 1): the interpreter's rounding of the exact binary
// value, ties to even.
py::object score_of(const Input& in, py::handle sb) {
    return pyapi::builtin(in.frame.globals(), "round")(py::float_(100.0) * sb.attr("weighted_total")(), 1);
}

// float(np.mean(...)) of one component over target_cols. A target listed
// twice has one dictionary entry but is counted twice here.
py::object mean_over_targets(const Input& in, py::dict by_target, const char* component) {
    py::list values;
    for (py::handle tgt : in.target_cols) values.append(by_target[tgt][component]);
    return pyapi::to_float(in.g("np").attr("mean")(values));
}

}  // namespace

analysis::Suitability suitability(const Input& in, const Components& comp, const analysis::TargetDiagnostics& target,
                                  const analysis::TimeSeries& ts, const analysis::Leakage& leak) {
    analysis::Suitability out;
    if (in.target_cols.empty()) {
        // Neutral target components: nothing to rate, nothing to leak.
        py::object tsq = ts.ts_df.is_none() ? py::float_(0.8) : py::float_(ts.ts_base_quality);
        out.score_breakdown = breakdown(in, comp, py::float_(0.7), tsq, py::float_(1.0));
        out.total = score_of(in, out.score_breakdown);
        out.suitability_by_target = py::none();
        out.score_breakdown_by_target = py::none();
        return out;
    }

    py::dict scores, breakdowns;
    py::object asdict = in.g("asdict");
    for (py::handle tgt : in.target_cols) {
        py::object tq = target.numeric_targets.contains(tgt) ? target_quality_for(in, target, tgt) : py::float_(0.6);
        py::object tsq = ts_quality_for(in, ts, tgt);
        py::object lr = leak.leakage_scores.attr("get")(tgt, 1.0);
        py::object sb = breakdown(in, comp, tq, tsq, lr);
        scores[tgt] = score_of(in, sb);
        breakdowns[tgt] = asdict(sb);
    }

    out.score_breakdown =
        breakdown(in, comp, mean_over_targets(in, breakdowns, "target_quality"),
                  mean_over_targets(in, breakdowns, "ts_quality"), mean_over_targets(in, breakdowns, "leakage_risk"));
    // From the averaged breakdown, not the mean of the per-target scores:
    // the two can differ in the last rounded digit.
    out.total = score_of(in, out.score_breakdown);
    out.suitability_by_target = scores;
    out.score_breakdown_by_target = breakdowns;
    return out;
}

}  // namespace tamsel::scoring
