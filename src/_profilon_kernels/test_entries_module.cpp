// PyInit__profilon_test_entries: the entries only tests call (whole-array
// forms of the mergeable kernels, thread probes), kept out of the module the
// Dask driver imports so that it declares what the driver uses.
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

// clang-format off
const PyMethodDef* const tables[] = {
    parallel_test_entries,
    adf_test_entries,
    pairwise_tree_test_entries,
    level_counts_test_entries,
    drift_test_entries,
    page_test_entries,
};
// clang-format on

int exec(PyObject* module) { return add_tables(module, tables); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_profilon_test_entries",
    "profilon's kernel entries that only its tests call (internal; no stable interface).",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tamsel::kernel_module

extern "C" PyMODINIT_FUNC PyInit__profilon_test_entries() {
    return PyModuleDef_Init(&tamsel::kernel_module::definition);
}
