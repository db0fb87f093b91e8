// Target diagnostics: skewness, kurtosis and zero share per target.
#include <string>

#include "../stats/stats.hpp"
#include "diagnostics.hpp"

namespace tamsel::diagnostics {
namespace {

// Missing entries count as zeros (nan_to_num turns them into 0.0), infinities
// do not (they become the largest finite floats). The mean of no values is
// NumPy's NaN, given here without its empty-slice warning.
py::object zero_share(const Input& in, py::handle yv) {
    if (py::len(yv) == 0) return py::float_(Py_NAN);
    py::object np = in.g("np");
    py::object zeros = pyapi::compare(np.attr("nan_to_num")(yv), py::float_(0.0), Py_EQ);
    return pyapi::to_float(np.attr("mean")(zeros));
}

void add_record(py::dict record, const TargetFigures& f) {
    record["skew"] = f.skew;
    record["kurtosis"] = f.kurtosis;
    record["zero_share"] = f.zero_share;
}

// pd.to_numeric leaves a NumPy number column as it is, and its float64
// copy then holds what astype(float) gave the distribution step; the same
// calls on the same values give the same figures.
const ColumnMoments* shared_moments(const Input& in, py::handle y, py::handle tgt,
                                    const std::vector<ColumnMoments>& known) {
    if (known.empty()) return nullptr;
    py::object dtype = y.attr("dtype");
    if (!py::isinstance(dtype, in.g("np").attr("dtype"))) return nullptr;
    const std::string kind = py::str(dtype.attr("kind"));
    if (kind != "f" && kind != "i" && kind != "u") return nullptr;
    if (!pyapi::own_method(in.self, "_safe_skew") || !pyapi::own_method(in.self, "_safe_kurtosis")) return nullptr;
    for (const ColumnMoments& m : known) {
        // Labels are unique, and equal ones name one column.
        if (m.label.is(tgt) || pyapi::eq(m.label, tgt)) return &m;
    }
    return nullptr;
}

}  // namespace

std::vector<TargetFigures> target_figures(const Input& in, const std::vector<ColumnMoments>& known) {
    std::vector<TargetFigures> out;
    for (py::handle tgt : in.target_cols) {
        py::object y = in.column(tgt);
        py::object yv = stats::target_vector(in.frame, y);
        TargetFigures& f = out.emplace_back();
        if (const ColumnMoments* m = shared_moments(in, y, tgt, known)) {
            f.skew = m->skew;
            f.kurtosis = m->kurtosis;
        } else {
            f.skew = in.method("_safe_skew")(yv);
            f.kurtosis = in.method("_safe_kurtosis")(yv);
        }
        f.zero_share = zero_share(in, yv);
    }
    return out;
}

analysis::TargetDiagnostics target_diagnostics(const Input& in, const std::vector<TargetFigures>& targets) {
    analysis::TargetDiagnostics out;
    const auto n = py::len(in.target_cols);
    if (n == 0) return out;
    for (py::handle tgt : in.numeric_targets) out.numeric_targets.add(tgt);
    if (n == 1) {
        py::object tgt = in.target_cols[0];
        out.target_diag["name"] = tgt;
        add_record(out.target_diag, targets.at(0));
        out.record_by_target[tgt] = out.target_diag;
        return out;
    }
    py::dict per_t;
    std::size_t position = 0;
    for (py::handle tgt : in.target_cols) {
        py::dict record;
        add_record(record, targets.at(position++));
        per_t[tgt] = record;
        out.record_by_target[tgt] = record;
    }
    out.target_diag["per_target"] = per_t;
    return out;
}

}  // namespace tamsel::diagnostics
