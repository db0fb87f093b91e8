// The leakage step without copies of the frame. The library's way drops the
// targets from the frame (a full copy on pandas 2), selects its numeric
// columns (another copy) and correlates each with the target through NumPy.
// Here the candidates' labels come from the frame without its rows, every
// column is read in place from its own buffer, and the two expensive checks
// are answered natively where that answer is certain to be the library's:
// - |r| >= 0.99 by the Pearson screen, which hands every column it cannot
//   decide (an infinity, a constant side, r within its error margin of the
//   threshold) back to pandas' own y.corr(x) for that column alone;
// - equality by comparing the buffers of same-dtype NumPy columns; columns of
//   another dtype are unequal as pandas' equals finds them, and any other
//   pair of the same dtype is compared by pandas.
// The name check, the reasons and the score are the method's own code.
#include <cstdio>
#include <memory>
#include <unordered_map>
#include <vector>

#include "../kernels/kernels.hpp"
#include "../kernels/pearson_screen.hpp"
#include "../kernels/rules.hpp"
#include "../pyapi/column_views.hpp"
#include "../pyapi/declines.hpp"
#include "../stats/stats.hpp"
#include "leakage.hpp"

namespace tamsel::diagnostics::leak {
namespace {

namespace k = tamsel::kernels;
using Buffer = pyapi::HeldBuffer;
using pyapi::numpy_view;
using pyapi::value_type;
using pyapi::version_of;

constexpr double threshold = rules::leakage_correlation;

using Held = std::vector<std::unique_ptr<Buffer>>;

// Series.corr, select_dtypes and equals as read: 2.2, 2.3 and 3.0
// (np.corrcoef of the pairwise-complete rows) and 3.1 (the same rows, centred
// and scaled before NumPy's dot products). Others keep the library's path.
bool pandas_read(py::handle pd) { return rules::releases::pandas_leakage_screen(version_of(pd)); }

// A Series as the kernels read it: the NumPy array behind a NumPy dtype
// (`plain`), or the values and mask of pandas' nullable numbers and
// booleans, which is what to_numpy(dtype=float, na_value=nan) reads.
std::optional<k::ColumnView> series_view(py::handle pd, py::handle np, py::handle s, Py_ssize_t n, Held& held,
                                         bool& plain) {
    plain = false;
    py::object dtype = s.attr("dtype");
    if (py::isinstance(dtype, np.attr("dtype"))) {
        auto col = numpy_view(np, s.attr("to_numpy")(), n, held);
        plain = col.has_value();
        return col;
    }
    return pyapi::masked_view(pd, np, s.attr("array"), n, held);
}

// The views of one analysis' columns, made once for both checks of every
// target: each view costs a few Python calls, which the wide frames pay per
// column. A column is known by its Series object, held here so that its
// address stays its own.
class Views {
public:
    Views(py::handle pd, py::handle np, Py_ssize_t n) : pd_(pd), np_(np), n_(n) {}

