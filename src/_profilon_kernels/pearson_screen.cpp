// pearson_screen(mat, y, threshold): the leakage step's Pearson screen on the
// columns of a C-contiguous float64 matrix (rows x columns) against a float64
// vector, NaN marking a missing cell, as pandas' Series.corr reads both.
// Returns (verdicts, r, margins, pairs): verdicts 0 below the threshold, 1
// at or above it, 2 left to the library. Threads as PROFILON_NUM_THREADS says.
#include "../tamsel_eda/kernels/pearson_screen.hpp"

#include <vector>

#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* pearson_screen(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("pearson_screen(mat, y, threshold)");
        pyapi::Float64View mat(args[0]);
        pyapi::Float64View y(args[1]);
        const double threshold = PyFloat_AsDouble(args[2]);
        if (PyErr_Occurred()) throw py::error_already_set();
        const std::size_t n = static_cast<std::size_t>(mat.rows()), k = static_cast<std::size_t>(mat.cols());
        if (y.size() != mat.rows()) throw py::value_error("y must have one value per row of mat");
        std::vector<kernels::ColumnView> cols(k);
        for (std::size_t c = 0; c < k; ++c) {
            cols[c].data = mat.data() + c;
            cols[c].stride = static_cast<std::ptrdiff_t>(k * sizeof(double));
        }
        kernels::ColumnView yc;
        yc.data = y.data();
        yc.stride = sizeof(double);
        std::vector<kernels::ScreenColumn> out(k);
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::pearson_screen(yc, cols.data(), k, n, threshold, out.data(), poll);
        });
        py::list verdicts, r, margins, pairs;
        for (const auto& s : out) {
            verdicts.append(static_cast<int>(s.verdict));
            r.append(s.r);
            margins.append(s.margin);
            pairs.append(s.pairs);
        }
        return py::object(py::make_tuple(verdicts, r, margins, pairs));
    });
}

}  // namespace

const PyMethodDef pearson_screen_entries[] = {
    {"pearson_screen", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(pearson_screen)), METH_FASTCALL,
     "pearson_screen(mat, y, threshold): the leakage step's |r| >= threshold screen."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
