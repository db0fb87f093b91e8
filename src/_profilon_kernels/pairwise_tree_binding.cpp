// pairwise_partial(values, offset, total, block): what a partition holding
// `values` at global positions [offset, offset + len(values)) of an array of
// `total` values contributes to NumPy's sum of that array (block as for
// numpy_sum): (bounds, sums, edges) with bounds an int64 array of [lo, hi)
// rows of whole tree nodes, sums their pairwise sums, edges a list of
// (start, values) runs of leaves cut by the partition's borders.
// pairwise_combine(partials, total, block): np.add.reduce of the whole
// array from the partials of all partitions, in any order.
// sum_partials and moment_partials: the partials of the arrays a column's
// summary sums (its values with NaN as 0, its finite values, and their
// deviations' powers), each term computed as NumPy computes the array's
// element, without building the arrays. moment_merge and moment_finish: the
// rest of the moment kernel (kernels/moments.hpp) on those partials.
#include <cmath>
#include <optional>
#include <stdexcept>
#include <vector>

#include "../tamsel_eda/kernels/moments.hpp"
#include "../tamsel_eda/kernels/pairwise_tree.hpp"
#include "../tamsel_eda/pyapi/moment_rules.hpp"
#include "arrays.hpp"
#include "tree_partials.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* pairwise_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("pairwise_partial(values, offset, total, block)");
        pyapi::Float64View values(args[0]);
        const std::uint64_t offset = size_arg(args[1]), total = size_arg(args[2]), block = size_arg(args[3]);
        const auto count = static_cast<std::uint64_t>(values.size());
        if (offset > total || count > total - offset) throw py::value_error("the values lie outside the array");
        const kernels::TreePartial t = pyapi::without_gil([&](const std::function<bool()>&) {
            return kernels::pairwise_partial(values.data(), offset, count, total, block);
        });
        return partial_to_python(t);
    });
}

// The place of one partition's values in a column (and of its finite values
// among the column's finite values).
struct Placement {
    std::uint64_t row_offset, n_rows, fin_offset, fin_total, block;
};

Placement placement_from(PyObject* const* args, std::uint64_t count, std::uint64_t finite) {
    Placement p{size_arg(args[0]), size_arg(args[1]), size_arg(args[2]), size_arg(args[3]), size_arg(args[4])};
    if (p.row_offset > p.n_rows || count > p.n_rows - p.row_offset || p.fin_offset > p.fin_total ||
        finite > p.fin_total - p.fin_offset)
        throw py::value_error("the values lie outside the column");
    return p;
}

// The running release's moment rules; outside the releases the kernel
// reproduces, the Dask driver still sums squares as 1.13 to 1.17 do.
kernels::MomentRules moment_rules_for(std::uint64_t block) {
    kernels::MomentRules rules = pyapi::running_moment_rules(static_cast<std::size_t>(block));
    if (rules.formula == kernels::MomentFormula::none) rules.formula = kernels::MomentFormula::squares;
    return rules;
}

std::optional<double> optional_float(PyObject* obj) {
    if (obj == Py_None) return std::nullopt;
    return float_arg(obj);
}

// sum_partials(values, with_nan0, row_offset, n_rows, fin_offset, fin_total,
// block): (partial of np.where(np.isnan(x), 0.0, x) or None, partial of
// x[np.isfinite(x)]).
PyObject* sum_partials(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 7)
            throw py::type_error("sum_partials(values, with_nan0, row_offset, n_rows, fin_offset, fin_total, block)");
        pyapi::Float64View values(args[0]);
        const int truth = PyObject_IsTrue(args[1]);
        if (truth < 0) throw py::error_already_set();
        const bool with_nan0 = truth == 1;
        const double* x = values.data();
        const auto n = static_cast<std::size_t>(values.size());
        std::size_t nf = 0;
        const std::vector<double> kept = kernels::finite_values(x, n, nf);
        const double* f = kept.empty() ? x : kept.data();
        const Placement at = placement_from(args + 2, n, nf);
        std::optional<kernels::TreePartial> nan0;
        kernels::TreePartial finite;
        pyapi::without_gil([&](const std::function<bool()>&) {
            if (with_nan0) nan0 = kernels::nan_as_zero_partial(x, at.row_offset, n, at.n_rows, at.block);
            finite = kernels::pairwise_partial(f, at.fin_offset, nf, at.fin_total, at.block);
            return 0;
        });
        return py::object(py::make_tuple(nan0 ? partial_to_python(*nan0) : py::none(), partial_to_python(finite)));
    });
}

