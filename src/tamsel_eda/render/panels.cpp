// The page's per-column part, drawn from the figures the analysis left beside
// the report (its `detail`): a column list that links to one panel per
// column, a panel per target, and a correlation heat map. Every column keeps
// its panel however wide the frame; what keeps a wide page small is the
// drawing itself: bars of a chart are one path, the heat map one path per
// colour, and on wide frames fewer levels (and, very wide, fewer bars) are
// drawn per panel.
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

using svg::escape;
using svg::num;
using svg::utf8;

constexpr double w = 480.0;   // view box width of a panel's chart
constexpr double ch = 120.0;  // plot height of a histogram or period chart
constexpr double top = 8.0;
constexpr double left = 8.0;
constexpr std::size_t wide_frame_columns = 100;
constexpr std::size_t wide_frame_levels = 5;
// Past this many columns a histogram draws its bins four by four as well.
constexpr std::size_t very_wide_frame_columns = 1000;
constexpr std::size_t very_wide_bins_per_bar = 4;
constexpr Py_ssize_t max_label_chars = 24;

py::object get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

// mapping.get(key) for a section's mapping that may be absent.
py::object lookup(py::handle mapping, py::handle key) {
    if (!PyDict_Check(mapping.ptr())) return py::none();
    return mapping.attr("get")(key);
}

double value_of(py::handle x) {
    if (x.is_none()) return NAN;
    return pyapi::guarded([&] { return pyapi::as_double(x); }, [] { return static_cast<double>(NAN); });
}

std::string txt(py::handle x, const char* spec = "") {
    if (x.is_none()) return "NA";
    if (PyFloat_Check(x.ptr()) && std::isnan(PyFloat_AS_DOUBLE(x.ptr()))) return "NA";
    return escape(utf8(pyapi::format(x, spec)));
}

std::string label_text(py::handle label) { return escape(utf8(pyapi::format(label))); }

std::string short_label(py::handle label) {
    py::str full = pyapi::format(label);
    if (py::len(full) <= static_cast<std::size_t>(max_label_chars)) return escape(utf8(full));
    py::object cut = full[py::slice(0, max_label_chars - 1, 1)];
    return escape(utf8(pyapi::concat({cut, pyapi::text("\u2026")})));
}

std::string count_text(py::handle x) { return txt(x, ","); }

// A label in an attribute: line breaks and tabs as character references,
// which a parser's attribute normalisation would otherwise turn to spaces.
std::string attribute_text(py::handle label) {
    std::string out;
    for (char c : label_text(label)) {
        if (c == '\n')
            out += "&#10;";
        else if (c == '\r')
            out += "&#13;";
        else if (c == '\t')
            out += "&#9;";
        else
            out += c;
    }
    return out;
}

std::string open_svg(double height, const std::string& title) {
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart panel-chart\" viewBox=\"0 0 " + num(w) + " " +
           num(height) + "\" role=\"img\" aria-label=\"" + title + "\">";
}

// Vertical bars of `counts` over the plot, one path; x from 0 to 1 over the
// plot width. Returns the path's d attribute.
std::string bars_path(const std::vector<double>& counts, double x0, double span, double y0, double height) {
    double hi = 0.0;
    for (double c : counts) hi = std::fmax(hi, c);
    std::string d;
    if (!(hi > 0.0)) return d;
    const double bw = span / static_cast<double>(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (!(counts[i] > 0.0)) continue;
        // At least a pixel's height, so a bin of one row still shows.
        const double h = std::fmax(1.0, height * counts[i] / hi);
        d += "M" + num(x0 + bw * static_cast<double>(i)) + " " + num(y0 + height - h) + "h" +
             num(std::fmax(0.5, bw - 0.6)) + "v" + num(h) + "h" + num(-std::fmax(0.5, bw - 0.6)) + "z";
    }
    return d;
}

std::string vline(double x, double y0, double y1, const char* cls) {
    return "<line class=\"" + std::string(cls) + "\" x1=\"" + num(x) + "\" y1=\"" + num(y0) + "\" x2=\"" + num(x) +
           "\" y2=\"" + num(y1) + "\"/>";
}

