// The three published classes, assembled from the method tables that the
// subsystems export. EDA's methods are placed in their published order
// whichever subsystem provides them.
#include <algorithm>
#include <array>
#include <iterator>
#include <string_view>
#include <vector>

#include "../compare/compare.hpp"
#include "../diagnostics/diagnostics.hpp"
#include "../facade/facade.hpp"
#include "../pipeline/pipeline.hpp"
#include "../render/render.hpp"
#include "../report/report.hpp"
#include "../signal/signal.hpp"
#include "../stats/stats.hpp"
#include "module.hpp"

namespace tamsel::module {
namespace {

constexpr std::array<std::string_view, 26> eda_method_order = {
    "__init__",
    "__getattr__",
    "__dir__",
    "_compose_version",
    "_is_public",
    "_dir_safe",
    "_union_attrs",
    "_is_categorical",
    "_is_numeric",
    "_safe_skew",
    "_safe_kurtosis",
    "_spearman_abs",
    "_pct",
    "_iqr_outlier_share",
    "_corr_proportion_strong",
    "_canonical_time_lags",
    "_autocorr_at_lags",
    "_seasonality_strength",
    "_correlation_ratio_num_cat",
    "_leakage_hints_per_target",
    "eda_report_and_score",
    "eda",
    "eda_md",
    "eda_print",
    "signal_check",
    "compare",
};

std::vector<const pyapi::MethodDef*> collect(std::initializer_list<std::span<const pyapi::MethodDef>> tables) {
    std::vector<const pyapi::MethodDef*> out;
    for (auto table : tables) {
        for (const auto& def : table) out.push_back(&def);
    }
    return out;
}

std::vector<const pyapi::MethodDef*> in_published_order(std::vector<const pyapi::MethodDef*> defs) {
    auto rank = [](const pyapi::MethodDef* d) {
        auto it = std::find(eda_method_order.begin(), eda_method_order.end(), std::string_view(d->name));
        if (it == eda_method_order.end()) throw std::logic_error(std::string("unplaced EDA method ") + d->name);
        return std::distance(eda_method_order.begin(), it);
    };
    std::stable_sort(defs.begin(), defs.end(), [&](auto* a, auto* b) { return rank(a) < rank(b); });
    return defs;
}

}  // namespace

void create_classes(py::module_ mod, py::dict ns) {
    py::object fn_type = pyapi::make_function_type(mod);
    py::object dataclass = ns["dataclass"];

    auto breakdown_methods = collect({report::score_breakdown_methods()});
    ns["EdaScoreBreakdown"] = dataclass(
        pyapi::make_class(fn_type, ns, "EdaScoreBreakdown", report::score_breakdown_fields(), breakdown_methods));

    auto report_methods =
        collect({report::report_methods(), render::markdown_methods(), render::json_methods(), render::html_methods()});
    ns["EdaReport"] = dataclass(pyapi::make_class(fn_type, ns, "EdaReport", report::report_fields(), report_methods));

    auto eda_methods = in_published_order(collect({
        facade::forwarding_methods(),
        facade::version_methods(),
        stats::predicate_methods(),
        stats::robust_methods(),
        stats::association_methods(),
        diagnostics::lag_methods(),
        diagnostics::leakage_methods(),
        pipeline::entry_methods(),
        render::entry_point_methods(),
        signal::entry_methods(),
        compare::compare_methods(),
    }));
    ns["EDA"] = pyapi::make_class(fn_type, ns, "EDA", {}, eda_methods);

    // The reports of their own that signal_check and compare return are no
    // module names: each method keeps its report class on its own function
    // object, as a Python function would keep one in its closure.
    auto signal_methods =
        collect({signal::report_methods(), render::json_methods(), signal::text_methods(), signal::page_methods()});
    py::object signal_report =
        dataclass(pyapi::make_class(fn_type, ns, "SignalReport", signal::report_fields(), signal_methods));
    ns["EDA"].attr("signal_check").attr("__dict__")["_report_class"] = signal_report;

    auto comparison_methods = collect({compare::report_methods(), render::comparison_markdown_methods(),
                                       render::comparison_html_methods(), render::json_methods()});
    py::object comparison =
        dataclass(pyapi::make_class(fn_type, ns, "ComparisonReport", compare::report_fields(), comparison_methods));
    ns["EDA"].attr("compare").attr("__dict__")["_report_class"] = comparison;
}

}  // namespace tamsel::module
