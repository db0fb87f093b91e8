// EDA.compare: the sides, the schema difference, every common column's
// figures and verdict, the whole-dataset figures, the suitability of each
// side per target, and the report. Neither input is modified: the sides are
// read, sliced into new frames or sampled, never written.
#include "../analysis/analysis.hpp"
#include "../pipeline/pipeline.hpp"
#include "compare.hpp"

namespace tamsel::compare {
namespace {

using pyapi::Frame;
using pyapi::MethodDef;
using pyapi::Param;
using pyapi::ParamKind;

[[noreturn]] void fail(PyObject* type, py::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

bool is_dask(py::handle df) { return pipeline::is_dask_frame(df); }

bool is_pandas(const Frame& f, py::handle df) { return pyapi::is_instance(df, f.g("pd").attr("DataFrame")); }

bool is_path(py::handle x) {
    if (PyUnicode_Check(x.ptr())) return true;
    py::object os = pyapi::steal_or_throw(PyImport_ImportModule("os"));
    return pyapi::is_instance(x, os.attr("PathLike"));
}

void require_unique_labels(py::handle df, const char* side) {
    py::object columns = df.attr("columns");
    if (pyapi::truthy(columns.attr("is_unique"))) return;
    py::object dup = columns[columns.attr("duplicated")("keep"_a = false)].attr("unique")().attr("tolist")();
    fail(PyExc_ValueError,
         pyapi::concat({"column labels of the ", side, " side must be unique; duplicated: ", pyapi::format(dup)}));
}

struct Sides {
    Side ref, cur;
    py::list notes;
};

// One frame cut by its time axis: the rows before the cut are the
// reference, the rest the current side. A row without a stamp is on neither.
std::pair<py::object, py::object> split_by_time(const Frame& f, py::handle df, py::handle datetime_col,
                                                py::handle split_at, py::handle recent_share, bool dask,
                                                py::list& notes) {
    if (datetime_col.is_none()) {
        fail(PyExc_ValueError, pyapi::text("without a current frame, compare needs datetime_col to split the "
                                           "reference by its time axis"));
    }
    if (split_at.is_none() == recent_share.is_none()) {
        fail(PyExc_ValueError, pyapi::text("without a current frame, give exactly one of split_at (a time) and "
                                           "recent_share (the last share of the time span)"));
    }
    if (!pyapi::contains(df.attr("columns"), datetime_col)) {
        fail(PyExc_ValueError,
             pyapi::concat({"datetime_col ", pyapi::format(py::repr(datetime_col)), " is not a column of the frame"}));
    }
    py::object s = df[datetime_col];
    py::object pd = f.g("pd");
    if (!pyapi::truthy(pd.attr("api").attr("types").attr("is_datetime64_any_dtype")(s.attr("dtype")))) {
        fail(PyExc_ValueError, pyapi::concat({"datetime_col ", pyapi::format(py::repr(datetime_col)),
                                              " must hold datetimes to split the frame by time"}));
    }
    py::object cut;
    if (!split_at.is_none()) {
        cut = pd.attr("Timestamp")(split_at);
    } else {
        const double share = pyapi::as_double(recent_share);
        if (!(share > 0 && share < 1)) {
            fail(PyExc_ValueError, pyapi::text("recent_share must lie strictly between 0 and 1"));
        }
        py::object lo = s.attr("min")(), hi = s.attr("max")();
        if (dask) {
            lo = lo.attr("compute")();
            hi = hi.attr("compute")();
        }
        if (pyapi::truthy(pd.attr("isna")(lo))) {
            fail(PyExc_ValueError, pyapi::text("datetime_col holds no time stamp to split the frame by"));
        }
        cut = hi - (hi - lo) * py::float_(share);
    }
    py::object before = pyapi::compare(s, cut, Py_LT);
    py::object from = pyapi::compare(s, cut, Py_GE);
    notes.append(pyapi::concat({"one frame split by ", pyapi::format(py::repr(datetime_col)), ": rows before ",
                                pyapi::format(cut),
                                " are the reference, the rest the current side; rows "
                                "without a time stamp are on neither side"}));
    return {df[before], df[from]};
}

Sides read_sides(const Frame& f, py::handle reference, py::handle current, py::handle datetime_col, py::handle split_at,
                 py::handle recent_share) {
    Sides out;
    const bool ref_dask = is_dask(reference);
    const bool ref_frame = ref_dask || is_pandas(f, reference);
    if (!ref_frame && !is_path(reference)) {
        fail(PyExc_TypeError, pyapi::text("reference must be a pandas or Dask DataFrame or the path of a saved "
                                          "reference"));
    }
    if (current.is_none()) {
        if (!ref_frame) {
            fail(PyExc_ValueError, pyapi::text("a saved reference cannot be split by time; give a current frame"));
        }
        require_unique_labels(reference, "reference");
        auto [before, from] = split_by_time(f, reference, datetime_col, split_at, recent_share, ref_dask, out.notes);
        out.ref = read_frame(f, before, ref_dask);
        out.cur = read_frame(f, from, ref_dask);
        return out;
    }
    if (!split_at.is_none() || !recent_share.is_none()) {
        fail(PyExc_ValueError, pyapi::text("split_at and recent_share split one frame; with a current frame, "
                                           "leave them out"));
    }
    const bool cur_dask = is_dask(current);
    if (!cur_dask && !is_pandas(f, current)) {
        fail(PyExc_TypeError, pyapi::text("current must be a pandas or Dask DataFrame"));
    }
    require_unique_labels(current, "current");
    if (ref_frame) {
        require_unique_labels(reference, "reference");
        out.ref = read_frame(f, reference, ref_dask);
    } else {
        out.ref = read_saved(f, reference);
        out.notes.append(pyapi::concat({"the reference is the saved reference ", pyapi::format(py::repr(reference)),
                                        "; numeric figures of a column saved as quantiles carry the error bound "
                                        "given with them"}));
    }
    out.cur = read_frame(f, current, cur_dask);
    return out;
}

py::list resolve_targets(py::handle target, const Sides& s) {
    py::list out;
    if (target.is_none()) return out;
    if (PyUnicode_Check(target.ptr())) {
        out.append(target);
    } else if (PyList_Check(target.ptr()) || PyTuple_Check(target.ptr())) {
        for (py::handle t : target) out.append(t);
    } else {
        fail(PyExc_TypeError, pyapi::text("target must be None, a column name or a list of column names"));
    }
    for (py::handle t : out) {
        for (const Side* side : {&s.ref, &s.cur}) {
            if (!pyapi::contains(side->labels, t)) {
                fail(PyExc_ValueError, pyapi::concat({"target ", pyapi::format(py::repr(t)), " is not a column of the ",
                                                      side == &s.ref ? "reference" : "current", " side"}));
            }
        }
    }
    return out;
}

Py_ssize_t index_of(const Side& side, py::handle label) {
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(py::len(side.labels)); ++i) {
        if (pyapi::eq(side.labels[i], label)) return i;
    }
    return -1;
}

// An ordinary exception's text, for a figure that could not be computed;
// anything else (KeyboardInterrupt) propagates.
template <class Body>
py::object or_reason(Body&& body, py::object& reason) {
    try {
        return body();
    } catch (py::error_already_set& e) {
        if (!pyapi::is_ordinary(e)) throw;
        reason = pyapi::concat({pyapi::text(Py_TYPE(e.value().ptr())->tp_name), ": ", py::str(e.value())});
        return py::none();
    }
}

// The analysis of one side, as the comparison reads it: the overall score,
// the 13 components, and per target the score, the components and each
// feature's relevance (the analysis' mutual information of numeric features
// and correlation ratio of categorical ones).
py::dict side_suitability(const Frame& f, const Side& side, py::list targets, py::handle datetime_col,
                          py::handle freq) {
    if (side.frame.is_none()) {
        py::object saved = side.saved.attr("get")("suitability");
        if (saved.is_none()) {
            py::dict out;
            out["error"] = "the saved reference holds no suitability figures";
            return out;
        }
        return py::reinterpret_borrow<py::dict>(saved);
    }
    py::dict out;
    py::object reason = py::none();
    py::object report = or_reason(
        [&] {
            const bool has_dt = !datetime_col.is_none() && pyapi::contains(side.labels, datetime_col);
            return f.self().attr("eda_report_and_score")(
                side.frame, "target"_a = targets.empty() ? py::object(py::none()) : py::object(targets),
                "datetime_col"_a = has_dt ? datetime_col : py::none(), "freq"_a = freq);
        },
        reason);
    out["error"] = reason;
    if (report.is_none()) return out;
    out["score"] = report.attr("suitability_score");
    out["components"] = f.g("asdict")(report.attr("score_breakdown"));
    py::object by_target = report.attr("suitability_score_by_target");
    py::object comps = report.attr("score_breakdown_by_target");
    out["by_target"] = by_target.is_none() ? py::dict() : py::dict(by_target);
    out["components_by_target"] = comps.is_none() ? py::dict() : py::dict(comps);
    py::dict relevance;
    py::object rel = report.attr("relationships");
    for (py::handle t : targets) {
        py::dict weights;
        for (const char* key : {"mutual_information_top_by_target", "cat_corr_ratio_top_by_target"}) {
            py::object per = rel.attr("get")(key);
            if (per.is_none()) continue;
            py::object mine = per.attr("get")(t);
            if (mine.is_none()) continue;
            for (auto [feature, value] : py::reinterpret_borrow<py::dict>(mine)) weights[feature] = value;
        }
        relevance[t] = weights;
    }
    out["relevance"] = relevance;
    return out;
}

py::object difference(py::handle a, py::handle b) {
    if (a.is_none() || b.is_none()) return py::none();
    return py::float_(pyapi::as_double(b) - pyapi::as_double(a));
}

py::object get_or_none(py::handle mapping, py::handle key) {
    if (mapping.is_none()) return py::none();
    return mapping.attr("get")(key);
}

py::dict component_differences(py::handle ref, py::handle cur) {
    py::dict out;
    if (ref.is_none() || cur.is_none()) return out;
    for (auto [name, value] : py::reinterpret_borrow<py::dict>(ref))
        out[name] = difference(value, cur.attr("get")(name));
    return out;
}

// Share of the tested features that drifted, each weighted (1 for the plain
// share); None when no tested feature carries weight.
py::object drift_share(const py::dict& columns, const py::list& features, py::handle weights) {
    double total = 0, drifted = 0;
    for (py::handle c : features) {
        py::object verdict = columns[c]["drifted"];
        if (verdict.is_none()) continue;
        double w = 1;
        if (!weights.is_none()) {
            py::object v = weights.attr("get")(c);
            w = v.is_none() ? 0.0 : pyapi::as_double(v);
        }
        if (!(w > 0)) continue;
        total += w;
        if (pyapi::truthy(verdict)) drifted += w;
    }
    return total > 0 ? py::object(py::float_(drifted / total)) : py::none();
}

// bench/ times the comparison's parts inside the real call through the
// analysis' hook: when the module global _step_clock holds a callable, it is
// called with "compare_read", "compare_figures", "compare_suitability",
// "compare_classifier" as each part begins and "compare_end" after the
// report is built (the analyses of the sides call it with their own steps
// in between).
class CompareClock {
public:
    explicit CompareClock(py::handle globals) {
        PyObject* hook = PyDict_GetItemString(globals.ptr(), "_step_clock");
        if (hook && hook != Py_None) hook_ = py::reinterpret_borrow<py::object>(hook);
    }
    void operator()(const char* part) const {
        if (hook_) hook_(part);
    }

private:
    py::object hook_;
};

py::object compare_body(const Frame& f) {
    const CompareClock clock(f.globals());
    clock("compare_read");
    py::handle reference = f.arg(1), current = f.arg(2), target = f.arg(3), datetime_col = f.arg(4), freq = f.arg(5),
               split_at = f.arg(6), recent_share = f.arg(7), seed = f.arg(8);
    Sides s = read_sides(f, reference, current, datetime_col, split_at, recent_share);
    py::list targets = resolve_targets(target, s);

    clock("compare_figures");
    py::list added, removed, type_changed, common;
    for (py::handle c : s.cur.labels) {
        if (index_of(s.ref, c) < 0) added.append(c);
    }
    for (py::handle c : s.ref.labels) {
        if (index_of(s.cur, c) < 0) {
            removed.append(c);
        } else {
            common.append(c);
        }
    }
    py::dict columns;
    py::list drifted, features, classifier_columns;
    for (py::handle c : common) {
        const Column& rc = s.ref.columns[static_cast<std::size_t>(index_of(s.ref, c))];
        const Column& cc = s.cur.columns[static_cast<std::size_t>(index_of(s.cur, c))];
        if (!pyapi::eq(rc.dtype, cc.dtype)) {
            py::dict change;
            change["column"] = c;
            change["reference"] = rc.dtype;
            change["current"] = cc.dtype;
            type_changed.append(change);
        }
        py::dict fig = column_figures(f, rc, cc);
        fig["dtype_reference"] = rc.dtype;
        fig["dtype_current"] = cc.dtype;
        columns[c] = fig;
        if (pyapi::truthy(fig["drifted"])) drifted.append(c);
        const bool is_target = pyapi::contains(targets, c);
        const bool is_time = !datetime_col.is_none() && pyapi::eq(c, datetime_col);
        if (!is_target && !is_time) features.append(c);
        if (!is_time && rc.kind == cc.kind && (rc.kind == "numeric" || rc.kind == "categorical")) {
            classifier_columns.append(c);
        }
    }

    // What save_reference writes comes from the states, which are released
    // now: the analyses of the sides run next, on frames that may be large,
    // and need the memory more.
    py::dict profile = s.ref.frame.is_none() ? s.ref.saved : reference_profile(f, s.ref, py::dict());
    for (Side* side : {&s.ref, &s.cur}) {
        for (Column& c : side->columns) c.values = kernels::drift::ValueCounts{};
    }

    clock("compare_suitability");
    py::dict ref_suit = side_suitability(f, s.ref, targets, datetime_col, freq);
    py::dict cur_suit = side_suitability(f, s.cur, targets, datetime_col, freq);
    py::dict suitability;
    suitability["reference"] = ref_suit.attr("get")("score");
    suitability["current"] = cur_suit.attr("get")("score");
    suitability["difference"] = difference(suitability["reference"], suitability["current"]);
    suitability["components_reference"] = ref_suit.attr("get")("components");
    suitability["components_current"] = cur_suit.attr("get")("components");
    suitability["component_differences"] =
        component_differences(ref_suit.attr("get")("components"), cur_suit.attr("get")("components"));
    suitability["reference_error"] = ref_suit.attr("get")("error");
    suitability["current_error"] = cur_suit.attr("get")("error");

    py::dict per_target;
    for (py::handle t : targets) {
        py::dict entry;
        py::dict shift = columns[t];
        entry["shift"] = shift;
        entry["drifted"] = shift["drifted"];
        py::object r = get_or_none(ref_suit.attr("get")("by_target"), t);
        py::object c = get_or_none(cur_suit.attr("get")("by_target"), t);
        entry["suitability_reference"] = r;
        entry["suitability_current"] = c;
        entry["suitability_difference"] = difference(r, c);
        py::object rc = get_or_none(ref_suit.attr("get")("components_by_target"), t);
        py::object cc = get_or_none(cur_suit.attr("get")("components_by_target"), t);
        entry["components_reference"] = rc;
        entry["components_current"] = cc;
        entry["component_differences"] = component_differences(rc, cc);
        py::object weights = get_or_none(ref_suit.attr("get")("relevance"), t);
        entry["weighted_drift_share"] =
            weights.is_none() ? py::object(py::none()) : drift_share(columns, features, weights);
        py::list relevant_drifted;
        if (!weights.is_none()) {
            for (py::handle c2 : features) {
                py::object w = weights.attr("get")(c2);
                if (!w.is_none() && pyapi::as_double(w) > 0 && pyapi::truthy(columns[c2]["drifted"])) {
                    relevant_drifted.append(c2);
                }
            }
        }
        entry["relevant_drifted_features"] = relevant_drifted;
        per_target[t] = entry;
    }

    clock("compare_classifier");
    // The classifier is a figure like the others: if scikit-learn refuses
    // the sample (a dtype it cannot take, say), the report says so instead
    // of failing the whole comparison.
    py::object classifier_error = py::none();
    py::object classifier = or_reason(
        [&]() -> py::object { return domain_classifier(f, s.ref, s.cur, classifier_columns, seed); }, classifier_error);
    if (classifier.is_none()) {
        py::dict failed;
        failed["auc"] = py::none();
        failed["top_columns"] = py::list();
        failed["column_importance"] = py::dict();
        failed["rows_per_side"] = py::none();
        failed["reason"] = pyapi::concat({"the classifier failed: ", py::str(classifier_error)});
        classifier = failed;
    }

    py::object cls = f.function().attr("__dict__")["_report_class"];
    py::object report =
        cls("reference_rows"_a = py::int_(s.ref.rows), "current_rows"_a = py::int_(s.cur.rows),
            "columns_added"_a = added, "columns_removed"_a = removed, "columns_type_changed"_a = type_changed,
            "drifted_columns"_a = drifted, "drift_share"_a = drift_share(columns, features, py::none()),
            "columns"_a = columns, "domain_classifier"_a = classifier, "targets"_a = per_target,
            "suitability"_a = suitability, "notes"_a = s.notes);
    // Not a field: what save_reference writes (the reference side's states
    // and its suitability figures), which to_dict leaves out.
    if (!s.ref.frame.is_none()) {
        profile["targets"] = targets;
        profile["suitability"] = ref_suit;
    }
    report.attr("_reference_profile") = profile;
    clock("compare_end");
    return report;
}

constexpr const char* doc =
    "Compare a reference dataset with a current one: per-column drift figures and verdicts, the schema "
    "difference, a domain classifier, and the suitability of each side per target.";

constexpr Param params[] = {
    {"self"},
    {"reference", ParamKind::positional_or_keyword, "Any"},
    {"current", ParamKind::positional_or_keyword, "Any", "None"},
    {"target", ParamKind::keyword_only, "Optional[Union[str, List[str]]]", "None"},
    {"datetime_col", ParamKind::keyword_only, "Optional[str]", "None"},
    {"freq", ParamKind::keyword_only, "Optional[str]", "None"},
    {"split_at", ParamKind::keyword_only, "Any", "None"},
    {"recent_share", ParamKind::keyword_only, "Optional[float]", "None"},
    {"seed", ParamKind::keyword_only, "int", "0"},
};

constexpr MethodDef table[] = {
    {"compare", params, "Any", doc, compare_body},
};

}  // namespace

std::span<const MethodDef> compare_methods() { return table; }

}  // namespace tamsel::compare
