// summary(mat, sum_block, formula): the distribution summary kernel on the
// columns of a C-contiguous float64 matrix (rows x columns), with the
// moments of the running SciPy ("running"), none, or forced to one formula
// ("squares", "powers") with the running release's tolerance. One row of
// the result per column: min, max, median, std, skew, kurtosis, outlier
// share, then 1.0 where the column has a finite value, where the library
// decides the min, the max, the skewness and kurtosis, the median and the
// outlier share, the std.
//
// The same summaries of a column split into partitions, for the Dask
// driver (kernels/summary.hpp): states that cross between workers are bytes,
// the client's state between the reads is an opaque capsule.
//   summary_scan(columns, kinds) -> (state, lo, hi, zero_sign)   first read of a partition
//   summary_scan_merge(states) -> state                          consecutive partitions, in order
//   summary_plan(state, cap, block) -> work
//   summary_read_plans(work, read) -> [plan, ...]                read 2 or 3, one per partition
//   summary_sums_partial(plan, columns) -> partial               second read of a partition
//   summary_sums_merge(partials) -> partial
//   summary_sums_finish(work, partial)
//   summary_moments_partial(plan, columns) -> partial            third read
//   summary_moments_merge(partials) -> partial
//   summary_finish(work, partial, lo, hi) -> entries x 22 float64 (kernels::split_figures)
//   summary_page(work) -> per column entry (page range state, histogram counts), after the sums
//   summary_inspect(work) -> per column ([refined (level, prefix)], brackets or None)
// kinds: per entry 0 (a column) or 1 (a target); columns: C-contiguous
// float64 arrays of one partition, one per entry.
// summary_fields() -> ((name, is_count), ...): the names of the first
// figures of each row summary_finish gives (kernels::split_figure_names),
// which the Dask driver's table of column summaries is built on.
#include <memory>
#include <optional>
#include <ranges>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "../tamsel_eda/kernels/summary.hpp"
#include "../tamsel_eda/pyapi/moment_rules.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* summary(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("summary(mat, sum_block, formula)");
        pyapi::Float64View mat(args[0]);
        kernels::SummaryOptions options;
        options.sum_block = PyLong_AsSize_t(args[1]);
        if (PyErr_Occurred()) throw py::error_already_set();
        options.moments = pyapi::running_moment_rules(options.sum_block);
        const std::string formula = py::str(args[2]);
        if (formula == "squares") {
            options.moments.formula = kernels::MomentFormula::squares;
        } else if (formula == "powers") {
            const std::optional<kernels::PowerLoop> loop = pyapi::numpy_power_loop();
            if (!loop) throw py::value_error("NumPy's power loop is not to be had");
            options.moments.formula = kernels::MomentFormula::powers;
            options.moments.power = *loop;
        } else if (formula == "none") {
            options.moments.formula = kernels::MomentFormula::none;
        } else if (formula != "running") {
            throw py::value_error("formula must be 'running', 'squares', 'powers' or 'none'");
        }
        const auto n = static_cast<std::size_t>(mat.rows());
        const auto k = static_cast<std::size_t>(mat.cols());
        const std::vector<kernels::ColumnView> cols =
            kernels::matrix_columns(mat.data(), k, static_cast<std::ptrdiff_t>(k * sizeof(double)),
                                    static_cast<std::ptrdiff_t>(sizeof(double)));
        std::vector<double> workspace(kernels::summary_workspace_doubles(k, n));
        std::vector<kernels::ColumnSummary> out(k);
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::summarize_columns(cols.data(), k, n, options, out.data(), workspace.data(), poll);
        });
        return make_matrix(kernels::summary_table(out), k, kernels::summary_table_width, "float64");
    });
}

constexpr const char* work_name = "profilon.summary_work";

kernels::SplitWork& work_of(PyObject* obj) {
    void* p = PyCapsule_GetPointer(obj, work_name);
    if (!p) throw py::error_already_set();
    return *static_cast<kernels::SplitWork*>(p);
}

std::string_view bytes_of(py::handle obj) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(obj.ptr(), &data, &size) != 0) throw py::error_already_set();
    return {data, static_cast<std::size_t>(size)};
}

template <class Decode>
auto all_of(py::handle seq, Decode decode) {
    return pyapi::read_each(seq, [&](py::handle item) { return decode(bytes_of(item)); });
}

// One partition's columns, held while the kernel reads them.
struct Partition {
    std::vector<std::unique_ptr<pyapi::Float64View>> held;
    std::vector<const double*> x;
    std::size_t n = 0;

    explicit Partition(py::handle columns) {
        x = pyapi::read_each(columns, [&](py::handle c) {
            held.push_back(std::make_unique<pyapi::Float64View>(c));
            if (held.back()->cols() != 1) throw py::value_error("one-dimensional columns");
            const auto rows = static_cast<std::size_t>(held.back()->size());
            if (held.size() > 1 && rows != n) throw py::value_error("the columns of a partition differ in length");
            n = rows;
            return held.back()->data();
        });
    }
};

