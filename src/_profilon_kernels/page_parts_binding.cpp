// The page's figures (page_figures.hpp) over a column cut into `parts`
// equal runs of rows: partial per run, merged left to right, then finished,
// as the Dask driver would combine partitions. One run is the in-memory
// path; any other count must give the same figures.
//
// page_histogram(values, bins, parts) -> (edges, counts)
// page_levels(codes, levels, top, parts) -> (codes, counts, other, distinct, missing)
// page_periods(stamps, max_periods, parts) -> (unit, starts, counts)
// page_series(stamps, values, buckets, parts) -> (stamps, values, rows)
//
// The same steps one at a time, for the Dask driver, whose partitions are
// read by different tasks: states travel between them as plain tuples.
//
// page_range_partial(values) -> range         page_range_merge([range, ...]) -> range
//     range: (finite, missing, infinite, zeros, lo, hi, sum)
// page_histogram_partial(range, values) -> counts (the merged range plans the bins)
// page_stamps_partial(stamps) -> stamps_range  page_stamps_merge([...]) -> stamps_range
//     stamps_range: (count, missing, lo, hi)
// page_periods_partial(stamps_range, stamps) -> counts
// page_counts_merge([counts, ...]) -> counts (of histograms or periods alike)
// page_top_levels(counts, ranked) -> (codes, counts, distinct) of a coded column's listed levels
// page_series_partial(stamps_range, stamps, values, first_row) -> series
// page_series_merge([series, ...]) -> series   page_series_finish(series) -> (stamps, values, rows)
//     series: (lo, hi, low, high), each of low and high (stamps, values, rows) by bucket
#include <numeric>
#include <vector>

#include "../tamsel_eda/kernels/page_figures.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

namespace kp = tamsel::kernels::page;

std::size_t parts_arg(py::handle obj) {
    const std::size_t parts = size_arg(obj);
    if (parts == 0) throw py::value_error("parts must be at least 1");
    return parts;
}

PyObject* page_histogram(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("page_histogram(values, bins, parts)");
        const std::vector<double> x = read_array<double>(args[0], "float64");
        const std::size_t bins = size_arg(args[1]);
        const auto [edges, counts] = kp::histogram_in_runs(x.data(), x.size(), bins, parts_arg(args[2]));
        return py::object(py::make_tuple(pyapi::list_of(edges), pyapi::list_of(counts)));
    });
}

PyObject* page_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("page_levels(codes, levels, top, parts)");
        const std::vector<std::int64_t> codes = read_array<std::int64_t>(args[0], "int64");
        const std::size_t levels = size_arg(args[1]);
        const std::size_t top = size_arg(args[2]);
        const kp::TopLevels t = kp::levels_in_runs(codes.data(), codes.size(), levels, top, parts_arg(args[3]));
        return py::object(
            py::make_tuple(pyapi::list_of(t.codes), pyapi::list_of(t.counts), t.other, t.distinct, t.missing));
    });
}

PyObject* page_periods(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("page_periods(stamps, max_periods, parts)");
        const std::vector<std::int64_t> t = read_array<std::int64_t>(args[0], "int64");
        const std::size_t max_periods = size_arg(args[1]);
        const std::size_t parts = parts_arg(args[2]);
        const kp::PeriodCounts p = kp::periods_in_runs(t.data(), t.size(), max_periods, parts);
        if (p.starts.empty()) return py::object(py::none());
        return py::object(py::make_tuple(kp::period_name(p.unit), pyapi::list_of(p.starts), pyapi::list_of(p.counts)));
    });
}

PyObject* page_series(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("page_series(stamps, values, buckets, parts)");
        const std::vector<std::int64_t> t = read_array<std::int64_t>(args[0], "int64");
        const std::vector<double> v = read_array<double>(args[1], "float64");
        if (t.size() != v.size()) throw py::value_error("stamps and values differ in length");
        const std::size_t buckets = size_arg(args[2]);
        const kp::SeriesColumns c =
            kp::series_columns(kp::series_in_runs(t.data(), v.data(), t.size(), buckets, parts_arg(args[3])));
        return py::object(py::make_tuple(pyapi::list_of(c.t), pyapi::list_of(c.v), pyapi::list_of(c.row)));
    });
}

// ---------------------------------------------------------------------------
// One step at a time.

py::tuple range_tuple(const kp::RangeState& r) {
    return py::make_tuple(r.finite, r.missing, r.infinite, r.zeros, r.lo, r.hi, r.sum);
}

kp::RangeState range_of(py::handle obj) {
    py::tuple t = py::reinterpret_borrow<py::object>(obj);
    if (py::len(t) != 7) throw py::value_error("a range state has 7 fields");
    return {py::cast<std::int64_t>(t[0]), py::cast<std::int64_t>(t[1]), py::cast<std::int64_t>(t[2]),
            py::cast<std::int64_t>(t[3]), py::cast<double>(t[4]),       py::cast<double>(t[5]),
            py::cast<double>(t[6])};
}

