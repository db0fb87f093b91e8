// Reading one side of a comparison: the column kinds from the dtypes, then
// each column's state. A pandas frame's numeric states come from the drift
// kernel over every numeric column on the pool (the GIL released); a Dask
// frame's from the same kernel per partition, merged exactly by the driver.
#include <memory>

#include "../kernels/kernels.hpp"
#include "compare.hpp"

namespace tamsel::compare {
namespace {

namespace drift = kernels::drift;
using pyapi::Frame;

std::string kind_of(const Frame& f, py::handle dtype) {
    py::object types = f.g("pd").attr("api").attr("types");
    if (pyapi::truthy(types.attr("is_bool_dtype")(dtype))) return "categorical";
    if (pyapi::truthy(types.attr("is_datetime64_any_dtype")(dtype))) return "datetime";
    if (pyapi::truthy(types.attr("is_timedelta64_dtype")(dtype))) return "other";
    if (pyapi::truthy(types.attr("is_complex_dtype")(dtype))) return "other";
    if (pyapi::truthy(types.attr("is_numeric_dtype")(dtype))) return "numeric";
    return "categorical";
}

// value_counts keeps the unobserved categories of a categorical dtype with
// a count of zero; a level is one the side holds.
py::dict observed_levels(py::handle counts) {
    py::dict out;
    py::list index = counts.attr("index").attr("tolist")();
    py::list values = counts.attr("tolist")();
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(py::len(index)); ++i) {
        if (py::cast<double>(values[i]) > 0) out[index[i]] = values[i];
    }
    return out;
}

void finish_numeric(Column& c) {
    const drift::Moments m = drift::moments(c.values);
    c.mean = m.mean;
    c.std = m.std;
}

drift::ValueCounts read_state(py::handle obj) {
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    drift::ValueCounts s;
    const pyapi::Float64View values(t[0]), counts(t[1]);
    s.values.assign(values.data(), values.data() + values.size());
    s.counts.assign(counts.data(), counts.data() + counts.size());
    s.observations = pyapi::as_double(t[2]);
    s.missing = pyapi::as_double(t[3]);
    return s;
}

// A numeric column as float64 (NaN for a missing cell) copied into a buffer
// of ours and sorted there in place by NumPy (its SIMD sort is a third of
// the time of our own radix sort); the kernel then takes the buffer over as
// the state when no value repeats. The column itself is only read.
std::vector<double> sorted_copy(py::handle np, py::handle s) {
    // A NumPy float64 column is read where it lies (its missing cells are
    // NaN already); anything else (integers, nullable dtypes) is converted
    // first.
    const bool plain = pyapi::eq(s.attr("dtype"), np.attr("dtype")("float64"));
    py::object converted =
        plain ? s.attr("to_numpy")() : s.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
    py::object values = np.attr("ascontiguousarray")(converted, "dtype"_a = "float64");
    std::vector<double> buf;
    {
        const pyapi::Float64View view(values);
        buf.assign(view.data(), view.data() + view.size());
    }
    if (buf.empty()) return buf;
    py::object memory = pyapi::steal_or_throw(PyMemoryView_FromMemory(
        reinterpret_cast<char*>(buf.data()), static_cast<Py_ssize_t>(buf.size() * sizeof(double)), PyBUF_WRITE));
    np.attr("frombuffer")(memory, "dtype"_a = "float64").attr("sort")();
    memory.attr("release")();
    return buf;
}

void read_pandas(const Frame& f, Side& side) {
    py::object df = side.frame;
    py::object np = f.g("np");
    py::object iloc = df.attr("iloc");
    std::vector<std::vector<double>> sorted;
    std::vector<std::size_t> numeric_at;
    for (std::size_t j = 0; j < side.columns.size(); ++j) {
        Column& c = side.columns[j];
        py::object s = iloc[py::make_tuple(py::slice(py::none(), py::none(), py::none()), py::int_(j))];
        if (c.kind == "numeric") {
            sorted.push_back(sorted_copy(np, s));
            numeric_at.push_back(j);
        } else if (c.kind == "categorical") {
            c.levels = observed_levels(s.attr("value_counts")("dropna"_a = true));
            c.missing = py::cast<double>(py::int_(s.attr("isna")().attr("sum")()));
        } else if (c.kind == "datetime") {
            c.missing = py::cast<double>(py::int_(s.attr("isna")().attr("sum")()));
            if (c.missing < c.rows) {
                c.first = s.attr("min")();
                c.last = s.attr("max")();
            } else {
                c.first = c.last = py::none();
            }
        }
    }
    std::vector<drift::ValueCounts> states(sorted.size());
    pyapi::without_gil([&](const std::function<bool()>& poll) {
        kernels::parallel_for(
            sorted.size(),
            [&](std::size_t i, const kernels::Stop&) { states[i] = drift::from_sorted(std::move(sorted[i])); }, poll);
    });
    for (std::size_t i = 0; i < numeric_at.size(); ++i) {
        Column& c = side.columns[numeric_at[i]];
        c.values = std::move(states[i]);
        c.missing = c.values.missing;
        finish_numeric(c);
    }
}

// The driver's pass gives a state per column: numeric (values, counts,
// observations, missing); categorical (levels, counts, missing); datetime
// (first, last, missing).
void read_dask(Side& side) {
    py::object driver = pyapi::steal_or_throw(PyImport_ImportModule("_profilon_dask.drift"));
    py::list kinds;
    for (const Column& c : side.columns) kinds.append(py::str(c.kind));
    py::tuple result = driver.attr("column_states")(side.frame, kinds);
    side.rows = py::cast<Py_ssize_t>(result[0]);
    py::list states = result[1];
    for (std::size_t j = 0; j < side.columns.size(); ++j) {
        Column& c = side.columns[j];
        c.rows = static_cast<double>(side.rows);
        py::handle state = states[j];
        if (c.kind == "numeric") {
            c.values = read_state(state);
            c.missing = c.values.missing;
            finish_numeric(c);
        } else if (c.kind == "categorical") {
            py::tuple t = py::reinterpret_borrow<py::tuple>(state);
            py::list levels = t[0], counts = t[1];
            for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(py::len(levels)); ++i) c.levels[levels[i]] = counts[i];
            c.missing = pyapi::as_double(t[2]);
        } else if (c.kind == "datetime") {
            py::tuple t = py::reinterpret_borrow<py::tuple>(state);
            c.first = t[0];
            c.last = t[1];
            c.missing = pyapi::as_double(t[2]);
        }
    }
}

}  // namespace

Side read_frame(const Frame& f, py::handle df, bool dask) {
    Side side;
    side.frame = py::reinterpret_borrow<py::object>(df);
    side.dask = dask;
    side.labels = py::list(df.attr("columns"));
    py::object dtypes = df.attr("dtypes");
    py::list dtype_list = dtypes.attr("tolist")();
    if (!dask) side.rows = py::cast<Py_ssize_t>(py::tuple(df.attr("shape"))[0]);
    for (py::handle dtype : dtype_list) {
        Column c;
        c.kind = kind_of(f, dtype);
        c.dtype = py::str(dtype);
        c.rows = static_cast<double>(side.rows);
        side.columns.push_back(std::move(c));
    }
    if (dask) {
        read_dask(side);
    } else {
        read_pandas(f, side);
    }
    return side;
}

}  // namespace tamsel::compare
