// summary(mat, sum_block, formula): the distribution summary kernel on the
// columns of a C-contiguous float64 matrix (rows x columns), with the
// moments of the running SciPy ("running"), none, or forced to one formula
// ("squares", "powers") with the running release's tolerance. One row of
// the result per column: min, max, median, std, skew, kurtosis, outlier
// share, then 1.0 where the column has a finite value, where the library
// decides the min, the max, the skewness and kurtosis, the median and the
// outlier share, the std.
#include <optional>
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/summary.hpp"
#include "../tamsel_eda/pyapi/moment_rules.hpp"
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
        std::vector<kernels::ColumnView> cols(k);
        for (std::size_t c = 0; c < k; ++c) {
            cols[c].data = mat.data() + c;
            cols[c].stride = static_cast<std::ptrdiff_t>(k * sizeof(double));
        }
        std::vector<double> workspace(kernels::summary_workspace_doubles(k, n));
        std::vector<kernels::ColumnSummary> out(k);
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::summarize_columns(cols.data(), k, n, options, out.data(), workspace.data(), poll);
        });
        py::object np = py::module_::import("numpy");
        py::object result = np.attr("empty")(py::make_tuple(k, 14), "dtype"_a = "float64");
        Py_buffer view;
        if (PyObject_GetBuffer(result.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
            throw py::error_already_set();
        }
        double* row = static_cast<double*>(view.buf);
        for (const auto& s : out) {
            const double figures[14] = {s.min,
                                        s.max,
                                        s.median,
                                        s.std,
                                        s.skew,
                                        s.kurtosis,
                                        s.outlier_share,
                                        s.any_finite ? 1.0 : 0.0,
                                        s.min_by_library ? 1.0 : 0.0,
                                        s.max_by_library ? 1.0 : 0.0,
                                        s.moments_by_library ? 1.0 : 0.0,
                                        s.median_by_library ? 1.0 : 0.0,
                                        s.share_by_library ? 1.0 : 0.0,
                                        s.std_by_library ? 1.0 : 0.0};
            for (double f : figures) *row++ = f;
        }
        PyBuffer_Release(&view);
        return result;
    });
}

}  // namespace

const PyMethodDef summary_entries[] = {
    {"summary", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(summary)), METH_FASTCALL,
     "summary(mat, sum_block, formula): per-column figures of the distribution step."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
