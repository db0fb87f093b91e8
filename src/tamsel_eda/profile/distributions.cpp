// Distribution profile: a six-figure summary per numeric column, the
// interquartile outlier shares and how far apart the column scales are.
#include <cmath>

#include "../pyapi/declines.hpp"
#include "../stats/stats.hpp"
#include "dist_native.hpp"
#include "profile.hpp"

namespace tamsel::profile {
namespace {

// Its figures into the column's summary, its outlier share and its range.
void add_column_summary(analysis::Distributions& out, py::handle c, const ColumnFigures& f) {
    py::dict summary;
    summary["min"] = f.min;
    summary["median"] = f.median;
    summary["max"] = f.max;
    summary["std"] = f.std;
    summary["skew"] = f.skew;
    summary["kurtosis"] = f.kurtosis;
    out.num_stats[c] = summary;

    out.outlier_shares.append(f.outlier_share);
    // mx == mx and mn == mn: NaN bounds record no range. Both are
    // Python floats here, so the C doubles compare the same way.
    const double mx_d = pyapi::as_double(f.max), mn_d = pyapi::as_double(f.min);
    if (mx_d == mx_d && mn_d == mn_d) out.scale_ranges.append(py::float_(std::fabs(mx_d - mn_d)));
}

void finish_distributions(const Input& in, analysis::Distributions& out) {
    py::object np = in.g("np");
    out.outlier_share_overall =
        out.outlier_shares.empty() ? py::float_(0.0) : pyapi::to_float(np.attr("nanmean")(out.outlier_shares));

    if (out.scale_ranges.empty()) {
        out.scale_spread_ratio = py::float_(0.0);
    } else {
        // max(1e-12, v): the built-in keeps its first argument unless the
        // second compares larger.
        const double smallest = pyapi::as_double(np.attr("nanmin")(out.scale_ranges));
        const double mn_r = smallest > 1e-12 ? smallest : 1e-12;
        const double mx_r = pyapi::as_double(np.attr("nanmax")(out.scale_ranges));
        out.scale_spread_ratio = py::float_(mx_r / mn_r);
    }
}

}  // namespace

// Nothing here is guarded: a column that cannot become float, or a NumPy
// reduction that fails, ends the analysis with that library's error.
std::vector<ColumnFigures> column_summaries(const Input& in) {
    std::vector<ColumnFigures> out;
    out.reserve(py::len(in.num_cols));
    py::object np = in.g("np");
    py::object safe_skew = in.method("_safe_skew");
    py::object safe_kurtosis = in.method("_safe_kurtosis");
    py::object iqr_outlier_share = in.method("_iqr_outlier_share");
    py::object py_float = pyapi::builtin(in.frame.globals(), "float");

    const std::optional<NativeSummaries> native = native_summaries(in);
    const py::handle globals = in.frame.globals();
    std::size_t position = 0;
    for (py::handle c : in.num_cols) {
        const kernels::ColumnSummary* figures = nullptr;
        if (native && native->columns[position]) figures = &*native->columns[position];
        ++position;
        if (!figures) pyapi::note_decline(globals, "summaries");
        // The column as float, made only where a library call needs it.
        py::object vals;
        const auto values = [&]() -> py::handle {
            if (!vals) vals = in.column(c).attr("astype")(py_float).attr("values");
            return vals;
        };
        py::object mn, md, mx, sd, sk, kt, share;
        if (figures) {
            if (figures->any_finite) {
                if (figures->min_by_library || figures->max_by_library || figures->median_by_library ||
                    figures->std_by_library) {
                    pyapi::note_decline(globals, "summaries");
                }
                mn = figures->min_by_library ? pyapi::to_float(np.attr("nanmin")(values())) : py::float_(figures->min);
                mx = figures->max_by_library ? pyapi::to_float(np.attr("nanmax")(values())) : py::float_(figures->max);
                md = figures->median_by_library ? pyapi::to_float(np.attr("nanmedian")(values()))
                                                : py::float_(figures->median);
                if (figures->std_by_library) {
                    const stats::QuietFloatingPoint quiet;
                    sd = pyapi::to_float(np.attr("nanstd")(values()));
                } else {
                    sd = py::float_(figures->std);
                }
            } else {
                mn = mx = md = sd = np.attr("nan");
            }
            if (native->moments && !figures->moments_by_library) {
                sk = py::float_(figures->skew);
                kt = py::float_(figures->kurtosis);
            } else {
                pyapi::note_decline(globals, "moments");
                sk = safe_skew(values());
                kt = safe_kurtosis(values());
            }
            if (figures->share_by_library) pyapi::note_decline(globals, "summaries");
            share = figures->share_by_library ? iqr_outlier_share(values()) : py::float_(figures->outlier_share);
        } else {
            values();
            py::object finite = np.attr("isfinite")(vals);
            if (pyapi::truthy(finite.attr("any")())) {
                mn = pyapi::to_float(np.attr("nanmin")(vals));
                mx = pyapi::to_float(np.attr("nanmax")(vals));
                md = pyapi::to_float(np.attr("nanmedian")(vals));
                // An infinite value makes the deviations inf - inf: NaN, which
                // is the answer, without NumPy's warning about it.
                const stats::QuietFloatingPoint quiet;
                sd = pyapi::to_float(np.attr("nanstd")(vals));
            } else {
                py::object nan = np.attr("nan");
                mn = mx = md = sd = nan;
            }
            sk = safe_skew(vals);
            kt = safe_kurtosis(vals);
            share = iqr_outlier_share(vals);
        }

        out.push_back({mn, md, mx, sd, sk, kt, share});
    }
    return out;
}

analysis::Distributions distributions(const Input& in, const std::vector<ColumnFigures>& columns) {
    analysis::Distributions out;
    std::size_t position = 0;
    for (py::handle c : in.num_cols) add_column_summary(out, c, columns.at(position++));
    finish_distributions(in, out);
    return out;
}

}  // namespace tamsel::profile