std::string tick(double x, double y, const std::string& text, const char* anchor) {
    return "<text class=\"tick\" x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor + "\">" + text +
           "</text>";
}

std::vector<double> doubles(py::handle seq) {
    std::vector<double> out;
    for (py::handle x : seq) out.push_back(value_of(x));
    return out;
}

// A numeric column's histogram, with its IQR fences and mean where they fall
// inside the data's range.
std::string histogram(py::handle entry, const std::string& title, std::size_t bins_per_bar = 1) {
    py::object hist = get(entry, "histogram");
    const std::vector<double> edges = doubles(get(hist, "edges"));
    std::vector<double> counts;
    {
        const std::vector<double> bins = doubles(get(hist, "counts"));
        for (std::size_t i = 0; i < bins.size(); i += bins_per_bar) {
            double bar = 0.0;
            for (std::size_t j = i; j < i + bins_per_bar && j < bins.size(); ++j) bar += bins[j];
            counts.push_back(bar);
        }
    }
    if (edges.size() < 2 || counts.empty()) return "";
    const double lo = edges.front();
    const double hi = edges.back();
    const double span = w - 2 * left;
    auto x_of = [&](double v) { return left + span * (v - lo) / (hi - lo); };
    std::string out = open_svg(top + ch + 22.0, title);
    out += "<rect class=\"track\" x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" + num(span) +
           "\" height=\"" + num(ch) + "\"/>";
    out += "<path class=\"bars\" d=\"" + bars_path(counts, left, span, top, ch) + "\"/>";
    py::object fences = get(entry, "iqr_fences");
    if (!fences.is_none()) {
        for (py::handle f : fences) {
            const double v = value_of(f);
            if (v >= lo && v <= hi) out += vline(x_of(v), top, top + ch, "fence");
        }
    }
    const double mean = value_of(get(entry, "mean"));
    if (mean >= lo && mean <= hi) out += vline(x_of(mean), top, top + ch, "mean");
    out += tick(left, top + ch + 15.0, txt(py::float_(edges.front()), ".4g"), "start");
    out += tick(w - left, top + ch + 15.0, txt(py::float_(edges.back()), ".4g"), "end");
    out += "<title>" + title + "</title></svg>";
    return out;
}

// Horizontal bars of the top levels and the rest ("other").
std::string levels_chart(py::handle entry, const std::string& title, std::size_t limit) {
    py::object levels = get(entry, "top");
    std::vector<std::pair<std::string, double>> rows;
    std::vector<std::string> counts;
    double other = 0.0;
    for (py::handle item : levels) {
        if (rows.size() == limit) {
            other += value_of(item[py::int_(1)]);
            continue;
        }
        rows.emplace_back(short_label(item[py::int_(0)]), value_of(item[py::int_(1)]));
        counts.push_back(count_text(item[py::int_(1)]));
    }
    other += value_of(get(entry, "other"));
    if (other > 0.0) {
        rows.emplace_back("(other)", other);
        counts.push_back(txt(py::int_(static_cast<long long>(other)), ","));
    }
    if (rows.empty()) return "";
    constexpr double row = 16.0;
    constexpr double label_w = 170.0;
    constexpr double value_w = 64.0;
    const double span = w - label_w - value_w - 8.0;
    double hi = 0.0;
    for (const auto& r : rows) hi = std::fmax(hi, r.second);
    std::string out = open_svg(row * static_cast<double>(rows.size()) + 6.0, title);
    std::string d;
    std::string labels;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const double y = 3.0 + row * static_cast<double>(i);
        const double len = hi > 0.0 ? std::fmax(1.0, span * rows[i].second / hi) : 0.0;
        d += "M" + num(label_w + 4.0) + " " + num(y + 2.0) + "h" + num(len) + "v12h" + num(-len) + "z";
        labels += "<text x=\"" + num(label_w) + "\" y=\"" + num(y + 12.0) + "\" text-anchor=\"end\">" + rows[i].first +
                  "</text><text class=\"value\" x=\"" + num(w - value_w + 4.0) + "\" y=\"" + num(y + 12.0) + "\">" +
                  counts[i] + "</text>";
    }
    out += "<path class=\"bars levels\" d=\"" + d + "\"/>" + labels + "<title>" + title + "</title></svg>";
    return out;
}

