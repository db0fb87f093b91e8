// Entries of the analysis' rules: its fixed thresholds, and which library
// releases each fast path reproduces, so that Python code (the Dask driver,
// the tests) reads them from the one place the extension reads them.
#include <string>

#include "../tamsel_eda/kernels/rules.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

namespace releases = rules::releases;

struct Window {
    const char* name;
    bool (*covers)(rules::Release);
};

constexpr Window windows[] = {
    {"pandas_distinct_counts", releases::pandas_distinct_counts},
    {"pandas_row_hashes", releases::pandas_row_hashes},
    {"pandas_hashes_zero_as_positive", releases::pandas_hashes_zero_as_positive},
    {"pandas_spearman", releases::pandas_spearman},
    {"pandas_pearson", releases::pandas_pearson},
    {"pandas_pearson_clipped", releases::pandas_pearson_clipped},
    {"pandas_leakage_screen", releases::pandas_leakage_screen},
    {"pandas_group_means", releases::pandas_group_means},
    {"pandas_value_counts_stable", releases::pandas_value_counts_stable},
    {"pandas_csv_floats_exact", releases::pandas_csv_floats_exact},
    {"pandas_json_dates_as_written", releases::pandas_json_dates_as_written},
    {"numpy_summaries", releases::numpy_summaries},
    {"scipy_moments_by_squares", releases::scipy_moments_by_squares},
    {"scipy_zero_variance_by_resolution", releases::scipy_zero_variance_by_resolution},
    {"sklearn_mutual_info", releases::sklearn_mutual_info},
};

PyObject* rules_entry(PyObject*, PyObject*) {
    return entry([] {
        py::dict out;
        out["leakage_correlation"] = rules::leakage_correlation;
        out["leakage_correlation_penalty"] = rules::leakage_correlation_penalty;
        out["leakage_identity_penalty"] = rules::leakage_identity_penalty;
        out["leakage_name_penalty"] = rules::leakage_name_penalty;
        out["iqr_fence"] = rules::iqr_fence;
        out["relevance_sample_rows"] = rules::relevance_sample_rows;
        return py::object(out);
    });
}

PyObject* release_window(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("release_window(name, library) takes two arguments");
        const std::string name = py::cast<std::string>(py::handle(args[0]));
        const std::string version = py::str(py::handle(args[1]).attr("__version__"));
        const rules::Release release = rules::release_of(version.c_str());
        for (const Window& w : windows) {
            if (name == w.name) return py::object(py::bool_(w.covers(release)));
        }
        throw py::value_error("no release window named " + name);
    });
}

}  // namespace

const PyMethodDef rule_entries[] = {
    {"rules", rules_entry, METH_NOARGS, "The analysis' fixed thresholds, by name."},
    {"release_window", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(release_window)), METH_FASTCALL,
     "release_window(name, library): whether that fast path reproduces the imported release of the library module."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
