// pearson_screen(mat, y, threshold): the leakage step's Pearson screen on the
// columns of a float64 matrix (rows x columns, any strides: a broadcast view
// makes a wide matrix without memory) against a C-contiguous float64 vector,
// NaN marking a missing cell, as pandas' Series.corr reads both.
// Returns (verdicts, r, margins, pairs): verdicts 0 below the threshold, 1
// at or above it, 2 left to the library. Threads as PROFILON_NUM_THREADS says.
#include <string_view>
#include <vector>

#include "../tamsel_eda/kernels/pearson_screen.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

class StridedMatrix {
public:
    explicit StridedMatrix(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &buf_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) throw py::error_already_set();
        const std::string_view fmt = buf_.format ? buf_.format : "B";
        if (buf_.ndim != 2 || buf_.itemsize != 8 || (fmt != "d" && fmt != "<d" && fmt != "=d")) {
            PyBuffer_Release(&buf_);
            throw py::type_error("expected a two-dimensional float64 array");
        }
    }
    StridedMatrix(const StridedMatrix&) = delete;
    StridedMatrix& operator=(const StridedMatrix&) = delete;
    ~StridedMatrix() { PyBuffer_Release(&buf_); }
    const Py_buffer& view() const { return buf_; }

private:
    Py_buffer buf_{};
};

PyObject* pearson_screen(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("pearson_screen(mat, y, threshold)");
        StridedMatrix mat(args[0]);
        pyapi::Float64View y(args[1]);
        const double threshold = float_arg(args[2]);
        const Py_buffer& m = mat.view();
        const std::size_t n = static_cast<std::size_t>(m.shape[0]), k = static_cast<std::size_t>(m.shape[1]);
        if (y.size() != m.shape[0]) throw py::value_error("y must have one value per row of mat");
        const std::vector<kernels::ColumnView> cols = kernels::matrix_columns(m.buf, k, m.strides[0], m.strides[1]);
        kernels::ColumnView yc;
        yc.data = y.data();
        yc.stride = sizeof(double);
        std::vector<kernels::ScreenColumn> out(k);
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::pearson_screen(yc, cols.data(), k, n, threshold, out.data(), poll);
        });
        using Column = kernels::ScreenColumn;
        return py::object(
            py::make_tuple(pyapi::list_each(out, [](const Column& s) { return py::int_(static_cast<int>(s.verdict)); }),
                           pyapi::list_each(out, [](const Column& s) { return py::float_(s.r); }),
                           pyapi::list_each(out, [](const Column& s) { return py::float_(s.margin); }),
                           pyapi::list_each(out, [](const Column& s) { return py::cast(s.pairs); })));
    });
}

}  // namespace

const PyMethodDef pearson_screen_test_entries[] = {
    {"pearson_screen", fastcall(pearson_screen), METH_FASTCALL,
     "pearson_screen(mat, y, threshold): the leakage step's |r| >= threshold screen."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