// Counts per calendar period; empty periods (gaps) marked under the axis.
std::string periods_chart(py::handle entry, const std::string& title) {
    py::object counts_obj = get(entry, "counts");
    if (counts_obj.is_none()) return "";
    const std::vector<double> counts = doubles(counts_obj);
    if (counts.empty()) return "";
    const double span = w - 2 * left;
    std::string out = open_svg(top + ch + 24.0, title);
    out += "<rect class=\"track\" x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" + num(span) +
           "\" height=\"" + num(ch) + "\"/>";
    out += "<path class=\"bars periods\" d=\"" + bars_path(counts, left, span, top, ch) + "\"/>";
    std::string gaps;
    const double bw = span / static_cast<double>(counts.size());
    for (std::size_t i = 0; i < counts.size(); ++i) {
        if (counts[i] == 0.0)
            gaps += "M" + num(left + bw * static_cast<double>(i)) + " " + num(top + ch + 1.0) + "h" +
                    num(std::fmax(1.0, bw)) + "v4h" + num(-std::fmax(1.0, bw)) + "z";
    }
    if (!gaps.empty()) out += "<path class=\"gap\" d=\"" + gaps + "\"/>";
    py::object starts = get(entry, "starts");
    if (!starts.is_none() && py::len(starts) > 0) {
        out += tick(left, top + ch + 18.0, txt(starts[py::int_(0)]), "start");
        out += tick(w - left, top + ch + 18.0, txt(starts[py::int_(py::len(starts) - 1)]), "end");
    }
    out += "<title>" + title + "</title></svg>";
    return out;
}

// A target's downsampled series as one polyline over the time axis.
std::string series_chart(py::handle series, const std::string& title) {
    const std::vector<double> at = doubles(get(series, "at"));
    const std::vector<double> v = doubles(get(series, "value"));
    if (at.empty() || at.size() != v.size()) return "";
    double lo = INFINITY, hi = -INFINITY;
    for (double x : v) {
        if (std::isfinite(x)) {
            lo = std::fmin(lo, x);
            hi = std::fmax(hi, x);
        }
    }
    if (!(hi >= lo)) return "";
    if (hi == lo) {
        lo -= 0.5;
        hi += 0.5;
    }
    const double span = w - 2 * left;
    std::string pts;
    for (std::size_t i = 0; i < at.size(); ++i) {
        if (!std::isfinite(v[i])) continue;
        if (!pts.empty()) pts += ' ';
        pts += num(left + span * at[i]) + "," + num(top + ch - ch * (v[i] - lo) / (hi - lo));
    }
    py::object times = get(series, "time");
    std::string out = open_svg(top + ch + 22.0, title);
    out += "<rect class=\"track\" x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" + num(span) +
           "\" height=\"" + num(ch) + "\"/>";
    out += "<polyline class=\"series\" points=\"" + pts + "\"/>";
    out += tick(left, top + ch + 15.0, txt(times[py::int_(0)]), "start");
    out += tick(w - left, top + ch + 15.0, txt(times[py::int_(py::len(times) - 1)]), "end");
    out += "<title>" + title + "</title></svg>";
    return out;
}

