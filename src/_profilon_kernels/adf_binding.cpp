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

// adf_statistic(x) -> (status, statistic, used_lag, nobs, max_lag, icbest)
// x: a C-contiguous float64 array. statistic, used_lag, nobs and icbest mean
// something only when status is "ok"; any other status names why the kernel
// declined (the library decides those series).
PyObject* adf_statistic(PyObject*, PyObject* x) {
    return entry([&] {
        pyapi::Float64View view(x);
        const std::size_t n = static_cast<std::size_t>(view.size());
        kernels::AdfResult r = pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::adf_constant_aic(view.data(), n, kernels::Stop(poll, true));
        });
        return py::object(py::make_tuple(status_name(r.status), r.statistic, r.used_lag, r.nobs, r.max_lag, r.icbest));
    });
}

}  // namespace

const PyMethodDef adf_test_entries[] = {
    {"adf_statistic", adf_statistic, METH_O,
     "adf_statistic(x) -> (status, statistic, used_lag, nobs, max_lag, icbest): ADF with a constant, AIC lag."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
