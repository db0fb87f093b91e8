// Exact order statistics and quantiles of a column split into partitions
// (quantiles.hpp): per partition quantile_scan (first read) and
// quantile_gather (second read); on the small results quantile_merge,
// quantile_plan and quantile_select; the interquartile fences with
// iqr_fences; scan_counts reads a column's counts and extremes. A column in
// memory has its percentiles from finite_quantiles and its order statistics
// from order_statistics.
//
// A scan is (missing, buckets, counts, lo, hi, zeros, level): the count of
// NaN or masked cells; per occupied bucket in ascending order, its count and
// smallest and largest value; which zeros occur (1: -0.0, 2: +0.0); and the
// (level, prefix) of its buckets. A plan is an int64 array of rows (level,
// prefix, bucket, count, first, last): the buckets the second read gathers
// and the ranks wanted inside. The median and the
// percentiles come from the selected values through median_ranks,
// median_value, percentile_plan and percentile_lerp.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "../tamsel_eda/kernels/kernels.hpp"
#include "../tamsel_eda/kernels/order_key.hpp"
#include "../tamsel_eda/kernels/quantiles.hpp"
#include "../tamsel_eda/kernels/summary.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"

namespace tamsel::kernel_module {
namespace {

// A level from (level, prefix); None is the top level.
kernels::BucketLevel level_from(py::handle obj) {
    if (obj.is_none()) return {};
    if (!PyTuple_Check(obj.ptr()) || PyTuple_GET_SIZE(obj.ptr()) != 2)
        throw py::type_error("a bucket level is (level, prefix)");
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    const std::size_t level = size_arg(t[0]), prefix = size_arg(t[1]);
    return argument_errors([&] { return kernels::bucket_level(level, prefix); });
}

py::object level_to_python(const kernels::BucketLevel& level) { return py::make_tuple(level.level, level.prefix); }

std::vector<kernels::BucketRequest> requests_from(py::handle obj) {
    std::vector<std::int64_t> flat = read_array<std::int64_t>(py::module_::import("numpy").attr("ravel")(obj), "int64");
    return argument_errors([&] { return kernels::plan_of_rows(flat); });
}

py::object scan_to_python(const kernels::BucketScan& s) {
    std::vector<std::int64_t> counts(s.count.begin(), s.count.end());
    std::vector<double> lo(s.lo.size()), hi(s.hi.size());
    std::transform(s.lo.begin(), s.lo.end(), lo.begin(), kernels::key_value);
    std::transform(s.hi.begin(), s.hi.end(), hi.begin(), kernels::key_value);
    return py::make_tuple(py::int_(s.missing), make_array(s.bucket, "uint32"), make_array(counts, "int64"),
                          make_array(lo, "float64"), make_array(hi, "float64"),
                          (s.neg_zero ? 1 : 0) | (s.pos_zero ? 2 : 0), level_to_python(s.level));
}

kernels::BucketScan scan_from_python(py::handle obj) {
    if (!PyTuple_Check(obj.ptr()) || PyTuple_GET_SIZE(obj.ptr()) != 7)
        throw py::type_error("a scan is (missing, buckets, counts, lo, hi, zeros, level)");
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    const kernels::BucketLevel level = level_from(t[6]);
    const std::size_t missing = size_arg(t[0]), zeros = size_arg(t[5]);
    return argument_errors([&] {
        return kernels::scan_of(level, missing, zeros, read_array<std::uint32_t>(t[1], "uint32"),
                                read_array<std::int64_t>(t[2], "int64"), read_array<double>(t[3], "float64"),
                                read_array<double>(t[4], "float64"));
    });
}

std::vector<std::uint64_t> ranks_from(py::handle obj) {
    const std::vector<std::int64_t> ranks = read_array<std::int64_t>(obj, "int64");
    return argument_errors([&] { return kernels::ranks_of(ranks); });
}

kernels::RankPlan plan_from(const kernels::BucketScan& merged, const std::vector<std::uint64_t>& ranks) {
    return argument_errors([&] { return kernels::plan_ranks(merged, ranks.data(), ranks.size()); });
}

std::vector<std::unique_ptr<ColumnArg>> columns_from(py::handle seq) {
    return pyapi::read_each(seq, [](py::handle item) { return std::make_unique<ColumnArg>(item); });
}

// quantile_scan(columns, levels=None): the first read of each column of one
// partition, at the top level or, per column, inside the (level, prefix)
// that quantile_refine gave (None: the top level).
PyObject* quantile_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 1 || nargs > 2) throw py::type_error("quantile_scan(columns, levels=None)");
        const std::vector<std::unique_ptr<ColumnArg>> cols = columns_from(args[0]);
        std::vector<kernels::BucketLevel> levels(cols.size());
        if (nargs > 1 && args[1] != Py_None) {
            levels = pyapi::read_each(args[1], level_from);
            if (levels.size() != cols.size()) throw py::value_error("one level per column");
        }
        std::vector<kernels::BucketScan> out(cols.size());
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::parallel_for(
                cols.size(),
                [&](std::size_t i, const kernels::Stop&) {
                    out[i] = kernels::scan_buckets(cols[i]->view, cols[i]->n, levels[i]);
                },
                poll);
        });
        return py::object(pyapi::list_each(out, scan_to_python));
    });
}

