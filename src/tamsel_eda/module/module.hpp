// Module assembly: the library names, then the three classes.
#pragma once

#include "../pyapi/pyapi.hpp"

namespace tamsel::module {

// Imports the libraries and binds the module-level names in their fixed
// order; any import failure propagates unchanged.
void bind_library_names(py::dict ns);

// Creates EdaScoreBreakdown, EdaReport and EDA from the subsystems' method
// tables and binds them.
void create_classes(py::module_ mod, py::dict ns);

}  // namespace tamsel::module
