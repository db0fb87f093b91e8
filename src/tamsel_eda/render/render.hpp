// Presentation: the Markdown, JSON and HTML reports and the shorthand entry
// points.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "../pyapi/pyapi.hpp"

namespace tamsel::render {

// EdaReport.to_markdown.
std::span<const pyapi::MethodDef> markdown_methods();
// EdaReport.to_json.
std::span<const pyapi::MethodDef> json_methods();
// EdaReport.to_html, _repr_html_, _repr_markdown_.
std::span<const pyapi::MethodDef> html_methods();
// The comparison report's to_markdown and _repr_markdown_, and its to_html
// and _repr_html_ (its to_json is json_methods' own, over its to_dict).
std::span<const pyapi::MethodDef> comparison_markdown_methods();
std::span<const pyapi::MethodDef> comparison_html_methods();
// EDA.eda, EDA.eda_md, EDA.eda_print.
std::span<const pyapi::MethodDef> entry_point_methods();

// Inside render/ only: the per-column part of the page, from the figures
// the analysis left on the report as `detail` (None when there are none: a
// report built by hand, or one of a Dask frame). Both return "" rather than
// fail the page.
py::object page_detail(py::handle report);
std::string column_list(py::handle detail);
std::string panels(py::handle report, py::handle detail);

}  // namespace tamsel::render

// Inside render/ only: inline SVG charts for the HTML page, drawn as text.
// Every label and number comes in already formatted by the interpreter;
// coordinates are formatted by it too.
namespace tamsel::render::svg {

// The UTF-8 bytes of an interpreter string; a lone surrogate (possible in a
// column label) becomes U+FFFD instead of failing the page.
std::string utf8(py::handle str);

// The interpreter string of a page built as UTF-8 bytes.
py::str decoded(const std::string& utf8_text);

// Text safe inside XML/HTML content and attribute values: markup characters
// become entities and characters XML forbids become U+FFFD.
std::string escape(std::string_view utf8_text);

// format(x, spec) by the interpreter, as UTF-8.
std::string num(double x, const char* spec = ".1f");

struct Bar {
    std::string label;        // full label, escaped
    std::string short_label;  // label as drawn, escaped (long labels shortened)
    double value;             // drawn length; NaN draws no bar
    std::string value_text;   // printed value, escaped
    const char* colour;
};

// Horizontal bars on [lo, hi]; with lo < 0 the bars grow both ways from a
// zero line. `title` (escaped) names the chart for screen readers.
std::string bar_chart(const std::string& title, const std::vector<Bar>& bars, double lo, double hi);

// The overall score as a 0-100 gauge.
std::string gauge(const std::string& title, double score, const std::string& score_text);

// Colour of a 0-1 quality value: green, amber, red; grey for NaN.
const char* band_colour(double quality);

}  // namespace tamsel::render::svg
