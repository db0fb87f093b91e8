// correlation_ratio(y, codes, rank, sum_block, min_rows_to_split=None): the group-sums
// kernel on a float64 target, int64 group codes (negative: missing), each
// group's position in sorted key order and NumPy's summation block (see
// numpy_sum_block). Answers (status, value) with status
// "ok", "too_few", "not_finite" or "bad_input".
// group_sums(y, codes, groups, sum_block): one slice's groups, for a merge
// across slices: y float64 and codes int64 in [0, groups), one per row;
// answers (codes, counts, sums), int64 / int64 / float64 arrays with one
// entry per group present, in the order of each group's first row, the sum
// being np.add.reduce of the group's values in row order (sum_block as for
// numpy_sum).
// The Dask driver's passes over a partition, for every target with every
// column (pairs target-major); ys a list of float64 arrays (NaN: missing),
// one per target, None for a target no pair of the pass reads:
// ratio_kept(ys, missing): int64 kept rows per pair, missing a list of bool
// arrays (None: no cell missing), one per column.
// ratio_sums(ys, codes, counts, offsets, totals, blocks, group_block): per
// pair None (under two kept rows in all) or (partial, group codes, counts,
// sums), the partial as pairwise_partial's, the groups as group_sums'; codes
// int64 arrays (negative: missing) or None, one per column; counts, offsets,
// totals and blocks int64 per pair: pass 1's kept rows here, before here
// and in all, and NumPy's cut of the whole sum.
// ratio_squares(ys, missing, counts, offsets, totals, mus): per pair None
// (mus[j] None) or the partial of (y - mu) ** 2 over its kept rows.
// The Dask driver's merges of the groups across partitions:
// group_merge(codes, counts, sums, groups): the groups of consecutive slices
// (group_sums results laid end to end) merged, codes int64 in [0, groups)
// numbering them across the slices in first-seen order: (counts, sums) per
// merged group, int64 and float64, each added in slice order.
// group_between(sums, counts, rank, mu, total, whole_sum): ss_between of the
// merged groups in key order (rank int64, each group's position in it).
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "../tamsel_eda/kernels/group_sums.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"
#include "tree_partials.hpp"

namespace tamsel::kernel_module {
namespace {

std::vector<std::int64_t> int64_values(PyObject* obj) {
    py::object np = py::module_::import("numpy");
    py::object arr = np.attr("ascontiguousarray")(py::handle(obj), "dtype"_a = np.attr("int64"));
    if (py::int_(arr.attr("ndim")).cast<int>() != 1) throw py::value_error("expected a one-dimensional array");
    std::vector<std::int64_t> out(py::len(arr));
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
    if (!out.empty()) std::memcpy(out.data(), view.buf, out.size() * sizeof(std::int64_t));
    PyBuffer_Release(&view);
    return out;
}

PyObject* correlation_ratio(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 4 || nargs > 5)
            throw py::type_error("correlation_ratio(y, codes, rank, sum_block, min_rows_to_split=None)");
        pyapi::Float64View y(args[0]);
        const std::vector<std::int64_t> codes = int64_values(args[1]);
        const std::vector<std::int64_t> rank = int64_values(args[2]);
        if (static_cast<std::size_t>(y.size()) != codes.size()) throw py::value_error("y and codes differ in length");
        kernels::RatioProblem p;
        p.y = y.data();
        p.codes = codes.data();
        p.n = codes.size();
        p.rank = rank.data();
        p.groups = rank.size();
        p.sum_block = PyLong_AsSize_t(args[3]);
        if (PyErr_Occurred()) throw py::error_already_set();
        p.mean_block = p.sum_block;
        if (nargs > 4 && args[4] != Py_None) {
            p.min_rows_to_split = PyLong_AsSize_t(args[4]);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        const kernels::RatioResult r =
            pyapi::without_gil([&](const std::function<bool()>& poll) { return kernels::correlation_ratio(p, poll); });
        const char* status = "bad_input";
        switch (r.status) {
            case kernels::RatioStatus::ok:
                status = "ok";
                break;
            case kernels::RatioStatus::too_few:
                status = "too_few";
                break;
            case kernels::RatioStatus::not_finite:
                status = "not_finite";
                break;
            case kernels::RatioStatus::stopped:
                status = "stopped";
                break;
            case kernels::RatioStatus::bad_input:
                break;
        }
        return py::object(py::make_tuple(py::str(status), py::float_(r.value)));
    });
}