// scan_counts(values): (non-NaN values, finite values, -inf values, zeros,
// smallest and largest non-NaN value, NaN when there is none) of a float64
// column in one read. A zero extreme carries the sign of the first zero
// met, which need not be NumPy's.
PyObject* scan_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("scan_counts(values)");
        pyapi::Float64View values(args[0]);
        const kernels::ValueCounts c = pyapi::without_gil([&](const std::function<bool()>&) {
            return kernels::count_values(values.data(), static_cast<std::size_t>(values.size()));
        });
        return py::object(
            py::make_tuple(c.counts.present, c.counts.finite, c.counts.neg_inf, c.counts.zeros, c.lo, c.hi));
    });
}

// quantile_merge(scans): one scan of all the partitions' values.
PyObject* quantile_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("quantile_merge(scans)");
        const std::vector<kernels::BucketScan> scans = pyapi::read_each(args[0], scan_from_python);
        return scan_to_python(argument_errors([&] { return kernels::merge_scans(scans.data(), scans.size()); }));
    });
}

// quantile_plan(scan, ranks): what the second read gathers for the ranks
// (0-based, among the present values) of the merged scan.
PyObject* quantile_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("quantile_plan(scan, ranks)");
        const kernels::RankPlan plan = plan_from(scan_from_python(args[0]), ranks_from(args[1]));
        return make_array(kernels::plan_rows(plan.requests), "int64").attr("reshape")(-1, kernels::plan_row_width);
    });
}

// quantile_gather(columns, plans): the second read of one partition, one
// plan per column; per column a list of sorted float64 arrays, one per row
// of its plan.
PyObject* quantile_gather(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("quantile_gather(columns, plans)");
        const std::vector<std::unique_ptr<ColumnArg>> cols = columns_from(args[0]);
        const std::vector<std::vector<kernels::BucketRequest>> plans = pyapi::read_each(args[1], [](py::handle item) {
            std::vector<kernels::BucketRequest> plan = requests_from(item);
            argument_errors([&] { kernels::check_bucket_order(plan); });
            return plan;
        });
        if (plans.size() != cols.size()) throw py::value_error("one plan per column");
        std::vector<std::vector<std::vector<double>>> out(cols.size());
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::parallel_for(
                cols.size(),
                [&](std::size_t i, const kernels::Stop&) {
                    out[i] = kernels::gather_bucket_values(cols[i]->view, cols[i]->n, plans[i].data(), plans[i].size());
                },
                poll);
        });
        return py::object(pyapi::list_each(out, [](const std::vector<std::vector<double>>& column) {
            return pyapi::list_each(column,
                                    [](const std::vector<double>& values) { return make_array(values, "float64"); });
        }));
    });
}

