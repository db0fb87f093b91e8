// The module-level names through which every method reaches its libraries.
// Methods look them up at call time, so rebinding one (a test's patch)
// changes what the analysis calls.
#include "module.hpp"

namespace tamsel::module {
namespace {

// `from <module> import <name>`: an absent attribute is an ImportError that
// names it, as the interpreter's own statement reports it.
py::object import_from(py::handle module, const char* module_name, const char* name) {
    py::object value = pyapi::optional_attr(module, py::str(name));
    if (value) return value;
    py::object file = pyapi::getattr_or_none(module, "__file__");
    py::str where = file.is_none() ? py::str("unknown location") : py::str(file);
    PyErr_Format(PyExc_ImportError, "cannot import name %R from %R (%U)", py::str(name).ptr(),
                 py::str(module_name).ptr(), where.ptr());
    throw py::error_already_set();
}

void bind_from(py::dict ns, const char* module_name, std::initializer_list<std::pair<const char*, const char*>> names) {
    py::module_ m = py::module_::import(module_name);
    for (const auto& [attr, as] : names) ns[as] = import_from(m, module_name, attr);
}

}  // namespace

void bind_library_names(py::dict ns) {
    bind_from(ns, "typing",
              {{"Optional", "Optional"},
               {"List", "List"},
               {"types", "types"},
               {"Dict", "Dict"},
               {"Tuple", "Tuple"},
               {"Any", "Any"},
               {"Union", "Union"}});
    bind_from(ns, "dataclasses", {{"dataclass", "dataclass"}, {"asdict", "asdict"}});
    bind_from(ns, "pandas.core.frame", {{"DataFrame", "DataFrame"}});
    bind_from(ns, "pandas.core.series", {{"Series", "Series"}});
    ns["pd"] = py::module_::import("pandas");
    ns["np"] = py::module_::import("numpy");
    bind_from(ns, "numpy.typing", {{"NDArray", "NDArray"}});
    ns["sklearn"] = py::module_::import("sklearn");
    ns["re"] = py::module_::import("re");
    bind_from(ns, "scipy.stats", {{"skew", "scipy_skew"}, {"kurtosis", "scipy_kurtosis"}, {"spearmanr", "spearmenr"}});
    bind_from(ns, "statsmodels.tsa.stattools", {{"adfuller", "_adfuller"}});
    bind_from(ns, "sklearn.feature_selection", {{"mutual_info_regression", "_mi_reg"}});
}

}  // namespace tamsel::module