py::tuple stamps_tuple(const kp::StampRange& r) { return py::make_tuple(r.count, r.missing, r.lo, r.hi); }

kp::StampRange stamps_of(py::handle obj) {
    py::tuple t = py::reinterpret_borrow<py::object>(obj);
    if (py::len(t) != 4) throw py::value_error("a stamp range has 4 fields");
    return {py::cast<std::int64_t>(t[0]), py::cast<std::int64_t>(t[1]), py::cast<std::int64_t>(t[2]),
            py::cast<std::int64_t>(t[3])};
}

py::tuple points_tuple(const std::vector<kp::SeriesPoint>& points) {
    const kp::SeriesColumns c = kp::series_columns(points);
    return py::make_tuple(make_array(c.t, "int64"), make_array(c.v, "float64"), make_array(c.row, "int64"));
}

std::vector<kp::SeriesPoint> points_of(py::handle obj, std::size_t buckets) {
    py::tuple t = py::reinterpret_borrow<py::object>(obj);
    if (py::len(t) != 3) throw py::value_error("series points have 3 fields");
    kp::SeriesColumns c;
    c.t = read_array<std::int64_t>(t[0], "int64");
    c.v = read_array<double>(t[1], "float64");
    c.row = read_array<std::int64_t>(t[2], "int64");
    if (c.t.size() != buckets || c.v.size() != buckets || c.row.size() != buckets)
        throw py::value_error("series points: one per bucket");
    return kp::series_points(c);
}

py::tuple series_tuple(const kp::SeriesState& s) {
    return py::make_tuple(s.lo, s.hi, points_tuple(s.low), points_tuple(s.high));
}

kp::SeriesState series_of(py::handle obj) {
    py::tuple t = py::reinterpret_borrow<py::object>(obj);
    if (py::len(t) != 4) throw py::value_error("a series state has 4 fields");
    kp::SeriesState s;
    s.lo = py::cast<std::int64_t>(t[0]);
    s.hi = py::cast<std::int64_t>(t[1]);
    const std::size_t buckets = py::len(py::tuple(t[2])[0]);
    if (buckets == 0) throw py::value_error("a series state has at least one bucket");
    s.low = points_of(t[2], buckets);
    s.high = points_of(t[3], buckets);
    return s;
}

// Each state of a list of them, folded left to right with `merge`.
template <class State, class Read, class Merge>
State fold(py::handle states, Read read, Merge merge) {
    const std::vector<State> items = pyapi::read_each(states, read);
    if (items.empty()) throw py::value_error("nothing to merge");
    return std::accumulate(items.begin() + 1, items.end(), items[0], merge);
}

PyObject* page_range_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("page_range_partial(values)");
        const std::vector<double> x = read_array<double>(args[0], "float64");
        return py::object(range_tuple(kp::range_partial(x.data(), x.size())));
    });
}

PyObject* page_range_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("page_range_merge(states)");
        return py::object(range_tuple(fold<kp::RangeState>(args[0], range_of, kp::range_merge)));
    });
}

PyObject* page_histogram_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("page_histogram_partial(range, values)");
        const kp::RangeState range = range_of(args[0]);
        const std::vector<double> x = read_array<double>(args[1], "float64");
        if (!range.finite) return make_array(std::vector<std::int64_t>(), "int64");
        const kp::HistogramPlan plan = kp::histogram_plan(range.lo, range.hi, kp::histogram_bins(range.finite));
        return make_array(kp::histogram_partial(plan, x.data(), x.size()).counts, "int64");
    });
}

PyObject* page_counts_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("page_counts_merge(counts)");
        const auto read = [](py::handle c) { return kp::HistogramState{read_array<std::int64_t>(c, "int64")}; };
        const auto merge = [](const kp::HistogramState& a, const kp::HistogramState& b) {
            if (a.counts.size() != b.counts.size()) throw py::value_error("counts of different plans");
            return kp::histogram_merge(a, b);
        };
        return make_array(fold<kp::HistogramState>(args[0], read, merge).counts, "int64");
    });
}

// A coded column's top levels from its merged counts: by count, ties in
// the counts' order (first appearance), as pd.factorize's codes rank them;
// or, `ranked`, counts already in value_counts' order, of which the first
// max_levels are listed whatever their count.
PyObject* page_top_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("page_top_levels(counts, ranked)");
        kp::LevelState state{read_array<std::int64_t>(args[0], "int64"), 0};
        const int ranked = PyObject_IsTrue(args[1]);
        if (ranked < 0) throw py::error_already_set();
        const kp::TopLevels top =
            ranked ? kp::levels_finish_ranked(state, kp::max_levels) : kp::levels_finish(state, kp::max_levels);
        std::vector<std::int64_t> codes(top.codes.begin(), top.codes.end());
        return py::object(py::make_tuple(make_array(codes, "int64"), make_array(top.counts, "int64"), top.distinct));
    });
}

