// EdaReport.to_html, _repr_html_ and _repr_markdown_: the report as one
// self-contained page. Its text is the Markdown report itself, turned into
// HTML line by line, so the page always says everything the Markdown says;
// the charts are drawn from the report's sections beside the text they
// illustrate. The page is well-formed XML as well as HTML, and nothing on it
// needs a script or the network.
#include <cmath>
#include <string>
#include <string_view>
#include <vector>

#include "../report/report.hpp"
#include "render.hpp"

namespace tamsel::render {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;
using svg::decoded;
using svg::escape;
using svg::utf8;

constexpr std::size_t max_missing_bars = 30;
constexpr Py_ssize_t max_label_chars = 28;

constexpr const char* style = R"css(
.profilon-report{font-family:system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;color:#1f2328;background:#fff;max-width:920px;margin:0 auto;padding:20px 16px;line-height:1.45;-webkit-print-color-adjust:exact;print-color-adjust:exact}
.profilon-report h1{font-size:1.55em;margin:0 0 .3em}
.profilon-report h2{font-size:1.2em;margin:1.5em 0 .5em;padding-bottom:.2em;border-bottom:2px solid #d8dee4}
.profilon-report h3{font-size:1.02em;margin:1em 0 .4em}
.profilon-report ul{margin:.3em 0;padding-left:1.3em}
.profilon-report li{margin:.1em 0;overflow-wrap:anywhere}
.profilon-report p{margin:.4em 0;overflow-wrap:anywhere}
.profilon-report figure{margin:.6em 0 1em;break-inside:avoid;page-break-inside:avoid}
.profilon-report figcaption{font-size:.88em;color:#57606a;margin-bottom:.2em;overflow-wrap:anywhere}
.profilon-report svg.chart{display:block;width:100%;max-width:680px;height:auto}
.profilon-report svg.gauge{max-width:560px}
.profilon-report svg text{font-family:inherit;font-size:12px;fill:#1f2328}
.profilon-report svg text.value,.profilon-report svg text.tick{fill:#57606a;font-size:11px}
.profilon-report svg .track{fill:#f0f2f4}
.profilon-report svg .axis{stroke:#8c959f;stroke-width:1}
.profilon-report .empty{color:#57606a;font-style:italic}
.profilon-report .note{font-size:.9em;color:#57606a}
@media (max-width:600px){.profilon-report{padding:12px 8px;font-size:15px}.profilon-report h1{font-size:1.3em}}
@media print{.profilon-report{max-width:none;padding:0;font-size:10.5pt}.profilon-report h2{break-after:avoid;page-break-after:avoid}}
)css";

// Only pages with column panels carry their rules, so a page without them
// stays byte for byte what it was.
constexpr const char* panel_style = R"css(
.profilon-report nav.column-list ol{columns:14em;margin:.3em 0;padding-left:2.2em;font-size:.9em}
.profilon-report nav.column-list li{break-inside:avoid}
.profilon-report a{color:#0969da}
.profilon-report .panels{display:grid;grid-template-columns:repeat(auto-fill,minmax(300px,1fr));gap:10px 16px}
.profilon-report section.panel{border:1px solid #d8dee4;border-radius:6px;padding:6px 8px;break-inside:avoid;page-break-inside:avoid;min-width:0}
.profilon-report section.panel h3{margin:0 0 .2em;font-size:.95em;overflow-wrap:anywhere}
.profilon-report .kind{font-weight:normal;color:#57606a;font-size:.85em}
.profilon-report ul.facts{list-style:none;padding:0;margin:.2em 0 0;font-size:.82em;color:#57606a}
.profilon-report svg .bars{fill:#1f6feb}
.profilon-report svg .levels{fill:#8250df}
.profilon-report svg .periods{fill:#0a7ea4}
.profilon-report svg .gap{fill:#cf222e}
.profilon-report svg .fence{stroke:#d9730d;stroke-width:1.5;stroke-dasharray:4 3}
.profilon-report svg .mean{stroke:#1f2328;stroke-width:1.5}
.profilon-report svg .series{fill:none;stroke:#1f6feb;stroke-width:1}
.profilon-report svg.panel-chart{max-width:none}
)css";

py::object get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

// `x or {}` for sections and nested mappings that may hold None.
py::object or_empty(py::object value) {
    if (pyapi::truthy(value)) return value;
    return py::dict();
}

double value_of(py::handle x) {
    if (x.is_none()) return NAN;
    return pyapi::guarded([&] { return pyapi::as_double(x); }, [] { return static_cast<double>(NAN); });
}

// A chart must never fail a page whose text rendered: values it cannot
// print read "NA", as the Markdown's free-form values do.
std::string printed(py::handle x, const char* spec) {
    return pyapi::guarded(
        [&]() -> std::string {
            if (x.is_none()) return "NA";
            if (PyFloat_Check(x.ptr()) && std::isnan(PyFloat_AS_DOUBLE(x.ptr()))) return "NA";
            return escape(utf8(pyapi::format(x, spec)));
        },
        [] { return std::string("NA"); });
}

std::string share_text(py::handle x) {
    const double v = value_of(x);
    if (std::isnan(v)) return "NA";
    return escape(utf8(pyapi::concat({pyapi::format(py::float_(100.0 * v), ".1f"), pyapi::text("%")})));
}

// A label as printed in full (tooltips, captions) and as drawn: long column
// names are shortened with an ellipsis so the bars keep their room.
svg::Bar labelled(py::handle label) {
    py::str full = pyapi::format(label);
    py::str drawn = full;
    if (py::len(full) > static_cast<std::size_t>(max_label_chars)) {
        py::object cut = full[py::slice(0, max_label_chars - 1, 1)];
        drawn = pyapi::concat({cut, pyapi::text("\u2026")});
    }
    return svg::Bar{escape(utf8(full)), escape(utf8(drawn)), NAN, "", ""};
}

std::string figure(const std::string& caption, const std::string& chart) {
    return "<figure><figcaption>" + caption + "</figcaption>" + chart + "</figure>";
}

std::string empty_note(const char* sentence) { return std::string("<p class=\"empty\">") + sentence + "</p>"; }

// ---------------------------------------------------------------------------
// Markdown text to HTML. The Markdown report uses headings, nested "- "
// lists (two spaces a level) and ** for bold; anything else (a label that
// contains a line break, say) becomes a paragraph of plain text.
// ---------------------------------------------------------------------------

std::string inline_text(std::string_view line) {
    std::string text = escape(line);
    std::size_t pairs = 0;
    for (std::size_t at = text.find("**"); at != std::string::npos; at = text.find("**", at + 2)) ++pairs;
    pairs /= 2;  // an unmatched ** (inside a label) stays as it is
    std::string out;
    bool open = false;
    std::size_t pos = 0;
    for (std::size_t done = 0; done < pairs * 2; ++done) {
        const std::size_t at = text.find("**", pos);
        out.append(text, pos, at - pos);
        out += open ? "</strong>" : "<strong>";
        open = !open;
        pos = at + 2;
    }
    out.append(text, pos, std::string::npos);
    return out;
}

class MarkdownHtml {
public:
    void line(std::string_view l) {
        std::size_t spaces = 0;
        while (spaces < l.size() && l[spaces] == ' ') ++spaces;
        if (l.substr(spaces, 2) == "- ") {
            item(spaces / 2, l.substr(spaces + 2));
            return;
        }
        close_lists();
        if (l.empty()) return;
        if (l.substr(0, 4) == "### ") {
            out_ += "<h3>" + inline_text(l.substr(4)) + "</h3>";
        } else if (l.substr(0, 3) == "## ") {
            out_ += "<h2>" + inline_text(l.substr(3)) + "</h2>";
        } else if (l.substr(0, 2) == "# ") {
            out_ += "<h1>" + inline_text(l.substr(2)) + "</h1>";
        } else {
            out_ += "<p>" + inline_text(l) + "</p>";
        }
    }
    std::string take() {
        close_lists();
        std::string out;
        out.swap(out_);
        return out;
    }

private:
    void item(std::size_t depth, std::string_view body) {
        if (depth > open_) depth = open_;  // one level deeper at most
        if (depth == open_) {
            out_ += "<ul><li>";
            ++open_;
        } else {
            while (open_ > depth + 1) {
                out_ += "</li></ul>";
                --open_;
            }
            out_ += "</li><li>";
        }
        out_ += inline_text(body);
    }
    void close_lists() {
        for (; open_ > 0; --open_) out_ += "</li></ul>";
    }

    std::string out_;
    std::size_t open_ = 0;
};

// ---------------------------------------------------------------------------
// Charts, one function per section.
// ---------------------------------------------------------------------------

std::string score_gauge(py::handle report) {
    py::object score = report.attr("suitability_score");
    return svg::gauge("Suitability score", value_of(score), printed(score, ""));
}

std::string per_target_scores(py::handle report) {
    std::string out;
    py::object by_target = report.attr("suitability_score_by_target");
    if (!pyapi::truthy(by_target)) {
        return out + empty_note("No target column was analysed, so there are no per-target scores.");
    }
    std::vector<svg::Bar> bars;
    for (py::handle item : by_target.attr("items")()) {
        svg::Bar bar = labelled(item[py::int_(0)]);
        bar.value = value_of(item[py::int_(1)]);
        bar.value_text = printed(item[py::int_(1)], "");
        bar.colour = svg::band_colour(bar.value / 100.0);
        bars.push_back(std::move(bar));
    }
    return out + figure("Suitability score by target (0\u2013100)",
                        svg::bar_chart("Suitability score by target", bars, 0.0, 100.0));
}

std::string missing_chart(const Frame& f, py::handle report) {
    py::object by_col = or_empty(get(report.attr("missingness"), "by_column_missing_share"));
    std::vector<svg::Bar> bars;
    for (py::handle item : pyapi::sorted_by_value_desc(f.globals(), by_col.attr("items")())) {
        if (bars.size() == max_missing_bars) break;
        const double v = value_of(item[py::int_(1)]);
        if (!(v > 0.0)) continue;
        svg::Bar bar = labelled(item[py::int_(0)]);
        bar.value = v;
        bar.value_text = share_text(item[py::int_(1)]);
        bar.colour = "#d9730d";
        bars.push_back(std::move(bar));
    }
    if (bars.empty()) return empty_note("No column has missing values: no missingness chart.");
    return figure("Missing share by column (highest 30)", svg::bar_chart("Missing share by column", bars, 0.0, 1.0));
}

// One chart per target of a relevance mapping, its highest `limit` scores.
std::string relevance_charts(const Frame& f, py::handle by_target, py::handle limit, const char* what,
                             const char* colour) {
    std::string out;
    for (py::handle item : or_empty(py::reinterpret_borrow<py::object>(by_target)).attr("items")()) {
        py::object ranked = pyapi::sorted_by_value_desc(
            f.globals(), or_empty(py::reinterpret_borrow<py::object>(item[py::int_(1)])).attr("items")());
        py::object top = ranked[py::slice(py::none(), limit, py::none())];
        std::vector<svg::Bar> bars;
        double hi = 0.0;
        for (py::handle feat : top) {
            svg::Bar bar = labelled(feat[py::int_(0)]);
            bar.value = value_of(feat[py::int_(1)]);
            bar.value_text = printed(feat[py::int_(1)], ".4f");
            bar.colour = colour;
            if (std::isfinite(bar.value) && bar.value > hi) hi = bar.value;
            bars.push_back(std::move(bar));
        }
        const std::string target = escape(utf8(pyapi::format(item[py::int_(0)])));
        const std::string caption = std::string(what) + " \u2014 target " + target;
        if (bars.empty()) {
            out += "<p class=\"empty\">" + caption + ": no feature was scored.</p>";
            continue;
        }
        // Mutual information has no upper bound; the longest bar spans the
        // chart, and a scale of at least 1 keeps ratios on their 0-1 scale.
        out += figure(caption, svg::bar_chart(caption, bars, 0.0, std::fmax(1.0, hi)));
    }
    return out;
}

std::string relationship_charts(const Frame& f, py::handle report, py::handle max_mi, py::handle max_cat) {
    py::object rel = report.attr("relationships");
    py::object numeric = or_empty(get(rel, "mutual_information_top_by_target"));
    py::object categorical = or_empty(get(rel, "cat_corr_ratio_top_by_target"));
    if (!pyapi::truthy(numeric) && !pyapi::truthy(categorical)) {
        return empty_note("No feature relevance was computed: no relevance charts.");
    }
    return relevance_charts(f, numeric, max_mi, "Numeric feature relevance (mutual information)", "#1f6feb") +
           relevance_charts(f, categorical, max_cat, "Categorical correlation ratio (\u03b7\u00b2)", "#8250df");
}

std::string autocorrelation_charts(py::handle ts) {
    py::object per_target = or_empty(get(ts, "per_target"));
    if (!pyapi::truthy(per_target)) return empty_note("No target on the time axis: no autocorrelation charts.");
    std::string out;
    for (py::handle item : per_target.attr("items")()) {
        py::object record = py::reinterpret_borrow<py::object>(item[py::int_(1)]);
        py::object acf =
            pyapi::hasattr(record, pyapi::text("get")) ? or_empty(get(record, "autocorr_at_lags")) : py::dict();
        const std::string target = escape(utf8(pyapi::format(item[py::int_(0)])));
        if (!pyapi::truthy(acf) || !pyapi::hasattr(acf, pyapi::text("items"))) {
            out += "<p class=\"empty\">Autocorrelation \u2014 target " + target + ": no lag could be measured.</p>";
            continue;
        }
        std::vector<svg::Bar> bars;
        for (py::handle lag : acf.attr("items")()) {
            svg::Bar bar = labelled(pyapi::concat({pyapi::text("lag "), pyapi::format(lag[py::int_(0)])}));
            bar.value = value_of(lag[py::int_(1)]);
            bar.value_text = printed(lag[py::int_(1)], ".2f");
            bar.colour = bar.value < 0.0 ? "#cf222e" : "#0a7ea4";
            bars.push_back(std::move(bar));
        }
        const std::string caption = "Autocorrelation at the canonical lags \u2014 target " + target;
        out += figure(caption, svg::bar_chart(caption, bars, -1.0, 1.0));
    }
    return out;
}

std::string breakdown_chart(const Frame& f, py::handle report) {
    py::object components = f.g("asdict")(report.attr("score_breakdown"));
    std::vector<svg::Bar> bars;
    for (const auto& [name, weight] : report::component_weights()) {
        py::str key = pyapi::text(name);
        if (!pyapi::contains(components, key)) continue;
        py::object title = key.attr("replace")("_", " ").attr("title")();
        svg::Bar bar =
            labelled(pyapi::concat({title, pyapi::text(" ("), pyapi::format(py::int_(weight)), pyapi::text(")")}));
        py::object value = components[key];
        bar.value = value_of(value);
        bar.value_text = printed(value, ".2f");
        bar.colour = svg::band_colour(bar.value);
        bars.push_back(std::move(bar));
    }
    return figure("The 13 components (0\u20131, weight in brackets)",
                  svg::bar_chart("Score components", bars, 0.0, 1.0)) +
           "<p class=\"note\">What each component measures, how it is weighted and what raises it: "
           "<a href=\"docs/score.md\">docs/score.md</a> in the profilon sources.</p>";
}

// ---------------------------------------------------------------------------
// The page.
// ---------------------------------------------------------------------------

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// A fixed anchor per section heading, for links into a page.
std::string section_id(std::string_view heading) {
    std::string id;
    for (char c : heading.substr(3)) {
        if (c == ' ' && !id.empty() && id.back() != '-')
            id += '-';
        else if (c >= 'A' && c <= 'Z')
            id += static_cast<char>(c - 'A' + 'a');
        else if (c >= 'a' && c <= 'z')
            id += c;
        else if (c != ' ')
            break;  // "&", "(": the heading's first words are enough
    }
    while (!id.empty() && id.back() == '-') id.pop_back();
    return id;
}

// The report body: a <div> with its own style, which notebooks show as it is
// and the full page wraps.
std::string body(const Frame& f, py::handle max_mi, py::handle max_cat) {
    py::handle report = f.self();
    py::object markdown = report.attr("to_markdown")("max_mi"_a = max_mi, "max_cat"_a = max_cat);
    const std::string md = utf8(markdown);
    py::object ts = or_empty(report.attr("time_series"));
    py::object detail = page_detail(report);

    std::string out = "<div class=\"profilon-report\"><style>";
    out += style;
    if (!detail.is_none()) out += panel_style;
    out += "</style><header>";
    MarkdownHtml text;
    std::string current;  // heading of the section being written
    bool time_series_seen = false;
    bool breakdown_drawn = false;

    auto close_section = [&] {
        std::string charts;
        if (current.empty()) {
            out += text.take() + per_target_scores(report);
            if (!detail.is_none()) out += column_list(detail);
            out += "</header>";
            return;
        }
        if (starts_with(current, "## Missingness"))
            charts = missing_chart(f, report);
        else if (starts_with(current, "## Relationships"))
            charts = relationship_charts(f, report, max_mi, max_cat);
        else if (starts_with(current, "## Time Series"))
            charts = autocorrelation_charts(ts);
        else if (starts_with(current, "## Score Breakdown") && !breakdown_drawn)
            charts = breakdown_chart(f, report);
        out += text.take() + charts + "</section>";
    };

    std::size_t pos = 0;
    while (pos <= md.size()) {
        std::size_t end = md.find('\n', pos);
        if (end == std::string::npos) end = md.size();
        const std::string_view line(md.data() + pos, end - pos);
        if (starts_with(line, "## ")) {
            close_section();
            if (starts_with(line, "## Time Series")) time_series_seen = true;
            if (!time_series_seen && (starts_with(line, "## Target") || starts_with(line, "## Score Breakdown"))) {
                // The Markdown leaves an absent time axis out; the page says so.
                out += "<section id=\"time-series\"><h2>Time Series</h2>" +
                       empty_note("No time axis was analysed: no time-series diagnostics or autocorrelation charts.") +
                       "</section>";
                time_series_seen = true;
            }
            out += "<section id=\"" + section_id(line) + "\">";
            current.assign(line);
        }
        if (!breakdown_drawn && starts_with(line, "### Per-Target Score Breakdown")) {
            // The overall components' chart goes under their list, before
            // the per-target lists.
            out += text.take() + breakdown_chart(f, report);
            breakdown_drawn = true;
        }
        text.line(line);
        if (pos == 0) out += text.take() + score_gauge(report);
        pos = end + 1;
    }
    close_section();
    if (!detail.is_none()) out += panels(report, detail);
    out += "</div>";
    return out;
}

py::object to_html(const Frame& f) {
    const std::string content = body(f, f.arg(1), f.arg(2));
    py::object score = f.self().attr("suitability_score");
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"/>"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>"
        "<title>EDA &amp; DNN Suitability: " +
        printed(score, "") + "/100</title></head><body style=\"margin:0\">" + content + "</body></html>\n";
    return decoded(page);
}

py::object repr_html(const Frame& f) {
    py::int_ fifteen(15);
    return decoded(body(f, fifteen, fifteen));
}

// Looked up on the instance, so a subclass's to_markdown is what shows.
py::object repr_markdown(const Frame& f) { return f.self().attr("to_markdown")(); }

constexpr Param html_params[] = {
    {"self"},
    {"max_mi", ParamKind::keyword_only, "int", "15"},
    {"max_cat", ParamKind::keyword_only, "int", "15"},
};

constexpr Param self_only[] = {{"self"}};

constexpr MethodDef methods[] = {
    {"to_html", html_params, "str",
     "The report as one self-contained HTML page with inline SVG charts (no script, no network).", to_html},
    {"_repr_html_", self_only, "str", nullptr, repr_html},
    {"_repr_markdown_", self_only, "str", nullptr, repr_markdown},
};

}  // namespace

std::span<const MethodDef> html_methods() { return methods; }

}  // namespace tamsel::render
