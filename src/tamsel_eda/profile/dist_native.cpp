// Adapter between the distribution step and the summary kernel. The kernel
// applies while every call the step makes is the library's own: the module
// global `np` is NumPy, `scipy_skew` and `scipy_kurtosis` are SciPy's, and the
// three robust-statistics methods are the class's (no subclass override, no
// rebinding). Columns are read from their own buffers, as
// astype(float).values would convert them; a column it cannot read keeps
// the step's Python path.
#include "dist_native.hpp"

#include <cstdio>
#include <cstring>
#include <memory>

#include "../kernels/rules.hpp"
#include "../kernels/summary.hpp"
#include "../pyapi/column_views.hpp"
#include "../pyapi/moment_rules.hpp"
#include "../stats/stats.hpp"

namespace tamsel::profile {
namespace {

namespace k = tamsel::kernels;
using Buffer = pyapi::HeldBuffer;
using pyapi::numpy_view;
using pyapi::value_type;
using pyapi::version_of;

// The column df[c] as astype(float).values would hold it, or nothing.
std::optional<k::ColumnView> column_view(const Input& in, py::handle pd, py::handle np, py::handle c, Py_ssize_t n,
                                         std::vector<std::unique_ptr<Buffer>>& held) {
    py::object s = in.column(c);
    // A Series subclass may convert itself differently (its astype).
    if (reinterpret_cast<PyObject*>(Py_TYPE(s.ptr())) != pd.attr("Series").ptr()) return std::nullopt;
    py::object dtype = s.attr("dtype");
    if (py::isinstance(dtype, np.attr("dtype"))) return numpy_view(np, s.attr("to_numpy")(), n, held);
    // Nullable numbers and booleans: values and mask, missing cells NaN.
    return pyapi::masked_view(pd, np, s.attr("array"), n, held);
}

std::optional<NativeSummaries> compute(const Input& in) {
    py::object np = in.g("np");
    py::object numpy = py::module_::import("numpy");
    if (!np.is(numpy)) return std::nullopt;
    const auto nv = version_of(numpy);
    if (!rules::releases::numpy_summaries(nv)) return std::nullopt;
    if (!stats::is_library_function(in.g("scipy_skew"), "scipy.stats", "skew") ||
        !stats::is_library_function(in.g("scipy_kurtosis"), "scipy.stats", "kurtosis")) {
        return std::nullopt;
    }
    for (const char* name : {"_safe_skew", "_safe_kurtosis", "_iqr_outlier_share"}) {
        if (!pyapi::own_method(in.self, name)) return std::nullopt;
    }
    const auto block = stats::numpy_sum_block();
    if (!block) return std::nullopt;

    k::SummaryOptions options;
    options.sum_block = *block;
    // The formula of the running SciPy; under 1.18 the deviations are
    // raised with NumPy's own power loop, fetched here with the GIL and
    // called by the kernel without it.
    options.moments = pyapi::running_moment_rules(*block);

    py::object pd = in.g("pd");
    // A frame subclass may hand out its columns differently.
    if (reinterpret_cast<PyObject*>(Py_TYPE(in.df.ptr())) != pd.attr("DataFrame").ptr()) return std::nullopt;
    const Py_ssize_t n = in.rows;
    std::vector<std::unique_ptr<Buffer>> held;
    std::vector<k::ColumnView> columns;
    NativeSummaries result;
    result.moments = options.moments.formula != k::MomentFormula::none;
    std::vector<std::size_t> positions;
    for (py::handle c : in.num_cols) {
        auto col = column_view(in, pd, numpy, c, n, held);
        result.columns.emplace_back();
        if (!col) continue;
        positions.push_back(result.columns.size() - 1);
        columns.push_back(*col);
    }
    if (columns.empty()) return result;

    // NumPy's buffer, so memory tracing sees the kernel's scratch.
    const std::size_t doubles = k::summary_workspace_doubles(columns.size(), static_cast<std::size_t>(n));
    py::object workspace = numpy.attr("empty")(doubles, "dtype"_a = numpy.attr("float64"));
    Buffer ws(workspace, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    pyapi::use_small_pages(ws.view());
    std::vector<k::ColumnSummary> out(columns.size());
    pyapi::without_gil([&](const std::function<bool()>& poll) {
        return k::summarize_columns(columns.data(), columns.size(), static_cast<std::size_t>(n), options, out.data(),
                                    static_cast<double*>(ws.view().buf), poll);
    });
    for (std::size_t j = 0; j < positions.size(); ++j) result.columns[positions[j]] = out[j];
    return result;
}

}  // namespace

std::optional<NativeSummaries> native_summaries(const Input& in) {
    return pyapi::guarded([&] { return compute(in); }, [] { return std::optional<NativeSummaries>(); });
}

}  // namespace tamsel::profile
