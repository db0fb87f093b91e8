// The figures of a Dask frame: the driver's passes read every row (or a
// documented sample) and fill a Tables object (src/_profilon_dask/tables.py);
// this reads its fields as the steps' figures. Where a figure is the
// in-memory producer's own on a sample (the correlation matrix, the mutual
// information), that producer runs on the sample frame.
#include <cmath>
#include <utility>

#include "../stats/stats.hpp"
#include "sources.hpp"

namespace tamsel::pipeline {
namespace {

// The driver package sits beside the extension; an installation without it
// simply takes no Dask frames.
py::object driver() {
    PyObject* mod = PyImport_ImportModule("_profilon_dask");
    if (mod) return py::reinterpret_steal<py::object>(mod);
    if (PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        return py::object();
    }
    throw py::error_already_set();
}

// The frame's own DatetimeIndex is the time axis when no usable
// datetime_col is named, as in the in-memory step.
bool has_index_axis(const Input& in) {
    return pyapi::is_instance(in.meta.attr("index"), in.g("pd").attr("DatetimeIndex"));
}

// The methods and module globals the in-memory analysis calls on whole
// columns. A Dask frame's columns are never gathered in one process, so the
// driver computes those figures itself; a replacement would not be called.
void require_own_column_methods(const Input& in) {
    for (const char* name : {"_safe_skew", "_safe_kurtosis", "_iqr_outlier_share", "_correlation_ratio_num_cat",
                             "_leakage_hints_per_target"}) {
        if (!pyapi::own_method(in.self, name)) {
            PyErr_Format(PyExc_TypeError,
                         "%s.%s replaces the library's method, which a Dask DataFrame cannot use: its columns "
                         "are never gathered in one place to call it on; analyse ddf.compute() instead",
                         Py_TYPE(in.self.ptr())->tp_name, name);
            throw py::error_already_set();
        }
    }
    for (auto [global, name] : {std::pair{"scipy_skew", "skew"}, std::pair{"scipy_kurtosis", "kurtosis"}}) {
        if (!stats::is_library_function(in.g(global), "scipy.stats", name)) {
            PyErr_Format(PyExc_TypeError,
                         "profilon.%s is not scipy.stats.%s, and a Dask DataFrame cannot use a replacement: its "
                         "columns are never gathered in one place to call it on; analyse ddf.compute() instead",
                         global, name);
            throw py::error_already_set();
        }
    }
}

// `in` with `sample` for its frame: the in-memory producer then reads the
// sample's rows, and nothing of the Dask path.
Input on_sample(const Input& in, py::object sample) {
    Input s = in;
    s.dist = py::object();
    s.meta = s.df = std::move(sample);
    s.n_rows = py::int_(py::len(s.df));
    s.rows = static_cast<Py_ssize_t>(py::len(s.df));
    return s;
}

// NaN and None pass through as the in-memory producer gives them; every
// number becomes a Python float.
py::object float_or_none(py::handle v) {
    return v.is_none() ? py::reinterpret_borrow<py::object>(v) : py::object(pyapi::to_float(v));
}

class TableFigures final : public FigureSource {
public:
    explicit TableFigures(const Input& in) : in_(in), t_(in.dist) {}

    profile::SchemaFigures schema() override {
        profile::SchemaFigures out;
        if (in_.rows <= 0) {
            out.miss_by_col = py::dict();
            out.miss_total = py::float_(0.0);
            out.rows_with_any_na = py::float_(0.0);
        } else {
            // The same shares in the same column order as the frame's missing
            // mask gives, so the same sort puts them in the same order.
            out.miss_by_col = t_.attr("miss_by_col").attr("sort_values")("ascending"_a = false).attr("to_dict")();
            out.miss_total =
                in_.n_cols.equal(py::int_(0)) ? py::float_(Py_NAN) : pyapi::to_float(t_.attr("miss_total"));
            out.rows_with_any_na = pyapi::to_float(t_.attr("rows_with_any_na"));
        }
        py::object nunique = t_.attr("nunique_by_col");
        py::object py_int = pyapi::builtin(in_.frame.globals(), "int");
        for (py::handle c : in_.meta.attr("columns")) out.nunique_by_col[c] = py_int(nunique[c]);
        py::object as_tuple = pyapi::builtin(in_.frame.globals(), "tuple");
        for (py::handle pair : t_.attr("duplicate_pairs")) out.duplicate_pairs.append(as_tuple(pair));
        py::object rare = t_.attr("rare_share_by_col");
        for (py::handle c : pyapi::head(in_.cat_cols, in_.max_cat_features)) {
            if (pyapi::contains(rare, c)) out.rare_share_by_col[c] = pyapi::to_float(rare[c]);
        }
        return out;
    }

