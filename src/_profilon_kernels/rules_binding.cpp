// Entries of the analysis' rules: its fixed thresholds, and which library
// releases each fast path reproduces, so that Python code (the Dask driver,
// the tests) reads them from the one place the extension reads them.
#include <optional>
#include <string>

#include "../tamsel_eda/kernels/rules.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* rules_entry(PyObject*, PyObject*) {
    return entry([] {
        py::dict out;
        out["leakage_correlation"] = rules::leakage_correlation;
        out["leakage_correlation_penalty"] = rules::leakage_correlation_penalty;
        out["leakage_identity_penalty"] = rules::leakage_identity_penalty;
        out["leakage_name_penalty"] = rules::leakage_name_penalty;
        out["iqr_fence"] = rules::iqr_fence;
        out["relevance_sample_rows"] = rules::relevance_sample_rows;
        out["relevance_sample_seed"] = rules::relevance_sample_seed;
        out["duplicate_scan_columns"] = rules::duplicate_scan_columns;
        out["duplicate_fill_text"] = rules::duplicate_fill_text;
        return py::object(out);
    });
}

PyObject* release_window(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("release_window(name, library) takes two arguments");
        const std::string name = py::cast<std::string>(py::handle(args[0]));
        const std::string version = py::str(py::handle(args[1]).attr("__version__"));
        const std::optional<bool> covers = rules::releases::window_covers(name, rules::release_of(version.c_str()));
        if (!covers) throw py::value_error("no release window named " + name);
        return py::object(py::bool_(*covers));
    });
}

}  // namespace

const PyMethodDef rule_entries[] = {
    {"rules", rules_entry, METH_NOARGS, "The analysis' fixed thresholds, by name."},
    {"release_window", fastcall(release_window), METH_FASTCALL,
     "release_window(name, library): whether that fast path reproduces the imported release of the library module."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