PyObject* group_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("group_sums(y, codes, groups, sum_block)");
        const HeldBuffer y(args[0]), codes(args[1]);
        if (buffer_value_type(y.view()) != kernels::ValueType::f64) throw py::type_error("y: a float64 array");
        if (buffer_value_type(codes.view()) != kernels::ValueType::i64) throw py::type_error("codes: an int64 array");
        const auto n = static_cast<std::size_t>(y.view().shape[0]);
        if (static_cast<std::size_t>(codes.view().shape[0]) != n) throw py::value_error("y and codes differ in length");
        const std::size_t groups = size_arg(args[2]), block = size_arg(args[3]);
        kernels::FirstSeenGroups out;
        const kernels::GroupSumsStatus status = pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::first_seen_group_sums(static_cast<const double*>(y.view().buf), y.view().strides[0],
                                                  static_cast<const std::int64_t*>(codes.view().buf),
                                                  codes.view().strides[0], n, groups, block, poll, out);
        });
        if (status == kernels::GroupSumsStatus::bad_input) throw py::value_error("a code outside [0, groups)");
        // A stop is a pending signal, raised by without_gil before this line.
        if (status != kernels::GroupSumsStatus::ok) throw std::runtime_error("group_sums stopped");
        return py::object(py::make_tuple(make_array(out.code, "int64"), make_array(out.count, "int64"),
                                         make_array(out.sum, "float64")));
    });
}

// The arrays of one pass, held while the kernel reads them.
struct RatioArgs {
    std::vector<std::unique_ptr<HeldBuffer>> held;
    std::vector<kernels::RatioTarget> targets;
    std::vector<kernels::RatioColumn> columns;
    kernels::RatioInput in;
    std::optional<std::size_t> rows;

    RatioArgs(PyObject* ys, PyObject* columns_arg, bool codes) {
        targets = pyapi::read_each(ys, [&](py::handle y) {
            const Py_buffer* v = hold(y, kernels::ValueType::f64, "ys: float64 arrays or None");
            return v ? kernels::RatioTarget{static_cast<const double*>(v->buf), v->strides[0]} : kernels::RatioTarget{};
        });
        columns = pyapi::read_each(columns_arg, [&](py::handle x) {
            kernels::RatioColumn c;
            if (codes) {
                if (const Py_buffer* v = hold(x, kernels::ValueType::i64, "codes: int64 arrays or None")) {
                    c.codes = static_cast<const std::int64_t*>(v->buf);
                    c.codes_stride = v->strides[0];
                }
            } else if (const Py_buffer* v = hold(x, kernels::ValueType::boolean, "missing: bool arrays or None")) {
                c.missing = static_cast<const std::uint8_t*>(v->buf);
                c.missing_stride = v->strides[0];
            }
            return c;
        });
        in = {targets.data(), targets.size(), columns.data(), columns.size(), rows.value_or(0)};
    }

    std::vector<kernels::RatioPlace> places(PyObject* const* args, PyObject* blocks) const {
        const auto counts = read_array<std::int64_t>(args[0], "int64");
        const auto offsets = read_array<std::int64_t>(args[1], "int64");
        const auto totals = read_array<std::int64_t>(args[2], "int64");
        const auto cut = blocks ? read_array<std::int64_t>(blocks, "int64") : std::vector<std::int64_t>();
        return argument_errors([&] {
            return kernels::ratio_places(counts, offsets, totals, blocks ? &cut : nullptr,
                                         targets.size() * columns.size());
        });
    }

private:
    const Py_buffer* hold(py::handle obj, kernels::ValueType type, const char* what) {
        if (obj.is_none()) return nullptr;
        const Py_buffer& v = held.emplace_back(std::make_unique<HeldBuffer>(obj))->view();
        if (buffer_value_type(v) != type) throw py::type_error(what);
        if (rows && *rows != static_cast<std::size_t>(v.shape[0])) throw py::value_error("arrays differ in length");
        rows = static_cast<std::size_t>(v.shape[0]);
        return &v;
    }
};

void check(kernels::GroupSumsStatus status) {
    if (status == kernels::GroupSumsStatus::bad_input)
        throw py::value_error("an array a pair reads is missing, a code is out of range or pass 1's count differs");
    // A stop is a pending signal, raised by without_gil before this line.
    if (status != kernels::GroupSumsStatus::ok) throw std::runtime_error("the correlation ratio's pass stopped");
}

PyObject* ratio_kept(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("ratio_kept(ys, missing)");
        const RatioArgs a(args[0], args[1], false);
        std::vector<std::int64_t> out(a.targets.size() * a.columns.size());
        check(pyapi::without_gil(
            [&](const std::function<bool()>&) { return kernels::ratio_kept_counts(a.in, out.data()); }));
        return make_array(out, "int64");
    });
}

