// Plain-language advice, one line per rule that fires, in rule order.
#include "scoring.hpp"

namespace tamsel::scoring {
namespace {

using pyapi::concat;
using pyapi::format;
using pyapi::head;
using pyapi::text;

void time_axis_advice(const analysis::TimeSeries& ts, py::list& recs) {
    // The rule reads the missing share of the timeline, not the irregular
    // spacing share, although its text speaks of an irregular timeline.
    if (pyapi::gt(ts.ts_details.attr("get")("missing_ts_share", 0), py::float_(0.01))) {
        recs.append(text("Irregular timeline; consider regularizing/imputing timestamps (outside EDA)."));
    }
    if (!pyapi::truthy(ts.ts_details.attr("get")("enough_history", true))) {
        recs.append(text("Not enough history; extend time window before DNN."));
    }
    py::object per_target = ts.ts_details.attr("get")("per_target");
    if (!pyapi::truthy(per_target)) return;
    py::list bad;
    const py::float_ threshold(0.1);
    for (py::handle item : per_target.attr("items")()) {
        py::object tgt = item[py::int_(0)];
        py::object rec = item[py::int_(1)];
        // A p-value above 0.1 does not reject a unit root.
        if (rec.attr("get")("adfuller_pvalue").is_none()) continue;
        if (pyapi::gt(rec["adfuller_pvalue"], threshold)) bad.append(tgt);
    }
    if (bad.empty()) return;
    recs.append(concat({"Non-stationary targets (ADF p>0.1): ", format(head(bad, 5)),
                        "; consider differencing or trend/seasonality covariates."}));
}

}  // namespace

py::list recommendations(const Input& in, const analysis::SchemaMissingness& schema,
                         const analysis::Distributions& dist, const analysis::Relationships& rel,
                         const analysis::TimeSeries& ts, const analysis::Components& comp,
                         const analysis::Leakage& leak) {
    py::list recs;

    if (pyapi::gt(schema.miss_total, py::float_(0.05))) {
        recs.append(concat({"Impute or drop features/rows; total missing = ", format(schema.miss_total, ".1%"), "."}));
    }
    if (pyapi::gt(schema.p_over_n, py::float_(0.3))) {
        recs.append(text("High feature:row ratio; consider feature selection/regularization or collect more data."));
    }
    if (pyapi::gt(rel.strong_corr_prop, py::float_(0.1))) {
        recs.append(text("High multicollinearity; drop/merge highly correlated features or use PCA."));
    }
    if (pyapi::gt(dist.outlier_share_overall, py::float_(0.05))) {
        recs.append(text("Notable outliers; winsorize, clip, or robust scaling."));
    }
    if (pyapi::gt(dist.scale_spread_ratio, py::int_(100))) {
        recs.append(text("Large scale differences; standardize/normalize numeric features."));
    }
    if (!comp.high_card.empty()) {
        recs.append(concat({"High-cardinality categoricals ", format(head(comp.high_card, 3)),
                            "; consider embeddings/target encoding."}));
    }
    if (!schema.rare_cat_stats.empty()) {
        py::list rare_vals(schema.rare_cat_stats.attr("values")());
        // nanmax: a column whose share could not be formed does not hide the
        // others, and never enters the list itself (NaN > 0.2 is false).
        if (pyapi::truthy(pyapi::compare(in.g("np").attr("nanmax")(rare_vals), py::float_(0.2), Py_GT))) {
            py::list bad;
            for (auto [c, share] : schema.rare_cat_stats) {
                if (pyapi::gt(share, py::float_(0.2))) bad.append(c);
            }
            recs.append(concat(
                {"Many rare categories in ", format(head(bad, 5)), "; consider grouping rare levels (outside EDA)."}));
        }
    }
    if (!ts.ts_df.is_none()) time_axis_advice(ts, recs);
    if (!schema.constant_cols.empty()) {
        recs.append(concat({"Drop constant features: ", format(head(schema.constant_cols, 10))}));
    }
    if (!schema.duplicate_cols.empty()) {
        recs.append(concat({"Drop duplicate columns (examples): ", format(head(schema.duplicate_cols, 5))}));
    }
    if (!in.target_cols.empty()) {
        const py::str separator("; ");
        for (auto [tgt, reasons] : leak.leakage_reasons_all) {
            recs.append(concat({"Leakage hints for '", format(tgt), "': ", separator.attr("join")(reasons)}));
        }
    }

    return recs;
}

}  // namespace tamsel::scoring
