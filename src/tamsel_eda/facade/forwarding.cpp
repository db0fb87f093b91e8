// Attribute forwarding and the merged listings.
#include "facade.hpp"

namespace tamsel::facade {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;

py::object init(const Frame& f) {
    py::handle self = f.self();
    py::object np = f.g("np");
    self.attr("random") = np.attr("random");
    self.attr("linalg") = np.attr("linalg");
    self.attr("fft") = np.attr("fft");
    self.attr("_np") = f.g("np");
    self.attr("_pd") = f.g("pd");
    self.attr("_sk") = f.g("sklearn");
    return py::none();
}

// Only reached when normal lookup failed. On an instance that never ran
// __init__, reading self._np lands here again; the recursion guard of the
// native call turns that into RecursionError.
py::object getattr_hook(const Frame& f) {
    py::handle self = f.self();
    py::handle name = f.arg(1);
    for (const char* backend : {"_np", "_pd", "_sk"}) {
        if (pyapi::hasattr(self.attr(backend), name)) return self.attr(backend).attr(name);
    }
    return py::none();
}

py::object dir_hook(const Frame& f) {
    py::handle self = f.self();
    py::object object_dir =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__dir__");
    py::set names(object_dir(self));
    py::object dir = pyapi::builtin(f.globals(), "dir");
    for (const char* backend : {"_np", "_pd", "_sk"}) {
        for (py::handle n : dir(self.attr(backend))) names.add(n);
    }
    // Nothing sets _sklearn_submods; a missing or None value adds nothing
    // rather than making dir() of every instance fail.
    py::object extra = pyapi::getattr_or_none(self, "_sklearn_submods");
    if (!extra.is_none()) {
        for (py::handle n : extra) names.add(n);
    }
    return pyapi::builtin(f.globals(), "sorted")(names);
}

py::object is_public(const Frame& f) {
    py::object starts = f.arg(1).attr("startswith")("_");
    return py::bool_(!pyapi::truthy(starts));
}

py::object dir_safe(const Frame& f) {
    py::handle mod = f.arg(1);
    if (mod.is_none()) return py::list();
    return pyapi::guarded(
        [&] {
            py::list out;
            py::object is_public = f.self().attr("_is_public");
            for (py::handle n : pyapi::builtin(f.globals(), "dir")(mod)) {
                if (pyapi::truthy(is_public(n))) out.append(n);
            }
            return out;
        },
        [] { return py::list(); });
}

constexpr const char* advertised_names[] = {
    "EdaReport", "EdaScoreBreakdown", "Tamsel", "eda", "eda_md", "eda_print", "eda_report_and_score",
    "fft",       "get_facade",        "linalg", "np",  "pd",     "random",    "set_priority",
    "sk",        "train_test_split",
};

py::object union_attrs(const Frame& f) {
    py::set names;
    py::object dir_safe = f.self().attr("_dir_safe");
    for (const char* lib : {"pd", "np", "sklearn"}) {
        for (py::handle n : dir_safe(f.g(lib))) names.add(n);
    }
    for (const char* n : advertised_names) names.add(py::str(n));
    return pyapi::builtin(f.globals(), "sorted")(names);
}

constexpr Param self_only[] = {{"self"}};
constexpr Param self_name[] = {{"self"}, {"name", pyapi::ParamKind::positional_or_keyword, "str"}};
constexpr Param self_mod[] = {{"self"}, {"mod", pyapi::ParamKind::positional_or_keyword, "Optional[types.ModuleType]"}};

constexpr MethodDef table[] = {
    {"__init__", self_only, nullptr, nullptr, init},
    {"__getattr__", self_name, "Any", nullptr, getattr_hook},
    {"__dir__", self_only, nullptr, nullptr, dir_hook},
    {"_is_public", self_name, "bool", nullptr, is_public},
    {"_dir_safe", self_mod, "List[str]", nullptr, dir_safe},
    {"_union_attrs", self_only, "List[str]",
     "Union of public attributes across available backends (plus tamsel EDA API & public aliases).", union_attrs},
};

}  // namespace

std::span<const MethodDef> forwarding_methods() { return table; }

}  // namespace tamsel::facade
