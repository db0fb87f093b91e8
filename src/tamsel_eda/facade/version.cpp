// The one-line version string of the three facade backends.
#include <utility>

#include "facade.hpp"

namespace tamsel::facade {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;

// Reads the module-level libraries, not the instance's attributes, so the
// string always runs pandas, NumPy, scikit-learn whatever the instance holds.
py::object compose_version(const Frame& f) {
    py::list parts;
    for (auto [lib, label] : {std::pair{"pd", "pandas:"}, {"np", "numpy:"}, {"sklearn", "sklearn:"}}) {
        py::object version = pyapi::getattr_or_none(f.g(lib), "__version__");
        if (pyapi::truthy(version)) parts.append(pyapi::concat({pyapi::text(label), pyapi::format(version)}));
    }
    if (parts.empty()) return py::str("unknown");
    return py::str(" | ").attr("join")(parts);
}

constexpr Param self_only[] = {{"self"}};

constexpr MethodDef table[] = {
    {"_compose_version", self_only, "str", nullptr, compose_version},
};

}  // namespace

std::span<const MethodDef> version_methods() { return table; }

}  // namespace tamsel::facade
