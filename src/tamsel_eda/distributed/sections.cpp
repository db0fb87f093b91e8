// The sections read straight off the driver's tables: schema and
// missingness, the numeric distributions and the target diagnostics.
#include <cmath>

#include "../diagnostics/diagnostics.hpp"
#include "../profile/profile.hpp"
#include "distributed.hpp"

namespace tamsel::distributed {

analysis::SchemaMissingness schema_and_missingness(const Input& in) {
    analysis::SchemaMissingness out;
    profile::feature_ratio(in, out);
    const py::object& t = in.dist;
    if (in.rows <= 0) {
        out.miss_by_col = py::dict();
        out.miss_total = py::float_(0.0);
        out.rows_with_any_na = py::float_(0.0);
    } else {
        // The same shares in the same column order as the frame's missing
        // mask gives, so the same sort puts them in the same order.
        out.miss_by_col = t.attr("miss_by_col").attr("sort_values")("ascending"_a = false).attr("to_dict")();
        out.miss_total = in.n_cols.equal(py::int_(0)) ? py::float_(Py_NAN) : pyapi::to_float(t.attr("miss_total"));
        out.rows_with_any_na = pyapi::to_float(t.attr("rows_with_any_na"));
    }

    py::object nunique = t.attr("nunique_by_col");
    py::object py_int = pyapi::builtin(in.frame.globals(), "int");
    py::int_ one(1);
    for (py::handle c : in.meta.attr("columns")) {
        py::object u = py_int(nunique[c]);
        out.nunique_by_col[c] = u;
        if (!pyapi::gt(u, one)) out.constant_cols.append(c);
    }
    py::object as_tuple = pyapi::builtin(in.frame.globals(), "tuple");
    for (py::handle pair : t.attr("duplicate_pairs")) out.duplicate_cols.append(as_tuple(pair));

    py::object rare = t.attr("rare_share_by_col");
    for (py::handle c : pyapi::head(in.cat_cols, in.max_cat_features)) {
        if (pyapi::contains(rare, c)) out.rare_cat_stats[c] = pyapi::to_float(rare[c]);
    }
    return out;
}

analysis::Distributions distributions(const Input& in) {
    analysis::Distributions out;
    py::object figures = in.dist.attr("column_summaries");
    py::dict by_column = figures.is_none() ? py::dict() : py::dict(figures.attr("to_dict")("index"));
    // NaN and None pass through as the in-memory step gives them; every
    // number becomes a Python float.
    const auto value = [](py::handle row, const char* key) -> py::object {
        py::object v = row[py::str(key)];
        return v.is_none() ? v : py::object(pyapi::to_float(v));
    };
    for (py::handle c : in.num_cols) {
        py::object row = by_column[c];
        profile::add_column_summary(out, c,
                                    {value(row, "min"), value(row, "median"), value(row, "max"), value(row, "std"),
                                     value(row, "skew"), value(row, "kurtosis"), value(row, "outlier_share")});
    }
    profile::finish_distributions(in, out);
    return out;
}

namespace {

void add_record(const Input& in, py::dict record, py::handle tgt) {
    py::object moments = in.dist.attr("target_moments")[tgt];
    for (const char* key : {"skew", "kurtosis"}) {
        py::object v = moments[py::str(key)];
        record[key] = v.is_none() ? v : py::object(pyapi::to_float(v));
    }
    // The mean of the zero-or-missing flags: their count over the rows (both
    // exact in a double, so the one rounding is the mean's).
    record["zero_share"] =
        in.rows == 0
            ? py::float_(Py_NAN)
            : py::float_(pyapi::as_double(in.dist.attr("target_zero_counts")[tgt]) / static_cast<double>(in.rows));
}

}  // namespace

analysis::TargetDiagnostics target_diagnostics(const Input& in) {
    return diagnostics::target_records(in, [&](py::dict record, py::handle tgt) { add_record(in, record, tgt); });
}

}  // namespace tamsel::distributed
