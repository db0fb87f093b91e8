// Adapter between the analysis and the correlation kernel. It hands the
// kernel each numeric column's own buffer (and the missing mask of pandas'
// nullable arrays), so no float copy of the numeric block is made; the
// kernel reads them as pandas' to_numpy(dtype=float, na_value=nan) would.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "../kernels/correlation.hpp"
#include "../kernels/kernels.hpp"
#include "../kernels/rules.hpp"
#include "../pyapi/background.hpp"
#include "../pyapi/column_views.hpp"
#include "profile.hpp"

namespace tamsel::profile {
namespace {

namespace k = tamsel::kernels;
using Buffer = pyapi::HeldBuffer;
using pyapi::numpy_view;
using pyapi::value_type;
using pyapi::version_of;

// Whether the kernel reproduces this pandas' DataFrame.corr for the method,
// and whether that pandas clips Pearson coefficients.
bool applies(k::CorrMethod method, std::pair<int, int> v, bool& clip) {
    clip = rules::releases::pandas_pearson_clipped(v);
    if (method == k::CorrMethod::spearman) return rules::releases::pandas_spearman(v);
    return rules::releases::pandas_pearson(v);
}

std::optional<k::ColumnView> column_view(const Input& in, py::handle c, Py_ssize_t n,
                                         std::vector<std::unique_ptr<Buffer>>& held) {
    py::object pd = in.g("pd"), np = in.g("np");
    py::object s = in.column(c);
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

// Started where the columns are typed, the kernel runs beside the steps
// before its own when it may; its workspace is then held through those
// steps, on top of their own peaks. It goes early when that workspace is
// small, or no larger than the columns it reads (a long frame of float64
// columns: ranks of 4 bytes a cell and two sort areas), so what it adds is
// bounded by what the caller already holds. A workspace larger than its
// columns (float32, narrow integers, booleans) waits for its step.
constexpr std::size_t early_workspace_floor = std::size_t{64} << 20;

class PendingCorrelation final : public Pending {
public:
    PendingCorrelation(const Input& in, k::CorrProblem p, std::vector<k::ColumnView> columns,
                       std::vector<std::unique_ptr<Buffer>> held)
        : in_(in), p_(p), columns_(std::move(columns)), held_(std::move(held)) {
        p_.columns = columns_.data();
    }

    bool worth_starting_early() const {
        std::size_t read = 0;
        for (const auto& b : held_) read += static_cast<std::size_t>(b->view().len);
        return k::correlation_workspace_bytes(p_) <= std::max(early_workspace_floor, read);
    }

    // Both buffers are NumPy's, so memory tracing sees what the kernel uses.
    void launch() {
        py::object np = in_.g("np");
        out_ = np.attr("empty")(py::make_tuple(p_.k, p_.k), "dtype"_a = np.attr("float64"));
        workspace_ = np.attr("empty")(k::correlation_workspace_bytes(p_), "dtype"_a = np.attr("uint8"));
        out_buf_ = std::make_unique<Buffer>(out_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        ws_buf_ = std::make_unique<Buffer>(workspace_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
        pyapi::use_small_pages(ws_buf_->view());
        double* out_data = static_cast<double*>(out_buf_->view().buf);
        void* ws_data = ws_buf_->view().buf;
        const k::CorrProblem* p = &p_;
        run_.emplace([p, out_data, ws_data](const std::function<bool()>& poll) {
            return k::correlation_matrix(*p, out_data, ws_data, poll);
        });
    }

    // As df[num_cols].corr(): columns in num_cols' order, taken from
    // df.columns (name and index type kept), attributes carried over.
    py::object finish() override {
        if (!run_) launch();
        // Stopped only by a signal handler's exception, which finish() raises.
        run_->finish();
        run_.reset();
        ws_buf_.reset();
        workspace_ = py::object();
        py::object pd = in_.g("pd");
        py::object positions = in_.df.attr("columns").attr("get_indexer")(in_.num_cols);
        py::object cols = in_.df.attr("columns").attr("take")(positions);
        py::object result =
            pd.attr("DataFrame")(out_, "index"_a = cols.attr("copy")(), "columns"_a = cols, "copy"_a = false);
        return result.attr("__finalize__")(in_.df, "method"_a = "corr");
    }

private:
    const Input& in_;
    k::CorrProblem p_;
    std::vector<k::ColumnView> columns_;
    std::vector<std::unique_ptr<Buffer>> held_;
    py::object out_, workspace_;
    std::unique_ptr<Buffer> out_buf_, ws_buf_;
    // Declared last: destroyed (stopped and joined) before what it reads.
    std::optional<pyapi::Background> run_;
};

std::unique_ptr<PendingCorrelation> prepare(const Input& in) {
    py::object pd = in.g("pd");
    if (!PyUnicode_CheckExact(in.corr_method.ptr())) return nullptr;
    const std::string method_name = py::str(in.corr_method);
    k::CorrProblem p;
    if (method_name == "spearman") {
        p.method = k::CorrMethod::spearman;
    } else if (method_name == "pearson") {
        p.method = k::CorrMethod::pearson;
    } else {
        return nullptr;
    }
    if (!applies(p.method, version_of(pd), p.clip_pearson)) return nullptr;
    // A subclass may build its results differently (its _constructor).
    if (reinterpret_cast<PyObject*>(Py_TYPE(in.df.ptr())) != pd.attr("DataFrame").ptr()) return nullptr;

    const Py_ssize_t n = in.rows;
    std::vector<std::unique_ptr<Buffer>> held;
    std::vector<k::ColumnView> columns;
    for (py::handle c : in.num_cols) {
        auto col = column_view(in, c, n, held);
        if (!col) return nullptr;
        columns.push_back(*col);
    }
    p.k = columns.size();
    p.n = static_cast<std::size_t>(n);
    p.parts = k::thread_count();
    p.columns = columns.data();
    if (!k::correlation_supported(p)) return nullptr;
    return std::make_unique<PendingCorrelation>(in, p, std::move(columns), std::move(held));
}

}  // namespace

std::unique_ptr<Pending> start_native_correlation(const Input& in) {
    return pyapi::guarded(
        [&]() -> std::unique_ptr<Pending> {
            auto pending = prepare(in);
            if (pending && k::thread_count() > 1 && pending->worth_starting_early()) pending->launch();
            return pending;
        },
        [] { return std::unique_ptr<Pending>(); });
}

}  // namespace tamsel::profile