py::bytes to_bytes(const std::string& s) { return py::bytes(s.data(), s.size()); }

// The running release's moment rules; outside the releases the kernel
// reproduces, the Dask driver still sums squares as 1.13 to 1.17 do.
kernels::MomentRules split_moment_rules(std::uint64_t block) {
    kernels::MomentRules rules = pyapi::running_moment_rules(static_cast<std::size_t>(block));
    if (rules.formula == kernels::MomentFormula::none) rules.formula = kernels::MomentFormula::squares;
    return rules;
}

PyObject* summary_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("summary_scan(columns, kinds)");
        Partition part(args[0]);
        const std::vector<std::uint8_t> bytes = read_array<std::uint8_t>(args[1], "uint8");
        const std::vector<kernels::EntryKind> kinds = argument_errors([&] { return kernels::entry_kinds(bytes); });
        const auto out = argument_errors([&] {
            return pyapi::without_gil([&](const std::function<bool()>& poll) {
                return kernels::split_scan_partial(part.x, part.n, kinds, poll);
            });
        });
        if (!out) throw std::runtime_error("the read was stopped");
        return py::object(py::make_tuple(to_bytes(kernels::encode(out->state)), make_array(out->lo, "float64"),
                                         make_array(out->hi, "float64"),
                                         make_array(out->zero_sign, "uint8").attr("astype")("bool")));
    });
}

PyObject* summary_scan_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("summary_scan_merge(states)");
        return py::object(to_bytes(argument_errors(
            [&] { return kernels::encode(kernels::split_scan_merge(all_of(args[0], kernels::decode_split_scan))); })));
    });
}

PyObject* summary_plan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("summary_plan(state, cap, block)");
        const std::uint64_t cap = size_arg(args[1]), block = size_arg(args[2]);
        auto work = std::make_unique<kernels::SplitWork>(argument_errors(
            [&] { return kernels::plan_split_summary(kernels::decode_split_scan(bytes_of(args[0])), cap, block); }));
        PyObject* capsule = PyCapsule_New(work.get(), work_name, [](PyObject* c) {
            delete static_cast<kernels::SplitWork*>(PyCapsule_GetPointer(c, work_name));
        });
        if (!capsule) throw py::error_already_set();
        work.release();
        return py::reinterpret_steal<py::object>(capsule);
    });
}

PyObject* summary_read_plans(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("summary_read_plans(work, read)");
        const kernels::SplitWork& work = work_of(args[0]);
        const std::size_t read = size_arg(args[1]);
        if (read != 2 && read != 3) throw py::value_error("the plans are of the second and third read");
        return py::object(
            pyapi::list_each(read == 2 ? kernels::second_read_plans(work) : kernels::third_read_plans(work),
                             [](const auto& plan) { return to_bytes(kernels::encode(plan)); }));
    });
}

// The moment rules ask NumPy, so they are read before the GIL is released.
template <class Read>
PyObject* read_partial(PyObject* const* args, Py_ssize_t nargs, const char* usage, Read read) {
    return entry([&] {
        if (nargs != 2) throw py::type_error(usage);
        const kernels::SplitRead plan = argument_errors([&] { return kernels::decode_split_read(bytes_of(args[0])); });
        Partition part(args[1]);
        const kernels::MomentRules rules = split_moment_rules(plan.block);
        const auto out = argument_errors([&] {
            return pyapi::without_gil([&](const std::function<bool()>& poll) { return read(plan, part, rules, poll); });
        });
        if (!out) throw std::runtime_error("the read was stopped");
        return py::object(to_bytes(kernels::encode(*out)));
    });
}

PyObject* summary_sums_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return read_partial(
        args, nargs, "summary_sums_partial(plan, columns)",
        [](const kernels::SplitRead& plan, const Partition& part, const kernels::MomentRules&,
           const std::function<bool()>& poll) { return kernels::second_read_partial(plan, part.x, part.n, poll); });
}

PyObject* summary_moments_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return read_partial(args, nargs, "summary_moments_partial(plan, columns)",
                        [](const kernels::SplitRead& plan, const Partition& part, const kernels::MomentRules& rules,
                           const std::function<bool()>& poll) {
                            return kernels::third_read_partial(plan, part.x, part.n, rules, poll);
                        });
}

PyObject* summary_sums_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("summary_sums_merge(partials)");
        return py::object(to_bytes(argument_errors(
            [&] { return kernels::encode(kernels::merge_sums(all_of(args[0], kernels::decode_sums))); })));
    });
}

PyObject* summary_moments_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("summary_moments_merge(partials)");
        return py::object(to_bytes(argument_errors(
            [&] { return kernels::encode(kernels::merge_moment_parts(all_of(args[0], kernels::decode_moments))); })));
    });
}