// quantile_refine(row): the (level, prefix) of a scan that splits the bucket
// of a plan row, for when the second read would keep too many values of it.
// At the deepest level every bucket is one value and needs no second read.
PyObject* quantile_refine(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("quantile_refine(row)");
        const std::vector<kernels::BucketRequest> row = requests_from(args[0]);
        if (row.size() != 1) throw py::value_error("one plan row");
        if (row[0].level.level == kernels::BucketLevel::deepest)
            throw py::value_error("the deepest level's buckets hold one value");
        return level_to_python(row[0].level.inside(row[0].bucket));
    });
}

// quantile_select(scan, ranks, gathered): the values at the ranks, from the
// merged scan and every partition's gathered lists for this column.
PyObject* quantile_select(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("quantile_select(scan, ranks, gathered)");
        const kernels::RankPlan plan = plan_from(scan_from_python(args[0]), ranks_from(args[1]));
        const std::vector<std::vector<std::vector<double>>> gathered = pyapi::read_each(args[2], [](py::handle part) {
            return pyapi::read_each(part, [](py::handle values) { return read_array<double>(values, "float64"); });
        });
        return make_array(argument_errors([&] { return kernels::select_planned(plan, gathered); }), "float64");
    });
}

// percentile_plan(n, q): the ranks and weight np.percentile(x, q) uses for
// n values (q in percent, divided as NumPy divides it).
PyObject* percentile_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("percentile_plan(n, q)");
        const std::size_t n = size_arg(args[0]);
        const double q = float_arg(args[1]);
        if (n == 0) throw py::value_error("no values");
        if (!(q >= 0 && q <= 100)) throw py::value_error("percentiles must be in the range [0, 100]");
        const kernels::Quantile at = kernels::linear_quantile(n, q / 100.0);
        return py::object(py::make_tuple(at.below, at.above, at.gamma));
    });
}

// percentile_lerp(a, b, gamma): NumPy's interpolation between the values at
// the plan's two ranks.
PyObject* percentile_lerp(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("percentile_lerp(a, b, gamma)");
        const double a = float_arg(args[0]), b = float_arg(args[1]), gamma = float_arg(args[2]);
        return py::object(py::float_(kernels::lerp(a, b, gamma)));
    });
}

// median_ranks(n): the middle ranks (lower, upper) np.median averages.
PyObject* median_ranks(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("median_ranks(n)");
        const std::size_t n = size_arg(args[0]);
        if (n == 0) throw py::value_error("no values");
        const kernels::MedianRanks m = kernels::median_ranks(n);
        return py::object(py::make_tuple(m.lower, m.upper));
    });
}

// median_value(lower, upper, n, sum_block): np.median of n values from the
// values at its middle ranks.
PyObject* median_value(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("median_value(lower, upper, n, sum_block)");
        const double lower = float_arg(args[0]), upper = float_arg(args[1]);
        const std::size_t n = size_arg(args[2]);
        const std::size_t block = size_arg(args[3]);
        if (n == 0) throw py::value_error("no values");
        return py::object(py::float_(kernels::median_value(lower, upper, kernels::median_ranks(n).count, block)));
    });
}

// iqr_fences(q1, q3): (lo, hi, zero_width, finite) of the outlier rule.
PyObject* iqr_fences(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("iqr_fences(q1, q3)");
        const double lower = float_arg(args[0]), upper = float_arg(args[1]);
        const kernels::Fences f = kernels::iqr_fences(lower, upper);
        return py::object(py::make_tuple(f.lo, f.hi, f.zero_width, f.finite));
    });
}

// finite_quantiles(values, qs): np.percentile (method "linear") of the
// finite values of a float64 column at each fraction of qs, in one array.
PyObject* finite_quantiles(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("finite_quantiles(values, qs)");
        const std::vector<double> x = read_array<double>(args[0], "float64");
        const std::vector<double> qs = read_array<double>(args[1], "float64");
        if (std::any_of(qs.begin(), qs.end(), [](double q) { return !(q >= 0 && q <= 1); }))
            throw py::value_error("quantiles must be in the range [0, 1]");
        return make_array(kernels::finite_quantiles(x.data(), x.size(), qs), "float64");
    });
}