    std::optional<k::ColumnView> of(py::handle s, bool& plain) {
        auto found = made_.find(s.ptr());
        if (found == made_.end()) {
            Made m{py::reinterpret_borrow<py::object>(s), std::nullopt, false};
            m.view = series_view(pd_, np_, s, n_, held_, m.plain);
            found = made_.emplace(s.ptr(), std::move(m)).first;
        }
        plain = found->second.plain;
        return found->second.view;
    }

private:
    struct Made {
        py::object series;
        std::optional<k::ColumnView> view;
        bool plain;
    };
    py::handle pd_, np_;
    Py_ssize_t n_;
    Held held_;
    std::unordered_map<PyObject*, Made> made_;
};

bool applies(const Input& in, pyapi::Body own_body) {
    py::object hints = in.method("_leakage_hints_per_target");
    if (!PyMethod_Check(hints.ptr()) || PyMethod_GET_SELF(hints.ptr()) != in.self.ptr()) return false;
    if (!pyapi::runs_body(PyMethod_GET_FUNCTION(hints.ptr()), own_body)) return false;
    py::object modules = py::module_::import("sys").attr("modules");
    py::object pd = in.g("pd"), np = in.g("np");
    if (!pd.is(modules.attr("get")("pandas")) || !np.is(modules.attr("get")("numpy"))) return false;
    if (!pandas_read(pd)) return false;
    // A subclass may index, select and compare differently.
    if (reinterpret_cast<PyObject*>(Py_TYPE(in.df.ptr())) != pd.attr("DataFrame").ptr()) return false;
    // Labels then name one column each, so df[c] is the candidate itself.
    return pyapi::truthy(in.df.attr("columns").attr("is_unique"));
}

// |y.corr(x)| >= 0.99 as the method's corrwith decides it for one column,
// columns with fewer than two complete pairs left out as it leaves them out.
bool library_hit(py::handle y, py::handle x, bool count_pairs) {
    if (count_pairs) {
        py::object both = x.attr("notna")().attr("to_numpy")() & y.attr("notna")().attr("to_numpy")();
        if (pyapi::as_double(both.attr("sum")()) < 2) return false;
    }
    py::object r = y.attr("corr")(x, "method"_a = "pearson");
    return pyapi::ge(pyapi::absolute(r), py::float_(threshold));
}

py::list correlation_check(const Input& in, py::handle X0, py::handle y, Views& made) {
    py::object pd = in.g("pd"), np = in.g("np");
    py::list include;
    include.append(np.attr("number"));
    py::object num_cols = X0.attr("select_dtypes")("include"_a = include).attr("columns");
    const std::size_t count = py::len(num_cols);
    // The method's num_df.empty: no numeric column, or no rows.
    if (count == 0 || in.rows == 0) return py::list();
    if (!pyapi::truthy(pd.attr("api").attr("types").attr("is_numeric_dtype")(y))) return py::list();
    const stats::QuietFloatingPoint quiet;

    const Py_ssize_t n = in.rows;
    bool plain = false;
    const auto yv = made.of(y, plain);
    std::vector<py::object> columns;
    std::vector<k::ColumnView> views;
    std::vector<std::size_t> viewed;  // column index of each view
    for (py::handle c : num_cols) {
        columns.push_back(in.column(c));
        if (!yv) continue;
        if (auto v = made.of(columns.back(), plain)) {
            views.push_back(*v);
            viewed.push_back(columns.size() - 1);
        }
    }
    std::vector<k::ScreenColumn> screened(views.size());
    const bool complete = views.empty() || pyapi::without_gil([&](const std::function<bool()>& poll) {
                              return k::pearson_screen(*yv, views.data(), views.size(), static_cast<std::size_t>(n),
                                                       threshold, screened.data(), poll);
                          });
    // 0 no, 1 yes; 2 pandas decides with the pairs known to be enough, 3
    // pandas decides after counting them.
    std::vector<char> state(count, 3);
    for (std::size_t j = 0; complete && j < views.size(); ++j) {
        const k::Verdict v = screened[j].verdict;
        state[viewed[j]] = v == k::Verdict::yes ? 1 : v == k::Verdict::no ? 0 : 2;
    }
    py::list mask;
    bool any = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (state[i] >= 2) pyapi::note_decline(in.frame.globals(), "leakage");
        const bool hit = state[i] >= 2 ? library_hit(y, columns[i], state[i] == 3) : state[i] == 1;
        any = any || hit;
        mask.append(py::bool_(hit));
    }
    if (!any) return py::list();
    return num_cols[np.attr("array")(mask, "dtype"_a = "bool")].attr("tolist")();
}

py::list identity_check(const Input& in, py::handle x_cols, py::handle y, Views& made) {
    const Py_ssize_t n = in.rows;
    bool y_plain = false;
    const auto yv = made.of(y, y_plain);
    py::object y_dtype = y.attr("dtype");
    std::vector<py::object> labels, columns;
    // 0 unequal, 1 equal, 2 the kernel compares, 3 pandas compares.
    std::vector<char> state;
    std::vector<k::ColumnView> views;
    std::vector<std::size_t> viewed;
    for (py::handle c : x_cols) {
        labels.push_back(py::reinterpret_borrow<py::object>(c));
        columns.push_back(in.column(c));
        py::handle s = columns.back();
        // equals looks no further than a dtype that differs.
        if (pyapi::truthy(pyapi::compare(s.attr("dtype"), y_dtype, Py_NE))) {
            state.push_back(0);
            continue;
        }
        bool plain = false;
        std::optional<k::ColumnView> v;
        if (y_plain) v = made.of(s, plain);
        if (v && plain && v->type == yv->type) {
            state.push_back(2);
            views.push_back(*v);
            viewed.push_back(state.size() - 1);
        } else {
            state.push_back(3);
        }
    }
    std::vector<k::Verdict> verdicts(views.size(), k::Verdict::undecided);
    // Only a pending signal stops a kernel, and without_gil raises it; an
    // incomplete answer is still never used.
    const bool complete =
        views.empty() || pyapi::without_gil([&](const std::function<bool()>& poll) {
            return k::same_values(*yv, views.data(), views.size(), static_cast<std::size_t>(n), verdicts.data(), poll);
        });
    for (std::size_t j = 0; j < views.size(); ++j) {
        const k::Verdict v = complete ? verdicts[j] : k::Verdict::undecided;
        state[viewed[j]] = v == k::Verdict::yes ? 1 : v == k::Verdict::no ? 0 : 3;
    }
    py::list equal_cols;
    for (std::size_t i = 0; i < state.size(); ++i) {
        if (state[i] == 3) pyapi::note_decline(in.frame.globals(), "leakage");
        const bool equal = state[i] == 3 ? pyapi::truthy(columns[i].attr("equals")(y)) : state[i] == 1;
        if (equal) equal_cols.append(labels[i]);
    }
    return equal_cols;
}

}  // namespace

bool native_checks(const Input& in, pyapi::Body own_body, LeakageFigures& out) {
    if (!pyapi::guarded([&] { return applies(in, own_body); }, [] { return false; })) return false;
    // The candidates exactly as df.drop(columns=target_cols) labels them.
    py::object X0 =
        in.df.attr("iloc")[py::slice(0, 0, 1)].attr("drop")("columns"_a = in.target_cols, "errors"_a = "ignore");
    out.candidates = X0.attr("columns");
    Views made(in.g("pd"), in.g("np"), in.rows);
    // Each check is abandoned on its own when it fails: no hits; the other
    // still counts.
    for (py::handle tgt : in.target_cols) {
        py::object y = in.column(tgt);
        out.correlated[tgt] =
            pyapi::guarded([&] { return correlation_check(in, X0, y, made); }, [] { return py::list(); });
        out.identical[tgt] =
            pyapi::guarded([&] { return identity_check(in, out.candidates, y, made); }, [] { return py::list(); });
    }
    return true;
}

}  // namespace tamsel::diagnostics::leak