    std::vector<profile::ColumnFigures> column_summaries() override {
        py::object table = t_.attr("column_summaries");
        py::dict by_column = table.is_none() ? py::dict() : py::dict(table.attr("to_dict")("index"));
        std::vector<profile::ColumnFigures> out;
        for (py::handle c : in_.num_cols) {
            py::object row = by_column[c];
            const auto value = [&](const char* key) { return float_or_none(row[py::str(key)]); };
            out.push_back({value("min"), value("median"), value("max"), value("std"), value("skew"), value("kurtosis"),
                           value("outlier_share")});
        }
        return out;
    }

    // The correlation matrix of the correlation sample and the mutual
    // information of the relevance sample, each by the in-memory producer,
    // and the correlation ratios of the passes over every row.
    profile::RelationshipFigures relationships() override {
        py::object corr_sample = t_.attr("corr_sample");
        const Input corr_in = on_sample(in_, corr_sample.is_none() ? in_.meta : corr_sample);
        profile::RelationshipsStart corr_start(corr_in, profile::RelationshipParts::correlation);
        profile::RelationshipFigures out = profile::relationship_figures(corr_in, corr_start);

        py::object mi_sample = t_.attr("mi_sample");
        if (!mi_sample.is_none()) {
            // The sample holds the numeric targets only, each once; the
            // producer walks the targets in order, repeats included.
            Input mi_in = on_sample(in_, mi_sample);
            mi_in.target_cols = in_.numeric_targets;
            profile::RelationshipsStart mi_start(mi_in, profile::RelationshipParts::numeric_relevance);
            out.num_rel_by_target = profile::relationship_figures(mi_in, mi_start).num_rel_by_target;
        }

        // None: no numeric target and categorical column to relate.
        py::object ratios = t_.attr("cat_corr_ratio");
        if (ratios.is_none()) return out;
        py::object cat_subset = pyapi::head(
            in_.cat_cols, pyapi::builtin(in_.frame.globals(), "min")(in_.max_cat_features, py::len(in_.cat_cols)));
        for (py::handle tgt : in_.target_cols) {
            if (!pyapi::contains(ratios, tgt)) continue;
            py::object of_target = ratios[tgt];
            py::dict rel;
            for (py::handle c : cat_subset) {
                py::object val = of_target.attr("get")(c);
                if (!val.is_none()) rel[c] = pyapi::to_float(val);
            }
            if (!rel.empty()) out.cat_rel_by_target[tgt] = rel;
        }
        return out;
    }

    std::vector<diagnostics::TargetFigures> targets() override {
        std::vector<diagnostics::TargetFigures> out;
        py::object moments_by_target = t_.attr("target_moments");
        py::object zero_counts = t_.attr("target_zero_counts");
        for (py::handle tgt : in_.target_cols) {
            py::object moments = moments_by_target[tgt];
            diagnostics::TargetFigures& f = out.emplace_back();
            f.skew = float_or_none(moments[py::str("skew")]);
            f.kurtosis = float_or_none(moments[py::str("kurtosis")]);
            // The mean of the zero-or-missing flags: their count over the rows
            // (both exact in a double, so the one rounding is the mean's).
            f.zero_share = in_.rows == 0
                               ? py::float_(Py_NAN)
                               : py::float_(pyapi::as_double(zero_counts[tgt]) / static_cast<double>(in_.rows));
        }
        return out;
    }

