// The internal module _profilon_kernels exposes profilon's native kernels on
// NumPy buffers to the Dask driver's partition-wise work (and to the tests,
// which run each kernel side by side with the library call it stands in for)
// without adding a single name to profilon itself. Each kernel contributes one
// file with a sentinel-terminated PyMethodDef table, and a second table of the
// entries only tests call, which _profilon_test_entries declares instead.
#pragma once

#include <algorithm>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>

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

// Runs `body`; what a kernel throws for an argument it cannot take becomes
// the Python error for it: std::invalid_argument a ValueError, std::out_of_range
// an IndexError.
template <class Body>
auto argument_errors(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const std::invalid_argument& e) {
        throw py::value_error(e.what());
    } catch (const std::out_of_range& e) {
        throw py::index_error(e.what());
    }
}

// A METH_FASTCALL entry as the PyCFunction a method table holds.
inline PyCFunction fastcall(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t)) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Entry tables, one per kernel file.
extern const PyMethodDef page_entries[];
extern const PyMethodDef pairwise_entries[];
extern const PyMethodDef row_hash_entries[];
extern const PyMethodDef duplicate_entries[];
extern const PyMethodDef summary_entries[];
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
extern const PyMethodDef time_axis_entries[];

// The entries only tests call, for the module _profilon_test_entries (built
// with PROFILON_TEST_ENTRIES, never shipped): whole-array forms of the
// mergeable kernels, the entries of kernels the analysis runs in the main
// module only, and probes of the thread loop and the running releases.
extern const PyMethodDef adf_test_entries[];
extern const PyMethodDef correlation_test_entries[];
extern const PyMethodDef drift_test_entries[];
extern const PyMethodDef duplicate_test_entries[];
extern const PyMethodDef group_sums_test_entries[];
extern const PyMethodDef level_counts_test_entries[];
extern const PyMethodDef mutual_info_test_entries[];
extern const PyMethodDef page_test_entries[];
extern const PyMethodDef pairwise_test_entries[];
extern const PyMethodDef pairwise_tree_test_entries[];
extern const PyMethodDef parallel_test_entries[];
extern const PyMethodDef pearson_screen_test_entries[];
extern const PyMethodDef quantile_test_entries[];
extern const PyMethodDef row_hash_test_entries[];
extern const PyMethodDef summary_test_entries[];
extern const PyMethodDef time_stamps_test_entries[];

// A module's exec slot body: adds every table of `tables`.
inline int add_tables(PyObject* module, std::span<const PyMethodDef* const> tables) {
    // The tables are constant; the interpreter only reads them.
    const auto add = [module](const PyMethodDef* table) {
        return PyModule_AddFunctions(module, const_cast<PyMethodDef*>(table)) == 0;
    };
    return std::all_of(tables.begin(), tables.end(), add) ? 0 : -1;
}

// A kernel module whose exec slot adds every table of `Tables`; both modules
// are this with their own name, docstring and tables.
template <auto& Tables>
struct TableModule {
    static int exec(PyObject* module) { return add_tables(module, Tables); }
    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void*>(exec)},
        {0, nullptr},
    };
    static PyModuleDef definition(const char* name, const char* doc) {
        return {PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
    }
};

}  // namespace tamsel::kernel_module
