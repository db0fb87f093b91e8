// Plain-language advice, one line per rule that fires, in rule order.
#include "scoring.hpp"

namespace tamsel::scoring {
namespace {

using pyapi::concat;
using pyapi::format;
using pyapi::text;

py::object first_n(py::handle seq, Py_ssize_t n) { return seq[py::slice(0, n, 1)]; }

void time_axis_advice(const Analysis& a, py::list& recs) {
    // The rule reads the missing share of the timeline, not the irregular
    // spacing share, although its text speaks of an irregular timeline.
    if (pyapi::gt(a.ts_details.attr("get")("missing_ts_share", 0), py::float_(0.01))) {
        recs.append(text("Irregular timeline; consider regularizing/imputing timestamps (outside EDA)."));
    }
    if (!pyapi::truthy(a.ts_details.attr("get")("enough_history", true))) {
        recs.append(text("Not enough history; extend time window before DNN."));
    }
    py::object per_target = a.ts_details.attr("get")("per_target");
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
    recs.append(concat({"Non-stationary targets (ADF p>0.1): ", format(first_n(bad, 5)),
                        "; consider differencing or trend/seasonality covariates."}));
}

}  // namespace

void recommendations(Analysis& a) {
    py::list recs;

    if (pyapi::gt(a.miss_total, py::float_(0.05))) {
        recs.append(concat({"Impute or drop features/rows; total missing = ", format(a.miss_total, ".1%"),
                            "."}));
    }
    if (pyapi::gt(a.p_over_n, py::float_(0.3))) {
        recs.append(text("High feature:row ratio; consider feature selection/regularization or collect more data."));
    }
    if (pyapi::gt(a.strong_corr_prop, py::float_(0.1))) {
        recs.append(text("High multicollinearity; drop/merge highly correlated features or use PCA."));
    }
    if (pyapi::gt(a.outlier_share_overall, py::float_(0.05))) {
        recs.append(text("Notable outliers; winsorize, clip, or robust scaling."));
    }
    if (pyapi::gt(a.scale_spread_ratio, py::int_(100))) {
        recs.append(text("Large scale differences; standardize/normalize numeric features."));
    }
    if (!a.high_card.empty()) {
        recs.append(concat({"High-cardinality categoricals ", format(first_n(a.high_card, 3)),
                            "; consider embeddings/target encoding."}));
    }
    if (!a.rare_cat_stats.empty()) {
        py::list rare_vals(a.rare_cat_stats.attr("values")());
        // nanmax: a column whose share could not be formed does not hide the
        // others, and never enters the list itself (NaN > 0.2 is false).
        if (pyapi::truthy(pyapi::compare(a.g("np").attr("nanmax")(rare_vals), py::float_(0.2), Py_GT))) {
            py::list bad;
            for (auto [c, share] : a.rare_cat_stats) {
                if (pyapi::gt(share, py::float_(0.2))) bad.append(c);
            }
            recs.append(concat({"Many rare categories in ", format(first_n(bad, 5)),
                                "; consider grouping rare levels (outside EDA)."}));
        }
    }
    if (!a.ts_df.is_none()) time_axis_advice(a, recs);
    if (!a.constant_cols.empty()) {
        recs.append(concat({"Drop constant features: ", format(first_n(a.constant_cols, 10))}));
    }
    if (!a.duplicate_cols.empty()) {
        recs.append(concat({"Drop duplicate columns (examples): ", format(first_n(a.duplicate_cols, 5))}));
    }
    if (!a.target_cols.empty()) {
        const py::str separator("; ");
        for (auto [tgt, reasons] : a.leakage_reasons_all) {
            recs.append(
                concat({"Leakage hints for '", format(tgt), "': ", separator.attr("join")(reasons)}));
        }
    }

    a.recs = recs;
}

}  // namespace tamsel::scoring
