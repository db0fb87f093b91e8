// The page's figures over a pandas frame: each column is read once into the
// kernels' buffers with the GIL held, the kernels run over the columns on the
// project's pool with the GIL released, and the results become plain Python
// values. A column that cannot be read (an exotic dtype, a failing accessor)
// keeps its panel with what is known of it, its missing count.
#include <algorithm>
#include <cmath>
#include <optional>

#include "../kernels/kernels.hpp"
#include "../kernels/page_figures.hpp"
#include "../kernels/quantiles.hpp"
#include "../pyapi/column_views.hpp"
#include "figures.hpp"

namespace tamsel::figures {
namespace {

// A column's figures under its label, the label first.
py::dict labelled(py::handle label, const py::dict& entry) {
    py::dict out;
    out["label"] = label;
    for (auto [key, value] : entry) out[key] = value;
    return out;
}

namespace k = tamsel::kernels;
namespace kp = tamsel::kernels::page;
using analysis::Input;
using pyapi::HeldBuffer;
using pyapi::HeldBuffers;

using kp::max_levels;
using kp::max_periods;
using kp::series_buckets;
constexpr std::size_t max_heat_columns = 30;
constexpr double quantile_levels[] = {0.05, 0.25, 0.5, 0.75, 0.95};
constexpr const char* quantile_names[] = {"5%", "25%", "50%", "75%", "95%"};

struct NumericJob {
    k::ColumnView view;
    kp::RangeState range;
    kp::HistogramPlan plan;
    kp::HistogramState hist;
    std::vector<double> quantiles;
};

struct LevelJob {
    const std::int64_t* codes = nullptr;
    std::size_t levels = 0;
    kp::TopLevels top;
};

struct PeriodJob {
    const std::int64_t* stamps = nullptr;
    kp::StampRange range;
    kp::PeriodPlan plan;
    kp::PeriodState counts;
};

// A C-contiguous int64 array (codes, stamps) held for the kernels.
const std::int64_t* int64_data(py::handle np, py::object array, std::size_t n, HeldBuffers& held) {
    py::object contiguous = np.attr("ascontiguousarray")(array, "dtype"_a = "int64");
    held.push_back(std::make_unique<HeldBuffer>(contiguous, PyBUF_C_CONTIGUOUS));
    if (static_cast<std::size_t>(held.back()->view().len) != n * sizeof(std::int64_t)) {
        PyErr_SetString(PyExc_ValueError, "unexpected length of a column's codes");
        throw py::error_already_set();
    }
    return static_cast<const std::int64_t*>(held.back()->view().buf);
}

// df[c] read as float64 with missing cells NaN, in place where the kernels
// read its dtype, otherwise through pandas' own conversion.
k::ColumnView double_view(const Input& in, py::handle s, Py_ssize_t n, HeldBuffers& held) {
    py::object np = in.g("np");
    py::object pd = in.g("pd");
    py::object dtype = s.attr("dtype");
    std::optional<k::ColumnView> view;
    if (py::isinstance(dtype, np.attr("dtype"))) {
        view = pyapi::numpy_view(np, s.attr("to_numpy")(), n, held);
    } else {
        view = pyapi::masked_view(pd, np, s.attr("array"), n, held);
    }
    if (!view) {
        py::object values = s.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = np.attr("nan"));
        view = pyapi::numpy_view(np, np.attr("ascontiguousarray")(values), n, held);
    }
    if (!view) {
        PyErr_SetString(PyExc_TypeError, "column cannot be read as float64");
        throw py::error_already_set();
    }
    return *view;
}

// Nanoseconds since the epoch (UTC) of a datetime column or index.
py::object stamps_of(const Input& in, py::handle values) {
    return in.g("pd").attr("DatetimeIndex")(values).attr("as_unit")("ns").attr("asi8");
}

py::list float_list(const std::vector<double>& xs) {
    py::list out;
    for (double x : xs) out.append(py::float_(x));
    return out;
}

py::list int_list(const std::vector<std::int64_t>& xs) {
    py::list out;
    for (std::int64_t x : xs) out.append(py::int_(x));
    return out;
}

// Texts of nanosecond stamps as pandas prints them, in the column's zone.
py::list stamp_texts(const Input& in, const std::vector<std::int64_t>& ns, py::handle tz) {
    py::object np = in.g("np");
    py::object index = in.g("pd").attr("DatetimeIndex")(np.attr("array")(int_list(ns), "dtype"_a = "datetime64[ns]"));
    if (!tz.is_none()) index = index.attr("tz_localize")("UTC").attr("tz_convert")(tz);
    py::list out;
    for (py::handle stamp : index) out.append(pyapi::format(stamp));
    return out;
}

py::object timezone_of(py::handle values) {
    py::object dtype = pyapi::getattr_or_none(values, "dtype");
    return dtype.is_none() ? py::object(py::none()) : pyapi::getattr_or_none(dtype, "tz");
}

py::dict numeric_entry(const NumericJob& job) {
    py::dict out;
    out["kind"] = "numeric";
    out["count"] = py::int_(job.range.finite);
    out["missing"] = py::int_(job.range.missing);
    out["infinite"] = py::int_(job.range.infinite);
    out["zeros"] = py::int_(job.range.zeros);
    out["mean"] = py::float_(job.range.finite ? job.range.sum / static_cast<double>(job.range.finite) : NAN);
    py::dict hist;
    hist["edges"] = float_list(job.plan.edges);
    hist["counts"] = int_list(job.hist.counts);
    out["histogram"] = hist;
    py::dict q;
    for (std::size_t i = 0; i < job.quantiles.size(); ++i) q[quantile_names[i]] = py::float_(job.quantiles[i]);
    out["quantiles"] = q;
    if (job.range.finite) {
        const k::Fences f = k::iqr_fences(job.quantiles[1], job.quantiles[3]);
        out["iqr_fences"] = py::make_tuple(py::float_(f.lo), py::float_(f.hi));
    } else {
        out["iqr_fences"] = py::none();
    }
    return out;
}

// The level figures from a column's value_counts(dropna=False): most
// frequent first, in the order pandas sorted them.
py::dict level_entry(py::object vc, std::size_t rows) {
    py::object na = vc.attr("index").attr("isna")();
    py::object present = vc[na.attr("__invert__")()];
    const auto missing = py::cast<std::int64_t>(vc[na].attr("sum")());
    py::list top;
    std::int64_t listed = 0;
    py::object head = present.attr("iloc")[py::slice(0, static_cast<Py_ssize_t>(max_levels), 1)];
    for (py::handle item : head.attr("items")()) {
        auto [level, count] = pyapi::unpack_pair(item);
        const auto n = py::cast<std::int64_t>(count);
        listed += n;
        top.append(py::make_tuple(pyapi::format(level), py::int_(n)));
    }
    py::dict out;
    out["count"] = py::int_(static_cast<std::int64_t>(rows) - missing);
    out["missing"] = py::int_(missing);
    out["distinct"] = py::int_(py::len(present));
    out["top"] = top;
    out["other"] = py::int_(static_cast<std::int64_t>(rows) - missing - listed);
    return out;
}

// The entry of a coded column from its finished top levels; `uniques`
// holds each code's level.
py::dict top_entry(const kp::TopLevels& top, py::handle uniques, std::size_t rows) {
    py::dict entry;
    entry["count"] = py::int_(static_cast<std::int64_t>(rows) - top.missing);
    entry["missing"] = py::int_(top.missing);
    entry["distinct"] = py::int_(top.distinct);
    py::list listed;
    for (std::size_t j = 0; j < top.codes.size(); ++j) {
        py::object level = uniques[py::int_(top.codes[j])];
        listed.append(py::make_tuple(pyapi::format(level), py::int_(top.counts[j])));
    }
    entry["top"] = listed;
    entry["other"] = py::int_(top.other);
    return entry;
}

py::dict datetime_entry(const Input& in, const PeriodJob& job, py::handle zone) {
    py::dict entry;
    entry["kind"] = "datetime";
    entry["count"] = py::int_(job.range.count);
    entry["missing"] = py::int_(job.range.missing);
    if (job.range.count) {
        std::vector<std::int64_t> starts;
        for (std::size_t p = 0; p < job.plan.periods; ++p) {
            const auto index = job.plan.first + static_cast<std::int64_t>(p);
            starts.push_back(kp::period_start(job.plan.unit, index));
        }
        entry["period"] = kp::period_name(job.plan.unit);
        entry["starts"] = pyapi::guarded([&]() -> py::object { return stamp_texts(in, starts, zone); },
                                         [] { return py::object(py::none()); });
        entry["counts"] = int_list(job.counts.counts);
        entry["empty_periods"] =
            py::int_(std::count(job.counts.counts.begin(), job.counts.counts.end(), std::int64_t{0}));
    }
    return entry;
}

// A target's kept points (time order) as the page draws them; None for none.
py::object series_entry(const Input& in, const std::vector<kp::SeriesPoint>& points, py::handle zone) {
    if (points.empty()) return py::none();
    std::vector<std::int64_t> times;
    std::vector<double> values, at;
    const double lo = static_cast<double>(points.front().t);
    const double span = static_cast<double>(points.back().t) - lo;
    for (const kp::SeriesPoint& p : points) {
        times.push_back(p.t);
        values.push_back(p.v);
        at.push_back(span > 0 ? (static_cast<double>(p.t) - lo) / span : 0.5);
    }
    py::dict series;
    series["time"] = stamp_texts(in, times, zone);
    series["value"] = float_list(values);
    series["at"] = float_list(at);
    return series;
}

py::object missing_count(py::handle s) {
    return pyapi::guarded([&]() -> py::object { return s.attr("isna")().attr("sum")(); },
                          [] { return py::object(py::none()); });
}

// The numeric columns ranked for the heat map: the targets, then the
// features by their highest relevance to any target, then the rest in
// frame order.
py::list heat_columns(const Input& in, const analysis::Relationships& rel) {
    py::list ranked;
    py::object corr_columns = py::list(rel.corr_df.attr("columns"));
    auto add = [&](py::handle c) {
        if (py::len(ranked) < max_heat_columns && pyapi::contains(corr_columns, c) && !pyapi::contains(ranked, c))
            ranked.append(c);
    };
    for (py::handle t : in.target_cols) add(t);
    py::dict best;
    for (auto [tgt, scores] : rel.num_rel_by_target) {
        for (py::handle item : scores.attr("items")()) {
            auto [feat, value] = pyapi::unpack_pair(item);
            const double v = pyapi::guarded([&] { return pyapi::as_double(value); }, [] { return (double)NAN; });
            if (!std::isfinite(v)) continue;
            if (!pyapi::contains(best, feat) || py::cast<double>(best[feat]) < v) best[feat] = py::float_(v);
        }
    }
    for (py::handle item : pyapi::sorted_by_value_desc(in.frame.globals(), best.attr("items")()))
        add(item[py::int_(0)]);
    for (py::handle c : in.num_cols) add(c);
    return ranked;
}

py::object correlation_entry(const Input& in, const analysis::Relationships& rel) {
    return pyapi::guarded(
        [&]() -> py::object {
            py::list cols = heat_columns(in, rel);
            if (py::len(cols) < 2) return py::none();
            py::object m = rel.corr_df.attr("loc")[py::make_tuple(cols, cols)];
            py::dict out;
            out["method"] = in.corr_method;
            out["columns"] = cols;
            out["matrix"] = m.attr("to_numpy")("dtype"_a = "float64").attr("tolist")();
            return out;
        },
        [] { return py::object(py::none()); });
}

}  // namespace

