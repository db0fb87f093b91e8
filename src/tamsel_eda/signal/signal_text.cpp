// SignalReport.to_markdown: the check as a Markdown section that reads on
// its own or after the analysis' report.
#include <cmath>

#include "signal.hpp"

namespace tamsel::signal {
namespace {

using pyapi::concat;
using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::text;

class Lines {
public:
    void add(std::initializer_list<pyapi::Piece> pieces) { lines_.append(concat(pieces)); }
    void add(const char* utf8) { lines_.append(text(utf8)); }
    py::str joined() const { return pyapi::steal_or_throw<py::str>(PyUnicode_Join(text("\n").ptr(), lines_.ptr())); }

private:
    py::list lines_;
};

py::object get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

py::str split_text(py::handle record, py::handle settings) {
    py::object folds = get(record, "folds");
    if (folds.is_none()) folds = get(settings, "folds");
    if (pyapi::eq(get(record, "split"), text("time-ordered"))) {
        return concat({"time-ordered ", pyapi::format(folds), "-fold on ", py::repr(get(settings, "time_axis")),
                       " (each fold trained on the past only)"});
    }
    return concat({"shuffled ", pyapi::format(folds), "-fold"});
}

void target_block(Lines& out, py::handle label, py::handle r, py::handle settings) {
    using detail::fixed;
    py::object verdict = get(r, "verdict");
    out.add("");
    out.add({"### Target ", pyapi::format(label), ": **", verdict.is_none() ? text("not checked") : py::str(verdict),
             "**"});
    if (verdict.is_none()) {
        out.add({"- Not checked: ", pyapi::format(get(r, "reason"))});
        return;
    }
    out.add({"- Why: ", pyapi::format(get(r, "reason"))});
    const bool shifted = pyapi::eq(get(r, "chance_method"), text("time shift"));
    out.add({"- Held-out R\u00b2: linear **", fixed(get(r, "r2_linear"), ".4f"), "**, boosted **",
             fixed(get(r, "r2_boosted"), ".4f"), "**, chance ", fixed(get(r, "r2_chance_mean"), ".4f"), " \u00b1 ",
             fixed(get(r, "r2_chance_std"), ".4f"),
             shifted ? text(" (target shifted in time)") : text(" (target permuted)")});
    py::object gain = get(r, "nonlinear_gain");
    const double g = gain.is_none() ? NAN : pyapi::as_double(gain);
    const char* meaning = g > 0.05    ? " (the boosted model finds structure a linear model misses)"
                          : g < -0.05 ? " (a linear model does better on this sample)"
                                      : " (a linear model does about as well)";
    out.add({"- Non-linear gain (boosted minus linear): **", fixed(gain, "+.4f"), "**", meaning});
    out.add({"- Split: ", split_text(r, settings), "; rows used: ", pyapi::format(get(r, "rows_used")), " of ",
             pyapi::format(get(r, "rows_available")), "; features: ", pyapi::format(get(r, "n_features")), "; ",
             pyapi::format(get(r, "seconds")), " s"});
    py::object leak = get(r, "leakage_warning");
    out.add({"- Leakage warning: ",
             leak.is_none() ? text("none") : py::str(pyapi::concat({"**", pyapi::format(leak), "**"}))});
    py::object top = get(r, "top_features");
    if (!pyapi::truthy(top)) return;
    out.add("- Top features (permutation importance on the held-out folds: drop in R\u00b2, share):");
    for (py::handle item : top) {
        py::object share = get(item, "share");
        out.add({"  - ", pyapi::format(get(item, "feature")), ": ", fixed(get(item, "importance"), ".4f"), " (",
                 share.is_none() ? text("NA")
                                 : py::str(concat({fixed(py::float_(100.0 * pyapi::as_double(share)), ".1f"), "%"})),
                 ")"});
    }
}

py::object to_markdown(const Frame& f) {
    py::handle self = f.self();
    py::object settings = self.attr("settings");
    Lines out;
    out.add("## Signal Check");
    out.add(
        {"- Held-out R\u00b2 of a ridge (linear) and a gradient boosting (boosted) baseline, against the boosted "
         "model on the target with its link to the features broken (chance); sample of up to ",
         pyapi::format(get(settings, "sample_rows")), " rows, seed ", pyapi::format(get(settings, "seed")), ", ",
         pyapi::format(get(settings, "chance_repeats")), " chance repeats"});
    for (py::handle note : self.attr("notes")) out.add({"- Note: ", pyapi::format(note)});
    for (py::handle item : self.attr("targets").attr("items")()) {
        target_block(out, item[py::int_(0)], item[py::int_(1)], settings);
    }
    return out.joined();
}

py::object repr_markdown(const Frame& f) { return f.self().attr("to_markdown")(); }

constexpr Param self_only[] = {{"self"}};

constexpr MethodDef methods[] = {
    {"to_markdown", self_only, "str", "The signal check as a Markdown section.", to_markdown},
    {"_repr_markdown_", self_only, "str", nullptr, repr_markdown},
};

}  // namespace

namespace detail {

py::str fixed(py::handle value, const char* spec) {
    if (value.is_none()) return text("NA");
    if (PyFloat_Check(value.ptr()) && std::isnan(PyFloat_AS_DOUBLE(value.ptr()))) return text("NA");
    return pyapi::format(value, spec);
}

}  // namespace detail

std::span<const MethodDef> text_methods() { return methods; }

}  // namespace tamsel::signal