// moment_partials(values, avg, mean, row_offset, n_rows, fin_offset,
// fin_total, block): (partial of d * d with d = x - avg and NaN cells 0, or
// None when avg is None; the moment partial of the finite values about
// `mean` in the running SciPy's formula (kernels/moments.hpp), or None when
// mean is None). A moment partial is (partial of d**2, of d**3, of d**4,
// max |d|, a deviation is NaN, NumPy's power loop raised an exception).
PyObject* moment_partials(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 8)
            throw py::type_error(
                "moment_partials(values, avg, mean, row_offset, n_rows, fin_offset, fin_total, block)");
        pyapi::Float64View values(args[0]);
        const std::optional<double> avg = optional_float(args[1]), mean = optional_float(args[2]);
        const double* x = values.data();
        const auto n = static_cast<std::size_t>(values.size());
        std::size_t nf = 0;
        const std::vector<double> kept = kernels::finite_values(x, n, nf);
        const Placement at = placement_from(args + 3, n, nf);
        const kernels::MomentRules rules = moment_rules_for(at.block);
        std::optional<kernels::TreePartial> squares;
        std::optional<kernels::MomentPartial> moments;
        pyapi::without_gil([&](const std::function<bool()>&) {
            if (avg) squares = kernels::nan_as_zero_square_partial(x, *avg, at.row_offset, n, at.n_rows, at.block);
            if (mean) {
                const double* f = kept.empty() ? x : kept.data();
                moments = kernels::moment_partial(f, nf, at.fin_offset, at.fin_total, *mean, rules);
            }
            return 0;
        });
        py::object moment = py::none();
        if (moments) {
            moment = py::make_tuple(partial_to_python(moments->sums[0]), partial_to_python(moments->sums[1]),
                                    partial_to_python(moments->sums[2]), moments->largest, moments->nan_deviation,
                                    moments->warned);
        }
        return py::object(py::make_tuple(squares ? partial_to_python(*squares) : py::none(), moment));
    });
}

PyObject* pairwise_combine(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("pairwise_combine(partials, total, block)");
        const std::vector<kernels::TreePartial> parts = pyapi::read_each(args[0], partial_from);
        const std::uint64_t total = size_arg(args[1]), block = size_arg(args[2]);
        return py::object(py::float_(
            argument_errors([&] { return kernels::pairwise_combine(parts.data(), parts.size(), total, block); })));
    });
}

kernels::MomentPartial moment_partial_from(py::handle obj) {
    if (!PyTuple_Check(obj.ptr()) || PyTuple_GET_SIZE(obj.ptr()) != 6)
        throw py::type_error("a moment partial is (d2, d3, d4, largest, nan_deviation, warned)");
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    kernels::MomentPartial out;
    out.sums[0] = partial_from(t[0]);
    out.sums[1] = partial_from(t[1]);
    out.sums[2] = partial_from(t[2]);
    out.largest = py::cast<double>(t[3]);
    out.nan_deviation = py::cast<bool>(t[4]);
    out.warned = py::cast<bool>(t[5]);
    return out;
}

// moment_merge(partials, fin_total, block): (sum of d**2, of d**3, of d**4,
// max |d|, warned) of the whole sample from its runs' moment partials.
PyObject* moment_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("moment_merge(partials, fin_total, block)");
        const std::vector<kernels::MomentPartial> parts = pyapi::read_each(args[0], moment_partial_from);
        const std::uint64_t total = size_arg(args[1]);
        const kernels::MomentRules rules = moment_rules_for(size_arg(args[2]));
        const kernels::MomentSums m =
            argument_errors([&] { return kernels::merge_moments(parts.data(), parts.size(), total, rules); });
        return py::object(py::make_tuple(m.sum2, m.sum3, m.sum4, m.largest, m.warned));
    });
}

