// The time-axis kernel (time_stamps.hpp) on int64 NumPy arrays of stamps.
//
// stamp_scan(values, picks) -> state and stamp_scan_merge(states) -> state:
// a partition's scan and their merge in partition order, the state a tuple
// (rows, missing, picks, weights, ordered, filled, first, last).
// stamp_plan(state, rows_per_range, in_order_road) -> (ranges, cuts,
// previous): previous the list of each partition's predecessor stamp (None
// for none) when the partitions are the ranges, else None.
// stamp_run(values, wall, previous) -> (summary, keys, counts): a sorted run
// reduced; RuntimeError when the stamps decrease or start below previous.
// stamp_gap_buckets(keys, counts, buckets) splits a gap table; stamp_gap_mode(tables, extra, bucket,
// buckets) -> (gap, count) or None; stamp_axis(summaries) merges the runs'
// summaries; stamp_facts(rows, missing, distinct, modes) finishes the
// counts, the gap mode (an int) and the irregular share;
// stamp_frequency(wall_gaps, utc_gaps, per_second) -> (day_spaced, alias or
// None).
#include <functional>
#include <string>
#include <vector>

#include "stamp_arrays.hpp"

namespace tamsel::kernel_module {
namespace {

using kernels::StampRun;
using kernels::StampScan;

void check_args(Py_ssize_t nargs, Py_ssize_t want, const char* signature) {
    if (nargs != want) throw py::type_error(signature);
}

py::tuple state_of(const StampScan& s) {
    return py::make_tuple(s.rows, s.missing, stamps_array(s.picks), make_array(s.weights, "float64"),
                          make_array(s.ordered, "uint8"), make_array(s.filled, "uint8"), stamps_array(s.first),
                          stamps_array(s.last));
}

StampScan scan_of(py::handle obj) {
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    if (py::len(t) != 8) throw py::value_error("a stamp scan is an 8-tuple");
    StampScan s;
    s.rows = py::cast<std::int64_t>(t[0]);
    s.missing = py::cast<std::int64_t>(t[1]);
    s.picks = read_array<std::int64_t>(t[2], "int64");
    s.weights = read_array<double>(t[3], "float64");
    s.ordered = read_array<std::uint8_t>(t[4], "uint8");
    s.filled = read_array<std::uint8_t>(t[5], "uint8");
    s.first = read_array<std::int64_t>(t[6], "int64");
    s.last = read_array<std::int64_t>(t[7], "int64");
    if (s.weights.size() != s.picks.size() || s.filled.size() != s.ordered.size() ||
        s.first.size() != s.ordered.size() || s.last.size() != s.ordered.size())
        throw py::value_error("a stamp scan's arrays disagree in length");
    return s;
}

PyObject* stamp_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 2, "stamp_scan(values, picks)");
        Stamps values(args[0]);
        const std::size_t picks = size_arg(args[1]);
        return py::object(state_of(released([&] { return kernels::stamp_scan(values.data, values.n, picks); })));
    });
}

PyObject* stamp_scan_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 1, "stamp_scan_merge(states)");
        return py::object(state_of(kernels::stamp_scans_merged(pyapi::read_each(args[0], scan_of))));
    });
}

PyObject* stamp_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 3, "stamp_plan(state, rows_per_range, in_order_road)");
        const kernels::StampPlan plan =
            kernels::stamp_plan(scan_of(args[0]), size_arg(args[1]), PyObject_IsTrue(args[2]) == 1);
        py::object previous = py::none();
        if (plan.in_order) {
            previous = pyapi::list_each(std::views::iota(std::size_t{0}, plan.previous.size()), [&](std::size_t p) {
                return plan.has_previous[p] ? py::object(py::int_(plan.previous[p])) : py::object(py::none());
            });
        }
        return py::object(py::make_tuple(plan.ranges, stamps_array(plan.cuts), previous));
    });
}

PyObject* stamp_run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 3, "stamp_run(values, wall, previous)");
        const RunArgs given(args[0], args[1], args[2]);
        StampRun run;
        check_run(released([&] {
            return kernels::stamp_run(given.values.data, given.values.n, given.wall_data(), given.previous_stamp(),
                                      run);
        }));
        return py::object(py::make_tuple(summary_of(run), stamps_array(run.gap_keys), stamps_array(run.gap_counts)));
    });
}

PyObject* stamp_gap_buckets(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 3, "stamp_gap_buckets(keys, counts, buckets)");
        Stamps keys(args[0]), counts(args[1]);
        if (keys.n != counts.n) throw py::value_error("one count per gap");
        std::vector<std::vector<std::int64_t>> bucket_keys, bucket_counts;
        kernels::gap_buckets(keys.data, counts.data, keys.n, size_arg(args[2]), bucket_keys, bucket_counts);
        return py::object(gap_tables(bucket_keys, bucket_counts));
    });
}

