// The per-target breakdowns and scores, and the overall breakdown and score.
#include "../diagnostics/diagnostics.hpp"
#include "scoring.hpp"

namespace tamsel::scoring {
namespace {

// The ten shared components are the same in every breakdown; only the three
// target components vary.
py::object breakdown(const Analysis& a, py::handle tq, py::handle tsq, py::handle leak) {
    return a.g("EdaScoreBreakdown")(
        "size_adequacy"_a = a.size_score, "feature_to_row_ratio"_a = a.f2r_score, "missingness"_a = a.miss_score,
        "categorical_cardinality"_a = a.cat_card_score, "target_quality"_a = tq, "multicollinearity"_a = a.mc_score,
        "scale_heterogeneity"_a = a.scale_score, "outliers"_a = a.out_score, "ts_quality"_a = tsq,
        "leakage_risk"_a = leak, "redundancy"_a = a.red_score, "split_viability"_a = a.split_score,
        "meta_completeness"_a = a.meta_score);
}

// round(100.0 * total, 1): the interpreter's rounding of the exact binary
// value, ties to even.
py::object score_of(const Analysis& a, py::handle sb) {
    return pyapi::builtin(a.frame.globals(), "round")(py::float_(100.0) * sb.attr("weighted_total")(), 1);
}

// float(np.mean(...)) of one component over target_cols. A target listed
// twice has one dictionary entry but is counted twice here.
py::object mean_over_targets(const Analysis& a, py::dict by_target, const char* component) {
    py::list values;
    for (py::handle tgt : a.target_cols) values.append(by_target[tgt][component]);
    return pyapi::to_float(a.g("np").attr("mean")(values));
}

}  // namespace

void suitability(Analysis& a) {
    if (a.target_cols.empty()) {
        // Neutral target components: nothing to rate, nothing to leak.
        py::object tsq = a.ts_df.is_none() ? py::float_(0.8) : py::float_(a.ts_base_quality);
        a.score_breakdown = breakdown(a, py::float_(0.7), tsq, py::float_(1.0));
        a.total = score_of(a, a.score_breakdown);
        a.suitability_by_target = py::none();
        a.score_breakdown_by_target = py::none();
        return;
    }

    py::dict scores, breakdowns;
    py::object is_numeric_dtype = a.g("pd").attr("api").attr("types").attr("is_numeric_dtype");
    py::object asdict = a.g("asdict");
    for (py::handle tgt : a.target_cols) {
        py::object tgt_series = a.df[tgt];
        py::object tq = pyapi::truthy(is_numeric_dtype(tgt_series)) ? diagnostics::target_quality_for(a, tgt_series)
                                                                    : py::float_(0.6);
        py::object tsq = diagnostics::ts_quality_for(a, tgt);
        py::object leak = a.leakage_scores.attr("get")(tgt, 1.0);
        py::object sb = breakdown(a, tq, tsq, leak);
        scores[tgt] = score_of(a, sb);
        breakdowns[tgt] = asdict(sb);
    }

    a.score_breakdown = breakdown(a, mean_over_targets(a, breakdowns, "target_quality"),
                                  mean_over_targets(a, breakdowns, "ts_quality"),
                                  mean_over_targets(a, breakdowns, "leakage_risk"));
    // From the averaged breakdown, not the mean of the per-target scores:
    // the two can differ in the last rounded digit.
    a.total = score_of(a, a.score_breakdown);
    a.suitability_by_target = scores;
    a.score_breakdown_by_target = breakdowns;
}

}  // namespace tamsel::scoring
