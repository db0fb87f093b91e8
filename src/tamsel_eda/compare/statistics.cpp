// The figures of one column present on both sides, and its verdict. The
// kernels give the statistics; the p-values come from SciPy's own null
// distributions (the exact two-sample Smirnov distribution where ks_2samp
// would use it, kstwo otherwise; chi2 for the contingency table), so they
// are the library's answers for the same statistic.
#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "compare.hpp"

namespace tamsel::compare {
namespace {

namespace drift = kernels::drift;
using pyapi::Frame;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
// ks_2samp's method="auto" is exact up to this many values on the larger side.
constexpr double ks_exact_limit = 10000;
// Levels listed as new or vanished at the most (the counts are complete).
constexpr Py_ssize_t max_listed_levels = 50;
// Bins of a numeric column's chart, levels of a categorical one's.
constexpr std::size_t chart_bins = 20;
constexpr std::size_t chart_levels = 10;

py::object number(double x) { return std::isnan(x) ? py::none() : py::object(py::float_(x)); }

py::object share(double part, double whole) { return whole > 0 ? number(part / whole) : py::none(); }

struct Ks {
    double statistic, pvalue;
};

// ks_2samp(two-sided, method="auto") for a statistic the kernel computed.
Ks ks_test(double d, double n1, double n2) {
    py::object stats_py = pyapi::steal_or_throw(PyImport_ImportModule("scipy.stats._stats_py"));
    py::object np = pyapi::steal_or_throw(PyImport_ImportModule("numpy"));
    const auto a = static_cast<long long>(n1), b = static_cast<long long>(n2);
    if (std::max(n1, n2) <= ks_exact_limit) {
        const long long g = std::gcd(a, b);
        py::tuple r = stats_py.attr("_attempt_exact_2kssamp")(a, b, g, d, "two-sided");
        // The exact path reports the statistic on the lattice of 1/lcm, as
        // ks_2samp does; when it fails, ks_2samp falls back to the
        // asymptotic distribution, and so does this.
        if (pyapi::truthy(r[0])) return {pyapi::as_double(r[1]), std::clamp(pyapi::as_double(r[2]), 0.0, 1.0)};
        d = pyapi::as_double(r[1]);
    }
    const double m = std::max(n1, n2), n = std::min(n1, n2);
    const double en = m * n / (m + n);
    py::object kstwo = pyapi::steal_or_throw(PyImport_ImportModule("scipy.stats")).attr("kstwo");
    const double p = pyapi::as_double(kstwo.attr("sf")(d, np.attr("round")(en)));
    return {d, std::clamp(p, 0.0, 1.0)};
}

double chi2_pvalue(double stat, int dof) {
    if (dof <= 0) return 1.0;
    py::object chi2 = pyapi::steal_or_throw(PyImport_ImportModule("scipy.stats")).attr("chi2");
    return pyapi::as_double(chi2.attr("sf")(stat, dof));
}

void verdict_too_few(py::dict& out, double ref_values, double cur_values) {
    const char* side = ref_values < min_values ? "reference" : "current";
    const double n = ref_values < min_values ? ref_values : cur_values;
    out["drifted"] = py::none();
    out["reason"] = pyapi::concat({"the ", side, " side has ", pyapi::format(py::int_(static_cast<long long>(n))),
                                   " non-missing values; a verdict needs at least ",
                                   pyapi::format(py::int_(static_cast<long long>(min_values)))});
}

// A column with enough values on both sides: drifted when its effect size
// passes its threshold and the shift is significant; the reason says which
// of the two held.
void verdict_of(py::dict& out, bool effect, bool significant, const char* differ) {
    out["drifted"] = py::bool_(effect && significant);
    if (effect && significant) {
        out["reason"] = differ;
    } else if (effect) {
        out["reason"] = "the effect size passes its threshold but the shift is not significant";
    } else if (significant) {
        out["reason"] = "significant, but the effect size is below its threshold";
    } else {
        out["reason"] = "no shift beyond the thresholds";
    }
}

py::list shares(const std::vector<double>& counts) {
    double total = 0;
    for (double c : counts) total += c;
    py::list out;
    for (double c : counts) out.append(py::float_(total > 0 ? c / total : 0.0));
    return out;
}

// What the HTML page draws: both sides' shares over equal-width bins of the
// pooled range.
py::dict histogram(const drift::ValueCounts& ref, const drift::ValueCounts& cur) {
    const double lo = std::min(ref.values.front(), cur.values.front());
    const double hi = std::max(ref.values.back(), cur.values.back());
    std::vector<double> inner;
    if (hi > lo && std::isfinite(hi - lo)) {
        for (std::size_t i = 1; i < chart_bins; ++i) {
            inner.push_back(lo + (hi - lo) * static_cast<double>(i) / static_cast<double>(chart_bins));
        }
    }
    py::list edges;
    edges.append(py::float_(lo));
    for (double e : inner) edges.append(py::float_(e));
    edges.append(py::float_(hi));
    py::dict out;
    out["edges"] = edges;
    out["reference"] = shares(drift::bin_counts(ref, inner));
    out["current"] = shares(drift::bin_counts(cur, inner));
    return out;
}

void numeric_figures(py::dict& out, const Column& ref, const Column& cur) {
    const double n1 = ref.values.observations, n2 = cur.values.observations;
    out["mean_reference"] = number(n1 > 0 ? ref.mean : nan);
    out["mean_current"] = number(n2 > 0 ? cur.mean : nan);
    out["std_reference"] = number(n1 > 0 ? ref.std : nan);
    out["std_current"] = number(n2 > 0 ? cur.std : nan);
    double ks = nan, p = nan, w = nan, wn = nan, psi = nan;
    if (n1 > 0 && n2 > 0 && !ref.values.values.empty() && !cur.values.values.empty()) {
        const drift::TwoSample t = drift::two_sample(ref.values, cur.values);
        const Ks test = ks_test(t.ks_statistic, n1, n2);
        ks = test.statistic;
        p = test.pvalue;
        w = t.wasserstein;
        // A constant reference has no spread to measure the distance in.
        wn = ref.std > 0 ? w / ref.std : nan;
        const std::vector<double> edges = psi_edges_of(ref);
        const std::vector<double> ref_bins = ref.from_quantiles ? ref.psi_bins : drift::bin_counts(ref.values, edges);
        psi = drift::psi(ref_bins, drift::bin_counts(cur.values, edges), psi_floor);
        out["chart"] = histogram(ref.values, cur.values);
    }
    out["ks_statistic"] = number(ks);
    out["ks_pvalue"] = number(p);
    out["wasserstein"] = number(w);
    out["wasserstein_norm"] = number(wn);
    out["psi"] = number(psi);
    if (ref.from_quantiles) {
        // Between two saved quantiles the reference's CDF moves by at most
        // 1/k, and its quantile function stays between them.
        const double k = static_cast<double>(saved_quantiles);
        py::dict bound;
        bound["ks_statistic"] = py::float_(1.0 / k);
        const double span = ref.values.values.empty() ? 0.0 : ref.values.values.back() - ref.values.values.front();
        bound["wasserstein_norm"] = ref.std > 0 ? py::object(py::float_(span / k / ref.std)) : py::none();
        out["error_bound"] = bound;
    }
    if (n1 < min_values || n2 < min_values) {
        verdict_too_few(out, n1, n2);
        return;
    }
    const bool effect = ks >= ks_threshold || (!std::isnan(wn) && wn >= wasserstein_threshold);
    const bool significant = p < alpha;
    verdict_of(out, effect, significant, "the distributions differ beyond the effect-size threshold, significantly");
}

void categorical_figures(const Frame& f, py::dict& out, const Column& ref, const Column& cur) {
    // Levels in the reference's order, then the current side's new ones; a
    // saved reference's levels past its cap and the current levels it never
    // listed share one cell, so the table stays honest about what is known.
    std::vector<double> r, c;
    py::list new_levels, vanished, cells;
    double new_count = 0, vanished_count = 0, unlisted_current = 0;
    const bool capped = ref.levels_other > 0;
    for (auto [level, count] : ref.levels) {
        r.push_back(pyapi::as_double(count));
        cells.append(level);
        py::object in_cur = cur.levels.attr("get")(level);
        c.push_back(in_cur.is_none() ? 0.0 : pyapi::as_double(in_cur));
        if (in_cur.is_none()) {
            vanished_count += 1;
            if (py::len(vanished) < max_listed_levels) vanished.append(level);
        }
    }
    for (auto [level, count] : cur.levels) {
        if (pyapi::contains(ref.levels, level)) continue;
        new_count += 1;
        if (py::len(new_levels) < max_listed_levels) new_levels.append(level);
        if (capped) {
            unlisted_current += pyapi::as_double(count);
        } else {
            r.push_back(0.0);
            c.push_back(pyapi::as_double(count));
            cells.append(level);
        }
    }
    if (capped) {
        r.push_back(ref.levels_other);
        c.push_back(unlisted_current);
        cells.append(py::str("(other levels)"));
    }
    double n1 = 0, n2 = 0;
    for (double x : r) n1 += x;
    for (double x : c) n2 += x;
    double js = nan, p = nan;
    if (n1 > 0 && n2 > 0) {
        // The chart's levels: the largest share on either side first.
        std::vector<std::size_t> order(r.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        auto top = [&](std::size_t i) { return std::max(r[i] / n1, c[i] / n2); };
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return top(a) > top(b); });
        py::list levels, ref_share, cur_share;
        for (std::size_t i = 0; i < order.size() && i < chart_levels; ++i) {
            const std::size_t at = order[i];
            levels.append(cells[at]);
            ref_share.append(py::float_(r[at] / n1));
            cur_share.append(py::float_(c[at] / n2));
        }
        py::dict chart;
        chart["levels"] = levels;
        chart["reference"] = ref_share;
        chart["current"] = cur_share;
        out["chart"] = chart;
        const drift::LevelFigures lf = drift::level_figures(r.data(), c.data(), r.size());
        js = lf.js_distance;
        p = chi2_pvalue(lf.chi2_statistic, lf.dof);
    }
    out["levels_reference"] = py::int_(py::len(ref.levels));
    out["levels_current"] = py::int_(py::len(cur.levels));
    out["js_distance"] = number(js);
    out["chi2_pvalue"] = number(p);
    out["new_levels"] = new_levels;
    out["new_level_count"] = py::int_(static_cast<long long>(new_count));
    out["vanished_levels"] = vanished;
    out["vanished_level_count"] = py::int_(static_cast<long long>(vanished_count));
    if (capped) {
        out["note"] = pyapi::concat({"the saved reference lists its ", pyapi::format(py::int_(saved_levels)),
                                     " most frequent levels; a level past them counts as new"});
    }
    (void)f;
    if (n1 < min_values || n2 < min_values) {
        verdict_too_few(out, n1, n2);
        return;
    }
    const bool effect = js >= js_threshold;
    const bool significant = p < alpha;
    verdict_of(out, effect, significant, "the level shares differ beyond the effect-size threshold, significantly");
}

void datetime_figures(py::dict& out, const Column& ref, const Column& cur) {
    out["reference_start"] = ref.first;
    out["reference_end"] = ref.last;
    out["current_start"] = cur.first;
    out["current_end"] = cur.last;
    py::object overlap = py::none();
    if (!ref.first.is_none() && !cur.first.is_none()) {
        // Stamps of different time zones do not compare: no overlap figure.
        overlap = pyapi::guarded(
            [&]() -> py::object {
                py::object lo = pyapi::gt(ref.first, cur.first) ? ref.first : cur.first;
                py::object hi = pyapi::gt(ref.last, cur.last) ? cur.last : ref.last;
                py::object union_lo = pyapi::gt(ref.first, cur.first) ? cur.first : ref.first;
                py::object union_hi = pyapi::gt(ref.last, cur.last) ? ref.last : cur.last;
                py::object whole = union_hi - union_lo;
                if (!pyapi::truthy(whole)) return py::float_(1.0);
                if (pyapi::gt(lo, hi)) return py::float_(0.0);
                return pyapi::to_float((hi - lo) / whole);
            },
            [] { return py::object(py::none()); });
    }
    out["span_overlap_share"] = overlap;
    out["drifted"] = py::none();
    out["reason"] = "a datetime column is compared by its spans, not tested";
}

}  // namespace

py::dict column_figures(const Frame& f, const Column& ref, const Column& cur) {
    py::dict out;
    out["kind"] = py::str(ref.kind);
    out["missing_share_reference"] = share(ref.missing, ref.rows);
    out["missing_share_current"] = share(cur.missing, cur.rows);
    if (ref.kind != cur.kind) {
        out["kind"] = "changed";
        out["drifted"] = py::none();
        out["reason"] = pyapi::concat(
            {"the column is ", ref.kind.c_str(), " in the reference and ", cur.kind.c_str(), " in the current side"});
        return out;
    }
    if (ref.kind == "numeric") {
        numeric_figures(out, ref, cur);
    } else if (ref.kind == "categorical") {
        categorical_figures(f, out, ref, cur);
    } else if (ref.kind == "datetime") {
        datetime_figures(out, ref, cur);
    } else {
        out["drifted"] = py::none();
        out["reason"] = pyapi::concat({"no drift test for dtype ", py::str(ref.dtype)});
    }
    return out;
}

}  // namespace tamsel::compare
