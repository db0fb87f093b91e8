// The time axis: which one, its frequency, gaps, missing timeline, distinct
// periods and the history rule, assembled into ts_details.
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "diagnostics.hpp"

namespace tamsel::diagnostics {
namespace {

// The time column and the targets: all the sorted frame is read for. The
// sort's order comes from the time column alone, so it is the whole
// frame's order, without a copy of every other column.
py::object axis_columns(const Input& in) {
    py::object columns = in.df.attr("columns");
    py::list positions;
    py::dict seen;
    const auto add = [&](py::handle label) {
        if (pyapi::contains(seen, label) || !pyapi::contains(columns, label)) return;
        seen[label] = py::none();
        positions.append(columns.attr("get_loc")(label));
    };
    add(in.datetime_col);
    for (py::handle t : in.target_cols) add(t);
    for (py::handle p : positions) {
        if (!PyLong_Check(p.ptr())) return in.df;  // a label that names several columns
    }
    return in.df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()), positions)];
}

// datetime_col first (a failed sort or set_index means no axis at all, not a
// fallback to the index), then a DatetimeIndex of the frame.
py::object choose_axis(const Input& in) {
    if (pyapi::truthy(in.datetime_col) && pyapi::contains(in.df.attr("columns"), in.datetime_col)) {
        return along_column(axis_columns(in), in.datetime_col);
    }
    if (pyapi::is_instance(in.df.attr("index"), in.g("pd").attr("DatetimeIndex"))) {
        return axis_columns(in).attr("sort_index")();
    }
    return py::none();
}

// A quarter-start anchor is only known up to three months: QS-JAN, QS-APR,
// QS-JUL and QS-OCT lay the same dates. pandas 2 names the representative in
// the last quarter (QS-OCT), pandas 3 the one in the first (QS-JAN); the
// report keeps the last-quarter name whichever pandas inferred it.
py::object quarter_start_anchor(py::handle alias) {
    const std::string text = py::cast<std::string>(alias);
    std::size_t start = 0;
    while (start < text.size() && text[start] >= '0' && text[start] <= '9') ++start;
    const std::size_t dash = text.find('-', start);
    if (dash == std::string::npos) return py::reinterpret_borrow<py::object>(alias);
    const std::string_view base = std::string_view(text).substr(start, dash - start);
    if (base != "QS" && base != "BQS") return py::reinterpret_borrow<py::object>(alias);
    constexpr std::array<std::pair<std::string_view, std::string_view>, 3> first_to_last = {{
        {"JAN", "OCT"},
        {"FEB", "NOV"},
        {"MAR", "DEC"},
    }};
    const std::string_view anchor = std::string_view(text).substr(dash + 1);
    for (const auto& [first, last] : first_to_last) {
        if (anchor == first) return py::str(text.substr(0, dash + 1) + std::string(last));
    }
    return py::reinterpret_borrow<py::object>(alias);
}

// The gaps are computed even where the share goes unreported: an index
// whose values cannot be subtracted (text labels) must still end the
// analysis here.
py::object irregular_share(py::handle index, bool wanted) {
    py::object diffs = index.attr("to_series")().attr("diff")().attr("dropna")();
    if (!wanted || pyapi::truthy(diffs.attr("empty"))) return py::float_(0.0);
    // mode() is sorted, so among equally common gaps the smallest is the
    // reference; duplicate timestamps give zero gaps.
    py::object reference = diffs.attr("mode")().attr("iloc")[py::int_(0)];
    return pyapi::to_float(pyapi::compare(diffs, reference, Py_NE).attr("mean")());
}

// Offset aliases that pandas 2.2 deprecated and pandas 3 rejects, with the
// spelling that names the same offset in both. A caller's "H" or "Q-DEC"
// thus lays the same grid whichever pandas runs, without pandas 2.2's
// deprecation warning.
constexpr std::array<std::pair<std::string_view, std::string_view>, 20> renamed_aliases = {{
    {"H", "h"},  {"BH", "bh"},  {"CBH", "cbh"}, {"T", "min"},  {"S", "s"},      {"L", "ms"},    {"U", "us"},
    {"N", "ns"}, {"M", "ME"},   {"BM", "BME"},  {"SM", "SME"}, {"CBM", "CBME"}, {"Q", "QE"},    {"BQ", "BQE"},
    {"Y", "YE"}, {"BY", "BYE"}, {"A", "YE"},    {"BA", "BYE"}, {"AS", "YS"},    {"BAS", "BYS"},
}};

// "<n><alias>[-<anchor>]" with a renamed alias becomes its current spelling;
// anything else (a current alias, an offset object, text pandas will refuse)
// is passed on untouched.
py::object grid_alias(py::handle freq) {
    if (!PyUnicode_Check(freq.ptr())) return py::reinterpret_borrow<py::object>(freq);
    const std::string text = py::cast<std::string>(freq);
    std::size_t start = 0;
    while (start < text.size() && text[start] >= '0' && text[start] <= '9') ++start;
    const std::size_t dash = text.find('-', start);
    const std::size_t stop = dash == std::string::npos ? text.size() : dash;
    const std::string_view base = std::string_view(text).substr(start, stop - start);
    for (const auto& [old_alias, current] : renamed_aliases) {
        if (base == old_alias) {
            return py::str(text.substr(0, start) + std::string(current) + text.substr(stop));
        }
    }
    return py::reinterpret_borrow<py::object>(freq);
}

