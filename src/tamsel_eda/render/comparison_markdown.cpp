// The comparison report as Markdown: the summary, the whole-dataset figures,
// the suitability of each side, each target, then one table row per column.
// Every value is formatted by the interpreter; column labels are user data,
// so a table cell escapes the pipe and folds line breaks.
#include "render.hpp"

namespace tamsel::render {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;

py::object get(py::handle mapping, const char* key) {
    if (mapping.is_none()) return py::none();
    return mapping.attr("get")(key);
}

py::str fmt(py::handle x, const char* spec) {
    if (x.is_none()) return pyapi::text("n/a");
    return pyapi::format(x, spec);
}

py::str cell(py::handle label) {
    return py::str(label).attr("replace")("|", "\\|").attr("replace")("\r", " ").attr("replace")("\n", " ");
}

py::str labels(py::handle items) {
    py::list parts;
    for (py::handle x : items) parts.append(pyapi::concat({"`", cell(x), "`"}));
    if (parts.empty()) return pyapi::text("none");
    return py::str(", ").attr("join")(parts);
}

py::str verdict(py::handle drifted) {
    if (drifted.is_none()) return pyapi::text("no verdict");
    return pyapi::text(pyapi::truthy(drifted) ? "**drifted**" : "no");
}

void components_table(py::list& out, py::handle ref, py::handle cur, py::handle diff) {
    if (ref.is_none() || cur.is_none()) return;
    out.append(pyapi::text("| Component | Reference | Current | Difference |"));
    out.append(pyapi::text("|---|---:|---:|---:|"));
    for (auto [name, value] : py::reinterpret_borrow<py::dict>(ref)) {
        out.append(
            pyapi::concat({"| ", py::str(name), " | ", fmt(value, ".3f"), " | ", fmt(cur.attr("get")(name), ".3f"),
                           " | ", fmt(diff.attr("get")(name), "+.3f"), " |"}));
    }
}

py::object to_markdown(const Frame& f) {
    py::handle self = f.self();
    py::list out;
    out.append(pyapi::text("# Dataset comparison"));
    out.append(pyapi::text(""));
    out.append(pyapi::concat({"- Rows: reference ", pyapi::format(self.attr("reference_rows"), ","), ", current ",
                              pyapi::format(self.attr("current_rows"), ",")}));
    py::object drifted = self.attr("drifted_columns");
    out.append(pyapi::concat({"- Drifted columns: ", labels(drifted),
                              " (share of the tested features: ", fmt(self.attr("drift_share"), ".1%"), ")"}));
    out.append(pyapi::concat({"- Columns added: ", labels(self.attr("columns_added"))}));
    out.append(pyapi::concat({"- Columns removed: ", labels(self.attr("columns_removed"))}));
    py::list changed;
    for (py::handle c : self.attr("columns_type_changed")) {
        changed.append(pyapi::concat(
            {"`", cell(c["column"]), "` (", py::str(c["reference"]), " \u2192 ", py::str(c["current"]), ")"}));
    }
    out.append(pyapi::concat(
        {"- Type changed: ", changed.empty() ? pyapi::text("none") : py::str(", ").attr("join")(changed)}));

    py::object dc = self.attr("domain_classifier");
    out.append(pyapi::text(""));
    out.append(pyapi::text("## Domain classifier"));
    out.append(pyapi::text(""));
    if (get(dc, "auc").is_none()) {
        out.append(pyapi::concat({"- Not run: ", py::str(get(dc, "reason"))}));
    } else {
        out.append(pyapi::concat({"- Cross-validated ROC AUC: ", fmt(get(dc, "auc"), ".3f"),
                                  " (0.5: the sides cannot be told apart; 1.0: every row can)"}));
        out.append(pyapi::concat({"- Columns that separate them most: ", labels(get(dc, "top_columns"))}));
    }

    py::object suit = self.attr("suitability");
    out.append(pyapi::text(""));
    out.append(pyapi::text("## Suitability for training"));
    out.append(pyapi::text(""));
    out.append(pyapi::text("| | Reference | Current | Difference |"));
    out.append(pyapi::text("|---|---:|---:|---:|"));
    out.append(pyapi::concat({"| Overall | ", fmt(get(suit, "reference"), ".1f"), " | ",
                              fmt(get(suit, "current"), ".1f"), " | ", fmt(get(suit, "difference"), "+.1f"), " |"}));
    py::object targets = self.attr("targets");
    for (auto [t, entry] : py::dict(targets)) {
        out.append(pyapi::concat({"| `", cell(t), "` | ", fmt(get(entry, "suitability_reference"), ".1f"), " | ",
                                  fmt(get(entry, "suitability_current"), ".1f"), " | ",
                                  fmt(get(entry, "suitability_difference"), "+.1f"), " |"}));
    }
    for (const char* side : {"reference_error", "current_error"}) {
        py::object err = get(suit, side);
        if (!err.is_none()) {
            out.append(pyapi::text(""));
            out.append(pyapi::concat(
                {"The ", side[0] == 'r' ? "reference" : "current", " side's analysis did not run: ", py::str(err)}));
        }
    }

    for (auto [t, entry] : py::dict(targets)) {
        out.append(pyapi::text(""));
        out.append(pyapi::concat({"## Target `", cell(t), "`"}));
        out.append(pyapi::text(""));
        py::object shift = get(entry, "shift");
        out.append(pyapi::concat(
            {"- Its own shift: ", verdict(get(entry, "drifted")), " (", py::str(get(shift, "reason")), ")"}));
        out.append(pyapi::concat(
            {"- Drift share weighted by relevance to it: ", fmt(get(entry, "weighted_drift_share"), ".1%")}));
        out.append(
            pyapi::concat({"- Relevant features that drifted: ", labels(get(entry, "relevant_drifted_features"))}));
        out.append(pyapi::text(""));
        components_table(out, get(entry, "components_reference"), get(entry, "components_current"),
                         get(entry, "component_differences"));
    }

    out.append(pyapi::text(""));
    out.append(pyapi::text("## Columns"));
    out.append(pyapi::text(""));
    out.append(pyapi::text(
        "| Column | Kind | Drifted | KS / JS | p-value | Wasserstein (sd) | PSI | Missing (ref \u2192 cur) |"));
    out.append(pyapi::text("|---|---|---|---:|---:|---:|---:|---|"));
    py::list reasons;
    for (auto [c, fig] : py::dict(self.attr("columns"))) {
        py::object kind = get(fig, "kind");
        const bool numeric = pyapi::eq(kind, py::str("numeric"));
        const bool categorical = pyapi::eq(kind, py::str("categorical"));
        py::str effect = numeric ? fmt(get(fig, "ks_statistic"), ".3f")
                                 : (categorical ? fmt(get(fig, "js_distance"), ".3f") : pyapi::text(""));
        py::str p = numeric ? fmt(get(fig, "ks_pvalue"), ".3g")
                            : (categorical ? fmt(get(fig, "chi2_pvalue"), ".3g") : pyapi::text(""));
        out.append(
            pyapi::concat({"| `", cell(c), "` | ", py::str(kind), " | ", verdict(get(fig, "drifted")), " | ", effect,
                           " | ", p, " | ", numeric ? fmt(get(fig, "wasserstein_norm"), ".3f") : pyapi::text(""), " | ",
                           numeric ? fmt(get(fig, "psi"), ".3f") : pyapi::text(""), " | ",
                           fmt(get(fig, "missing_share_reference"), ".1%"), " \u2192 ",
                           fmt(get(fig, "missing_share_current"), ".1%"), " |"}));
        if (get(fig, "drifted").is_none()) {
            reasons.append(pyapi::concat({"- `", cell(c), "`: ", py::str(get(fig, "reason"))}));
        }
        py::object fresh = get(fig, "new_levels");
        if (!fresh.is_none() && py::len(fresh) > 0) {
            reasons.append(pyapi::concat({"- `", cell(c), "`: new levels ", py::str(py::repr(fresh))}));
        }
    }
    if (!reasons.empty()) {
        out.append(pyapi::text(""));
        for (py::handle r : reasons) out.append(r);
    }
    py::object notes = self.attr("notes");
    if (py::len(notes) > 0) {
        out.append(pyapi::text(""));
        out.append(pyapi::text("## Notes"));
        out.append(pyapi::text(""));
        for (py::handle n : notes) out.append(pyapi::concat({"- ", py::str(n)}));
    }
    return py::str("\n").attr("join")(out) + py::str("\n");
}

py::object repr_markdown(const Frame& f) { return f.self().attr("to_markdown")(); }

constexpr Param self_only[] = {{"self"}};

constexpr MethodDef methods[] = {
    {"to_markdown", self_only, "str", "The comparison as Markdown.", to_markdown},
    {"_repr_markdown_", self_only, "str", nullptr, repr_markdown},
};

}  // namespace

std::span<const MethodDef> comparison_markdown_methods() { return methods; }

}  // namespace tamsel::render