PyObject* summary_sums_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("summary_sums_finish(work, partial)");
        kernels::SplitWork& work = work_of(args[0]);
        argument_errors([&] { kernels::finish_second_read(work, kernels::decode_sums(bytes_of(args[1]))); });
        return py::none();
    });
}

PyObject* summary_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 4) throw py::type_error("summary_finish(work, partial, lo, hi)");
        kernels::SplitWork& work = work_of(args[0]);
        const std::vector<double> lo = read_array<double>(args[2], "float64"),
                                  hi = read_array<double>(args[3], "float64");
        if (lo.size() != work.scan.kinds.size() || hi.size() != lo.size())
            throw py::value_error("one lo and hi per entry");
        const std::vector<double> flat = argument_errors([&] {
            const kernels::MomentRules rules = split_moment_rules(work.block);
            return kernels::split_figures(kernels::finish_split_summary(
                work, kernels::decode_moments(bytes_of(args[1])), lo.data(), hi.data(), rules));
        });
        return make_array(flat, "float64").attr("reshape")(-1, kernels::split_figure_count);
    });
}

PyObject* summary_page(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("summary_page(work)");
        const kernels::SplitWork& work = work_of(args[0]);
        if (work.histograms.size() != work.scan.ranges.size()) throw py::value_error("the second read is not in");
        return py::object(
            pyapi::list_each(std::views::iota(std::size_t{0}, work.histograms.size()), [&](std::size_t c) {
                const kernels::page::RangeState& r = work.scan.ranges[c];
                return py::make_tuple(py::make_tuple(r.finite, r.missing, r.infinite, r.zeros, r.lo, r.hi, r.sum),
                                      make_array(work.histograms[c], "int64"));
            }));
    });
}

PyObject* summary_inspect(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("summary_inspect(work)");
        return py::object(pyapi::list_each(work_of(args[0]).columns, [](const kernels::SplitColumn& col) {
            py::list levels = pyapi::list_each(
                col.refinements, [](const auto& ref) { return py::make_tuple(ref.level.level, ref.level.prefix); });
            const auto& b = col.brackets;
            return py::make_tuple(
                levels, col.bracketed ? py::object(py::make_tuple(b[0], b[1], b[2], b[3])) : py::object(py::none()));
        }));
    });
}

PyObject* summary_fields(PyObject*, PyObject*) {
    return entry([&] {
        return py::object(
            py::tuple(pyapi::list_each(kernels::split_figure_names, [](const kernels::SplitFigureName& f) {
                return py::make_tuple(py::str(f.name.data(), f.name.size()), py::bool_(f.count));
            })));
    });
}

}  // namespace

const PyMethodDef summary_entries[] = {
    {"summary_scan", fastcall(summary_scan), METH_FASTCALL,
     "summary_scan(columns, kinds): (state, lo, hi, zero_sign) of a partition's first read."},
    {"summary_scan_merge", fastcall(summary_scan_merge), METH_FASTCALL,
     "summary_scan_merge(states): consecutive partitions' first reads as one."},
    {"summary_plan", fastcall(summary_plan), METH_FASTCALL,
     "summary_plan(state, cap, block): the work after the first read."},
    {"summary_read_plans", fastcall(summary_read_plans), METH_FASTCALL,
     "summary_read_plans(work, read): per partition, what its second or third read needs."},
    {"summary_sums_partial", fastcall(summary_sums_partial), METH_FASTCALL,
     "summary_sums_partial(plan, columns): a partition's second read."},
    {"summary_sums_merge", fastcall(summary_sums_merge), METH_FASTCALL, "summary_sums_merge(partials): merged."},
    {"summary_sums_finish", fastcall(summary_sums_finish), METH_FASTCALL,
     "summary_sums_finish(work, partial): the means, quantile values and fence brackets into the work."},
    {"summary_moments_partial", fastcall(summary_moments_partial), METH_FASTCALL,
     "summary_moments_partial(plan, columns): a partition's third read."},
    {"summary_moments_merge", fastcall(summary_moments_merge), METH_FASTCALL,
     "summary_moments_merge(partials): merged."},
    {"summary_page", fastcall(summary_page), METH_FASTCALL,
     "summary_page(work): per column entry its page range state and histogram counts."},
    {"summary_finish", fastcall(summary_finish), METH_FASTCALL,
     "summary_finish(work, partial, lo, hi): per entry its 22 figures."},
    {"summary_fields", summary_fields, METH_NOARGS,
     "summary_fields(): (name, is_count) of the first figures of summary_finish's rows."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef summary_test_entries[] = {
    {"summary", fastcall(summary), METH_FASTCALL,
     "summary(mat, sum_block, formula): per-column figures of the distribution step."},
    {"summary_inspect", fastcall(summary_inspect), METH_FASTCALL,
     "summary_inspect(work): per column its refined buckets' levels and its fence brackets."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
