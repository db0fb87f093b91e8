// Column-type predicates: whether pandas considers a column numeric, or
// categorical/object/string. One odd column must never stop an analysis, so
// both answer False on any ordinary failure of the pandas predicates.
#include "stats.hpp"

namespace tamsel::stats {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;

py::object is_numeric(const Frame& f) {
    return pyapi::guarded(
        [&]() -> py::object {
            py::object dt = pyapi::getattr_or_none(f.arg(1), "dtype");
            return f.g("pd").attr("api").attr("types").attr("is_numeric_dtype")(dt);
        },
        [] { return py::object(py::bool_(false)); });
}

// The dtype lookup stays outside the guard: a dtype property that raises
// anything but AttributeError is the caller's to see. The category test is
// an isinstance check rather than pandas' deprecated is_categorical_dtype,
// which warns under pandas 2.2 and is gone in pandas 3.
py::object is_categorical(const Frame& f) {
    py::object dt = pyapi::getattr_or_none(f.arg(1), "dtype");
    return pyapi::guarded(
        [&]() -> py::object {
            py::object pd = f.g("pd");
            if (pyapi::is_instance(dt, pd.attr("CategoricalDtype"))) return py::bool_(true);
            py::object types = pd.attr("api").attr("types");
            py::object is_object = types.attr("is_object_dtype")(dt);
            if (pyapi::truthy(is_object)) return is_object;
            return f.g("pd").attr("api").attr("types").attr("is_string_dtype")(dt);
        },
        [] { return py::object(py::bool_(false)); });
}

constexpr Param series_param[] = {{"self"}, {"s", pyapi::ParamKind::positional_or_keyword, "Series"}};

constexpr MethodDef table[] = {
    {"_is_categorical", series_param, "bool", nullptr, is_categorical},
    {"_is_numeric", series_param, "bool", nullptr, is_numeric},
};

}  // namespace

std::span<const MethodDef> predicate_methods() { return table; }

}  // namespace tamsel::stats