// Correlations in eleven bands from -1 to 1, one path per band.
std::string heat_map(py::handle corr) {
    py::object cols = get(corr, "columns");
    py::object matrix = get(corr, "matrix");
    const std::size_t n = py::len(cols);
    constexpr const char* band_colours[] = {"#b2182b", "#d6604d", "#f4a582", "#fddbc7", "#f7f7f7", "#f7f7f7",
                                            "#d1e5f0", "#92c5de", "#4393c3", "#2166ac", "#053061"};
    constexpr std::size_t bands = 11;
    const double label_w = 150.0;
    const double cell = (w - label_w - 4.0) / static_cast<double>(n);
    std::vector<std::string> paths(bands + 1);  // the last: not a number
    for (std::size_t i = 0; i < n; ++i) {
        py::object row = matrix[py::int_(i)];
        for (std::size_t j = 0; j < n; ++j) {
            const double r = value_of(row[py::int_(j)]);
            std::size_t b = bands;
            if (std::isfinite(r)) {
                b = static_cast<std::size_t>(std::floor((std::fmin(1.0, std::fmax(-1.0, r)) + 1.0) / 2.0 * 10.0 + 0.5));
                if (b >= bands) b = bands - 1;
            }
            paths[b] += "M" + num(label_w + cell * static_cast<double>(j)) + " " +
                        num(4.0 + cell * static_cast<double>(i)) + "h" + num(cell) + "v" + num(cell) + "h" +
                        num(-cell) + "z";
        }
    }
    const double side = 4.0 + cell * static_cast<double>(n);
    std::string out = open_svg(side + 4.0, "Correlation heat map");
    for (std::size_t b = 0; b <= bands; ++b) {
        if (paths[b].empty()) continue;
        out += "<path fill=\"" + std::string(b < bands ? band_colours[b] : "#d0d7de") + "\" d=\"" + paths[b] + "\"/>";
    }
    const double font = std::fmin(11.0, cell * 0.9);
    for (std::size_t i = 0; i < n; ++i) {
        out += "<text x=\"" + num(label_w - 4.0) + "\" y=\"" + num(4.0 + cell * (static_cast<double>(i) + 0.5)) +
               "\" text-anchor=\"end\" dominant-baseline=\"central\" style=\"font-size:" + num(font) + "px\">" +
               short_label(cols[py::int_(i)]) + "</text>";
    }
    out += "<title>Correlation heat map</title></svg>";
    return out;
}

// "relevance to y 0.0123" for each target that scored the column.
std::string relevance(py::handle report, py::handle label, const char* key, const char* what) {
    py::object by_target = get(report.attr("relationships"), key);
    if (!pyapi::truthy(by_target)) return "";
    std::string out;
    for (py::handle item : by_target.attr("items")()) {
        py::object scores = py::reinterpret_borrow<py::object>(item[py::int_(1)]);
        if (!pyapi::truthy(scores) || !pyapi::contains(scores, label)) continue;
        out += "<li>" + std::string(what) + " to " + label_text(item[py::int_(0)]) + ": " + txt(scores[label], ".4f") +
               "</li>";
    }
    return out;
}

std::string fact(const char* name, const std::string& value) {
    return "<li>" + std::string(name) + ": " + value + "</li>";
}

