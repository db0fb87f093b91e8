// Canonical lags per frequency, autocorrelation at those lags, seasonality
// strength, and the per-target stationarity/autocorrelation loop.
#include <cstdlib>
#include <initializer_list>

#include "../pyapi/declines.hpp"
#include "../stats/stats.hpp"
#include "diagnostics.hpp"

namespace tamsel::diagnostics {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;

py::list lag_list(std::initializer_list<int> lags) {
    py::list out;
    for (int lag : lags) out.append(py::int_(lag));
    return out;
}

// Only the first letter of the upper-cased alias decides, so "min" and "ms"
// fall into the monthly row; "h", "D", "W-SUN", "MS", "QS-OCT", "YE-DEC"
// land on their own rows.
py::object canonical_time_lags(const Frame& f) {
    py::handle freq = f.arg(1);
    if (!pyapi::truthy(freq)) return lag_list({1, 7, 12, 24, 30, 52});
    py::object starts = freq.attr("upper")().attr("startswith");
    auto is = [&](const char* prefix) { return pyapi::truthy(starts(prefix)); };
    if (is("H")) return lag_list({1, 24, 168, 720, 8760});
    if (is("D")) return lag_list({1, 7, 30, 365});
    if (is("W")) return lag_list({1, 4, 13, 26, 52});
    if (is("M")) return lag_list({1, 6, 12, 24});
    if (is("Q")) return lag_list({1, 4, 8});
    if (is("A") || is("Y")) return lag_list({1});
    return lag_list({1, 7, 12, 24, 30, 52});
}

// Fewer than two overlapping pairs: pandas' correlation of them is NaN (and
// NumPy warns of no degrees of freedom on the way).
bool too_few_pairs(py::handle lag, Py_ssize_t n) {
    if (!PyLong_CheckExact(lag.ptr())) return false;
    int overflow = 0;
    const long long k = PyLong_AsLongLongAndOverflow(lag.ptr(), &overflow);
    if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow) return true;
    return static_cast<long long>(n) - std::llabs(k) < 2;
}

// Positions, not timestamps: the finite values are re-indexed 0..n-1, so a
// lag counts observations and gaps in time are ignored. A constant series
// has NaN autocorrelation, through a 0/0 that NumPy is told to expect.
py::object autocorr_at_lags(const Frame& f) {
    py::object np = f.g("np");
    py::object nan = np.attr("nan");
    py::handle lags = f.arg(2);
    py::object x = f.arg(1).attr("astype")(pyapi::builtin(f.globals(), "float")).attr("values");
    x = x[np.attr("isfinite")(x)];
    py::dict out;
    if (py::len(x) < 10) {
        for (py::handle lag : lags) out[lag] = nan;
        return out;
    }
    py::object s = f.g("pd").attr("Series")(x);
    py::object autocorr = s.attr("autocorr");
    const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(x));
    const stats::QuietFloatingPoint quiet;
    for (py::handle lag : lags) {
        out[lag] = pyapi::guarded(
            [&]() -> py::object {
                if (too_few_pairs(lag, n)) return py::float_(Py_NAN);
                return pyapi::to_float(autocorr("lag"_a = lag));
            },
            [&] { return nan; });
    }
    return out;
}

// The strongest absolute autocorrelation over the whole map, lag 1 included;
// undefined lags are skipped.
py::object seasonality_strength(const Frame& f) {
    py::list vals;
    for (py::handle v : f.arg(1).attr("values")()) {
        // `v == v` as an expression: the identity shortcut of the C-level
        // comparison would keep a NaN object equal to itself.
        if (!pyapi::truthy(pyapi::compare(v, v, Py_EQ))) continue;
        vals.append(pyapi::absolute(v));
    }
    if (vals.empty()) return py::float_(0.0);
    return pyapi::to_float(f.g("np").attr("nanmax")(vals));
}

// Whether `fn` names `keyword` among its parameters. A callable without an
// introspectable signature (a builtin, a patched stand-in) answers no.
bool accepts_keyword(py::handle fn, const char* keyword) {
    return pyapi::guarded(
        [&] {
            py::object parameters = py::module_::import("inspect").attr("signature")(fn).attr("parameters");
            return pyapi::contains(parameters, py::str(keyword));
        },
        [] { return false; });
}

// The ADF p-value of one series. statsmodels 0.15 announces that adfuller
// will return a result object instead of its tuple and warns on every call
// that does not choose; where it offers the choice the result object is
// asked for and its p-value read by name. Both forms carry the same value.
py::object adf_pvalue(const Input& in, py::handle y) {
    if (auto native = native_adf_pvalue(in, y)) return *native;
    pyapi::note_decline(in.frame.globals(), "adf");
    py::object adfuller = in.g("_adfuller");
    if (accepts_keyword(adfuller, "result_object")) {
        return pyapi::to_float(adfuller(y, "autolag"_a = "AIC", "result_object"_a = true).attr("pvalue"));
    }
    py::object result = adfuller(y, "autolag"_a = "AIC");
    return pyapi::to_float(result[py::int_(1)]);
}

py::dict series_record(py::object adf_p, py::object ac, py::object seas_strength) {
    py::dict record;
    record["adfuller_pvalue"] = adf_p;
    record["autocorr_at_lags"] = ac;
    record["seasonality_strength_abs"] = seas_strength;
    return record;
}

constexpr Param freq_params[] = {{"self"}, {"freq", ParamKind::positional_or_keyword, "Optional[str]"}};
constexpr Param autocorr_params[] = {
    {"self"},
    {"series", ParamKind::positional_or_keyword, "'pd.Series'"},
    {"lags", ParamKind::positional_or_keyword, "List[int]"},
};
constexpr Param ac_map_params[] = {{"self"}, {"ac_map", ParamKind::positional_or_keyword, "Dict[int, float]"}};

constexpr MethodDef table[] = {
    {"_canonical_time_lags", freq_params, "List[int]", nullptr, canonical_time_lags},
    {"_autocorr_at_lags", autocorr_params, "Dict[int, float]", nullptr, autocorr_at_lags},
    {"_seasonality_strength", ac_map_params, "float", nullptr, seasonality_strength},
};

}  // namespace

std::span<const MethodDef> lag_methods() { return table; }

void per_target_time_series(const Input& in, analysis::TimeSeries& ts) {
    py::object pd = in.g("pd");
    for (py::handle tgt : in.target_cols) {
        py::object column = ts.ts_df.attr("get")(tgt);
        // A target that is also the datetime_col is now the index of ts_df,
        // not a series along it: nothing to analyse.
        if (column.is_none()) {
            ts.per_target_ts[tgt] = series_record(py::none(), py::dict(), py::float_(0.0));
            continue;
        }
        py::object y = pd.attr("to_numeric")(column, "errors"_a = "coerce").attr("dropna")();
        py::object adf_p = py::none();
        py::object ac = py::dict();
        py::object seas_strength = py::float_(0.0);
        if (py::len(y) >= 20) {
            adf_p = pyapi::guarded([&]() -> py::object { return adf_pvalue(in, y); },
                                   [] { return py::object(py::none()); });
            py::object lags = in.method("_canonical_time_lags")(ts.inferred);
            // The map and its strength stand or fall together.
            pyapi::guarded_void([&] {
                py::object m = in.method("_autocorr_at_lags")(y, lags);
                py::object strength = in.method("_seasonality_strength")(m);
                ac = m;
                seas_strength = strength;
            });
        }
        ts.per_target_ts[tgt] = series_record(adf_p, ac, seas_strength);
    }
}

}  // namespace tamsel::diagnostics
