// Presentation: the Markdown report and the shorthand entry points.
#pragma once

#include "../pyapi/pyapi.hpp"

namespace tamsel::render {

// EdaReport.to_markdown.
std::span<const pyapi::MethodDef> markdown_methods();
// EdaReport.to_json.
std::span<const pyapi::MethodDef> json_methods();
// EdaReport.to_html, _repr_html_, _repr_markdown_.
std::span<const pyapi::MethodDef> html_methods();
// EDA.eda, EDA.eda_md, EDA.eda_print.
std::span<const pyapi::MethodDef> entry_point_methods();

}  // namespace tamsel::render