// Not clamped: timestamps off the grid, or a grid coarser than the data,
// give a negative share (the quality clamps it when it uses it).
py::object missing_ts_share(const Input& in, py::handle inferred, const std::function<py::object()>& first,
                            const std::function<py::object()>& last, py::handle n_unique) {
    if (!pyapi::truthy(inferred)) return py::float_(0.0);
    return pyapi::guarded(
        [&]() -> py::object {
            py::object full_idx = in.g("pd").attr("date_range")(first(), last(), "freq"_a = grid_alias(inferred));
            py::object grid = pyapi::builtin(in.frame.globals(), "max")(py::int_(1), py::int_(py::len(full_idx)));
            return pyapi::to_float(py::float_(1.0) - n_unique / grid);
        },
        [] { return py::object(py::float_(0.0)); });
}

// The shares go through _pct, so a negative missing share never raises the
// quality; the final clamp keeps it at 0.1 or more.
double base_ts_quality(const Input& in, py::handle irregular_share, py::handle missing_ts_share, bool enough_hist) {
    py::object pct = in.method("_pct");
    double quality = 1.0;
    quality -= 0.4 * pyapi::as_double(pct(irregular_share));
    quality -= 0.3 * pyapi::as_double(pct(missing_ts_share));
    if (!enough_hist) quality -= 0.2;
    return pyapi::as_double(pct(py::float_(quality)));
}

// The frequency of an axis of `stamps` stamps: the caller's freq, else what
// `infer` reports, never inferred from fewer than three stamps.
py::object axis_frequency(const Input& in, Py_ssize_t stamps, const std::function<py::object()>& infer) {
    if (pyapi::truthy(in.freq)) return in.freq;
    if (stamps < 3) return py::none();
    return infer();
}

void describe_axis(const Input& in, analysis::TimeSeries& out, const AxisFacts& facts) {
    // A frequency that pandas inferred is proof of regular spacing: it only
    // infers one when every gap is one step of it. Counting gaps against the
    // most common gap would call calendar months, quarters and years of
    // unequal length irregular.
    const bool inferred_by_pandas = !pyapi::truthy(in.freq) && pyapi::truthy(out.inferred);
    py::object irregular = facts.irregular(!inferred_by_pandas);
    if (inferred_by_pandas) irregular = py::float_(0.0);
    const py::int_ periods = facts.periods();
    py::object missing = missing_ts_share(in, out.inferred, facts.first, facts.last, periods);

    // The second canonical lag is the season; three seasons, and never fewer
    // than 24 periods, make enough history.
    py::object season_lags = in.method("_canonical_time_lags")(out.inferred);
    py::object season_len = py::len(season_lags) > 1 ? py::object(season_lags[py::int_(1)]) : py::int_(1);
    py::object needed = pyapi::builtin(in.frame.globals(), "max")(py::int_(24), py::int_(3) * season_len);
    const bool enough_hist = pyapi::ge(periods, needed);

    out.ts_base_quality = base_ts_quality(in, irregular, missing, enough_hist);
    per_target_time_series(in, out);

    out.ts_details["freq_inferred"] = out.inferred;
    out.ts_details["irregular_share"] = irregular;
    out.ts_details["missing_ts_share"] = missing;
    out.ts_details["unique_periods"] = periods;
    out.ts_details["enough_history"] = py::bool_(enough_hist);
    out.ts_details["per_target"] = out.per_target_ts.empty() ? py::object(py::none()) : py::object(out.per_target_ts);
}

}  // namespace

py::object reported_alias(py::object found) {
    if (found.is_none()) return found;
    if (!PyUnicode_Check(found.ptr())) found = found.attr("freqstr");
    return quarter_start_anchor(found);
}

// Always as the alias text. pandas 3.1 announces that infer_freq will
// return an offset object (and warns on every call unless a global option
// says otherwise); where pandas has the string-returning form of the same
// inference it is used, and an offset that does come back (a future pandas,
// or a caller who opted in) is reported by its alias.
py::object inferred_alias(const Input& in, py::handle index) {
    py::object pd = in.g("pd");
    py::object as_text = pyapi::getattr_or_none(pd.attr("tseries").attr("frequencies"), "infer_freq_str");
    return reported_alias(as_text.is_none() ? pd.attr("infer_freq")(index) : as_text(index));
}

py::object along_column(py::handle frame, py::handle column) {
    return pyapi::guarded([&]() -> py::object { return frame.attr("sort_values")(column).attr("set_index")(column); },
                          [] { return py::object(py::none()); });
}

AxisFigures axis_figures(const Input& in) { return axis_figures_of(in, choose_axis(in)); }

AxisFigures axis_figures_of(const Input& in, py::object ts_df) {
    AxisFigures out;
    out.ts_df = std::move(ts_df);
    if (out.ts_df.is_none()) return out;
    py::object index = out.ts_df.attr("index");
    out.stamps = static_cast<Py_ssize_t>(py::len(index));
    if (out.stamps == 0) return out;
    out.infer = [&in, index] { return inferred_alias(in, index); };
    out.facts.irregular = [index](bool wanted) { return irregular_share(index, wanted); };
    // Distinct stamps, counted once for the timeline and the history rule:
    // if counting fails, the analysis ends with that error either way.
    out.facts.periods = [index] { return py::int_(py::len(index.attr("unique")())); };
    out.facts.first = [index] { return py::object(index.attr("min")()); };
    out.facts.last = [index] { return py::object(index.attr("max")()); };
    return out;
}

analysis::TimeSeries time_axis(const Input& in, const AxisFigures& axis) {
    analysis::TimeSeries out;
    out.ts_df = axis.ts_df;
    out.ts_base_quality = 1.0;
    if (out.ts_df.is_none() || axis.stamps == 0) return out;
    // pandas raises when asked to infer a frequency from fewer than three
    // timestamps; such an axis simply has no frequency unless the caller
    // gave one.
    out.inferred = axis_frequency(in, axis.stamps, axis.infer);
    describe_axis(in, out, axis.facts);
    return out;
}

}  // namespace tamsel::diagnostics
