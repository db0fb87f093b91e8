// PyInit__profilon_test_entries: the entries only tests call, apart from the
// module the Dask driver imports, so that the shipped module declares what the
// analysis uses and no more. Built with PROFILON_TEST_ENTRIES (developer and
// sanitizer builds), never installed into a release wheel.
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

// One table a line, as in kernels_module.cpp.
// clang-format off
const PyMethodDef* const tables[] = {
    parallel_test_entries,
    adf_test_entries,
    correlation_test_entries,
    mutual_info_test_entries,
    pairwise_test_entries,
    row_hash_test_entries,
    summary_test_entries,
    pearson_screen_test_entries,
    group_sums_test_entries,
    quantile_test_entries,
    pairwise_tree_test_entries,
    level_counts_test_entries,
    drift_test_entries,
    duplicate_test_entries,
    page_test_entries,
    time_stamps_test_entries,
};
// clang-format on

PyModuleDef definition = TableModule<tables>::definition(
    "_profilon_test_entries",
    "Entries of profilon's native kernels that only its tests call (internal; never shipped).");

}  // namespace
}  // namespace tamsel::kernel_module

extern "C" PyMODINIT_FUNC PyInit__profilon_test_entries() {
    return PyModuleDef_Init(&tamsel::kernel_module::definition);
}
