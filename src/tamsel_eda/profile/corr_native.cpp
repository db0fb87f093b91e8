// Adapter between the analysis and the correlation kernel. It hands the
// kernel each numeric column's own buffer (and the missing mask of pandas'
// nullable arrays), so no float copy of the numeric block is made; the
// kernel reads them as pandas' to_numpy(dtype=float, na_value=nan) would.
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "../kernels/correlation.hpp"
#include "../kernels/kernels.hpp"
#include "../pyapi/columns.hpp"
#include "profile.hpp"

namespace tamsel::profile {
namespace {

namespace k = tamsel::kernels;
using Buffer = pyapi::HeldBuffer;
using pyapi::numpy_view;
using pyapi::value_type;
using pyapi::version_of;

// Whether the kernel reproduces this pandas' DataFrame.corr for the method,
// and whether that pandas clips Pearson coefficients. nancorr_spearman and
// rank_1d are the same code from 2.2.0 to 3.1.2; nancorr gained the clip in
// pandas 3 (read in 3.1.2's sources; 3.0's were not, so it keeps pandas).
bool applies(k::CorrMethod method, std::pair<int, int> v, bool& clip) {
    clip = false;
    const bool v2 = v.first == 2 && v.second >= 2;
    const bool v31 = v.first == 3 && v.second == 1;
    if (method == k::CorrMethod::spearman) return v2 || (v.first == 3 && v.second <= 1);
    clip = v31;
    return v2 || v31;
}

std::optional<k::ColumnView> column_view(const Input& in, py::handle c, Py_ssize_t n,
                                         std::vector<std::unique_ptr<Buffer>>& held) {
    py::object pd = in.g("pd"), np = in.g("np");
    py::object s = in.df[c];
    if (!py::isinstance(s, pd.attr("Series"))) return std::nullopt;
    py::object dtype = s.attr("dtype");
    std::optional<k::ColumnView> col;
    if (py::isinstance(dtype, np.attr("dtype"))) {
        col = numpy_view(np, s.attr("to_numpy")(), n, held);
    } else {
        // Nullable numbers and booleans: their values and mask, which is what
        // to_numpy(dtype=float, na_value=nan) reads.
        col = pyapi::masked_view(pd, np, s.attr("array"), n, held);
    }
    return col;
}

py::object compute(const Input& in) {
    py::object pd = in.g("pd"), np = in.g("np");
    if (!PyUnicode_CheckExact(in.corr_method.ptr())) return py::object();
    const std::string method_name = py::str(in.corr_method);
    k::CorrProblem p;
    if (method_name == "spearman") {
        p.method = k::CorrMethod::spearman;
    } else if (method_name == "pearson") {
        p.method = k::CorrMethod::pearson;
    } else {
        return py::object();
    }
    if (!applies(p.method, version_of(pd), p.clip_pearson)) return py::object();
    // A subclass may build its results differently (its _constructor).
    if (reinterpret_cast<PyObject*>(Py_TYPE(in.df.ptr())) != pd.attr("DataFrame").ptr()) return py::object();

    const Py_ssize_t n = in.rows;
    std::vector<std::unique_ptr<Buffer>> held;
    std::vector<k::ColumnView> columns;
    for (py::handle c : in.num_cols) {
        auto col = column_view(in, c, n, held);
        if (!col) return py::object();
        columns.push_back(*col);
    }
    p.columns = columns.data();
    p.k = columns.size();
    p.n = static_cast<std::size_t>(n);
    p.parts = k::thread_count();
    if (!k::correlation_supported(p)) return py::object();

    // Both buffers are NumPy's, so memory tracing sees what the kernel uses.
    py::object out = np.attr("empty")(py::make_tuple(p.k, p.k), "dtype"_a = np.attr("float64"));
    py::object workspace = np.attr("empty")(k::correlation_workspace_bytes(p), "dtype"_a = np.attr("uint8"));
    Buffer out_buf(out, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    Buffer ws_buf(workspace, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    double* out_data = static_cast<double*>(out_buf.view().buf);
    void* ws_data = ws_buf.view().buf;
    // Stopped only by a signal handler's exception, which without_gil raises.
    pyapi::without_gil(
        [&](const std::function<bool()>& poll) { return k::correlation_matrix(p, out_data, ws_data, poll); });

    // As df[num_cols].corr(): columns in num_cols' order, taken from
    // df.columns (name and index type kept), attributes carried over.
    py::object positions = in.df.attr("columns").attr("get_indexer")(in.num_cols);
    py::object cols = in.df.attr("columns").attr("take")(positions);
    py::object result =
        pd.attr("DataFrame")(out, "index"_a = cols.attr("copy")(), "columns"_a = cols, "copy"_a = false);
    return result.attr("__finalize__")(in.df, "method"_a = "corr");
}

}  // namespace

py::object native_correlation(const Input& in) {
    return pyapi::guarded([&]() -> py::object { return compute(in); }, [] { return py::object(); });
}

}  // namespace tamsel::profile
