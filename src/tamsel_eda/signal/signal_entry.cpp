// EDA.signal_check: argument checks, the time axis, then one record per
// target, assembled into a SignalReport.
#include <cmath>

#include "../kernels/kernels.hpp"
#include "signal.hpp"

namespace tamsel::signal {
namespace {

using namespace detail;
using pyapi::concat;
using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;

[[noreturn]] void raise(PyObject* type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

// The analysis' own checks, with its own errors, so that a call that the
// analysis refuses is refused here in the same words.
void check_frame(const Frame& f, py::handle df) {
    if (pyapi::is_instance(df, f.g("pd").attr("DataFrame"))) return;
    py::str module = pyapi::getattr_or_none(py::type::handle_of(df), "__module__");
    if (PyUnicode_Check(module.ptr()) && pyapi::truthy(module.attr("startswith")("dask"))) {
        raise(PyExc_TypeError,
              pyapi::text("signal_check reads a pandas DataFrame: for a Dask frame, pass a sample of it, "
                          "e.g. ddf.sample(frac=0.01, random_state=0).compute()"));
    }
    PyErr_SetNone(PyExc_AssertionError);
    throw py::error_already_set();
}

// Target names as the analysis resolves them, each once; names that are not
// columns get a note instead of being dropped silently.
py::list resolve_targets(py::handle df, py::handle target, py::list& notes) {
    py::object columns = df.attr("columns");
    py::list given;
    if (target.is_none()) {
        // nothing
    } else if (PyUnicode_Check(target.ptr())) {
        given.append(target);
    } else if (PyList_Check(target.ptr()) || PyTuple_Check(target.ptr()) || PySet_Check(target.ptr())) {
        given = py::list(py::reinterpret_borrow<py::object>(target));
    } else {
        raise(PyExc_TypeError, pyapi::text("target must be None, str, or list/tuple/set of str"));
    }
    py::list out;
    for (py::handle t : given) {
        if (!pyapi::contains(columns, t)) {
            notes.append(concat({"target ", py::repr(t), " is not a column of the frame"}));
        } else if (!pyapi::contains(out, t)) {
            out.append(t);
        }
    }
    if (given.empty()) {
        notes.append(pyapi::text("no target was given: name one or more numeric columns with target="));
    }
    return out;
}

void require_unique_labels(py::handle df) {
    py::object columns = df.attr("columns");
    if (pyapi::truthy(columns.attr("is_unique"))) return;
    py::object dup = columns[columns.attr("duplicated")("keep"_a = false)].attr("unique")().attr("tolist")();
    raise(PyExc_ValueError, concat({"column labels must be unique; duplicated: ", pyapi::format(dup)}));
}

// An integer setting (anything with __index__, NumPy's integers included;
// not a bool) within its bounds, as a Python int.
py::int_ int_setting(const char* name, py::handle value, long long minimum, long long maximum) {
    PyObject* index = PyBool_Check(value.ptr()) ? nullptr : PyNumber_Index(value.ptr());
    if (!index) {
        // Only "not an integer" is replaced; anything else __index__ raised
        // is the caller's own error.
        if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        raise(PyExc_TypeError, concat({name, " must be an integer, not ", py::repr(value)}));
    }
    py::int_ v = py::reinterpret_steal<py::int_>(index);
    if (pyapi::gt(py::int_(minimum), v)) {
        raise(PyExc_ValueError,
              concat({name, " must be at least ", pyapi::format(py::int_(minimum)), ", not ", py::repr(value)}));
    }
    if (pyapi::gt(v, py::int_(maximum))) {
        raise(PyExc_ValueError,
              concat({name, " must be at most ", pyapi::format(py::int_(maximum)), ", not ", py::repr(value)}));
    }
    return v;
}

// The time axis: a column read as dates. Anything else leaves shuffled folds
// and a note that says why.
TimeAxis time_axis(const Frame& f, py::handle df, py::handle datetime_col, py::list& notes) {
    TimeAxis axis;
    if (datetime_col.is_none()) return axis;
    if (!pyapi::contains(df.attr("columns"), datetime_col)) {
        notes.append(concat({"datetime_col ", py::repr(datetime_col),
                             " is not a column of the frame: the folds are shuffled, not time-ordered"}));
        return axis;
    }
    py::object stamps = pyapi::guarded(
        [&]() -> py::object {
            // pandas' note that it parses text element by element is not for
            // the caller: a column that is no dates gets a note of ours.
            py::module_ warnings = py::module_::import("warnings");
            py::object quiet = warnings.attr("catch_warnings")();
            quiet.attr("__enter__")();
            py::object s;
            try {
                warnings.attr("simplefilter")("ignore", py::handle(PyExc_UserWarning));
                s = f.g("pd").attr("to_datetime")(df[datetime_col]);
            } catch (...) {
                quiet.attr("__exit__")(py::none(), py::none(), py::none());
                throw;
            }
            quiet.attr("__exit__")(py::none(), py::none(), py::none());
            // Instants in one zone sort like their UTC times.
            if (!s.attr("dt").attr("tz").is_none()) s = s.attr("dt").attr("tz_convert")(py::none());
            return s;
        },
        [] { return py::object(); });
    if (!stamps) {
        notes.append(concat({"datetime_col ", py::repr(datetime_col),
                             " could not be read as dates: the folds are shuffled, not time-ordered"}));
        return axis;
    }
    axis.label = py::reinterpret_borrow<py::object>(datetime_col);
    axis.stamps = stamps;
    return axis;
}

// Sets scikit-learn's thread pools for the duration of a check: OpenMP (the
// boosted model) as many threads as profilon's own work may use, BLAS one,
// so that the linear algebra of the ridge fits cannot depend on the count.
class ThreadLimits {
public:
    ThreadLimits() {
        py::object limits = py::module_::import("threadpoolctl").attr("threadpool_limits");
        blas_ = limits("limits"_a = 1, "user_api"_a = "blas");
        try {
            openmp_ = limits("limits"_a = kernels::thread_count(), "user_api"_a = "openmp");
        } catch (...) {
            pyapi::guarded_void([&] { blas_.attr("restore_original_limits")(); });
            throw;
        }
    }
    ThreadLimits(const ThreadLimits&) = delete;
    ThreadLimits& operator=(const ThreadLimits&) = delete;
    // The normal way out: a failure to restore is the caller's error.
    void restore() {
        done_ = true;
        openmp_.attr("restore_original_limits")();
        blas_.attr("restore_original_limits")();
    }
    // On the way out of an error: nothing may replace the error in flight
    // (and nothing may escape a destructor).
    ~ThreadLimits() {
        if (done_) return;
        try {
            restore();
        } catch (...) {
            PyErr_Clear();
        }
    }

private:
    py::object blas_;
    py::object openmp_;
    bool done_ = false;
};

py::object r2_value(double x) {
    if (std::isnan(x)) return py::none();
    return py::float_(x);
}

py::list ranked_features(const Frame& f, const Design& d, const Baselines& b) {
    py::list pairs;
    double total = 0.0;
    const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(d.features));
    for (Py_ssize_t j = 0; j < n; ++j) {
        const double v = pyapi::as_double(b.importance[py::int_(j)]);
        total += std::fmax(0.0, v);
        pairs.append(py::make_tuple(j, py::float_(v)));
    }
    py::list out;
    for (py::handle item : pyapi::head(pyapi::sorted_by_value_desc(f.globals(), pairs), top_features)) {
        const Py_ssize_t j = py::cast<Py_ssize_t>(item[py::int_(0)]);
        const double v = pyapi::as_double(item[py::int_(1)]);
        py::dict entry;
        entry["feature"] = d.features[j];
        entry["importance"] = py::float_(v);
        entry["share"] = total > 0.0 ? py::object(py::float_(std::fmax(0.0, v) / total)) : py::none();
        entry["r2_alone"] = b.alone_r2[py::int_(j)];
        out.append(entry);
    }
    return out;
}

py::dict empty_record(bool time_ordered) {
    py::dict r;
    r["verdict"] = py::none();
    r["reason"] = py::none();
    for (const char* key :
         {"r2_linear", "r2_boosted", "r2_chance_mean", "r2_chance_std", "chance_level", "margin", "nonlinear_gain"}) {
        r[key] = py::none();
    }
    r["split"] = time_ordered ? "time-ordered" : "shuffled";
    r["chance_method"] = time_ordered ? "time shift" : "permutation";
    r["folds"] = py::none();
    r["rows_used"] = py::none();
    r["rows_available"] = py::none();
    r["n_features"] = py::none();
    r["top_features"] = py::list();
    r["leakage_warning"] = py::none();
    r["leakage_features"] = py::list();
    r["seconds"] = py::none();
    return r;
}

py::dict check_target(const Frame& f, py::handle df, py::handle target, py::handle excluded, const TimeAxis& time,
                      const Settings& s) {
    const bool time_ordered = static_cast<bool>(time.stamps);
    py::dict r = empty_record(time_ordered);
    py::object reason = unusable_target(f, df, target);
    if (reason) {
        r["reason"] = reason;
        return r;
    }
    Design d = design(f, df, target, excluded, time, s);
    r["rows_used"] = py::int_(d.rows_used);
    r["rows_available"] = py::int_(d.rows_available);
    r["n_features"] = py::int_(py::len(d.features));
    reason = unusable_sample(d, s);
    if (reason) {
        r["reason"] = reason;
        return r;
    }
    py::list folds = splits(d, time_ordered, s);
    Baselines b = baselines(f, d, folds, time_ordered, s);
    Reading reading = read(d, b);
    r["verdict"] = reading.verdict;
    r["reason"] = reading.reason;
    r["r2_linear"] = r2_value(b.linear.mean);
    r["r2_boosted"] = r2_value(b.boosted.mean);
    r["r2_chance_mean"] = r2_value(chance_mean(b));
    r["r2_chance_std"] = r2_value(chance_std(b));
    r["chance_level"] = r2_value(chance_level(b));
    r["margin"] = r2_value(chance_margin(b));
    r["nonlinear_gain"] = r2_value(b.boosted.mean - b.linear.mean);
    r["folds"] = py::int_(py::len(folds));
    r["top_features"] = ranked_features(f, d, b);
    r["leakage_warning"] = reading.leakage_warning;
    r["leakage_features"] = reading.leakage_features;
    return r;
}

py::object signal_check(const Frame& f) {
    py::handle df = f.arg(1);
    check_frame(f, df);
    py::list notes;
    py::list targets = resolve_targets(df, f.arg(2), notes);
    require_unique_labels(df);
    Settings s;
    s.sample_rows = py::cast<Py_ssize_t>(int_setting("sample_rows", f.arg(4), 1, PY_SSIZE_T_MAX));
    s.folds = py::cast<Py_ssize_t>(int_setting("folds", f.arg(5), 2, 1000));
    s.chance_repeats = py::cast<Py_ssize_t>(int_setting("chance_repeats", f.arg(6), 2, 1000));
    s.seed = int_setting("seed", f.arg(7), 0, 4294967295LL);  // what NumPy's legacy seeding accepts
    TimeAxis time = time_axis(f, df, f.arg(3), notes);

    // Every target and the time axis are never features of any target.
    py::list excluded = targets.attr("copy")();
    if (time.label) excluded.append(time.label);

    // The command's progress lines: when the module global _signal_clock
    // holds a callable, it is called with each target, its position and the
    // count before the target is checked.
    PyObject* found = PyDict_GetItemString(f.globals().ptr(), "_signal_clock");
    py::object hook = found ? py::reinterpret_borrow<py::object>(found) : py::none();
    py::object clock = py::module_::import("time").attr("perf_counter");
    py::dict records;
    {
        ThreadLimits limits;
        Py_ssize_t i = 0;
        for (py::handle target : targets) {
            ++i;
            if (!hook.is_none()) hook(target, i, py::len(targets));
            const double start = pyapi::as_double(clock());
            py::dict r = check_target(f, df, target, excluded, time, s);
            r["seconds"] = pyapi::round_to(py::float_(pyapi::as_double(clock()) - start), 2);
            records[target] = r;
        }
        limits.restore();
    }
    py::dict settings;
    settings["sample_rows"] = py::int_(s.sample_rows);
    settings["folds"] = py::int_(s.folds);
    settings["chance_repeats"] = py::int_(s.chance_repeats);
    settings["seed"] = s.seed;
    settings["time_axis"] = time.label ? time.label : py::none();
    // The class is the function's own, as a closure would hold it: the
    // module namespace keeps exactly its published names.
    py::object report_type = f.function().attr("__dict__")["_report_class"];
    return report_type("targets"_a = records, "notes"_a = notes, "settings"_a = settings);
}

constexpr const char* doc =
    "Whether each numeric target can be predicted from the features at all: a ridge baseline and a gradient\n"
    "boosting baseline, cross-validated on a seeded sample of rows (shuffled folds; time-ordered folds with\n"
    "datetime_col), against the boosted model's R\u00b2 on the target with its link to the features broken\n"
    "(permuted, or shifted in time). Returns a report with a verdict per target: strong, weak or none.";

constexpr Param params[] = {
    {"self"},
    {"df", ParamKind::positional_or_keyword, "DataFrame"},
    {"target", ParamKind::keyword_only, "Optional[Union[str, List[str]]]", "None"},
    {"datetime_col", ParamKind::keyword_only, "Optional[str]", "None"},
    {"sample_rows", ParamKind::keyword_only, "int", "30000"},
    {"folds", ParamKind::keyword_only, "int", "5"},
    {"chance_repeats", ParamKind::keyword_only, "int", "2"},
    {"seed", ParamKind::keyword_only, "int", "0"},
};

constexpr MethodDef table[] = {
    {"signal_check", params, "'SignalReport'", doc, signal_check},
};

}  // namespace

std::span<const MethodDef> entry_methods() { return table; }

}  // namespace tamsel::signal
