// eda_report_and_score: argument checks, target resolution, column typing,
// the analysis steps in their fixed order, and the report assembly.
#include "../diagnostics/diagnostics.hpp"
#include "../scoring/scoring.hpp"
#include "analysis.hpp"

namespace tamsel::profile {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;

void check_frame(Analysis& a) {
    const int is_frame = PyObject_IsInstance(a.df.ptr(), a.g("pd").attr("DataFrame").ptr());
    if (is_frame < 0) throw py::error_already_set();
    if (!is_frame) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
}

void resolve_targets(Analysis& a) {
    py::object columns = a.df.attr("columns");
    py::handle target = a.target;
    if (target.is_none()) return;
    if (PyUnicode_Check(target.ptr())) {
        if (pyapi::contains(columns, target)) a.target_cols.append(target);
        return;
    }
    if (PyList_Check(target.ptr()) || PyTuple_Check(target.ptr()) || PySet_Check(target.ptr())) {
        // A set contributes its own iteration order; duplicates in a list or
        // tuple stay, so a target named twice is analysed twice.
        for (py::handle t : py::list(a.target)) {
            if (pyapi::contains(columns, t)) a.target_cols.append(t);
        }
        return;
    }
    PyErr_SetString(PyExc_TypeError, "target must be None, str, or list/tuple/set of str");
    throw py::error_already_set();
}

// A repeated label makes df[c] a frame instead of a column, and the
// analysis would fail deep inside with an unrelated message.
void require_unique_labels(Analysis& a) {
    py::object columns = a.df.attr("columns");
    if (pyapi::truthy(columns.attr("is_unique"))) return;
    // keep=False marks every occurrence, so unique() lists each repeated
    // label once at its first position.
    py::object dup = columns[columns.attr("duplicated")("keep"_a = false)].attr("unique")().attr("tolist")();
    py::str message = pyapi::concat({"column labels must be unique; duplicated: ", pyapi::format(dup)});
    PyErr_SetObject(PyExc_ValueError, message.ptr());
    throw py::error_already_set();
}

void type_columns(Analysis& a) {
    py::object columns = a.df.attr("columns");
    py::object types = a.g("pd").attr("api").attr("types");
    py::object is_numeric = a.method("_is_numeric");
    py::object is_categorical = a.method("_is_categorical");
    for (py::handle c : columns) {
        if (pyapi::truthy(is_numeric(a.df[c]))) a.num_cols.append(c);
    }
    for (py::handle c : columns) {
        if (pyapi::truthy(is_categorical(a.df[c]))) a.cat_cols.append(c);
    }
    py::object is_bool = types.attr("is_bool_dtype");
    for (py::handle c : columns) {
        if (pyapi::truthy(is_bool(a.df[c]))) a.bool_cols.append(c);
    }
    py::object is_datetime = types.attr("is_datetime64_any_dtype");
    for (py::handle c : columns) {
        if (pyapi::truthy(is_datetime(a.df[c]))) a.dt_cols.append(c);
    }
    for (py::handle c : columns) {
        if (!pyapi::contains(a.target_cols, c)) a.feat_cols.append(c);
    }
}

// dict(sorted(m.items(), key=lambda kv: kv[1], reverse=True)) per target.
py::dict sorted_per_target(const Analysis& a, py::dict by_target) {
    py::dict out;
    for (auto [tgt, scores] : by_target) {
        out[tgt] = py::dict(pyapi::sorted_by_value_desc(a.frame.globals(), scores.attr("items")()));
    }
    return out;
}

py::object assemble(Analysis& a) {
    const bool has_targets = !a.target_cols.empty();

    py::dict schema;
    schema["n_rows"] = py::int_(a.n_rows);
    schema["n_cols"] = py::int_(a.n_cols);
    schema["feature_to_row_ratio"] = pyapi::to_float(a.p_over_n);
    schema["numeric_cols"] = a.num_cols;
    schema["categorical_cols"] = a.cat_cols;
    schema["datetime_cols"] = a.dt_cols;
    schema["bool_cols"] = a.bool_cols;
    schema["constant_cols"] = a.constant_cols;
    schema["duplicate_cols_examples"] = a.duplicate_cols[py::slice(0, 5, 1)];
    schema["targets"] = has_targets ? py::object(a.target_cols) : py::none();

    py::dict missingness;
    missingness["total_missing_share"] = a.miss_total;
    missingness["rows_with_any_missing_share"] = a.rows_with_any_na;
    missingness["by_column_missing_share"] = a.miss_by_col;

    py::dict distributions;
    distributions["numeric_summary"] = a.num_stats;
    distributions["outlier_share_overall"] = a.outlier_share_overall;
    distributions["scale_spread_ratio"] = a.scale_spread_ratio;

    py::dict relationships;
    relationships["corr_method"] = a.corr_method;
    relationships["strong_corr_proportion_thr_0.95"] = a.strong_corr_prop;
    relationships["rare_category_share_by_col"] = a.rare_cat_stats;
    if (has_targets && !a.num_rel_by_target.empty()) {
        relationships["mutual_information_top_by_target"] = sorted_per_target(a, a.num_rel_by_target);
    }
    if (has_targets && !a.cat_rel_by_target.empty()) {
        relationships["cat_corr_ratio_top_by_target"] = sorted_per_target(a, a.cat_rel_by_target);
    }

    py::dict target_sec;
    if (has_targets) {
        target_sec["task"] = "regression";
        for (auto [k, v] : a.target_diag) target_sec[k] = v;
    }

    return a.g("EdaReport")("schema"_a = schema, "missingness"_a = missingness, "distributions"_a = distributions,
                            "relationships"_a = relationships, "time_series"_a = a.ts_details,
                            "target"_a = target_sec, "score_breakdown"_a = a.score_breakdown,
                            "suitability_score"_a = a.total, "recommendations"_a = a.recs,
                            "suitability_score_by_target"_a = a.suitability_by_target,
                            "score_breakdown_by_target"_a = a.score_breakdown_by_target);
}

// bench/ times the steps inside the real call: when the module global
// _step_clock holds a callable, it is called with the name of each step as
// the step begins, and with "end" after the report is built. Absent, it
// costs one dictionary lookup per analysis.
class StepClock {
public:
    explicit StepClock(py::handle globals) {
        PyObject* hook = PyDict_GetItemString(globals.ptr(), "_step_clock");
        if (hook && hook != Py_None) hook_ = py::reinterpret_borrow<py::object>(hook);
    }
    void operator()(const char* step) const {
        if (hook_) hook_(step);
    }

private:
    py::object hook_;
};

py::object eda_report_and_score(const Frame& f) {
    const StepClock clock(f.globals());
    clock("typing");
    Analysis a(f);
    a.df = py::reinterpret_borrow<py::object>(f.arg(1));
    a.target = py::reinterpret_borrow<py::object>(f.arg(2));
    a.datetime_col = py::reinterpret_borrow<py::object>(f.arg(3));
    a.freq = py::reinterpret_borrow<py::object>(f.arg(4));
    a.max_mi_features = py::reinterpret_borrow<py::object>(f.arg(5));
    a.max_cat_features = py::reinterpret_borrow<py::object>(f.arg(6));
    a.corr_method = py::reinterpret_borrow<py::object>(f.arg(7));

    check_frame(a);
    py::tuple shape = a.df.attr("shape");
    a.n_rows = shape[0];
    a.n_cols = shape[1];
    a.rows = py::cast<Py_ssize_t>(a.n_rows);
    resolve_targets(a);
    require_unique_labels(a);
    type_columns(a);

    clock("schema_missingness");
    schema_and_missingness(a);
    clock("distributions");
    distributions(a);
    clock("relationships");
    relationships(a);
    clock("target");
    diagnostics::target_diagnostics(a);
    clock("time_axis");
    diagnostics::time_axis(a);
    clock("leakage");
    diagnostics::leakage(a);
    clock("scoring");
    scoring::score_components(a);
    scoring::suitability(a);
    scoring::recommendations(a);

    clock("assembly");
    py::object report = assemble(a);
    clock("end");
    return report;
}

constexpr const char* doc =
    "\n"
    "        Regression-only EDA with a 0\u2013100 DNN suitability score.\n"
    "        - Targets can be: None, a single column name, or a list of column names.\n"
    "        - Features may be numeric and/or categorical (target must be numeric).\n"
    "        - Numeric\u2194target relevance: mutual_info_regression (if available) else Spearman |\u03c1|.\n"
    "        - Categorical\u2194target relevance: correlation ratio (\u03b7\u00b2) (no extra deps).\n"
    "        - Time-series diagnostics are read-only (no feature engineering).\n"
    "        ";

constexpr Param params[] = {
    {"self"},
    {"df", ParamKind::positional_or_keyword, "DataFrame"},
    {"target", ParamKind::keyword_only, "Optional[Union[str, List[str]]]", "None"},
    {"datetime_col", ParamKind::keyword_only, "Optional[str]", "None"},
    {"freq", ParamKind::keyword_only, "Optional[str]", "None"},
    {"max_mi_features", ParamKind::keyword_only, "int", "60"},
    {"max_cat_features", ParamKind::keyword_only, "int", "80"},
    {"corr_method", ParamKind::keyword_only, "str", "'spearman'"},
};

constexpr MethodDef table[] = {
    {"eda_report_and_score", params, "EdaReport", doc, eda_report_and_score},
};

}  // namespace

std::span<const MethodDef> entry_methods() { return table; }

}  // namespace tamsel::profile