py::dict page_figures(const Input& in, const analysis::SchemaMissingness& schema, const analysis::Relationships& rel,
                      const analysis::TimeSeries& ts) {
    py::object pd = in.g("pd");
    py::object np = in.g("np");
    const Py_ssize_t n = in.rows;
    const auto rows = static_cast<std::size_t>(n);
    HeldBuffers held;

    // Which figure each column gets, and its buffers.
    enum class Kind { numeric, levels, counted, datetime, other };
    py::list labels(in.meta.attr("columns"));
    const std::size_t n_cols = py::len(labels);
    std::vector<Kind> kind(n_cols, Kind::other);
    std::vector<std::size_t> slot(n_cols, 0);
    std::vector<NumericJob> numeric;
    std::vector<LevelJob> levels;
    std::vector<py::object> uniques;
    std::vector<PeriodJob> periods;
    std::vector<py::object> zones;
    std::vector<py::dict> counted;
    // Sets of the typing's lists: a wide frame asks each of them once per column.
    const py::set dt_set(in.dt_cols), num_set(in.num_cols), bool_set(in.bool_cols);
    for (std::size_t i = 0; i < n_cols; ++i) {
        py::handle c = labels[i];
        py::object s = in.column(c);
        pyapi::guarded_void([&] {
            if (pyapi::contains(dt_set, c)) {
                PeriodJob job;
                job.stamps = int64_data(np, stamps_of(in, s), rows, held);
                zones.push_back(timezone_of(s));
                kind[i] = Kind::datetime;
                slot[i] = periods.size();
                periods.push_back(job);
            } else if (pyapi::contains(num_set, c) && !pyapi::contains(bool_set, c)) {
                NumericJob job;
                job.view = double_view(in, s, n, held);
                kind[i] = Kind::numeric;
                slot[i] = numeric.size();
                numeric.push_back(std::move(job));
            } else if (PyObject* vc = PyDict_GetItemWithError(schema.value_counts_by_col.ptr(), c.ptr())) {
                // The counts the rare-level test already took.
                kind[i] = Kind::counted;
                slot[i] = counted.size();
                counted.push_back(level_entry(py::reinterpret_borrow<py::object>(vc), rows));
            } else {
                if (PyErr_Occurred()) throw py::error_already_set();
                py::tuple fact = pd.attr("factorize")(s, "use_na_sentinel"_a = true);
                LevelJob job;
                job.codes = int64_data(np, fact[0], rows, held);
                job.levels = py::len(fact[1]);
                kind[i] = Kind::levels;
                slot[i] = levels.size();
                levels.push_back(job);
                uniques.push_back(fact[1]);
            }
        });
    }

    // The kernels, one task per column; no task touches the interpreter.
    const std::size_t tasks = numeric.size() + levels.size() + periods.size();
    pyapi::without_gil([&](const std::function<bool()>& poll) {
        k::parallel_for(
            tasks,
            [&](std::size_t t, const k::Stop&) {
                if (t < numeric.size()) {
                    NumericJob& job = numeric[t];
                    std::vector<double> copy, scratch;
                    // A plain float64 column is read where it lies.
                    const double* x = nullptr;
                    if (job.view.type == k::ValueType::f64 && job.view.stride == sizeof(double) && !job.view.missing) {
                        x = static_cast<const double*>(job.view.data);
                    } else {
                        copy.resize(rows);
                        k::load_doubles(job.view, 0, rows, copy.data());
                        x = copy.data();
                    }
                    job.range = kp::range_partial(x, rows);
                    if (job.range.finite) {
                        job.plan = kp::histogram_plan(job.range.lo, job.range.hi, kp::histogram_bins(job.range.finite));
                        job.hist = kp::histogram_partial(job.plan, x, rows);
                    }
                    job.quantiles = k::finite_quantiles(
                        x, rows, static_cast<std::size_t>(job.range.finite), job.range.lo, job.range.hi,
                        std::vector<double>(std::begin(quantile_levels), std::end(quantile_levels)), scratch);
                    return;
                }
                t -= numeric.size();
                if (t < levels.size()) {
                    LevelJob& job = levels[t];
                    job.top = kp::levels_finish(kp::levels_partial(job.codes, rows, job.levels), max_levels);
                    return;
                }
                t -= levels.size();
                PeriodJob& job = periods[t];
                job.range = kp::stamps_partial(job.stamps, rows);
                if (job.range.count) {
                    job.plan = kp::period_plan(job.range.lo, job.range.hi, max_periods);
                    job.counts = kp::periods_partial(job.plan, job.stamps, rows);
                }
            },
            poll);
    });

    py::list columns;
    for (std::size_t i = 0; i < n_cols; ++i) {
        py::handle c = labels[i];
        py::dict entry;
        if (kind[i] == Kind::numeric) {
            entry = numeric_entry(numeric[slot[i]]);
        } else if (kind[i] == Kind::levels) {
            entry = top_entry(levels[slot[i]].top, uniques[slot[i]], rows);
            entry["kind"] = pyapi::contains(bool_set, c) ? "boolean" : "categorical";
        } else if (kind[i] == Kind::counted) {
            entry = counted[slot[i]];
            entry["kind"] = pyapi::contains(bool_set, c) ? "boolean" : "categorical";
        } else if (kind[i] == Kind::datetime) {
            entry = datetime_entry(in, periods[slot[i]], zones[slot[i]]);
        } else {
            entry["kind"] = "other";
            entry["missing"] = missing_count(in.column(c));
        }
        columns.append(labelled(c, entry));
    }

    // Each numeric target over the time axis the analysis used.
    py::list targets;
    for (py::handle t : in.target_cols) {
        py::dict entry;
        entry["label"] = t;
        entry["series"] = pyapi::guarded(
            [&]() -> py::object {
                if (ts.ts_df.is_none() || !pyapi::contains(in.num_cols, t)) return py::none();
                const bool by_column =
                    pyapi::truthy(in.datetime_col) && pyapi::contains(in.df.attr("columns"), in.datetime_col);
                py::object axis = by_column ? py::object(in.column(in.datetime_col)) : py::object(in.df.attr("index"));
                HeldBuffers own;
                const std::int64_t* stamps = int64_data(np, stamps_of(in, axis), rows, own);
                const k::ColumnView view = double_view(in, in.column(t), n, own);
                std::vector<kp::SeriesPoint> points = pyapi::without_gil([&](const std::function<bool()>&) {
                    std::vector<double> v(rows);
                    k::load_doubles(view, 0, rows, v.data());
                    const kp::StampRange range = kp::stamps_partial(stamps, rows);
                    kp::SeriesState state = kp::series_plan(range.lo, range.hi, series_buckets);
                    kp::series_partial(state, stamps, v.data(), rows, 0);
                    return kp::series_finish(state);
                });
                return series_entry(in, points, timezone_of(axis));
            },
            [] { return py::object(py::none()); });
        targets.append(entry);
    }

    py::dict out;
    out["columns"] = columns;
    out["targets"] = targets;
    out["correlation"] = correlation_entry(in, rel);
    return out;
}

