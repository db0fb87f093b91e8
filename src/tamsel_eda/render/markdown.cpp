// EdaReport.to_markdown: the report as a Markdown summary. Every value is
// formatted by the interpreter and every order comes from its stable sort,
// so the text matches byte for byte what the same logic in Python prints.
#include "render.hpp"

namespace tamsel::render {
namespace {

using pyapi::Frame;
using pyapi::head;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;
using pyapi::text;

bool is_instance(py::handle value, PyTypeObject& type) {
    return pyapi::is_instance(value, reinterpret_cast<PyObject*>(&type));
}

py::object get(py::handle mapping, const char* key, py::handle fallback) { return mapping.attr("get")(key, fallback); }

// `x or {}`: a stored None or empty value reads as an empty mapping.
py::object or_empty(py::object value) {
    if (pyapi::truthy(value)) return value;
    return py::dict();
}

// Only a real float can be a NaN here; np.isnan is looked up at call time
// like any module-level name.
bool is_float_nan(const Frame& f, py::handle x) {
    if (!is_instance(x, PyFloat_Type)) return false;
    return pyapi::truthy(f.g("np").attr("isnan")(x));
}

// Shares: float() is deliberately unguarded, so a share that is not a
// number fails the rendering instead of printing something misleading.
py::str pct(const Frame& f, py::handle x) {
    if (x.is_none() || is_float_nan(f, x)) return text("NA");
    py::object scaled = py::float_(100.0) * pyapi::to_float(x);
    return pyapi::concat({pyapi::format(scaled, ".1f"), "%"});
}

// Free-form values: whatever cannot be printed reads "NA" rather than
// failing the whole report.
py::str fmt(const Frame& f, py::handle x) {
    if (x.is_none()) return text("NA");
    return pyapi::guarded(
        [&]() -> py::str {
            if (is_float_nan(f, x)) return text("NA");
            return pyapi::format(x);
        },
        [] { return text("NA"); });
}

// "size_adequacy" -> "Size Adequacy", through str.replace and str.title.
py::object title_text(py::handle key) { return key.attr("replace")("_", " ").attr("title")(); }

py::str two_decimals(py::handle value) { return pyapi::format(pyapi::to_float(value), ".2f"); }

py::list by_value_desc(const Frame& f, py::handle mapping) {
    return pyapi::sorted_by_value_desc(f.globals(), mapping.attr("items")());
}

class Lines {
public:
    void add(std::initializer_list<pyapi::Piece> pieces) { lines_.append(pyapi::concat(pieces)); }
    void add(const char* utf8) { lines_.append(text(utf8)); }
    void blank() { add(""); }
    py::str joined() const { return pyapi::steal_or_throw<py::str>(PyUnicode_Join(text("\n").ptr(), lines_.ptr())); }

private:
    py::list lines_;
};

void title_block(Lines& out, py::handle report) {
    out.add({"# EDA & DNN Suitability: **", pyapi::format(report.attr("suitability_score")), "/100**"});
    py::object by_target = report.attr("suitability_score_by_target");
    if (pyapi::truthy(by_target)) {
        out.blank();
        out.add("### Per-Target Suitability");
        for (py::handle item : by_target.attr("items")()) {
            out.add({"- ", pyapi::format(item[py::int_(0)]), ": **", pyapi::format(item[py::int_(1)]), "/100**"});
        }
    }
}

// A Dask frame's report names the figures computed on a sample.
void samples_block(Lines& out, py::handle report) {
    py::object notes = pyapi::optional_attr(report, py::str("_sample_notes"));
    if (!notes || !pyapi::truthy(notes)) return;
    out.blank();
    out.add("### Figures from samples");
    for (py::handle line : notes) out.add({"- ", pyapi::format(line)});
}

void schema_block(Lines& out, py::handle schema) {
    py::object ratio = get(schema, "feature_to_row_ratio", py::none());
    // isinstance(ratio, (int, float)): bool passes as an int, NumPy's
    // integer scalars do not.
    py::str ratio_text = (is_instance(ratio, PyLong_Type) || is_instance(ratio, PyFloat_Type))
                             ? pyapi::format(ratio, ".3f")
                             : text("NA");
    py::str na = text("NA");
    out.add({"- Rows: **", pyapi::format(get(schema, "n_rows", na)), "**, Cols: **",
             pyapi::format(get(schema, "n_cols", na)), "**, Feature:Row ratio: **", ratio_text, "**"});

    auto count = [&](const char* key) { return pyapi::format(py::int_(py::len(get(schema, key, py::list())))); };
    py::str n_num = count("numeric_cols");
    py::str n_cat = count("categorical_cols");
    py::str n_dt = count("datetime_cols");
    py::str n_bool = count("bool_cols");
    out.add({"- Numeric: ", n_num, ", Categorical: ", n_cat, ", Datetime: ", n_dt, ", Bool: ", n_bool});
    out.add({"- Constant cols: ", pyapi::format(head(get(schema, "constant_cols", py::list()), py::int_(10)))});
    out.add({"- Duplicate column examples: ", pyapi::format(get(schema, "duplicate_cols_examples", py::list()))});
}

void missingness_block(const Frame& f, Lines& out, py::handle missingness) {
    out.add({"- Total missing: **", pct(f, get(missingness, "total_missing_share", py::none())), "**"});
    out.add({"- Rows with any missing: **", pct(f, get(missingness, "rows_with_any_missing_share", py::none())), "**"});
    out.add("- Top missing by column:");
    py::object by_col = or_empty(get(missingness, "by_column_missing_share", py::dict()));
    for (py::handle item : head(by_value_desc(f, by_col), py::int_(10))) {
        out.add({"  - ", pyapi::format(item[py::int_(0)]), ": ", pct(f, item[py::int_(1)])});
    }
}

void distributions_block(const Frame& f, Lines& out, py::handle distributions) {
    out.add({"- Outlier share (IQR rule, numeric): **", pct(f, get(distributions, "outlier_share_overall", py::none())),
             "**"});
    out.add({"- Scale spread ratio (max range / min range): **",
             fmt(f, get(distributions, "scale_spread_ratio", py::none())), "**"});
}

// One relevance block: a header per target, then its highest scores.
void relevance_block(const Frame& f, Lines& out, py::handle by_target, const char* heading, py::handle limit) {
    out.add(heading);
    for (py::handle item : by_target.attr("items")()) {
        out.add({"  - **", pyapi::format(item[py::int_(0)]), "**:"});
        for (py::handle feat : head(by_value_desc(f, item[py::int_(1)]), limit)) {
            out.add({"    - ", pyapi::format(feat[py::int_(0)]), ": ", pyapi::format(feat[py::int_(1)], ".4f")});
        }
    }
}

void relationships_block(const Frame& f, Lines& out, py::handle relationships, py::handle max_mi, py::handle max_cat) {
    out.add({"- Correlation method: **", pyapi::format(get(relationships, "corr_method", text("NA"))), "**"});
    out.add({"- Proportion of strong correlations (|r|\u22650.95): **",
             pct(f, get(relationships, "strong_corr_proportion_thr_0.95", py::none())), "**"});
    py::object numeric = or_empty(get(relationships, "mutual_information_top_by_target", py::none()));
    py::object categorical = or_empty(get(relationships, "cat_corr_ratio_top_by_target", py::none()));
    if (pyapi::truthy(numeric)) {
        relevance_block(f, out, numeric, "- Top numeric feature relevance by target (MI/Spearman fallback):", max_mi);
    }
    if (pyapi::truthy(categorical)) {
        relevance_block(f, out, categorical,
                        "- Top categorical feature correlation ratio (\u03b7\u00b2) by target:", max_cat);
    }
    if (!pyapi::truthy(numeric) && !pyapi::truthy(categorical)) {
        out.add("- Relationships to target: (not available or no applicable features)");
    }
}

void time_series_block(const Frame& f, Lines& out, py::handle ts) {
    if (!pyapi::truthy(ts)) return;
    out.add("## Time Series (diagnostics only; no data modification)");
    out.add({"- Inferred freq: **", fmt(f, get(ts, "freq_inferred", py::none())), "**, Irregular share: **",
             pct(f, get(ts, "irregular_share", py::none())), "**, Missing timeline share: **",
             pct(f, get(ts, "missing_ts_share", py::none())), "**"});
    out.add({"- Enough history: **", pyapi::format(get(ts, "enough_history", text("NA"))), "**, Unique periods: **",
             fmt(f, get(ts, "unique_periods", py::none())), "**"});
    py::object per_target = or_empty(get(ts, "per_target", py::none()));
    if (!pyapi::truthy(per_target)) return;
    out.add("- Per-target ADF p-values (stationarity):");
    for (py::handle item : per_target.attr("items")()) {
        out.add({"  - ", pyapi::format(item[py::int_(0)]), ": ",
                 fmt(f, get(item[py::int_(1)], "adfuller_pvalue", py::none()))});
    }
}

// Several targets keep their records under "per_target"; a single target
// is stored flat, with its name.
void target_block(const Frame& f, Lines& out, py::handle target) {
    if (pyapi::contains(target, text("per_target"))) {
        out.add("## Target (regression) \u2014 per target");
        for (py::handle item : target[text("per_target")].attr("items")()) {
            py::handle rec = item[py::int_(1)];
            out.add({"- **", pyapi::format(item[py::int_(0)]), "**: Skew **", fmt(f, get(rec, "skew", py::none())),
                     "**, Kurtosis **", fmt(f, get(rec, "kurtosis", py::none())), "**, Zero share **",
                     pct(f, get(rec, "zero_share", py::none())), "**"});
        }
    } else if (pyapi::truthy(target)) {
        out.add("## Target (regression)");
        out.add({"- Name: **", fmt(f, get(target, "name", py::none())), "**; Skew: **",
                 fmt(f, get(target, "skew", py::none())), "**, Kurtosis: **",
                 fmt(f, get(target, "kurtosis", py::none())), "**, Zero share: **",
                 pct(f, get(target, "zero_share", py::none())), "**"});
    }
}

void breakdown_block(const Frame& f, Lines& out, py::handle report) {
    out.add("## Score Breakdown (0\u20131 weight components)");
    py::object components = f.g("asdict")(report.attr("score_breakdown"));
    for (py::handle item : components.attr("items")()) {
        out.add({"- ", title_text(item[py::int_(0)]), ": **", two_decimals(item[py::int_(1)]), "**"});
    }
    py::object by_target = report.attr("score_breakdown_by_target");
    if (!pyapi::truthy(by_target)) return;
    out.blank();
    out.add("### Per-Target Score Breakdown (0\u20131)");
    for (py::handle item : by_target.attr("items")()) {
        out.add({"- **", pyapi::format(item[py::int_(0)]), "**:"});
        for (py::handle entry : item[py::int_(1)].attr("items")()) {
            out.add({"  - ", title_text(entry[py::int_(0)]), ": **", two_decimals(entry[py::int_(1)]), "**"});
        }
    }
}

void recommendations_block(Lines& out, py::handle report) {
    py::object recs = report.attr("recommendations");
    if (!pyapi::truthy(recs)) {
        out.add("- Looks good. Standardize numeric features and proceed with DNN.");
        return;
    }
    for (py::handle r : recs) out.add({"- ", pyapi::format(r)});
}

py::object to_markdown(const Frame& f) {
    py::handle report = f.self();
    py::handle max_mi = f.arg(1);
    py::handle max_cat = f.arg(2);
    Lines out;

    title_block(out, report);
    samples_block(out, report);
    out.blank();
    out.add("## Schema");
    schema_block(out, report.attr("schema"));
    out.blank();
    out.add("## Missingness");
    missingness_block(f, out, report.attr("missingness"));
    out.blank();
    out.add("## Distributions & Outliers");
    distributions_block(f, out, report.attr("distributions"));
    out.blank();
    out.add("## Relationships");
    relationships_block(f, out, report.attr("relationships"), max_mi, max_cat);
    out.blank();
    // Without a time axis this leaves two empty lines in a row; the layout
    // is kept fixed so every section starts at a predictable place.
    time_series_block(f, out, or_empty(report.attr("time_series")));
    out.blank();
    target_block(f, out, or_empty(report.attr("target")));
    out.blank();
    breakdown_block(f, out, report);
    out.blank();
    out.add("## Recommendations");
    recommendations_block(out, report);
    return out.joined();
}

constexpr Param markdown_params[] = {
    {"self"},
    {"max_mi", ParamKind::keyword_only, "int", "15"},
    {"max_cat", ParamKind::keyword_only, "int", "15"},
};

constexpr MethodDef methods[] = {
    {"to_markdown", markdown_params, "str", nullptr, to_markdown},
};

}  // namespace

std::span<const MethodDef> markdown_methods() { return methods; }

}  // namespace tamsel::render
