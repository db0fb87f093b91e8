// The internal module _profilon_kernels exposes profilon's native kernels on
// NumPy buffers, so that tests can run each kernel side by side with the
// library call it stands in for (and so that partition-wise work elsewhere
// can call them) without adding a single name to profilon itself. Each kernel
// contributes one file with a sentinel-terminated PyMethodDef table.
#pragma once

#include <exception>
#include <new>

#include "../tamsel_eda/pyapi/pyapi.hpp"

namespace tamsel::kernel_module {

// Runs an entry's body; C++ exceptions become the Python error they stand for
// and never leave the C API boundary.
template <class Body>
PyObject* entry(Body&& body) noexcept {
    try {
        return body().release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a native kernel");
    }
    return nullptr;
}

// Entry tables, one per kernel file.
extern const PyMethodDef parallel_entries[];
extern const PyMethodDef page_entries[];
extern const PyMethodDef adf_entries[];
extern const PyMethodDef correlation_entries[];
extern const PyMethodDef mutual_info_entries[];
extern const PyMethodDef pairwise_entries[];
extern const PyMethodDef row_hash_entries[];
extern const PyMethodDef duplicate_entries[];
extern const PyMethodDef summary_entries[];
extern const PyMethodDef summary_table_entries[];
extern const PyMethodDef pearson_screen_entries[];
extern const PyMethodDef leakage_entries[];
extern const PyMethodDef group_sums_entries[];
extern const PyMethodDef quantile_entries[];
extern const PyMethodDef pairwise_tree_entries[];
extern const PyMethodDef level_counts_entries[];
extern const PyMethodDef text_codes_entries[];
extern const PyMethodDef rule_entries[];
extern const PyMethodDef drift_entries[];
extern const PyMethodDef time_stamps_entries[];
extern const PyMethodDef recent_points_entries[];
extern const PyMethodDef sample_rows_entries[];
extern const PyMethodDef levels_entries[];
extern const PyMethodDef time_axis_entries[];

}  // namespace tamsel::kernel_module
