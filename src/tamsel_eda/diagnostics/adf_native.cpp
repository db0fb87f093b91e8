// The stationarity test computed natively when the analysis would call the
// library's own ADF function unchanged: the statistic and the chosen lag come
// from the kernel, the p-value from the library's MacKinnon approximation.
#include <optional>

#include "../kernels/adf.hpp"
#include "diagnostics.hpp"

namespace tamsel::diagnostics {

// The p-value, or nothing when the library should decide: `_adfuller` was
// rebound, the series is not one the kernel takes as it is (the library's
// float conversion refuses it, it is constant, too short, not finite), or its
// regressions are too close to rank deficient for a QR to promise the
// library's rank, lag and statistic. Then the library runs as it always did
// and its answer, or its error, stands.
std::optional<py::object> native_adf_pvalue(const Input& in, py::handle y) {
    py::object adfuller = in.g("_adfuller");
    py::object stattools = py::module_::import("sys").attr("modules").attr("get")("statsmodels.tsa.stattools");
    if (stattools.is_none()) return std::nullopt;
    if (!adfuller.is(pyapi::getattr_or_none(stattools, "adfuller"))) return std::nullopt;
    // The library's p-value function as the library's function sees it.
    py::object mackinnonp = pyapi::getattr_or_none(adfuller, "__globals__");
    if (mackinnonp.is_none()) return std::nullopt;
    mackinnonp = mackinnonp.attr("get")("mackinnonp");
    if (mackinnonp.is_none()) return std::nullopt;

    // The library's input conversion; what it refuses goes the library's way
    // (and raises there again).
    py::object np = py::module_::import("numpy");
    py::object x =
        pyapi::guarded([&]() -> py::object { return np.attr("ascontiguousarray")(y, "dtype"_a = np.attr("float64")); },
                       [] { return py::object(); });
    if (!x || pyapi::as_double(x.attr("ndim")) != 1.0) return std::nullopt;

    kernels::AdfResult r;
    {
        pyapi::Float64View view(x);
        const std::size_t n = static_cast<std::size_t>(view.size());
        r = pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::adf_constant_aic(view.data(), n, kernels::Stop(poll, true));
        });
    }
    if (r.status != kernels::AdfStatus::ok) return std::nullopt;
    return pyapi::to_float(mackinnonp(py::float_(r.statistic), "regression"_a = "c", "N"_a = 1));
}

}  // namespace tamsel::diagnostics
