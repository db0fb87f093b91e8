// The module entry. Written by hand rather than through a binding macro so
// that a failing import surfaces the original exception (a missing library
// raises its own ModuleNotFoundError) and leaves profilon out of sys.modules,
// letting a later import run the body again.
#include "module.hpp"

#include "../pyapi/pyapi.hpp"

namespace tamsel::module {
namespace {

int exec_profilon(PyObject* m) {
    return pyapi::at_c_boundary(nullptr, -1, [&] {
        py::module_ mod = py::reinterpret_borrow<py::module_>(m);
        py::dict ns = mod.attr("__dict__");
        // The importer sets neither of these for an extension module.
        ns["__cached__"] = py::none();
        ns["__builtins__"] = py::module_::import("builtins");
        bind_library_names(ns);
        create_classes(mod, ns);
        return 0;
    });
}

PyModuleDef_Slot profilon_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_profilon)},
    {0, nullptr},
};

PyModuleDef profilon_def = {
    PyModuleDef_HEAD_INIT,
    "profilon",
    nullptr,  // no docstring: __doc__ is None
    0,
    nullptr,
    profilon_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tamsel::module

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_profilon() {
    return PyModuleDef_Init(&tamsel::module::profilon_def);
}
