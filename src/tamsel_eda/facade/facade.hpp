// The backend facade: an EDA object also answers for NumPy, pandas and
// scikit-learn, lists their public names and reports their versions.
#pragma once

#include "../pyapi/pyapi.hpp"

namespace tamsel::facade {

// __init__, __getattr__, __dir__, _is_public, _dir_safe, _union_attrs.
std::span<const pyapi::MethodDef> forwarding_methods();
// _compose_version.
std::span<const pyapi::MethodDef> version_methods();

}  // namespace tamsel::facade