namespace {

template <class T>
std::vector<T> vector_of(py::handle np, py::handle array, const char* dtype) {
    py::object a = np.attr("ascontiguousarray")(array, "dtype"_a = dtype);
    HeldBuffer held(a, PyBUF_C_CONTIGUOUS);
    const auto* data = static_cast<const T*>(held.view().buf);
    return std::vector<T>(data, data + held.view().len / static_cast<Py_ssize_t>(sizeof(T)));
}

kp::RangeState range_state(py::handle t) {
    return {py::cast<std::int64_t>(t[py::int_(0)]), py::cast<std::int64_t>(t[py::int_(1)]),
            py::cast<std::int64_t>(t[py::int_(2)]), py::cast<std::int64_t>(t[py::int_(3)]),
            py::cast<double>(t[py::int_(4)]),       py::cast<double>(t[py::int_(5)]),
            py::cast<double>(t[py::int_(6)])};
}

kp::StampRange stamp_range(py::handle t) {
    return {py::cast<std::int64_t>(t[py::int_(0)]), py::cast<std::int64_t>(t[py::int_(1)]),
            py::cast<std::int64_t>(t[py::int_(2)]), py::cast<std::int64_t>(t[py::int_(3)])};
}

// A numeric column's merged range, merged histogram counts and quantiles.
py::dict numeric_from_parts(py::handle np, py::handle part) {
    NumericJob job;
    job.range = range_state(part[py::int_(0)]);
    if (job.range.finite) {
        job.plan = kp::histogram_plan(job.range.lo, job.range.hi, kp::histogram_bins(job.range.finite));
        job.hist.counts = vector_of<std::int64_t>(np, part[py::int_(1)], "int64");
        if (job.hist.counts.size() + 1 != job.plan.edges.size()) {
            PyErr_SetString(PyExc_ValueError, "histogram counts do not fit the merged range");
            throw py::error_already_set();
        }
    }
    job.quantiles = vector_of<double>(np, part[py::int_(2)], "float64");
    if (job.quantiles.size() != std::size(quantile_levels)) {
        PyErr_SetString(PyExc_ValueError, "expected five quantiles");
        throw py::error_already_set();
    }
    return numeric_entry(job);
}

// A coded column's listed levels (keys, counts: by count, ties as the
// in-memory step ranks them), its distinct count and missing cells.
py::dict levels_from_parts(py::handle np, py::handle part, std::size_t rows) {
    py::object keys = part[py::int_(0)];
    const auto counts = vector_of<std::int64_t>(np, part[py::int_(1)], "int64");
    const auto missing = py::cast<std::int64_t>(part[py::int_(3)]);
    if (py::len(keys) != counts.size()) {
        PyErr_SetString(PyExc_ValueError, "listed levels and counts differ in length");
        throw py::error_already_set();
    }
    py::dict entry;
    entry["count"] = py::int_(static_cast<std::int64_t>(rows) - missing);
    entry["missing"] = py::int_(missing);
    entry["distinct"] = py::int_(part[py::int_(2)]);
    py::list top;
    std::int64_t listed = 0;
    for (std::size_t j = 0; j < counts.size(); ++j) {
        top.append(py::make_tuple(pyapi::format(keys[py::int_(j)]), py::int_(counts[j])));
        listed += counts[j];
    }
    entry["top"] = top;
    entry["other"] = py::int_(static_cast<std::int64_t>(rows) - missing - listed);
    return entry;
}

}  // namespace