PyObject* page_stamps_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("page_stamps_partial(stamps)");
        const std::vector<std::int64_t> t = read_array<std::int64_t>(args[0], "int64");
        return py::object(stamps_tuple(kp::stamps_partial(t.data(), t.size())));
    });
}

PyObject* page_stamps_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("page_stamps_merge(states)");
        return py::object(stamps_tuple(fold<kp::StampRange>(args[0], stamps_of, kp::stamps_merge)));
    });
}

PyObject* page_periods_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("page_periods_partial(stamps_range, stamps)");
        const kp::StampRange range = stamps_of(args[0]);
        const std::vector<std::int64_t> t = read_array<std::int64_t>(args[1], "int64");
        if (!range.count) return make_array(std::vector<std::int64_t>(), "int64");
        const kp::PeriodPlan plan = kp::period_plan(range.lo, range.hi, kp::max_periods);
        return make_array(kp::periods_partial(plan, t.data(), t.size()).counts, "int64");
    });
}

PyObject* page_series_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("page_series_partial(stamps_range, stamps, values, first_row)");
        const kp::StampRange range = stamps_of(args[0]);
        const std::vector<std::int64_t> t = read_array<std::int64_t>(args[1], "int64");
        const std::vector<double> v = read_array<double>(args[2], "float64");
        if (t.size() != v.size()) throw py::value_error("stamps and values differ in length");
        const auto first_row = py::cast<std::int64_t>(py::handle(args[3]));
        kp::SeriesState state = kp::series_plan(range.lo, range.hi, kp::series_buckets);
        kp::series_partial(state, t.data(), v.data(), t.size(), first_row);
        return py::object(series_tuple(state));
    });
}

PyObject* page_series_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("page_series_merge(states)");
        const auto merge = [](const kp::SeriesState& a, const kp::SeriesState& b) {
            if (a.lo != b.lo || a.hi != b.hi || a.low.size() != b.low.size())
                throw py::value_error("series states of different plans");
            return kp::series_merge(a, b);
        };
        return py::object(series_tuple(fold<kp::SeriesState>(args[0], series_of, merge)));
    });
}

PyObject* page_series_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("page_series_finish(series)");
        return py::object(points_tuple(kp::series_finish(series_of(args[0]))));
    });
}

}  // namespace

const PyMethodDef page_entries[] = {
    {"page_counts_merge", fastcall(page_counts_merge), METH_FASTCALL,
     "page_counts_merge(counts): the parts' histogram or period counts added."},
    {"page_top_levels", fastcall(page_top_levels), METH_FASTCALL,
     "page_top_levels(counts, ranked): (codes, counts, distinct) of the listed levels."},
    {"page_stamps_partial", fastcall(page_stamps_partial), METH_FASTCALL,
     "page_stamps_partial(stamps): (count, missing, lo, hi) of a part's int64 stamps."},
    {"page_stamps_merge", fastcall(page_stamps_merge), METH_FASTCALL,
     "page_stamps_merge(states): the stamp ranges merged."},
    {"page_periods_partial", fastcall(page_periods_partial), METH_FASTCALL,
     "page_periods_partial(stamps_range, stamps): a part's counts per period of the merged range."},
    {"page_series_partial", fastcall(page_series_partial), METH_FASTCALL,
     "page_series_partial(stamps_range, stamps, values, first_row): a part's series state."},
    {"page_series_merge", fastcall(page_series_merge), METH_FASTCALL,
     "page_series_merge(states): the series states merged in order."},
    {"page_series_finish", fastcall(page_series_finish), METH_FASTCALL,
     "page_series_finish(series): (stamps, values, rows) of the kept points."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef page_test_entries[] = {
    {"page_range_partial", fastcall(page_range_partial), METH_FASTCALL,
     "page_range_partial(values): (finite, missing, infinite, zeros, lo, hi, sum) of a part."},
    {"page_range_merge", fastcall(page_range_merge), METH_FASTCALL,
     "page_range_merge(states): the range states merged in order."},
    {"page_histogram_partial", fastcall(page_histogram_partial), METH_FASTCALL,
     "page_histogram_partial(range, values): a part's counts in the bins of the merged range."},
    {"page_histogram", fastcall(page_histogram), METH_FASTCALL,
     "page_histogram(values, bins, parts): (edges, counts) of the finite values."},
    {"page_levels", fastcall(page_levels), METH_FASTCALL,
     "page_levels(codes, levels, top, parts): (codes, counts, other, distinct, missing)."},
    {"page_periods", fastcall(page_periods), METH_FASTCALL,
     "page_periods(stamps, max_periods, parts): (unit, starts, counts), or None without stamps."},
    {"page_series", fastcall(page_series), METH_FASTCALL,
     "page_series(stamps, values, buckets, parts): (stamps, values, rows) of the kept points."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
