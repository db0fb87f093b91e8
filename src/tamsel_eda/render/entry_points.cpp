// EDA.eda, EDA.eda_md, EDA.eda_print: one-call shorthands over the analysis.
// They look the analysis up on the instance, so a subclass that overrides
// eda_report_and_score (or eda_md) changes what they do.
#include "render.hpp"

namespace tamsel::render {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;

// self.<name>(df, **kwargs), the keywords passed on in the caller's order.
py::object call_with_frame(const Frame& f, const char* name) {
    py::object method = f.self().attr(name);
    py::tuple args = py::make_tuple(f.arg(1));
    return pyapi::steal_or_throw(PyObject_Call(method.ptr(), args.ptr(), f.arg(2).ptr()));
}

py::object eda(const Frame& f) { return call_with_frame(f, "eda_report_and_score"); }

// Goes to the analysis directly, not through eda: overriding eda alone
// does not change the Markdown entry points.
py::object eda_md(const Frame& f) { return call_with_frame(f, "eda_report_and_score").attr("to_markdown")(); }

// print is resolved like a Python function resolves it (module, then
// builtins) and writes to whatever sys.stdout is at call time.
py::object eda_print(const Frame& f) {
    py::object text = call_with_frame(f, "eda_md");
    f.g("print")(text);
    return py::none();
}

constexpr Param frame_and_keywords[] = {
    {"self"},
    {"df", ParamKind::positional_or_keyword, "DataFrame"},
    {"kwargs", ParamKind::var_keyword},
};

constexpr MethodDef methods[] = {
    {"eda", frame_and_keywords, "EdaReport",
     "Shorthand for eda_report_and_score(...), regression-only; supports multi-target.", eda},
    {"eda_md", frame_and_keywords, "str", "Return a Markdown EDA summary string.", eda_md},
    {"eda_print", frame_and_keywords, "None", "Print a readable EDA summary to stdout.", eda_print},
};

}  // namespace

std::span<const MethodDef> entry_point_methods() { return methods; }

}  // namespace tamsel::render