PyObject* stamp_gap_mode(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 4, "stamp_gap_mode(tables, extra, bucket, buckets)");
        std::vector<std::unique_ptr<Stamps>> held;
        const std::vector<kernels::GapTable> tables = pyapi::read_each(args[0], [&](py::handle table) {
            py::tuple t = py::reinterpret_borrow<py::tuple>(table);
            if (py::len(t) != 2) throw py::value_error("a gap table is (keys, counts)");
            const Stamps& keys = *held.emplace_back(std::make_unique<Stamps>(t[0]));
            const Stamps& counts = *held.emplace_back(std::make_unique<Stamps>(t[1]));
            if (keys.n != counts.n) throw py::value_error("one count per gap");
            return kernels::GapTable{keys.data, counts.data, keys.n};
        });
        Stamps extra(args[1]);
        const std::size_t buckets = size_arg(args[3]);
        if (buckets == 0) throw py::value_error("at least one gap bucket");
        const kernels::GapMode mode = kernels::gap_mode(tables, extra.data, extra.n, size_arg(args[2]), buckets);
        if (!mode.found) return py::object(py::none());
        return py::object(py::make_tuple(mode.gap, mode.count));
    });
}

PyObject* stamp_axis(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 1, "stamp_axis(summaries)");
        const std::vector<StampRun> runs = pyapi::read_each(args[0], [](py::handle item) {
            py::dict s = py::reinterpret_borrow<py::dict>(item);
            StampRun run;
            run.count = py::cast<std::int64_t>(s["count"]);
            if (run.count) {
                run.distinct = py::cast<std::int64_t>(s["distinct"]);
                run.first = py::cast<std::int64_t>(s["first"]);
                run.last = py::cast<std::int64_t>(s["last"]);
                run.first_wall = py::cast<std::int64_t>(s["first_wall"]);
                run.last_wall = py::cast<std::int64_t>(s["last_wall"]);
                run.utc_gaps = read_array<std::int64_t>(s["utc_gaps"], "int64");
                run.wall_gaps = read_array<std::int64_t>(s["wall_gaps"], "int64");
            }
            return run;
        });
        const kernels::StampAxis axis = kernels::stamp_axis(runs);
        py::dict out;
        out["count"] = axis.count;
        out["distinct"] = axis.distinct;
        out["first"] = axis.filled ? py::object(py::int_(axis.first)) : py::object(py::none());
        out["last"] = axis.filled ? py::object(py::int_(axis.last)) : py::object(py::none());
        out["straddling"] = stamps_array(axis.straddling);
        out["utc_gaps"] = stamps_array(axis.utc_gaps);
        out["wall_gaps"] = stamps_array(axis.wall_gaps);
        return py::object(std::move(out));
    });
}

PyObject* stamp_facts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 4, "stamp_facts(rows, missing, distinct, modes)");
        return py::object(facts_dict(kernels::stamp_facts(
            py::cast<std::int64_t>(py::handle(args[0])), py::cast<std::int64_t>(py::handle(args[1])),
            py::cast<std::int64_t>(py::handle(args[2])), modes_of(args[3]))));
    });
}

PyObject* stamp_frequency(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 3, "stamp_frequency(wall_gaps, utc_gaps, per_second)");
        const auto found = kernels::stamp_frequency(read_array<std::int64_t>(args[0], "int64"),
                                                    read_array<std::int64_t>(args[1], "int64"),
                                                    py::cast<std::int64_t>(py::handle(args[2])));
        py::object alias = found.alias.empty() ? py::object(py::none()) : py::object(py::str(found.alias));
        return py::object(py::make_tuple(py::bool_(found.day_spaced), alias));
    });
}

}  // namespace

const PyMethodDef time_stamps_entries[] = {
    {"stamp_scan", fastcall(stamp_scan), METH_FASTCALL, "stamp_scan(values, picks): a partition's stamps scanned."},
    {"stamp_scan_merge", fastcall(stamp_scan_merge), METH_FASTCALL, "stamp_scan_merge(states): scans merged in order."},
    {"stamp_plan", fastcall(stamp_plan), METH_FASTCALL,
     "stamp_plan(state, rows_per_range, in_order_road): (ranges, cuts, previous)."},
    {"stamp_gap_mode", fastcall(stamp_gap_mode), METH_FASTCALL,
     "stamp_gap_mode(tables, extra, bucket, buckets): the most common gap and its count."},
    {"stamp_axis", fastcall(stamp_axis), METH_FASTCALL, "stamp_axis(summaries): the runs' summaries merged."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef time_stamps_test_entries[] = {
    {"stamp_run", fastcall(stamp_run), METH_FASTCALL, "stamp_run(values, wall, previous): a sorted run reduced."},
    {"stamp_gap_buckets", fastcall(stamp_gap_buckets), METH_FASTCALL,
     "stamp_gap_buckets(keys, counts, buckets): a gap table split by bucket."},
    {"stamp_facts", fastcall(stamp_facts), METH_FASTCALL,
     "stamp_facts(rows, missing, distinct, modes): the axis' counts, gap mode and irregular share."},
    {"stamp_frequency", fastcall(stamp_frequency), METH_FASTCALL,
     "stamp_frequency(wall_gaps, utc_gaps, per_second): (day_spaced, alias)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
