// Placeholder until presentation is built: no methods yet.
#include "render.hpp"

namespace tamsel::render {
std::span<const pyapi::MethodDef> markdown_methods() { return {}; }
std::span<const pyapi::MethodDef> entry_point_methods() { return {}; }
}  // namespace tamsel::render
