// correlation(mat, method, clip_pearson=False, threads=None): the correlation
// kernel on a C-contiguous float64 matrix of rows x columns, which is what
// pandas' nancorr and nancorr_spearman take, so tests can compare the two
// directly. `threads` sets how many parts the work is split into (the thread
// count otherwise).
#include <string_view>

#include "../tamsel_eda/kernels/correlation.hpp"
#include "../tamsel_eda/kernels/kernels.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* correlation(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 2 || nargs > 4) {
            throw py::type_error("correlation(mat, method, clip_pearson=False, threads=None)");
        }
        pyapi::Float64View mat(args[0]);
        const std::string method = py::str(args[1]);
        kernels::CorrProblem p;
        if (method == "spearman") {
            p.method = kernels::CorrMethod::spearman;
        } else if (method == "pearson") {
            p.method = kernels::CorrMethod::pearson;
        } else {
            throw py::value_error("method must be 'spearman' or 'pearson'");
        }
        p.clip_pearson = nargs > 2 && PyObject_IsTrue(args[2]) == 1;
        if (PyErr_Occurred()) throw py::error_already_set();
        p.parts = kernels::thread_count();
        if (nargs > 3 && args[3] != Py_None) {
            p.parts = PyLong_AsSize_t(args[3]);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        p.n = static_cast<std::size_t>(mat.rows());
        p.k = static_cast<std::size_t>(mat.cols());
        const std::vector<kernels::ColumnView> cols =
            kernels::matrix_columns(mat.data(), p.k, static_cast<std::ptrdiff_t>(p.k * sizeof(double)),
                                    static_cast<std::ptrdiff_t>(sizeof(double)));
        p.columns = cols.data();
        if (!kernels::correlation_supported(p)) throw py::value_error("too many rows for the rank kernel");
        std::vector<std::byte> workspace(kernels::correlation_workspace_bytes(p));
        std::vector<double> out(p.k * p.k);
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::correlation_matrix(p, out.data(), workspace.data(), poll);
        });
        return make_matrix(out, p.k, p.k, "float64");
    });
}

}  // namespace

const PyMethodDef correlation_test_entries[] = {
    {"correlation", fastcall(correlation), METH_FASTCALL,
     "correlation(mat, method, clip_pearson=False, threads=None): pandas' nancorr / nancorr_spearman."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
