// Recognising a Dask frame and reading it through the driver's passes.
#include <utility>

#include "../stats/stats.hpp"
#include "distributed.hpp"

namespace tamsel::distributed {
namespace {

// The driver package sits beside the extension; an installation without it
// simply takes no Dask frames.
py::object driver() {
    PyObject* mod = PyImport_ImportModule("_profilon_dask");
    if (mod) return py::reinterpret_steal<py::object>(mod);
    if (PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        return py::object();
    }
    throw py::error_already_set();
}

// The frame's own DatetimeIndex is the time axis when no usable
// datetime_col is named, as in the in-memory step.
bool has_index_axis(const Input& in) {
    return pyapi::is_instance(in.meta.attr("index"), in.g("pd").attr("DatetimeIndex"));
}

}  // namespace

bool is_dask_frame(const Input& in, py::handle df) {
    (void)in;
    py::object mod = driver();
    return mod && pyapi::truthy(mod.attr("is_dask_frame")(df));
}

namespace {

// The methods and module globals the in-memory analysis calls on whole
// columns. A Dask frame's columns are never gathered in one process, so the
// driver computes those figures itself; a replacement would not be called.
void require_own_column_methods(const Input& in) {
    for (const char* name : {"_safe_skew", "_safe_kurtosis", "_iqr_outlier_share", "_correlation_ratio_num_cat",
                             "_leakage_hints_per_target"}) {
        if (!pyapi::own_method(in.self, name)) {
            PyErr_Format(PyExc_TypeError,
                         "%s.%s replaces the library's method, which a Dask DataFrame cannot use: its columns "
                         "are never gathered in one place to call it on; analyse ddf.compute() instead",
                         Py_TYPE(in.self.ptr())->tp_name, name);
            throw py::error_already_set();
        }
    }
    for (auto [global, name] : {std::pair{"scipy_skew", "skew"}, std::pair{"scipy_kurtosis", "kurtosis"}}) {
        if (!stats::is_library_function(in.g(global), "scipy.stats", name)) {
            PyErr_Format(PyExc_TypeError,
                         "profilon.%s is not scipy.stats.%s, and a Dask DataFrame cannot use a replacement: its "
                         "columns are never gathered in one place to call it on; analyse ddf.compute() instead",
                         global, name);
            throw py::error_already_set();
        }
    }
}

}  // namespace

void read(Input& in, py::handle ddf) {
    require_own_column_methods(in);
    py::object mod = driver();
    const bool column_axis =
        pyapi::truthy(in.datetime_col) && pyapi::contains(in.meta.attr("columns"), in.datetime_col);
    py::object request = mod.attr("Request")("targets"_a = in.target_cols, "numeric"_a = in.num_cols,
                                             "levels"_a = pyapi::head(in.cat_cols, in.max_cat_features),
                                             "categorical"_a = in.cat_cols, "numeric_targets"_a = in.numeric_targets,
                                             "time_col"_a = column_axis ? in.datetime_col : py::none(),
                                             "has_axis"_a = py::bool_(column_axis || has_index_axis(in)),
                                             "freq"_a = in.freq, "datetime"_a = in.dt_cols, "boolean"_a = in.bool_cols);
    in.dist = mod.attr("analyse")(ddf, request);
    in.n_rows = in.dist.attr("n_rows");
    in.rows = py::cast<Py_ssize_t>(in.n_rows);
}

py::list sample_notes(const Input& in) {
    py::list lines;
    py::object notes = in.dist.attr("sample_notes");
    if (notes.is_none()) return lines;
    const auto sampled = [](py::handle note) {
        return pyapi::gt(note[py::str("rows_total")], note[py::str("rows_used")]);
    };
    const auto count = [](py::handle note, const char* key) { return pyapi::format(note[py::str(key)], ","); };
    if (pyapi::contains(notes, py::str("correlation"))) {
        py::object note = notes[py::str("correlation")];
        if (sampled(note)) {
            lines.append(pyapi::concat({"Correlation matrix: ", count(note, "rows_used"), " of ",
                                        count(note, "rows_total"), " rows, drawn uniformly (seed 0)"}));
        }
    }
    if (pyapi::contains(notes, py::str("time_series"))) {
        for (auto [tgt, note] : py::dict(notes[py::str("time_series")])) {
            if (!sampled(note)) continue;
            lines.append(
                pyapi::concat({"Stationarity and autocorrelation of ", pyapi::format(tgt), ": its ",
                               count(note, "rows_used"), " most recent of ", count(note, "rows_total"), " points"}));
        }
    }
    return lines;
}

}  // namespace tamsel::distributed