    // The axis facts of the passes over every stamp; each target's series
    // along the axis (its most recent points) for the per-target diagnostics.
    diagnostics::AxisFigures time_axis() override {
        diagnostics::AxisFigures out;
        // None: the request named no axis.
        py::object facts = t_.attr("time_axis");
        if (facts.is_none() || facts[py::str("axis")].is_none()) return out;
        py::object series = t_.attr("ts_series");
        py::dict ts_df = series.is_none() ? py::dict() : py::dict(series);
        if (pyapi::contains(facts, py::str("gathered"))) {
            // A time column the kernel does not read: the analysis' own
            // figures of the column the passes gathered.
            out = diagnostics::axis_figures_of(in_,
                                               diagnostics::along_column(facts[py::str("gathered")], in_.datetime_col));
            if (!out.ts_df.is_none()) out.ts_df = ts_df;
            return out;
        }
        out.ts_df = ts_df;
        out.stamps = py::cast<Py_ssize_t>(facts[py::str("n_rows")]);
        if (out.stamps == 0) return out;
        // pandas' own inference where the passes gathered the stamps for it,
        // else what the kernel read off the gaps.
        out.infer = [&in = in_, facts] {
            py::object stamps = facts[py::str("infer_from")];
            if (!stamps.is_none()) return diagnostics::inferred_alias(in, stamps);
            return diagnostics::reported_alias(py::reinterpret_borrow<py::object>(facts[py::str("inferred_alias")]));
        };
        out.facts.irregular = [facts](bool) {
            return py::reinterpret_borrow<py::object>(facts[py::str("irregular_share")]);
        };
        out.facts.periods = [facts] { return py::int_(facts[py::str("unique_periods")]); };
        out.facts.first = [facts] { return py::reinterpret_borrow<py::object>(facts[py::str("min")]); };
        out.facts.last = [facts] { return py::reinterpret_borrow<py::object>(facts[py::str("max")]); };
        return out;
    }

    // The correlation and identity checks over every row.
    diagnostics::LeakageFigures leakage() override {
        diagnostics::LeakageFigures out;
        if (in_.target_cols.empty()) return out;
        out.candidates = in_.meta.attr("drop")("columns"_a = in_.target_cols, "errors"_a = "ignore").attr("columns");
        py::object hits_by_target = t_.attr("leakage_corr_hits");
        py::object equal_by_target = t_.attr("target_identical_cols");
        for (py::handle tgt : in_.target_cols) {
            if (pyapi::contains(hits_by_target, tgt)) out.correlated[tgt] = py::list(hits_by_target[tgt]);
            out.identical[tgt] = py::list(equal_by_target[tgt]);
        }
        return out;
    }

    // The mutual-information rows are the pandas analysis' own sample and
    // go unmentioned.
    py::list sample_notes() override {
        py::list lines;
        py::object notes = t_.attr("sample_notes");
        if (notes.is_none()) return lines;
        const auto sampled = [](py::handle note) {
            return pyapi::gt(note[py::str("rows_total")], note[py::str("rows_used")]);
        };
        const auto count = [](py::handle note, const char* key) { return pyapi::format(note[py::str(key)], ","); };
        if (pyapi::contains(notes, py::str("correlation"))) {
            py::object note = notes[py::str("correlation")];
            if (sampled(note)) {
                lines.append(pyapi::concat({"Correlation matrix: ", count(note, "rows_used"), " of ",
                                            count(note, "rows_total"), " rows, drawn uniformly (seed 0)"}));
            }
        }
        if (pyapi::contains(notes, py::str("time_series"))) {
            for (auto [tgt, note] : py::dict(notes[py::str("time_series")])) {
                if (!sampled(note)) continue;
                lines.append(pyapi::concat({"Stationarity and autocorrelation of ", pyapi::format(tgt), ": its ",
                                            count(note, "rows_used"), " most recent of ", count(note, "rows_total"),
                                            " points"}));
            }
        }
        return lines;
    }

private:
    const Input& in_;
    py::object t_;
};

}  // namespace

bool is_dask_frame(py::handle df) {
    py::object mod = driver();
    return mod && pyapi::truthy(mod.attr("is_dask_frame")(df));
}

std::unique_ptr<FigureSource> dask_figures(Input& in, py::handle ddf) {
    require_own_column_methods(in);
    py::object mod = driver();
    const bool column_axis =
        pyapi::truthy(in.datetime_col) && pyapi::contains(in.meta.attr("columns"), in.datetime_col);
    py::object request = mod.attr("Request")(
        "targets"_a = in.target_cols, "numeric"_a = in.num_cols, "numeric_features"_a = profile::numeric_features(in),
        "levels"_a = pyapi::head(in.cat_cols, in.max_cat_features), "categorical"_a = in.cat_cols,
        "numeric_targets"_a = in.numeric_targets, "time_col"_a = column_axis ? in.datetime_col : py::none(),
        "has_axis"_a = py::bool_(column_axis || has_index_axis(in)), "freq"_a = in.freq, "datetime"_a = in.dt_cols,
        "boolean"_a = in.bool_cols);
    in.dist = mod.attr("analyse")(ddf, request);
    in.n_rows = in.dist.attr("n_rows");
    in.rows = py::cast<Py_ssize_t>(in.n_rows);
    return std::make_unique<TableFigures>(in);
}

}  // namespace tamsel::pipeline
