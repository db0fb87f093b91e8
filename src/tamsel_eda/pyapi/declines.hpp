// Which fast paths left a step, or a column of it, to the library. The tests
// that check the kernels ran on frames they take bind a callable to the
// module global `_kernel_declines`; every decline calls it with the kernel's
// name. Unbound (every ordinary run), a decline costs one dictionary lookup
// and a kernel that runs costs nothing.
#pragma once

#include "pyapi.hpp"

namespace tamsel::pyapi {

void note_decline(py::handle globals, const char* kernel);

}  // namespace tamsel::pyapi
