// The comparison report as one self-contained page: its Markdown's facts as
// HTML tables and lists, and for the drifted columns, the targets and the
// columns the domain classifier leans on, both sides' distributions drawn
// over each other in SVG (no script). Every label is escaped: column names
// and levels are user data.
// GCC 12 at -O3 takes `"text" + std::string` for a copy of unbounded size
// once enough of these chains are inlined (false -Wstringop-overflow and
// -Wrestrict reports inside std::string); the charts are built from such
// chains throughout.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#pragma GCC diagnostic ignored "-Wrestrict"
#endif

#include <cmath>
#include <string>
#include <vector>

#include "render.hpp"

namespace tamsel::render {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using svg::decoded;
using svg::escape;
using svg::utf8;

constexpr std::size_t max_charts = 12;
constexpr const char* ref_colour = "#0969da";
constexpr const char* cur_colour = "#cf222e";

constexpr const char* style = R"css(
.profilon-compare{font-family:system-ui,-apple-system,"Segoe UI",Roboto,Arial,sans-serif;color:#1f2328;background:#fff;max-width:960px;margin:0 auto;padding:20px 16px;line-height:1.45}
.profilon-compare h1{font-size:1.55em;margin:0 0 .3em}
.profilon-compare h2{font-size:1.2em;margin:1.4em 0 .5em;border-bottom:2px solid #d8dee4}
.profilon-compare table{border-collapse:collapse;font-size:.9em}
.profilon-compare td,.profilon-compare th{border:1px solid #d8dee4;padding:2px 6px;text-align:left;overflow-wrap:anywhere}
.profilon-compare .drifted{color:#cf222e;font-weight:600}
.profilon-compare svg.chart{display:block;width:100%;max-width:640px;height:auto}
.profilon-compare svg text{font-size:11px;fill:#1f2328}
)css";

py::object get(py::handle mapping, const char* key) {
    if (mapping.is_none()) return py::none();
    return mapping.attr("get")(key);
}

std::string text(py::handle x) { return escape(utf8(py::str(x))); }

std::string fmt(py::handle x, const char* spec) {
    if (x.is_none()) return "n/a";
    return escape(utf8(pyapi::format(x, spec)));
}

std::string verdict(py::handle drifted) {
    if (drifted.is_none()) return "no verdict";
    return pyapi::truthy(drifted) ? "<span class=\"drifted\">drifted</span>" : "no";
}

std::string list_of(py::handle items) {
    std::string out;
    for (py::handle x : items) out += (out.empty() ? "" : ", ") + std::string("<code>") + text(x) + "</code>";
    return out.empty() ? "none" : out;
}

std::vector<double> doubles(py::handle list) {
    std::vector<double> out;
    for (py::handle x : list) out.push_back(pyapi::as_double(x));
    return out;
}

std::string legend(double y) {
    return "<rect x=\"430\" y=\"" + svg::num(y - 9, ".0f") + "\" width=\"10\" height=\"10\" fill=\"" + ref_colour +
           "\" fill-opacity=\"0.45\"/><text x=\"444\" y=\"" + svg::num(y, ".0f") +
           "\">reference</text><rect x=\"520\" y=\"" + svg::num(y - 9, ".0f") +
           "\" width=\"10\" height=\"10\" fill=\"" + cur_colour + "\" fill-opacity=\"0.45\"/><text x=\"534\" y=\"" +
           svg::num(y, ".0f") + "\">current</text>";
}

// Both sides' shares per bin as two translucent step areas over one axis.
std::string numeric_chart(const std::string& title, py::handle chart) {
    const std::vector<double> ref = doubles(chart["reference"]), cur = doubles(chart["current"]);
    py::list edges = chart["edges"];
    double top = 0;
    for (double v : ref) top = std::max(top, v);
    for (double v : cur) top = std::max(top, v);
    if (!(top > 0)) top = 1;
    const double x0 = 40, width = 560, y0 = 170, height = 140;
    const double step = width / static_cast<double>(ref.size());
    auto area = [&](const std::vector<double>& v, const char* colour) {
        std::string points = svg::num(x0, ".1f") + "," + svg::num(y0, ".1f");
        for (std::size_t i = 0; i < v.size(); ++i) {
            const double y = y0 - height * v[i] / top;
            points += " " + svg::num(x0 + step * static_cast<double>(i), ".1f") + "," + svg::num(y, ".1f");
            points += " " + svg::num(x0 + step * static_cast<double>(i + 1), ".1f") + "," + svg::num(y, ".1f");
        }
        points += " " + svg::num(x0 + width, ".1f") + "," + svg::num(y0, ".1f");
        return "<polygon points=\"" + points + "\" fill=\"" + colour + "\" fill-opacity=\"0.35\" stroke=\"" + colour +
               "\" stroke-width=\"1\"/>";
    };
    std::string out = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 640 200\" role=\"img\">";
    out += "<title>" + title + "</title>";
    out += area(ref, ref_colour) + area(cur, cur_colour);
    out += "<line x1=\"40\" y1=\"170\" x2=\"600\" y2=\"170\" stroke=\"#57606a\"/>";
    out += "<text x=\"40\" y=\"186\">" + fmt(edges[0], ".4g") + "</text>";
    out += "<text x=\"600\" y=\"186\" text-anchor=\"end\">" + fmt(edges[py::len(edges) - 1], ".4g") + "</text>";
    out += legend(20) + "</svg>";
    return out;
}

// Each level's share on both sides as a pair of bars.
std::string categorical_chart(const std::string& title, py::handle chart) {
    const std::vector<double> ref = doubles(chart["reference"]), cur = doubles(chart["current"]);
    py::list levels = chart["levels"];
    double top = 0;
    for (double v : ref) top = std::max(top, v);
    for (double v : cur) top = std::max(top, v);
    if (!(top > 0)) top = 1;
    const double row = 20, x0 = 170, width = 400;
    const double height = 30 + row * static_cast<double>(ref.size());
    std::string out = "<svg class=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 640 " +
                      svg::num(height, ".0f") + "\" role=\"img\"><title>" + title + "</title>";
    for (std::size_t i = 0; i < ref.size(); ++i) {
        const double y = 26 + row * static_cast<double>(i);
        py::object label = py::str(levels[i]);
        py::object shown = py::len(label) > 24 ? py::object(pyapi::head(label, 23) + py::str("\u2026")) : label;
        out += "<text x=\"164\" y=\"" + svg::num(y + 11, ".1f") + "\" text-anchor=\"end\"><title>" + text(label) +
               "</title>" + text(shown) + "</text>";
        out += "<rect x=\"" + svg::num(x0, ".0f") + "\" y=\"" + svg::num(y, ".1f") + "\" width=\"" +
               svg::num(width * ref[i] / top, ".1f") + "\" height=\"7\" fill=\"" + ref_colour + "\"/>";
        out += "<rect x=\"" + svg::num(x0, ".0f") + "\" y=\"" + svg::num(y + 8, ".1f") + "\" width=\"" +
               svg::num(width * cur[i] / top, ".1f") + "\" height=\"7\" fill=\"" + cur_colour + "\"/>";
    }
    out += legend(14) + "</svg>";
    return out;
}

std::string body(const Frame& f) {
    py::handle self = f.self();
    std::string out = "<div class=\"profilon-compare\"><style>" + std::string(style) + "</style>";
    out += "<h1>Dataset comparison</h1><ul>";
    out += "<li>Rows: reference " + fmt(self.attr("reference_rows"), ",") + ", current " +
           fmt(self.attr("current_rows"), ",") + "</li>";
    out += "<li>Drifted columns: " + list_of(self.attr("drifted_columns")) +
           " (share of the tested features: " + fmt(self.attr("drift_share"), ".1%") + ")</li>";
    out += "<li>Columns added: " + list_of(self.attr("columns_added")) + "</li>";
    out += "<li>Columns removed: " + list_of(self.attr("columns_removed")) + "</li>";
    std::string changed;
    for (py::handle c : self.attr("columns_type_changed")) {
        changed += (changed.empty() ? "" : ", ") + std::string("<code>") + text(c["column"]) + "</code> (" +
                   text(c["reference"]) + " \u2192 " + text(c["current"]) + ")";
    }
    out += "<li>Type changed: " + (changed.empty() ? std::string("none") : changed) + "</li></ul>";

    py::object dc = self.attr("domain_classifier");
    out += "<h2>Domain classifier</h2><ul>";
    if (get(dc, "auc").is_none()) {
        out += "<li>Not run: " + text(get(dc, "reason")) + "</li>";
    } else {
        out += "<li>Cross-validated ROC AUC: " + fmt(get(dc, "auc"), ".3f") +
               " (0.5: the sides cannot be told apart)</li><li>Columns that separate them most: " +
               list_of(get(dc, "top_columns")) + "</li>";
    }
    out += "</ul>";

    py::object suit = self.attr("suitability");
    out +=
        "<h2>Suitability for training</h2><table><tr><th></th><th>Reference</th><th>Current</th>"
        "<th>Difference</th></tr>";
    out += "<tr><td>Overall</td><td>" + fmt(get(suit, "reference"), ".1f") + "</td><td>" +
           fmt(get(suit, "current"), ".1f") + "</td><td>" + fmt(get(suit, "difference"), "+.1f") + "</td></tr>";
    for (auto [t, entry] : py::dict(self.attr("targets"))) {
        out += "<tr><td><code>" + text(t) + "</code></td><td>" + fmt(get(entry, "suitability_reference"), ".1f") +
               "</td><td>" + fmt(get(entry, "suitability_current"), ".1f") + "</td><td>" +
               fmt(get(entry, "suitability_difference"), "+.1f") + "</td></tr>";
    }
    out += "</table>";

    out +=
        "<h2>Columns</h2><table><tr><th>Column</th><th>Kind</th><th>Drifted</th><th>KS / JS</th><th>p-value</th>"
        "<th>Wasserstein (sd)</th><th>PSI</th><th>Missing (ref \u2192 cur)</th><th>Reason</th></tr>";
    py::dict columns = self.attr("columns");
    for (auto [c, fig] : columns) {
        const bool numeric = pyapi::eq(get(fig, "kind"), py::str("numeric"));
        const bool categorical = pyapi::eq(get(fig, "kind"), py::str("categorical"));
        out += "<tr><td><code>" + text(c) + "</code></td><td>" + text(get(fig, "kind")) + "</td><td>" +
               verdict(get(fig, "drifted")) + "</td><td>" +
               (numeric       ? fmt(get(fig, "ks_statistic"), ".3f")
                : categorical ? fmt(get(fig, "js_distance"), ".3f")
                              : "") +
               "</td><td>" +
               (numeric       ? fmt(get(fig, "ks_pvalue"), ".3g")
                : categorical ? fmt(get(fig, "chi2_pvalue"), ".3g")
                              : "") +
               "</td><td>" + (numeric ? fmt(get(fig, "wasserstein_norm"), ".3f") : "") + "</td><td>" +
               (numeric ? fmt(get(fig, "psi"), ".3f") : "") + "</td><td>" +
               fmt(get(fig, "missing_share_reference"), ".1%") + " \u2192 " +
               fmt(get(fig, "missing_share_current"), ".1%") + "</td><td>" + text(get(fig, "reason")) + "</td></tr>";
    }
    out += "</table>";

    // Charted: the drifted columns, then the targets, then the columns the
    // classifier separates the sides by; each once.
    py::list charted;
    for (py::handle c : self.attr("drifted_columns")) charted.append(c);
    for (auto [t, entry] : py::dict(self.attr("targets"))) charted.append(t);
    py::object top = get(dc, "top_columns");
    if (!top.is_none()) {
        for (py::handle c : top) charted.append(c);
    }
    std::size_t drawn = 0;
    py::list seen;
    std::string charts;
    for (py::handle c : charted) {
        if (drawn >= max_charts || pyapi::contains(seen, c) || !pyapi::contains(columns, c)) continue;
        seen.append(c);
        py::object fig = columns[c];
        py::object chart = get(fig, "chart");
        if (chart.is_none()) continue;
        const std::string title = text(c);
        charts += "<figure><figcaption><code>" + title + "</code>: " + verdict(get(fig, "drifted")) + "</figcaption>";
        charts += pyapi::eq(get(fig, "kind"), py::str("numeric")) ? numeric_chart(title, chart)
                                                                  : categorical_chart(title, chart);
        charts += "</figure>";
        ++drawn;
    }
    if (!charts.empty()) out += "<h2>Distributions</h2>" + charts;
    py::object notes = self.attr("notes");
    if (py::len(notes) > 0) {
        out += "<h2>Notes</h2><ul>";
        for (py::handle n : notes) out += "<li>" + text(n) + "</li>";
        out += "</ul>";
    }
    out += "</div>";
    return out;
}

py::object to_html(const Frame& f) {
    return decoded(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"/><title>Dataset comparison"
        "</title></head><body style=\"margin:0\">" +
        body(f) + "</body></html>\n");
}

py::object repr_html(const Frame& f) { return decoded(body(f)); }

constexpr Param self_only[] = {{"self"}};

constexpr MethodDef methods[] = {
    {"to_html", self_only, "str", "The comparison as one self-contained HTML page with SVG charts (no script).",
     to_html},
    {"_repr_html_", self_only, "str", nullptr, repr_html},
};

}  // namespace

std::span<const MethodDef> comparison_html_methods() { return methods; }

}  // namespace tamsel::render
