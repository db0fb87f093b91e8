// PyInit__profilon_kernels: a plain multi-phase module whose exec slot adds
// every kernel file's entry table.
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

// One table a line, so that adding a kernel touches one line.
// clang-format off
const PyMethodDef* const tables[] = {
    pairwise_entries,
    row_hash_entries,
    duplicate_entries,
    summary_entries,
    leakage_entries,
    group_sums_entries,
    quantile_entries,
    pairwise_tree_entries,
    level_counts_entries,
    text_codes_entries,
    rule_entries,
    drift_entries,
    time_stamps_entries,
    recent_points_entries,
    sample_rows_entries,
    time_axis_entries,
    page_entries,
};
// clang-format on

PyModuleDef definition = TableModule<tables>::definition(
    "_profilon_kernels", "profilon's native kernels on NumPy buffers (internal; no stable interface).");

}  // namespace
}  // namespace tamsel::kernel_module

extern "C" PyMODINIT_FUNC PyInit__profilon_kernels() { return PyModuleDef_Init(&tamsel::kernel_module::definition); }