// moment_finish(merged, count, mean, all_equal, block): (skew, kurtosis,
// the library would warn) from moment_merge's sums, in the running SciPy's
// arithmetic.
PyObject* moment_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 5) throw py::type_error("moment_finish(merged, count, mean, all_equal, block)");
        py::tuple t = py::reinterpret_borrow<py::tuple>(args[0]);
        if (py::len(t) != 5) throw py::type_error("merged moments are (sum2, sum3, sum4, largest, warned)");
        kernels::MomentSums sums;
        sums.sum2 = py::cast<double>(t[0]);
        sums.sum3 = py::cast<double>(t[1]);
        sums.sum4 = py::cast<double>(t[2]);
        sums.largest = py::cast<double>(t[3]);
        sums.warned = py::cast<bool>(t[4]);
        const std::uint64_t count = size_arg(args[1]);
        const double mean = py::cast<double>(py::handle(args[2]));
        const int all_equal = PyObject_IsTrue(args[3]);
        if (all_equal < 0) throw py::error_already_set();
        const kernels::MomentRules rules = moment_rules_for(size_arg(args[4]));
        const kernels::Moments m = kernels::finish_moments(sums, count, mean, all_equal == 1, rules);
        return py::object(py::make_tuple(m.skew, m.kurtosis, m.by_library));
    });
}

// moment_rules(block): (formula, tolerance, address of NumPy's power loop
// or None) of the running SciPy and NumPy.
PyObject* moment_rules(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("moment_rules(block)");
        const kernels::MomentRules rules = pyapi::running_moment_rules(static_cast<std::size_t>(size_arg(args[0])));
        const char* names[] = {"none", "squares", "powers"};
        py::object address = py::none();
        if (rules.power.function) address = py::int_(reinterpret_cast<std::uintptr_t>(rules.power.function));
        return py::object(py::make_tuple(names[static_cast<int>(rules.formula)], rules.tolerance, address));
    });
}

PyObject* moment_powers(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("moment_powers(values, order, block)");
        pyapi::Float64View values(args[0]);
        const double order = float_arg(args[1]);
        const kernels::MomentRules rules = pyapi::running_moment_rules(static_cast<std::size_t>(size_arg(args[2])));
        if (rules.formula != kernels::MomentFormula::powers)
            throw py::value_error("SciPy here does not raise by powers");
        std::vector<double> out(static_cast<std::size_t>(values.size()));
        rules.power.raise(values.data(), out.size(), order, out.data());
        return py::make_tuple(make_array(out, "float64"), rules.power.rounds_negative_powers);
    });
}

}  // namespace

const PyMethodDef pairwise_tree_entries[] = {
    {"pairwise_partial", fastcall(pairwise_partial), METH_FASTCALL,
     "pairwise_partial(values, offset, total, block): a partition's share of NumPy's sum."},
    {"pairwise_combine", fastcall(pairwise_combine), METH_FASTCALL,
     "pairwise_combine(partials, total, block): np.add.reduce of the whole array."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef pairwise_tree_test_entries[] = {
    {"sum_partials", fastcall(sum_partials), METH_FASTCALL,
     "sum_partials(values, with_nan0, row_offset, n_rows, fin_offset, fin_total, block): the partials of a "
     "column's sums."},
    {"moment_partials", fastcall(moment_partials), METH_FASTCALL,
     "moment_partials(values, avg, mean, row_offset, n_rows, fin_offset, fin_total, block): the partials of a "
     "column's centred sums."},
    {"moment_merge", fastcall(moment_merge), METH_FASTCALL,
     "moment_merge(partials, fin_total, block): a sample's moment sums from its runs' partials."},
    {"moment_finish", fastcall(moment_finish), METH_FASTCALL,
     "moment_finish(merged, count, mean, all_equal, block): (skew, kurtosis, by_library) as the running SciPy."},
    {"moment_rules", fastcall(moment_rules), METH_FASTCALL,
     "moment_rules(block): (formula, tolerance, power loop address) of the running SciPy and NumPy."},
    {"moment_powers", fastcall(moment_powers), METH_FASTCALL,
     "moment_powers(values, order, block): (values ** order as the moment kernel raises them, whether it "
     "rounds negative bases itself)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
