// The page's figures (page_figures.hpp) over a column cut into `parts`
// equal runs of rows: partial per run, merged left to right, then finished,
// as the Dask driver would combine partitions. One run is the in-memory
// path; any other count must give the same figures.
//
// page_histogram(values, bins, parts) -> (edges, counts)
// page_levels(codes, levels, top, parts) -> (codes, counts, other, distinct, missing)
// page_periods(stamps, max_periods, parts) -> (unit, starts, counts)
// page_series(stamps, values, buckets, parts) -> (stamps, values, rows)
#include <vector>

#include "../tamsel_eda/kernels/page_figures.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

namespace kp = tamsel::kernels::page;

template <auto F>
PyCFunction fast() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// [begin, end) of run r of `parts` over n rows.
std::pair<std::size_t, std::size_t> run(std::size_t n, std::size_t parts, std::size_t r) {
    return {n * r / parts, n * (r + 1) / parts};
}

std::size_t parts_arg(py::handle obj) {
    const std::size_t parts = size_arg(obj);
    if (parts == 0) throw py::value_error("parts must be at least 1");
    return parts;
}

template <class T>
py::list list_of(const std::vector<T>& xs) {
    py::list out;
    for (const T& x : xs) out.append(x);
    return out;
}

PyObject* page_histogram(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("page_histogram(values, bins, parts)");
        const std::vector<double> x = read_array<double>(args[0], "float64");
        const std::size_t bins = size_arg(args[1]);
        const std::size_t parts = parts_arg(args[2]);
        kp::RangeState range;
        for (std::size_t r = 0; r < parts; ++r) {
            auto [b, e] = run(x.size(), parts, r);
            range = kp::range_merge(range, kp::range_partial(x.data() + b, e - b));
        }
        if (!range.finite) return py::object(py::make_tuple(py::list(), py::list()));
        const kp::HistogramPlan plan = kp::histogram_plan(range.lo, range.hi, bins);
        kp::HistogramState hist = kp::histogram_partial(plan, nullptr, 0);
        for (std::size_t r = 0; r < parts; ++r) {
            auto [b, e] = run(x.size(), parts, r);
            hist = kp::histogram_merge(hist, kp::histogram_partial(plan, x.data() + b, e - b));
        }
        return py::object(py::make_tuple(list_of(plan.edges), list_of(hist.counts)));
    });
}

PyObject* page_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("page_levels(codes, levels, top, parts)");
        const std::vector<std::int64_t> codes = read_array<std::int64_t>(args[0], "int64");
        const std::size_t levels = size_arg(args[1]);
        const std::size_t top = size_arg(args[2]);
        const std::size_t parts = parts_arg(args[3]);
        kp::LevelState state;
        for (std::size_t r = 0; r < parts; ++r) {
            auto [b, e] = run(codes.size(), parts, r);
            state = kp::levels_merge(state, kp::levels_partial(codes.data() + b, e - b, levels));
        }
        const kp::TopLevels t = kp::levels_finish(state, top);
        return py::object(py::make_tuple(list_of(t.codes), list_of(t.counts), t.other, t.distinct, t.missing));
    });
}

PyObject* page_periods(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("page_periods(stamps, max_periods, parts)");
        const std::vector<std::int64_t> t = read_array<std::int64_t>(args[0], "int64");
        const std::size_t max_periods = size_arg(args[1]);
        const std::size_t parts = parts_arg(args[2]);
        kp::StampRange range;
        for (std::size_t r = 0; r < parts; ++r) {
            auto [b, e] = run(t.size(), parts, r);
            range = kp::stamps_merge(range, kp::stamps_partial(t.data() + b, e - b));
        }
        if (!range.count) return py::object(py::none());
        const kp::PeriodPlan plan = kp::period_plan(range.lo, range.hi, max_periods);
        kp::PeriodState counts = kp::periods_partial(plan, nullptr, 0);
        for (std::size_t r = 0; r < parts; ++r) {
            auto [b, e] = run(t.size(), parts, r);
            counts = kp::periods_merge(counts, kp::periods_partial(plan, t.data() + b, e - b));
        }
        constexpr const char* names[] = {"second", "minute", "hour", "day", "week", "month", "year"};
        std::vector<std::int64_t> starts;
        for (std::size_t p = 0; p < plan.periods; ++p)
            starts.push_back(kp::period_start(plan.unit, plan.first + static_cast<std::int64_t>(p)));
        return py::object(py::make_tuple(names[static_cast<int>(plan.unit)], list_of(starts), list_of(counts.counts)));
    });
}

PyObject* page_series(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("page_series(stamps, values, buckets, parts)");
        const std::vector<std::int64_t> t = read_array<std::int64_t>(args[0], "int64");
        const std::vector<double> v = read_array<double>(args[1], "float64");
        if (t.size() != v.size()) throw py::value_error("stamps and values differ in length");
        const std::size_t buckets = size_arg(args[2]);
        const std::size_t parts = parts_arg(args[3]);
        kp::StampRange range;
        for (std::size_t r = 0; r < parts; ++r) {
            auto [b, e] = run(t.size(), parts, r);
            range = kp::stamps_merge(range, kp::stamps_partial(t.data() + b, e - b));
        }
        const kp::SeriesState empty = kp::series_plan(range.lo, range.hi, buckets);
        kp::SeriesState state = empty;
        for (std::size_t r = 0; r < parts; ++r) {
            auto [b, e] = run(t.size(), parts, r);
            kp::SeriesState part = empty;
            kp::series_partial(part, t.data() + b, v.data() + b, e - b, static_cast<std::int64_t>(b));
            state = kp::series_merge(state, part);
        }
        std::vector<std::int64_t> ts, rows;
        std::vector<double> vs;
        for (const kp::SeriesPoint& p : kp::series_finish(state)) {
            ts.push_back(p.t);
            vs.push_back(p.v);
            rows.push_back(p.row);
        }
        return py::object(py::make_tuple(list_of(ts), list_of(vs), list_of(rows)));
    });
}

}  // namespace

const PyMethodDef page_entries[] = {
    {"page_histogram", fast<page_histogram>(), METH_FASTCALL,
     "page_histogram(values, bins, parts): (edges, counts) of the finite values."},
    {"page_levels", fast<page_levels>(), METH_FASTCALL,
     "page_levels(codes, levels, top, parts): (codes, counts, other, distinct, missing)."},
    {"page_periods", fast<page_periods>(), METH_FASTCALL,
     "page_periods(stamps, max_periods, parts): (unit, starts, counts), or None without stamps."},
    {"page_series", fast<page_series>(), METH_FASTCALL,
     "page_series(stamps, values, buckets, parts): (stamps, values, rows) of the kept points."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
