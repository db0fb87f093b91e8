// Placeholder until the association measures are built: no methods yet.
#include "stats.hpp"

namespace tamsel::stats {
std::span<const pyapi::MethodDef> association_methods() { return {}; }
}  // namespace tamsel::stats
