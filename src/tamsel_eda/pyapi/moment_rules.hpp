// How the running SciPy and NumPy compute skew and kurtosis, for the moment
// kernel (kernels/moments.hpp): the formula of the SciPy release, the
// tolerance of its tests, and NumPy's own float64 power loop. Shared by the
// extension and the kernel module, so it uses nothing of pyapi but Python's
// C API and pybind11. Needs the GIL.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>

#include "../kernels/moments.hpp"

namespace tamsel::pyapi {

// The 'dd->d' loop of numpy.power as NumPy's ufunc object holds it (the
// CPU-dispatched function its trivial loop calls), or nothing when the
// object is not laid out as the declared NumPy releases lay it out.
std::optional<kernels::PowerLoop> numpy_power_loop();

// Whether `loop` gives NumPy's bits for the expressions SciPy evaluates
// (an array raised to a 0-d exponent 2, 3 and 4, a 0-d moment raised to 1.5
// and 2.0) and for the analysis' own square, on a probe of varied values.
bool power_loop_agrees(const kernels::PowerLoop& loop);

// The rules for the imported SciPy and NumPy; formula `none` outside the
// releases the kernel reproduces.
kernels::MomentRules running_moment_rules(std::size_t sum_block);

}  // namespace tamsel::pyapi