py::dict page_figures_from_parts(const Input& in, const analysis::Relationships& rel, const analysis::TimeSeries& ts,
                                 py::handle parts) {
    py::object np = in.g("np");
    const auto rows = static_cast<std::size_t>(in.rows);
    py::dict numeric = parts[py::str("numeric")], levels = parts[py::str("levels")],
             datetimes = parts[py::str("datetime")], series = parts[py::str("series")];
    const py::set bool_set(in.bool_cols);
    py::list columns;
    for (py::handle c : in.meta.attr("columns")) {
        py::dict entry = pyapi::guarded(
            [&]() -> py::dict {
                if (pyapi::contains(datetimes, c)) {
                    py::object part = datetimes[c];
                    PeriodJob job;
                    job.range = stamp_range(part[py::int_(0)]);
                    if (job.range.count) {
                        job.plan = kp::period_plan(job.range.lo, job.range.hi, max_periods);
                        job.counts.counts = vector_of<std::int64_t>(np, part[py::int_(1)], "int64");
                        if (job.counts.counts.size() != job.plan.periods) {
                            PyErr_SetString(PyExc_ValueError, "period counts do not fit the merged range");
                            throw py::error_already_set();
                        }
                    }
                    return datetime_entry(in, job, timezone_of(in.column(c)));
                }
                if (pyapi::contains(numeric, c) && !pyapi::contains(bool_set, c))
                    return numeric_from_parts(np, numeric[c]);
                if (pyapi::contains(levels, c)) {
                    py::dict out = levels_from_parts(np, levels[c], rows);
                    out["kind"] = pyapi::contains(bool_set, c) ? "boolean" : "categorical";
                    return out;
                }
                throw py::key_error("no figures of this column");
            },
            [&] {
                // What the passes know of every column: its missing cells.
                py::dict out;
                out["kind"] = "other";
                out["missing"] =
                    pyapi::guarded([&]() -> py::object { return py::int_(in.dist.attr("missing_counts")[c]); },
                                   [] { return py::object(py::none()); });
                return out;
            });
        columns.append(labelled(c, entry));
    }

    py::list targets;
    for (py::handle t : in.target_cols) {
        py::dict entry;
        entry["label"] = t;
        entry["series"] = pyapi::guarded(
            [&]() -> py::object {
                if (ts.ts_df.is_none() || !pyapi::contains(series, t)) return py::none();
                py::object found = series[t];
                if (found.is_none()) return py::none();
                const auto times = vector_of<std::int64_t>(np, found[py::int_(0)], "int64");
                const auto values = vector_of<double>(np, found[py::int_(1)], "float64");
                std::vector<kp::SeriesPoint> points;
                for (std::size_t i = 0; i < times.size() && i < values.size(); ++i)
                    points.push_back({times[i], values[i], static_cast<std::int64_t>(i)});
                const bool by_column =
                    pyapi::truthy(in.datetime_col) && pyapi::contains(in.meta.attr("columns"), in.datetime_col);
                return series_entry(in, points,
                                    timezone_of(by_column ? py::object(in.column(in.datetime_col))
                                                          : py::object(in.meta.attr("index"))));
            },
            [] { return py::object(py::none()); });
        targets.append(entry);
    }

    py::dict out;
    out["columns"] = columns;
    out["targets"] = targets;
    out["correlation"] = correlation_entry(in, rel);
    return out;
}

}  // namespace tamsel::figures
