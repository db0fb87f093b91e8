// The drift kernel on NumPy arrays. A state travels as the tuple
// (values, counts, observations, missing): float64 arrays of the distinct
// values ascending and their counts (empty when each occurs once), then two
// floats. The Dask driver runs
// drift_value_counts per partition and drift_merge to combine; tests hold
// the finishing figures against the library functions.
#include "../tamsel_eda/kernels/drift.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

namespace drift = kernels::drift;

drift::ValueCounts read_state(py::handle obj) {
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    if (py::len(t) != 4) throw py::value_error("a state is (values, counts, observations, missing)");
    drift::ValueCounts s;
    s.values = read_array<double>(t[0], "float64");
    s.counts = read_array<double>(t[1], "float64");
    if (!s.counts.empty() && s.values.size() != s.counts.size())
        throw py::value_error("counts: none (every value once) or one per value");
    s.observations = float_arg(t[2]);
    s.missing = float_arg(t[3]);
    return s;
}

py::object state_tuple(const drift::ValueCounts& s) {
    return py::make_tuple(make_array(s.values, "float64"), make_array(s.counts, "float64"), s.observations, s.missing);
}

void arity(Py_ssize_t nargs, Py_ssize_t want, const char* usage) {
    if (nargs != want) throw py::type_error(usage);
}

PyObject* value_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 1, "drift_value_counts(values)");
        py::object np = py::module_::import("numpy");
        const std::vector<double> x = read_array<double>(np.attr("sort")(py::handle(args[0])), "float64");
        drift::ValueCounts s =
            pyapi::without_gil([&](const std::function<bool()>&) { return drift::from_sorted(x.data(), x.size()); });
        return state_tuple(s);
    });
}

PyObject* merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 2, "drift_merge(a, b)");
        return state_tuple(drift::merge(read_state(args[0]), read_state(args[1])));
    });
}

PyObject* two_sample(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 2, "drift_two_sample(reference, current)");
        const drift::ValueCounts a = read_state(args[0]), b = read_state(args[1]);
        if (a.values.empty() || b.values.empty()) throw py::value_error("both states need a value");
        const drift::TwoSample r = drift::two_sample(a, b);
        return py::object(py::make_tuple(r.ks_statistic, r.wasserstein));
    });
}

PyObject* moments(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 1, "drift_moments(state)");
        const drift::Moments m = drift::moments(read_state(args[0]));
        return py::object(py::make_tuple(m.mean, m.std));
    });
}

PyObject* quantiles(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 2, "drift_quantiles(state, k)");
        return make_array(drift::quantiles(read_state(args[0]), size_arg(args[1])), "float64");
    });
}

PyObject* from_quantiles(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 3, "drift_from_quantiles(q, observations, missing)");
        return state_tuple(
            drift::from_quantiles(read_array<double>(args[0], "float64"), float_arg(args[1]), float_arg(args[2])));
    });
}

PyObject* bin_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 2, "drift_bin_counts(state, edges)");
        return make_array(drift::bin_counts(read_state(args[0]), read_array<double>(args[1], "float64")), "float64");
    });
}

PyObject* psi(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 3, "drift_psi(reference_bins, current_bins, floor)");
        return py::object(py::float_(drift::psi(read_array<double>(args[0], "float64"),
                                                read_array<double>(args[1], "float64"), float_arg(args[2]))));
    });
}

PyObject* level_figures(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 2, "drift_level_figures(reference_counts, current_counts)");
        const std::vector<double> r = read_array<double>(args[0], "float64");
        const std::vector<double> c = read_array<double>(args[1], "float64");
        if (r.size() != c.size()) throw py::value_error("counts of the same levels on both sides");
        const drift::LevelFigures f = drift::level_figures(r.data(), c.data(), r.size());
        return py::object(py::make_tuple(f.js_distance, f.chi2_statistic, f.dof));
    });
}

#define DRIFT_ENTRY(name, fn, doc) {name, fastcall(fn), METH_FASTCALL, doc}

}  // namespace

const PyMethodDef drift_entries[] = {
    DRIFT_ENTRY("drift_value_counts", value_counts, "drift_value_counts(values): a column's drift state."),
    DRIFT_ENTRY("drift_merge", merge, "drift_merge(a, b): the state of both samples."),
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef drift_test_entries[] = {
    DRIFT_ENTRY("drift_two_sample", two_sample, "drift_two_sample(ref, cur): (KS statistic, Wasserstein)."),
    DRIFT_ENTRY("drift_moments", moments, "drift_moments(state): (mean, population std)."),
    DRIFT_ENTRY("drift_quantiles", quantiles, "drift_quantiles(state, k): k + 1 inverted-CDF quantiles."),
    DRIFT_ENTRY("drift_from_quantiles", from_quantiles, "drift_from_quantiles(q, n, missing): a saved state."),
    DRIFT_ENTRY("drift_bin_counts", bin_counts, "drift_bin_counts(state, edges): counts per right-closed bin."),
    DRIFT_ENTRY("drift_psi", psi, "drift_psi(ref_bins, cur_bins, floor): population stability index."),
    DRIFT_ENTRY("drift_level_figures", level_figures, "drift_level_figures(ref, cur): (JS distance, chi2, dof)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
