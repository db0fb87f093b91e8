// The correlation matrix through the native kernel, where it gives pandas'
// own bits.
#pragma once

#include "analysis.hpp"

namespace tamsel::profile {

// df[num_cols].corr(method=corr_method) computed natively, or a null object
// when the kernel does not apply here (another method, a frame subclass, a
// column type or pandas version it does not reproduce), so the caller asks
// pandas as before.
py::object native_correlation(const Analysis& a);

}  // namespace tamsel::profile