PyObject* ratio_sums(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 7) throw py::type_error("ratio_sums(ys, codes, counts, offsets, totals, blocks, group_block)");
        const RatioArgs a(args[0], args[1], true);
        const std::vector<kernels::RatioPlace> places = a.places(args + 2, args[5]);
        const std::size_t group_block = size_arg(args[6]);
        std::vector<std::optional<kernels::RatioSums>> out;
        check(pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::ratio_sums(a.in, places.data(), group_block, poll, out);
        }));
        return py::object(pyapi::list_each(out, [](const std::optional<kernels::RatioSums>& r) {
            return r ? py::object(py::make_tuple(partial_to_python(r->whole), make_array(r->groups.code, "int64"),
                                                 make_array(r->groups.count, "int64"),
                                                 make_array(r->groups.sum, "float64")))
                     : py::object(py::none());
        }));
    });
}

PyObject* ratio_squares(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 6) throw py::type_error("ratio_squares(ys, missing, counts, offsets, totals, mus)");
        const RatioArgs a(args[0], args[1], false);
        const std::vector<kernels::RatioPlace> places = a.places(args + 2, nullptr);
        const std::vector<std::optional<double>> mus = pyapi::read_each(args[5], [](py::handle mu) {
            return mu.is_none() ? std::nullopt : std::optional<double>(py::cast<double>(mu));
        });
        if (mus.size() != places.size()) throw py::value_error("mus: one per pair");
        std::vector<std::optional<kernels::TreePartial>> out;
        check(pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::ratio_squares(a.in, places.data(), mus.data(), poll, out);
        }));
        return py::object(pyapi::list_each(out, [](const std::optional<kernels::TreePartial>& r) {
            return r ? partial_to_python(*r) : py::object(py::none());
        }));
    });
}

PyObject* group_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("group_merge(codes, counts, sums, groups)");
        const auto codes = read_array<std::int64_t>(args[0], "int64");
        const auto counts = read_array<std::int64_t>(args[1], "int64");
        const auto sums = read_array<double>(args[2], "float64");
        if (counts.size() != codes.size() || sums.size() != codes.size())
            throw py::value_error("codes, counts and sums differ in length");
        kernels::FirstSeenGroups out;
        if (kernels::merge_group_sums(codes.data(), counts.data(), sums.data(), codes.size(), size_arg(args[3]), out) !=
            kernels::GroupSumsStatus::ok)
            throw py::value_error("a code outside [0, groups)");
        return py::object(py::make_tuple(make_array(out.count, "int64"), make_array(out.sum, "float64")));
    });
}

PyObject* group_between(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 6) throw py::type_error("group_between(sums, counts, rank, mu, total, whole_sum)");
        const auto sums = read_array<double>(args[0], "float64");
        const auto counts = read_array<std::int64_t>(args[1], "int64");
        const auto rank = read_array<std::int64_t>(args[2], "int64");
        if (counts.size() != sums.size() || rank.size() != sums.size())
            throw py::value_error("sums, counts and rank differ in length");
        const double mu = float_arg(args[3]), whole_sum = float_arg(args[5]);
        const auto total = static_cast<std::int64_t>(size_arg(args[4]));
        double ss = 0.0;
        if (kernels::between_groups(sums.data(), counts.data(), rank.data(), sums.size(), mu, total, whole_sum, ss) !=
            kernels::GroupSumsStatus::ok)
            throw py::value_error("rank is not a permutation, or a count is not positive");
        return py::object(py::float_(ss));
    });
}

}  // namespace

const PyMethodDef group_sums_entries[] = {
    {"ratio_kept", fastcall(ratio_kept), METH_FASTCALL,
     "ratio_kept(ys, missing): a partition's kept rows of every (target, column) pair."},
    {"ratio_sums", fastcall(ratio_sums), METH_FASTCALL,
     "ratio_sums(ys, codes, counts, offsets, totals, blocks, group_block): per pair, a partition's share of the "
     "whole sum and its groups."},
    {"ratio_squares", fastcall(ratio_squares), METH_FASTCALL,
     "ratio_squares(ys, missing, counts, offsets, totals, mus): per pair, a partition's share of the squares' sum."},
    {"group_merge", fastcall(group_merge), METH_FASTCALL,
     "group_merge(codes, counts, sums, groups): slices' group counts and sums merged by their codes."},
    {"group_between", fastcall(group_between), METH_FASTCALL,
     "group_between(sums, counts, rank, mu, total, whole_sum): ss_between of merged groups in key order."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef group_sums_test_entries[] = {
    {"correlation_ratio", fastcall(correlation_ratio), METH_FASTCALL,
     "correlation_ratio(y, codes, rank, sum_block, min_rows_to_split=None): the group-sums kernel."},
    {"group_sums", fastcall(group_sums), METH_FASTCALL,
     "group_sums(y, codes, groups, sum_block): per group in first-seen order, its code, count and sum."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
