// Leakage hints: target-like names, near-perfect correlation and exact
// copies of the target among the candidate features.
#include "leakage.hpp"

#include "../kernels/rules.hpp"
#include "../pyapi/declines.hpp"
#include "../stats/stats.hpp"
#include "diagnostics.hpp"

namespace tamsel::diagnostics {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;

// The columns with at least two rows where both they and y have a value. A
// correlation over fewer pairs is NaN, reached through NumPy's warning of no
// degrees of freedom, and a NaN is never a hit. Only when the rows pair up
// by position (one index) can they be counted here; otherwise every column
// goes to the library.
py::object with_two_pairs(py::handle num_df, py::handle y) {
    py::object y_index = pyapi::optional_attr(y, py::str("index"));
    if (!y_index || !pyapi::truthy(num_df.attr("index").attr("equals")(y_index))) {
        return py::reinterpret_borrow<py::object>(num_df);
    }
    py::object all = pyapi::steal_or_throw(PySlice_New(nullptr, nullptr, nullptr));
    py::object y_has = y.attr("notna")().attr("to_numpy")()[py::make_tuple(all, py::none())];
    py::object both = num_df.attr("notna")().attr("to_numpy")() & y_has;
    py::object enough = pyapi::compare(both.attr("sum")("axis"_a = 0), py::int_(2), Py_GE);
    return num_df.attr("iloc")[py::make_tuple(all, enough)];
}

py::object leakage_hints_per_target(const Frame& f) {
    py::handle df_X = f.arg(1);
    py::handle y = f.arg(2);
    py::object np = f.g("np");
    py::object pd = f.g("pd");
    py::list reasons;
    double score = 1.0;

    leak::name_reasons(f, df_X.attr("columns"), reasons, score);

    // Each check below is abandoned on its own when it fails; the others
    // still count.
    pyapi::guarded_void([&] {
        py::list include;
        include.append(np.attr("number"));
        py::object num_df = df_X.attr("select_dtypes")("include"_a = include);
        if (pyapi::truthy(num_df.attr("empty"))) return;
        if (!pyapi::truthy(pd.attr("api").attr("types").attr("is_numeric_dtype")(y))) return;
        // A constant column's correlation is 0/0: NaN, which never reaches
        // the threshold.
        const stats::QuietFloatingPoint quiet;
        py::object corr = with_two_pairs(num_df, y).attr("corrwith")(y, "method"_a = "pearson").attr("abs")();
        py::object hits =
            corr[pyapi::compare(corr, py::float_(rules::leakage_correlation), Py_GE)].attr("index").attr("tolist")();
        if (!pyapi::truthy(hits)) return;
        reasons.append(leak::correlation_reason(f, hits));
        score -= rules::leakage_correlation_penalty;
    });

    pyapi::guarded_void([&] {
        py::list equal_cols;
        for (py::handle c : df_X.attr("columns")) {
            // pandas equality: same values, NaN matching NaN, and the same dtype.
            if (pyapi::truthy(df_X[c].attr("equals")(y))) equal_cols.append(c);
        }
        if (equal_cols.empty()) return;
        reasons.append(leak::identity_reason(f, equal_cols));
        score -= rules::leakage_identity_penalty;
    });

    return py::make_tuple(f.self().attr("_pct")(py::float_(score)), reasons);
}

constexpr Param params[] = {
    {"self"},
    {"df_X", ParamKind::positional_or_keyword, "DataFrame"},
    {"y", ParamKind::positional_or_keyword, "Series"},
};

constexpr MethodDef table[] = {
    {"_leakage_hints_per_target", params, "Tuple[float, List[str]]",
     "Leakage score (1=good) and reasons for a single target.", leakage_hints_per_target},
};

}  // namespace

namespace leak {

void name_reasons(const Frame& f, py::handle columns, py::list& reasons, double& score) {
    py::object str = pyapi::builtin(f.globals(), "str");
    py::object re = f.g("re");
    py::object patt = re.attr("compile")("(target|label|y_true|ground[_\\-]?truth)", re.attr("I"));
    for (py::handle c : columns) {
        if (pyapi::truthy(patt.attr("search")(str(c)))) {
            reasons.append(pyapi::concat({"Column name '", pyapi::format(c), "' looks target-like."}));
            score -= rules::leakage_name_penalty;
        }
    }
}

py::str correlation_reason(const Frame& f, py::handle hits) {
    py::object str = pyapi::builtin(f.globals(), "str");
    return pyapi::concat({"Columns with |r|\u22650.99 to target: ", str(hits[py::slice(0, 5, 1)])});
}

py::str identity_reason(const Frame& f, py::handle equal_cols) {
    py::object str = pyapi::builtin(f.globals(), "str");
    return pyapi::concat({"Columns identical to target: ", str(equal_cols[py::slice(0, 3, 1)])});
}

}  // namespace leak

std::span<const MethodDef> leakage_methods() { return table; }

// Every target is dropped from the candidates, so two targets that copy each
// other are not flagged against one another.
LeakageFigures leakage_figures(const Input& in) {
    LeakageFigures out;
    if (in.target_cols.empty()) return out;
    if (leak::native_checks(in, leakage_hints_per_target, out)) return out;
    pyapi::note_decline(in.frame.globals(), "leakage");
    py::object X_for_leak = in.df.attr("drop")("columns"_a = in.target_cols, "errors"_a = "ignore");
    py::object hints = in.method("_leakage_hints_per_target");
    analysis::Leakage& by_method = out.hints.emplace();
    for (py::handle tgt : in.target_cols) {
        auto [ls, reasons] = pyapi::unpack_pair(hints(X_for_leak, in.column(tgt)));
        by_method.leakage_scores[tgt] = ls;
        if (pyapi::truthy(reasons)) by_method.leakage_reasons_all[tgt] = reasons;
    }
    return out;
}

// The method's reasons and score from the checks' hits. A reason that cannot
// be written (a label whose text raises) is left out with its penalty, as
// the method's guarded checks leave it out.
analysis::Leakage leakage(const Input& in, const LeakageFigures& figures) {
    if (figures.hints) return *figures.hints;
    analysis::Leakage out;
    for (py::handle tgt : in.target_cols) {
        py::list reasons;
        double score = 1.0;
        leak::name_reasons(in.frame, figures.candidates, reasons, score);
        py::object hits = figures.correlated.attr("get")(tgt);
        if (!hits.is_none() && pyapi::truthy(hits)) {
            pyapi::guarded_void([&] {
                reasons.append(leak::correlation_reason(in.frame, hits));
                score -= rules::leakage_correlation_penalty;
            });
        }
        py::object equal_cols = figures.identical.attr("get")(tgt);
        if (!equal_cols.is_none() && pyapi::truthy(equal_cols)) {
            pyapi::guarded_void([&] {
                reasons.append(leak::identity_reason(in.frame, equal_cols));
                score -= rules::leakage_identity_penalty;
            });
        }
        out.leakage_scores[tgt] = in.method("_pct")(py::float_(score));
        if (pyapi::truthy(reasons)) out.leakage_reasons_all[tgt] = reasons;
    }
    return out;
}

}  // namespace tamsel::diagnostics
