// The saved reference: one JSON document holding each column's state within
// a fixed bound (a numeric column's distinct values and counts when there
// are few, else 1,001 quantiles; its moments and PSI bins; a categorical
// column's most frequent levels; missing counts; the dtype), so that a later
// comparison needs no raw data. The statistics from quantiles carry the
// error bound the report states.
#include <algorithm>

#include "compare.hpp"

namespace tamsel::compare {
namespace {

namespace drift = kernels::drift;
using pyapi::Frame;

constexpr const char* format_name = "profilon-reference";

py::list as_list(const std::vector<double>& v) {
    py::list out;
    for (double x : v) out.append(py::float_(x));
    return out;
}

std::vector<double> as_vector(py::handle list) {
    std::vector<double> out;
    for (py::handle x : list) out.push_back(pyapi::as_double(x));
    return out;
}

std::vector<double> decile_edges(const drift::ValueCounts& s) {
    std::vector<double> q = drift::quantiles(s, psi_bins);
    std::vector<double> edges;
    for (std::size_t i = 1; i + 1 < q.size(); ++i) {
        if (edges.empty() || q[i] > edges.back()) edges.push_back(q[i]);
    }
    return edges;
}

py::object stamp_text(py::handle ts) { return ts.is_none() ? py::none() : py::object(ts.attr("isoformat")()); }

}  // namespace

// A frame's PSI bins are its own deciles; a saved reference's are stored.
std::vector<double> psi_edges_of(const Column& c) { return c.from_quantiles ? c.psi_edges : decile_edges(c.values); }

py::dict reference_profile(const Frame& f, const Side& side, py::dict extra) {
    (void)f;
    py::list columns;
    for (std::size_t j = 0; j < side.columns.size(); ++j) {
        const Column& c = side.columns[j];
        py::dict col;
        col["label"] = side.labels[j];
        col["kind"] = py::str(c.kind);
        col["dtype"] = c.dtype;
        col["rows"] = py::float_(c.rows);
        col["missing"] = py::float_(c.missing);
        if (c.kind == "numeric") {
            col["observations"] = py::float_(c.values.observations);
            col["mean"] = py::float_(c.mean);
            col["std"] = py::float_(c.std);
            if (!c.from_quantiles && c.values.values.size() <= exact_distinct_limit) {
                col["values"] = as_list(c.values.values);
                col["counts"] = as_list(c.values.counts);
            } else if (c.from_quantiles) {
                std::vector<double> q;
                if (!c.values.values.empty()) q.push_back(c.values.values.front());
                for (std::size_t i = 0; i < c.values.values.size(); ++i) {
                    for (double k = 0; k < c.values.count(i); ++k) q.push_back(c.values.values[i]);
                }
                col["quantiles"] = as_list(q);
            } else {
                col["quantiles"] = as_list(drift::quantiles(c.values, saved_quantiles));
            }
            const std::vector<double> edges = psi_edges_of(c);
            col["psi_edges"] = as_list(edges);
            col["psi_bins"] = as_list(c.from_quantiles ? c.psi_bins : drift::bin_counts(c.values, edges));
        } else if (c.kind == "categorical") {
            py::list items = pyapi::sorted_by_value_desc(f.globals(), c.levels.attr("items")());
            py::list kept;
            double other = c.levels_other;
            for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(py::len(items)); ++i) {
                py::tuple kv = items[i];
                if (static_cast<std::size_t>(i) < saved_levels) {
                    kept.append(py::make_tuple(kv[0], kv[1]));
                } else {
                    other += pyapi::as_double(kv[1]);
                }
            }
            col["levels"] = kept;
            col["levels_other"] = py::float_(other);
        } else if (c.kind == "datetime") {
            col["first"] = stamp_text(c.first);
            col["last"] = stamp_text(c.last);
        }
        columns.append(col);
    }
    py::dict out;
    out["format"] = format_name;
    out["version"] = format_version;
    out["rows"] = py::int_(side.rows);
    out["columns"] = columns;
    for (auto [k, v] : extra) out[k] = v;
    return out;
}

