// The Dask driver's time-axis entries (time_stamps.hpp), one per task kind:
//
// stamp_route(values, cuts) -> list of int64 arrays: a partition's valid
// stamps routed to the value ranges of cuts, each in row order.
// stamp_reduce(values, wall, previous, buckets) -> (summary, [(keys, counts)
// per bucket]): a run reduced (NaT skipped) and its gap table bucketed;
// RuntimeError when the stamps decrease or start below previous.
// stamp_finish(rows, missing, axis, modes, per_second) -> dict: the axis'
// counts, gap mode (an int), irregular share, first and last (NaT's int64
// without a stamp), day_spaced and inferred_alias; per_second 0 infers
// nothing.
#include <vector>

#include "stamp_arrays.hpp"

namespace tamsel::kernel_module {
namespace {

void arity(Py_ssize_t nargs, Py_ssize_t want, const char* signature) {
    if (nargs != want) throw py::type_error(signature);
}

PyObject* stamp_route(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 2, "stamp_route(values, cuts)");
        Stamps values(args[0]);
        const std::vector<std::int64_t> cuts = read_array<std::int64_t>(args[1], "int64");
        std::vector<std::vector<std::int64_t>> ranges;
        released([&] { kernels::stamp_route(values.data, values.n, cuts, ranges); });
        return py::object(pyapi::list_each(ranges, stamps_array));
    });
}

PyObject* stamp_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 4, "stamp_reduce(values, wall, previous, buckets)");
        const RunArgs given(args[0], args[1], args[2]);
        const std::size_t buckets = size_arg(args[3]);
        kernels::StampRun run;
        std::vector<std::vector<std::int64_t>> keys, counts;
        check_run(released([&] {
            return kernels::stamp_reduce(given.values.data, given.values.n, given.wall_data(), given.previous_stamp(),
                                         buckets, run, keys, counts);
        }));
        return py::object(py::make_tuple(summary_of(run), gap_tables(keys, counts)));
    });
}

PyObject* stamp_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        arity(nargs, 5, "stamp_finish(rows, missing, axis, modes, per_second)");
        py::dict given = py::reinterpret_borrow<py::dict>(args[2]);
        kernels::StampAxis axis;
        axis.distinct = py::cast<std::int64_t>(given["distinct"]);
        axis.filled = !given["first"].is_none();
        if (axis.filled) {
            axis.first = py::cast<std::int64_t>(given["first"]);
            axis.last = py::cast<std::int64_t>(given["last"]);
        }
        axis.utc_gaps = read_array<std::int64_t>(given["utc_gaps"], "int64");
        axis.wall_gaps = read_array<std::int64_t>(given["wall_gaps"], "int64");
        const kernels::StampFinish done = kernels::stamp_finish(
            py::cast<std::int64_t>(py::handle(args[0])), py::cast<std::int64_t>(py::handle(args[1])), axis,
            modes_of(args[3]), py::cast<std::int64_t>(py::handle(args[4])));
        py::dict out = facts_dict(done.facts);
        out["first"] = done.first;
        out["last"] = done.last;
        out["day_spaced"] = py::bool_(done.frequency.day_spaced);
        out["inferred_alias"] =
            done.frequency.alias.empty() ? py::object(py::none()) : py::object(py::str(done.frequency.alias));
        return py::object(std::move(out));
    });
}

#define TIME_AXIS_ENTRY(name, fn, doc) {name, fastcall(fn), METH_FASTCALL, doc}

}  // namespace

const PyMethodDef time_axis_entries[] = {
    TIME_AXIS_ENTRY("stamp_route", stamp_route, "stamp_route(values, cuts): valid stamps per value range."),
    TIME_AXIS_ENTRY("stamp_reduce", stamp_reduce,
                    "stamp_reduce(values, wall, previous, buckets): a run reduced, its gaps bucketed."),
    TIME_AXIS_ENTRY("stamp_finish", stamp_finish,
                    "stamp_finish(rows, missing, axis, modes, per_second): the axis' facts and inference."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