std::string panel(py::handle report, py::handle entry, std::size_t index, std::size_t n_columns) {
    const bool wide = n_columns > wide_frame_columns;
    py::object label = get(entry, "label");
    const std::string name = label_text(label);
    const std::string kind = txt(get(entry, "kind"));
    std::string chart;
    std::string facts;
    facts += fact("missing", count_text(get(entry, "missing")));
    if (kind == "numeric") {
        chart =
            histogram(entry, "Histogram of " + name, n_columns > very_wide_frame_columns ? very_wide_bins_per_bar : 1);
        py::object summary = lookup(get(report.attr("distributions"), "numeric_summary"), label);
        facts += fact("zeros", count_text(get(entry, "zeros")));
        facts += fact("mean", txt(get(entry, "mean"), ".4g"));
        if (PyDict_Check(summary.ptr())) facts += fact("skew", txt(get(summary, "skew"), ".3f"));
        std::string q;
        for (py::handle item : get(entry, "quantiles").attr("items")()) {
            if (!q.empty()) q += ", ";
            q += txt(item[py::int_(0)]) + " " + txt(item[py::int_(1)], ".4g");
        }
        facts += fact("quantiles", q);
        const double inf = value_of(get(entry, "infinite"));
        if (inf > 0.0) facts += fact("infinite", count_text(get(entry, "infinite")));
        facts += relevance(report, label, "mutual_information_top_by_target", "mutual information");
    } else if (kind == "categorical" || kind == "boolean") {
        chart = levels_chart(entry, "Most frequent levels of " + name, wide ? wide_frame_levels : 16);
        facts += fact("distinct", count_text(get(entry, "distinct")));
        py::object rare = lookup(get(report.attr("relationships"), "rare_category_share_by_col"), label);
        if (!rare.is_none()) facts += fact("rare share", txt(rare, ".3f"));
        facts += relevance(report, label, "cat_corr_ratio_top_by_target", "correlation ratio");
    } else if (kind == "datetime") {
        chart = periods_chart(entry, "Rows per " + txt(get(entry, "period")) + " of " + name);
        py::object empty = get(entry, "empty_periods");
        if (!empty.is_none()) {
            facts += fact("per", txt(get(entry, "period")));
            facts += fact("empty periods", count_text(empty));
        }
    }
    if (chart.empty()) {
        // Every panel holds a chart: without figures, a bar of its missing rows.
        chart = open_svg(24.0, "No values to draw for " + name) +
                "<rect class=\"track\" x=\"8\" y=\"4\" width=\"464\" height=\"16\"/><title>No values to draw for " +
                name + "</title></svg>";
    }
    return "<section class=\"panel\" id=\"column-" + std::to_string(index) + "\" data-column=\"" +
           attribute_text(label) + "\"><h3>" + name + " <span class=\"kind\">" + kind + "</span></h3>" + chart +
           "<ul class=\"facts\">" + facts + "</ul></section>";
}

}  // namespace

py::object page_detail(py::handle report) {
    py::object detail = pyapi::getattr_or_none(report, "detail");
    if (!PyDict_Check(detail.ptr())) return py::none();
    return detail;
}

std::string column_list(py::handle detail) {
    return pyapi::guarded(
        [&]() -> std::string {
            std::string out = "<nav class=\"column-list\" aria-label=\"Columns\"><ol>";
            std::size_t i = 0;
            for (py::handle entry : get(detail, "columns")) {
                out += "<li><a href=\"#column-" + std::to_string(i++) + "\">" + label_text(get(entry, "label")) +
                       "</a></li>";
            }
            return out + "</ol></nav>";
        },
        [] { return std::string(); });
}

std::string panels(py::handle report, py::handle detail) {
    return pyapi::guarded(
        [&]() -> std::string {
            py::object columns = get(detail, "columns");
            const std::size_t n_columns = py::len(columns);
            std::string out;
            py::object targets = get(detail, "targets");
            if (pyapi::truthy(targets)) {
                out += "<section id=\"targets\"><h2>Targets</h2>";
                for (py::handle t : targets) {
                    py::object label = get(t, "label");
                    const std::string name = label_text(label);
                    std::string charts;
                    for (py::handle entry : columns) {
                        if (pyapi::eq(get(entry, "label"), label) && txt(get(entry, "kind")) == "numeric")
                            charts += histogram(entry, "Histogram of the target " + name);
                    }
                    py::object series = get(t, "series");
                    if (!series.is_none()) charts += series_chart(series, "The target " + name + " over time");
                    if (charts.empty()) continue;
                    out += "<section class=\"target\" data-target=\"" + attribute_text(label) + "\"><h3>" + name +
                           "</h3>" + charts + "</section>";
                }
                out += "</section>";
            }
            py::object corr = get(detail, "correlation");
            if (!corr.is_none()) {
                out += "<section id=\"correlation\"><h2>Correlation</h2><figure><figcaption>" +
                       txt(get(corr, "method")) + " correlation of the " +
                       txt(py::int_(py::len(get(corr, "columns")))) +
                       " most relevant numeric columns (red negative, blue positive)</figcaption>" + heat_map(corr) +
                       "</figure></section>";
            }
            out += "<section id=\"columns\"><h2>Columns</h2><div class=\"panels\">";
            std::size_t i = 0;
            for (py::handle entry : columns) out += panel(report, entry, i++, n_columns);
            return out + "</div></section>";
        },
        [] { return std::string(); });
}

}  // namespace tamsel::render
