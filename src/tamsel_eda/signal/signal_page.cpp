// SignalReport.to_html and _repr_html_: the check as an HTML section (a
// notebook shows it as it is; the page wraps it). Every label is user data
// and is escaped; nothing needs a script or the network.
#include <cmath>

#include "signal.hpp"

namespace tamsel::signal {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::text;

constexpr const char* style = R"css(
.profilon-signal{font-family:system-ui,-apple-system,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;color:#1f2328;background:#fff;max-width:920px;margin:0 auto;padding:8px 16px;line-height:1.45}
.profilon-signal h2{font-size:1.2em;margin:1em 0 .5em;padding-bottom:.2em;border-bottom:2px solid #d8dee4}
.profilon-signal h3{font-size:1.02em;margin:1em 0 .4em;overflow-wrap:anywhere}
.profilon-signal p,.profilon-signal li{margin:.3em 0;overflow-wrap:anywhere}
.profilon-signal table{border-collapse:collapse;margin:.4em 0;font-size:.93em}
.profilon-signal th,.profilon-signal td{text-align:left;padding:2px 10px 2px 0;vertical-align:top;overflow-wrap:anywhere}
.profilon-signal td.num{text-align:right;font-variant-numeric:tabular-nums}
.profilon-signal .verdict{padding:1px 8px;border-radius:10px;color:#fff;font-weight:600}
.profilon-signal .strong{background:#1a7f37}.profilon-signal .weak{background:#bf8700}.profilon-signal .none{background:#cf222e}.profilon-signal .unchecked{background:#6e7781}
.profilon-signal .bar{display:inline-block;height:10px;background:#1f6feb;border-radius:2px}
.profilon-signal .leak{color:#cf222e;font-weight:600}
.profilon-signal .note{font-size:.9em;color:#57606a}
)css";

class Html {
public:
    Html() : escape_(py::module_::import("html").attr("escape")) {}
    void raw(const char* utf8) { parts_.append(text(utf8)); }
    void raw(py::handle str) { parts_.append(str); }
    // The interpreter's text of `value`, escaped.
    void value(py::handle value) { parts_.append(escape_(pyapi::format(value))); }
    py::str joined() const { return pyapi::steal_or_throw<py::str>(PyUnicode_Join(text("").ptr(), parts_.ptr())); }

private:
    py::object escape_;
    py::list parts_;
};

py::object get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

void row(Html& h, const char* name, py::handle value) {
    h.raw("<tr><th>");
    h.raw(name);
    h.raw("</th><td class=\"num\">");
    h.value(value);
    h.raw("</td></tr>");
}

void target_section(Html& h, py::handle label, py::handle r, py::handle settings) {
    using detail::fixed;
    py::object verdict = get(r, "verdict");
    h.raw("<h3>Target ");
    h.value(label);
    h.raw(": <span class=\"verdict ");
    if (verdict.is_none()) {
        h.raw("unchecked\">not checked</span></h3><p>");
        h.value(get(r, "reason"));
        h.raw("</p>");
        return;
    }
    h.value(verdict);
    h.raw("\">");
    h.value(verdict);
    h.raw("</span></h3><p>");
    h.value(get(r, "reason"));
    h.raw("</p><table>");
    row(h, "Held-out R\u00b2, linear", fixed(get(r, "r2_linear"), ".4f"));
    row(h, "Held-out R\u00b2, boosted", fixed(get(r, "r2_boosted"), ".4f"));
    row(h, "Chance R\u00b2 (mean \u00b1 sd)",
        pyapi::concat({fixed(get(r, "r2_chance_mean"), ".4f"), " \u00b1 ", fixed(get(r, "r2_chance_std"), ".4f")}));
    row(h, "Chance from", get(r, "chance_method"));
    row(h, "Non-linear gain", fixed(get(r, "nonlinear_gain"), "+.4f"));
    py::str split = pyapi::concat({py::str(get(r, "split")), " ", pyapi::format(get(r, "folds")), "-fold"});
    if (pyapi::eq(get(r, "split"), text("time-ordered"))) {
        split = pyapi::concat({split, " on ", py::repr(get(settings, "time_axis")), ", trained on the past only"});
    }
    row(h, "Split", split);
    row(h, "Rows used",
        pyapi::concat({pyapi::format(get(r, "rows_used")), " of ", pyapi::format(get(r, "rows_available"))}));
    row(h, "Features", get(r, "n_features"));
    row(h, "Seconds", get(r, "seconds"));
    h.raw("</table>");
    py::object leak = get(r, "leakage_warning");
    if (!leak.is_none()) {
        h.raw("<p class=\"leak\">");
        h.value(leak);
        h.raw("</p>");
    }
    py::object top = get(r, "top_features");
    if (!pyapi::truthy(top)) return;
    h.raw("<table><tr><th>Feature</th><th>Importance (drop in R\u00b2)</th><th>Share</th><th></th></tr>");
    for (py::handle item : top) {
        py::object share = get(item, "share");
        const double pct = share.is_none() ? 0.0 : 100.0 * pyapi::as_double(share);
        py::str pct_text = pyapi::format(py::float_(pct), ".1f");
        h.raw("<tr><td>");
        h.value(get(item, "feature"));
        h.raw("</td><td class=\"num\">");
        h.value(fixed(get(item, "importance"), ".4f"));
        h.raw("</td><td class=\"num\">");
        if (share.is_none()) {
            h.raw("NA");
        } else {
            h.raw(pct_text);
            h.raw("%");
        }
        h.raw("</td><td style=\"width:160px\"><span class=\"bar\" style=\"width:");
        h.raw(pct_text);
        h.raw("%\"></span></td></tr>");
    }
    h.raw("</table>");
}

py::str body(const Frame& f) {
    py::handle self = f.self();
    py::object settings = self.attr("settings");
    Html h;
    h.raw("<div class=\"profilon-signal\"><style>");
    h.raw(style);
    h.raw(
        "</style><section id=\"signal-check\"><h2>Signal Check</h2><p class=\"note\">Held-out R\u00b2 of a ridge "
        "(linear) and a gradient boosting (boosted) baseline, against the boosted model on the target with its link "
        "to the features broken (chance); sample of up to ");
    h.value(get(settings, "sample_rows"));
    h.raw(" rows, seed ");
    h.value(get(settings, "seed"));
    h.raw(".</p>");
    for (py::handle note : self.attr("notes")) {
        h.raw("<p class=\"note\">");
        h.value(note);
        h.raw("</p>");
    }
    for (py::handle item : self.attr("targets").attr("items")()) {
        target_section(h, item[py::int_(0)], item[py::int_(1)], settings);
    }
    h.raw("</section></div>");
    return h.joined();
}

py::object to_html(const Frame& f) {
    return pyapi::concat(
        {"<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"/>"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"/>"
         "<title>Signal check</title></head><body style=\"margin:0\">",
         body(f), "</body></html>\n"});
}

py::object repr_html(const Frame& f) { return body(f); }

constexpr Param self_only[] = {{"self"}};

constexpr MethodDef methods[] = {
    {"to_html", self_only, "str", "The signal check as one self-contained HTML page (no script, no network).", to_html},
    {"_repr_html_", self_only, "str", nullptr, repr_html},
};

}  // namespace

std::span<const MethodDef> page_methods() { return methods; }

}  // namespace tamsel::signal
