// Entry of the stationarity kernel: the ADF statistic with a constant and the
// lag length chosen by AIC, on a float64 array.
#include "../tamsel_eda/kernels/adf.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

const char* status_name(kernels::AdfStatus s) {
    switch (s) {
        case kernels::AdfStatus::ok:
            return "ok";
        case kernels::AdfStatus::constant:
            return "constant";
        case kernels::AdfStatus::too_short:
            return "too_short";
        case kernels::AdfStatus::non_finite:
            return "non_finite";
        case kernels::AdfStatus::ill_conditioned:
            return "ill_conditioned";
        case kernels::AdfStatus::interrupted:
            return "interrupted";
    }
    return "unknown";
}

// adf_statistic(x, qr=False) -> (status, statistic, used_lag, nobs, max_lag,
// icbest, way)
// x: a C-contiguous float64 array; qr: solve by the QR alone. statistic,
// used_lag, nobs and icbest mean something only when status is "ok"; any other
// status names why the kernel declined (the library decides those series).
// way: "cross_products" or "qr", the one the result came from.
PyObject* adf_statistic(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 1 || nargs > 2) throw py::type_error("adf_statistic(x, qr=False)");
        const int qr = nargs > 1 ? PyObject_IsTrue(args[1]) : 0;
        if (qr < 0) throw py::error_already_set();
        pyapi::Float64View view(args[0]);
        const std::size_t n = static_cast<std::size_t>(view.size());
        const auto way = qr ? kernels::AdfWay::qr : kernels::AdfWay::cross_products;
        kernels::AdfResult r = pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::adf_constant_aic(view.data(), n, kernels::Stop(poll, true), way);
        });
        const char* came_from = r.way == kernels::AdfWay::qr ? "qr" : "cross_products";
        return py::object(
            py::make_tuple(status_name(r.status), r.statistic, r.used_lag, r.nobs, r.max_lag, r.icbest, came_from));
    });
}

}  // namespace

const PyMethodDef adf_test_entries[] = {
    {"adf_statistic", fastcall(adf_statistic), METH_FASTCALL,
     "adf_statistic(x, qr=False) -> (status, statistic, used_lag, nobs, max_lag, icbest, way): ADF with a constant, "
     "AIC lag."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
