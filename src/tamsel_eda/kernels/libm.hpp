// The C library's pow, as the interpreter's float ** and NumPy's scalar
// power call it. Reached through a pointer the compiler cannot see through,
// so pow(x, 2.0) is never folded into x * x: glibc's pow is not always
// correctly rounded, and the two then differ in the last bit.
#pragma once

#include <cmath>

namespace tamsel::kernels {

inline double (*volatile libm_pow)(double, double) = static_cast<double (*)(double, double)>(&std::pow);

}  // namespace tamsel::kernels