Side read_saved(const Frame& f, py::handle path) {
    py::object json = pyapi::steal_or_throw(PyImport_ImportModule("json"));
    py::object builtins = pyapi::steal_or_throw(PyImport_ImportModule("builtins"));
    py::object doc;
    {
        py::object handle = builtins.attr("open")(path, "r", "encoding"_a = "utf-8");
        try {
            doc = json.attr("load")(handle);
        } catch (py::error_already_set& e) {
            handle.attr("close")();
            if (!e.matches(PyExc_ValueError)) throw;
            PyErr_Format(PyExc_ValueError, "%S is not a saved profilon reference (it is not JSON)", path.ptr());
            throw py::error_already_set();
        }
        handle.attr("close")();
    }
    if (!PyDict_Check(doc.ptr()) || !pyapi::eq(doc.attr("get")("format"), py::str(format_name))) {
        PyErr_Format(PyExc_ValueError, "%S is not a saved profilon reference", path.ptr());
        throw py::error_already_set();
    }
    py::object version = doc.attr("get")("version");
    if (!pyapi::eq(version, py::int_(format_version))) {
        PyErr_Format(PyExc_ValueError, "%S is a saved reference of format version %S; this profilon reads version %d",
                     path.ptr(), py::str(version).ptr(), format_version);
        throw py::error_already_set();
    }
    Side side;
    side.frame = py::none();
    side.rows = py::cast<Py_ssize_t>(doc["rows"]);
    side.saved = py::reinterpret_borrow<py::dict>(doc);
    py::object timestamp = f.g("pd").attr("Timestamp");
    for (py::handle item : doc["columns"]) {
        py::dict col = py::reinterpret_borrow<py::dict>(item);
        Column c;
        // JSON has no tuples: a tuple label (a MultiIndex column) comes back
        // as a list and becomes a tuple again.
        py::object label = col["label"];
        side.labels.append(PyList_Check(label.ptr()) ? py::object(py::tuple(label)) : label);
        c.kind = py::str(col["kind"]);
        c.dtype = col["dtype"];
        c.rows = pyapi::as_double(col["rows"]);
        c.missing = pyapi::as_double(col["missing"]);
        if (c.kind == "numeric") {
            const double observations = pyapi::as_double(col["observations"]);
            if (col.contains("values")) {
                c.values.values = as_vector(col["values"]);
                c.values.counts = as_vector(col["counts"]);
                if (!c.values.counts.empty() && c.values.counts.size() != c.values.values.size()) {
                    PyErr_Format(PyExc_ValueError, "%S: a column's values and counts differ in length", path.ptr());
                    throw py::error_already_set();
                }
                c.values.observations = observations;
                c.values.missing = c.missing;
            } else {
                c.values = drift::from_quantiles(as_vector(col["quantiles"]), observations, c.missing);
                c.from_quantiles = true;
            }
            c.mean = pyapi::as_double(col["mean"]);
            c.std = pyapi::as_double(col["std"]);
            c.psi_edges = as_vector(col["psi_edges"]);
            c.psi_bins = as_vector(col["psi_bins"]);
            // An exact state's bins are recomputed from it, which gives the
            // stored ones; only a quantile state needs them.
            if (!c.from_quantiles) c.psi_edges.clear();
        } else if (c.kind == "categorical") {
            for (py::handle kv : col["levels"]) {
                py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(kv));
                c.levels[pair[0]] = pair[1];
            }
            c.levels_other = pyapi::as_double(col["levels_other"]);
        } else if (c.kind == "datetime") {
            c.first = col["first"].is_none() ? py::none() : timestamp(col["first"]);
            c.last = col["last"].is_none() ? py::none() : timestamp(col["last"]);
        }
        side.columns.push_back(std::move(c));
    }
    return side;
}

}  // namespace tamsel::compare
