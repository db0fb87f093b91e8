// mutual_info(X, y, digamma, n_neighbors=3, lane_width=0): the kernel's
// estimate per column of a float64 matrix X (any strides) against y, before
// negative estimates become zero, with digamma[c - 1] = psi(c) for c = 1..n.
// Tests feed it the library's scaled and jittered inputs and compare with its
// per-feature estimator, at every lane width the machine has
// (widest_lane_width()).
#include "../tamsel_eda/kernels/kernels.hpp"
#include "../tamsel_eda/kernels/mutual_info.hpp"
#include "../tamsel_eda/profile/mi_native.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* widest_lane_width(PyObject*, PyObject*) {
    return entry([] { return py::int_(kernels::widest_lane_width()); });
}

PyObject* mutual_info(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 3 || nargs > 5) throw py::type_error("mutual_info(X, y, digamma, n_neighbors=3, lane_width=0)");
        profile::StridedFloat64 x(args[0]), y(args[1]), dg(args[2]);
        if (x.ndim() != 2 || y.ndim() != 1 || dg.ndim() != 1) throw py::value_error("X must be 2-d, y and digamma 1-d");
        if (y.rows() != x.rows() || dg.rows() != x.rows()) throw py::value_error("X, y and digamma differ in length");
        kernels::MiProblem p;
        p.x = x.data();
        p.row_stride = x.row_stride();
        p.col_stride = x.col_stride();
        p.n = x.rows();
        p.features = x.cols();
        p.y = y.data();
        p.y_stride = y.row_stride();
        p.digamma = dg.data();
        if (nargs > 3) {
            p.neighbors = PyLong_AsSize_t(args[3]);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        if (nargs > 4) {
            p.lane_width = PyLong_AsSize_t(args[4]);
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        // The kernel reads digamma contiguously.
        if (dg.row_stride() != static_cast<std::ptrdiff_t>(sizeof(double))) {
            throw py::value_error("digamma must be contiguous");
        }
        if (!kernels::mutual_info_supported(p)) {
            throw py::value_error(
                "needs finite values, 1 <= n_neighbors < rows, at most 8192 rows and a lane width this machine has");
        }
        std::vector<double> out(p.features);
        pyapi::without_gil(
            [&](const std::function<bool()>& poll) { return kernels::mutual_info_cc(p, out.data(), poll); });
        return make_array(out, "float64");
    });
}

}  // namespace

const PyMethodDef mutual_info_test_entries[] = {
    {"mutual_info", fastcall(mutual_info), METH_FASTCALL,
     "mutual_info(X, y, digamma, n_neighbors=3, lane_width=0): k-nearest-neighbour mutual information per column "
     "of X."},
    {"widest_lane_width", widest_lane_width, METH_NOARGS,
     "widest_lane_width(): doubles per vector of mutual information's searches on this machine (8, 4 or 2)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
