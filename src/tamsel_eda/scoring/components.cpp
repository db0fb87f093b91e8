// The ten dataset-wide components of the breakdown, and the high-cardinality
// pairs that the advice lists.
#include "scoring.hpp"

namespace tamsel::scoring {

using analysis::Components;
using analysis::Distributions;
using analysis::Relationships;
using analysis::SchemaMissingness;
using analysis::TimeSeries;

namespace {

// The built-in min(c, x) with the constant first: x wins only when it
// compares smaller, so a NaN x yields the constant.
double min_constant_first(double c, double x) { return x < c ? x : c; }

// Through the instance, so a subclass's clamp is the one applied.
double pct(const Input& in, py::handle x) { return pyapi::as_double(in.method("_pct")(x)); }

double size_adequacy(Py_ssize_t rows) {
    if (rows >= 50000) return 1.0;
    if (rows >= 10000) return 0.7;
    if (rows >= 2000) return 0.4;
    return 0.2;
}

double rows_per_feature_score(double f2r) {
    if (f2r >= 30) return 1.0;
    if (f2r >= 20) return 0.8;
    if (f2r >= 10) return 0.6;
    if (f2r >= 5) return 0.3;
    return 0.1;
}

// The schema step already counted the distinct values of every column it
// could (a Dask frame's every column); a label it left out is counted here.
// A count that raises leaves the column out of the cardinality score (null
// result).
py::object distinct_count(const Input& in, const SchemaMissingness& schema, py::handle c) {
    PyObject* known = PyDict_GetItemWithError(schema.nunique_by_col.ptr(), c.ptr());
    if (known) return py::reinterpret_borrow<py::object>(known);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (in.df.is_none()) return py::object();
    return pyapi::guarded([&]() -> py::object { return in.column(c).attr("nunique")("dropna"_a = true); },
                          [] { return py::object(); });
}

double cardinality_penalty(const Input& in, const SchemaMissingness& schema, py::list& high_card) {
    const py::int_ many_levels(1000), very_many_levels(10000);
    double pen = 0.0;
    for (py::handle c : in.cat_cols) {
        py::object u = distinct_count(in, schema, c);
        if (!u) continue;
        // On a small frame a thousand levels already leave few rows per
        // level; on a large one only very wide columns are penalised.
        if (pyapi::gt(u, many_levels) && in.rows < 10000) {
            pen += 0.1;
        } else if (pyapi::gt(u, very_many_levels)) {
            pen += 0.15;
        } else {
            continue;
        }
        high_card.append(py::make_tuple(c, u));
    }
    return pen;
}

double rare_level_penalty(const Input& in, const SchemaMissingness& schema) {
    py::list rare_vals(schema.rare_cat_stats.attr("values")());
    if (rare_vals.empty()) return 0.0;
    // All shares NaN: the NaN mean loses against the constant, full penalty.
    double mean = pyapi::as_double(pyapi::to_float(in.g("np").attr("nanmean")(rare_vals)));
    return min_constant_first(0.1, mean);
}

double scale_heterogeneity(const Distributions& dist) {
    if (dist.scale_ranges.empty()) return 0.8;
    const double ratio = pyapi::as_double(dist.scale_spread_ratio);
    if (ratio <= 10) return 1.0;
    if (ratio <= 100) return 0.8;
    if (ratio <= 1000) return 0.6;
    return 0.4;  // also infinity and NaN
}

double redundancy_penalty(const SchemaMissingness& schema) {
    double pen = 0.0;
    if (!schema.constant_cols.empty())
        pen += min_constant_first(0.4, static_cast<double>(schema.constant_cols.size()) * 0.02);
    if (!schema.duplicate_cols.empty())
        pen += min_constant_first(0.4, static_cast<double>(schema.duplicate_cols.size()) * 0.02);
    return pen;
}

double split_viability(const Input& in, const TimeSeries& ts) {
    if (!ts.ts_df.is_none()) {
        // An axis whose history was never judged counts as long enough.
        return pyapi::truthy(ts.ts_details.attr("get")("enough_history", true)) ? 1.0 : 0.5;
    }
    if (in.rows >= 1000) return 1.0;
    if (in.rows >= 300) return 0.7;
    return 0.4;
}

}  // namespace

Components score_components(const Input& in, const SchemaMissingness& schema, const Distributions& dist,
                            const Relationships& rel, const TimeSeries& ts) {
    Components out;
    out.size_score = py::float_(size_adequacy(in.rows));

    const Py_ssize_t n_feat = static_cast<Py_ssize_t>(in.feat_cols.size());
    const double f2r = pyapi::as_double(in.n_rows / py::int_(n_feat > 1 ? n_feat : 1));
    out.f2r_score = py::float_(rows_per_feature_score(f2r));

    out.miss_score = py::float_(1.0 - pct(in, schema.miss_total));

    out.high_card = py::list();
    const double cat_card_pen = cardinality_penalty(in, schema, out.high_card);
    const double rare_pen = rare_level_penalty(in, schema);
    out.cat_card_score = py::float_(pct(in, py::float_(1.0 - min_constant_first(0.9, cat_card_pen + rare_pen))));

    out.mc_score = py::float_(1.0 - pct(in, rel.strong_corr_prop));
    out.scale_score = py::float_(scale_heterogeneity(dist));
    out.out_score = py::float_(1.0 - min_constant_first(0.8, pyapi::as_double(dist.outlier_share_overall) * 1.2));
    out.red_score = py::float_(pct(in, py::float_(1.0 - redundancy_penalty(schema))));
    out.split_score = py::float_(split_viability(in, ts));

    double meta = 1.0;
    if (in.target_cols.empty()) meta -= 0.3;
    out.meta_score = py::float_(pct(in, py::float_(meta)));
    return out;
}

}  // namespace tamsel::scoring