// order_statistics(values, ranks): the finite values of a float64 column at
// the ranks a sort of them would give, in one array.
PyObject* order_statistics(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("order_statistics(values, ranks)");
        const std::vector<double> x = read_array<double>(args[0], "float64");
        const std::vector<std::uint64_t> ranks = ranks_from(args[1]);
        return make_array(argument_errors([&] { return kernels::finite_order_statistics(x.data(), x.size(), ranks); }),
                          "float64");
    });
}

// fence_brackets(gamma1, gamma3, bounds): where the interquartile fences
// can lie when the quartiles' four neighbour ranks (q1's below and above,
// then q3's) are only known to hold values within bounds, (low, high) each.
PyObject* fence_brackets(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("fence_brackets(gamma1, gamma3, bounds)");
        const double g1 = float_arg(args[0]), g3 = float_arg(args[1]);
        const std::vector<double> b =
            read_array<double>(py::module_::import("numpy").attr("ravel")(py::handle(args[2])), "float64");
        if (b.size() != 8) throw py::value_error("bounds are four (low, high) pairs");
        const kernels::RankRange bounds[4] = {{b[0], b[1]}, {b[2], b[3]}, {b[4], b[5]}, {b[6], b[7]}};
        const std::array<double, 4> f = kernels::fence_brackets({0, 0, g1}, {0, 0, g3}, bounds);
        return py::object(py::make_tuple(f[0], f[1], f[2], f[3]));
    });
}

}  // namespace

const PyMethodDef quantile_entries[] = {
    {"quantile_scan", fastcall(quantile_scan), METH_FASTCALL,
     "quantile_scan(columns, levels=None): per column (missing, buckets, counts, lo, hi, zeros, level)."},
    {"quantile_plan", fastcall(quantile_plan), METH_FASTCALL,
     "quantile_plan(scan, ranks): (level, prefix, bucket, count, first, last) rows to gather."},
    {"quantile_gather", fastcall(quantile_gather), METH_FASTCALL,
     "quantile_gather(columns, plans): a partition's values of the planned buckets."},
    {"quantile_refine", fastcall(quantile_refine), METH_FASTCALL,
     "quantile_refine(row): (level, prefix) of a scan that splits the row's bucket."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef quantile_test_entries[] = {
    {"scan_counts", fastcall(scan_counts), METH_FASTCALL,
     "scan_counts(values): (non-NaN, finite, -inf, zeros, min, max) of a float64 column."},
    {"quantile_merge", fastcall(quantile_merge), METH_FASTCALL,
     "quantile_merge(scans): the scans of several partitions as one."},
    {"quantile_select", fastcall(quantile_select), METH_FASTCALL,
     "quantile_select(scan, ranks, gathered): the values at the ranks."},
    {"percentile_plan", fastcall(percentile_plan), METH_FASTCALL,
     "percentile_plan(n, q): (below, above, gamma) of np.percentile."},
    {"percentile_lerp", fastcall(percentile_lerp), METH_FASTCALL,
     "percentile_lerp(a, b, gamma): np.percentile's interpolation."},
    {"median_ranks", fastcall(median_ranks), METH_FASTCALL,
     "median_ranks(n): (lower, upper) middle ranks of np.median."},
    {"median_value", fastcall(median_value), METH_FASTCALL,
     "median_value(lower, upper, n, sum_block): np.median from them."},
    {"iqr_fences", fastcall(iqr_fences), METH_FASTCALL, "iqr_fences(q1, q3): (lo, hi, zero_width, finite)."},
    {"fence_brackets", fastcall(fence_brackets), METH_FASTCALL,
     "fence_brackets(gamma1, gamma3, bounds): (lo_min, lo_max, hi_min, hi_max) of the fences."},
    {"finite_quantiles", fastcall(finite_quantiles), METH_FASTCALL,
     "finite_quantiles(values, qs): np.percentile of the finite values at the fractions qs."},
    {"order_statistics", fastcall(order_statistics), METH_FASTCALL,
     "order_statistics(values, ranks): the finite values at those sorted ranks."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
