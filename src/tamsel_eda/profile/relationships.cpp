// Relationship profile: the correlation matrix and its share of strong
// pairs, numeric relevance per target (mutual information, Spearman
// fallback) and categorical relevance per target (correlation ratio).
#include <exception>
#include <utility>
#include <vector>

#include "../kernels/rules.hpp"
#include "../pyapi/column_views.hpp"
#include "../pyapi/declines.hpp"
#include "mi_native.hpp"
#include "profile.hpp"

namespace tamsel::profile {

using analysis::Relationships;

namespace {

constexpr Py_ssize_t relevance_sample_rows = rules::relevance_sample_rows;

bool is_numeric_dtype(const Input& in, py::handle s) {
    return pyapi::truthy(in.g("pd").attr("api").attr("types").attr("is_numeric_dtype")(s));
}

// df[num_cols] copies every numeric column before corr() builds its own
// float matrix from them, so on a long frame the copy alone is as large as
// the numeric data. When the numeric part of df is exactly num_cols, in
// order, corr() over it pairs the same columns with the same values and
// gives the same matrix without that copy. Any other outcome (other columns,
// an error) takes the plain selection, whose own error is what the guard of
// the caller sees.
py::object library_correlation(const Input& in) {
    py::object direct = pyapi::guarded(
        [&]() -> py::object {
            py::object m = in.df.attr("corr")("method"_a = in.corr_method, "numeric_only"_a = true);
            if (pyapi::eq(py::list(m.attr("columns")), in.num_cols)) return m;
            return py::object();
        },
        [] { return py::object(); });
    if (direct) return direct;
    return in.df[in.num_cols].attr("corr")("method"_a = in.corr_method);
}

void correlation(const Input& in, std::unique_ptr<Pending>& native, RelationshipFigures& out) {
    py::object pd = in.g("pd");
    out.corr_df = pd.attr("DataFrame")();
    pyapi::guarded_void([&] {
        if (py::len(in.num_cols) < 2) return;
        py::object m;
        if (native) m = pyapi::guarded([&] { return native->finish(); }, [] { return py::object(); });
        out.corr_df = m ? m : library_correlation(in);
    });
    // A failed corr() never assigns, so the empty frame stands.
}

// The rows pandas' X.sample(8000, random_state=0) draws, as positions: the
// draw depends only on the number of rows, and positions select the same
// rows of X and of the target even when row labels repeat (selecting the
// target by label would then return extra rows).
py::object sample_positions(const Input& in, Py_ssize_t n) {
    py::object positions = in.g("pd").attr("Series")(in.g("np").attr("arange")(n));
    return positions.attr("sample")(relevance_sample_rows, "random_state"_a = rules::relevance_sample_seed)
        .attr("to_numpy")();
}

py::dict spearman_fallback(const Input& in, py::handle Xs, py::handle ys, py::handle cols) {
    py::dict rel;
    pyapi::guarded_void([&] {
        py::object to_numeric = in.g("pd").attr("to_numeric");
        py::object spearman_abs = in.method("_spearman_abs");
        py::object y_vals;
        for (py::handle c : cols) {
            if (!y_vals) y_vals = to_numeric(ys, "errors"_a = "coerce").attr("values");
            py::object x_vals = to_numeric(Xs[c], "errors"_a = "coerce").attr("values");
            py::object r = spearman_abs(x_vals, y_vals);
            if (!r.is_none()) rel[c] = r;
        }
    });
    return rel;
}

// Positions of the columns meta.drop(columns=targets, errors="ignore")
// .select_dtypes(include=[np.number]) keeps, found without copying a column:
// the drop runs on a one-row frame under meta's column labels whose cells
// are the column positions (so labels, duplicates included, are matched
// exactly as the drop matches them), the dtype selection on meta's empty
// head under positional labels.
py::object numeric_feature_positions(const Input& in) {
    py::object pd = in.g("pd"), np = in.g("np");
    py::list number;
    number.append(np.attr("number"));
    py::object columns = in.meta.attr("columns");
    const Py_ssize_t k = static_cast<Py_ssize_t>(py::len(columns));
    py::object marks = pd.attr("DataFrame")(np.attr("arange")(k).attr("reshape")(1, k), "columns"_a = columns);
    py::object kept =
        marks.attr("drop")("columns"_a = in.target_cols, "errors"_a = "ignore").attr("to_numpy")().attr("reshape")(-1);
    py::object head = in.meta.attr("iloc")[py::slice(0, 0, 1)].attr("set_axis")(pd.attr("RangeIndex")(k), "axis"_a = 1);
    py::object numeric = head.attr("select_dtypes")("include"_a = number).attr("columns").attr("to_numpy")();
    return kept[np.attr("isin")(kept, numeric)];
}

py::dict scores_of(const Input& in, py::handle cols, py::handle mi_vals) {
    py::object zip = pyapi::builtin(in.frame.globals(), "zip");
    py::dict scores;
    for (py::handle pair : zip(cols, mi_vals)) {
        py::tuple cv = py::reinterpret_borrow<py::tuple>(pair);
        scores[cv[0]] = pyapi::to_float(py::object(cv[1]));
    }
    return scores;
}

}  // namespace

py::list numeric_features(const Input& in) {
    return in.meta.attr("columns").attr("take")(numeric_feature_positions(in)).attr("tolist")();
}

// One target's relevance: its scores already, or the kernel computing them,
// or neither (the estimate failed: the Spearman fallback's turn).
struct TargetRelevance {
    py::object tgt, ys, cols;
    py::dict scores;
    std::unique_ptr<Pending> mi;
};

struct RelationshipsStart::State {
    RelationshipParts parts = RelationshipParts::all;
    std::unique_ptr<Pending> corr;
    py::object Xs;
    std::vector<TargetRelevance> relevance;
    // An ordinary error met while starting, raised by the step itself.
    std::exception_ptr error;
};

namespace {

void start_numeric_relevance(const Input& in, RelationshipsStart::State& st) {
    if (in.target_cols.empty()) return;
    py::object feature_positions = numeric_feature_positions(in);
    const Py_ssize_t n = in.rows;
    if (py::len(feature_positions) == 0 || n == 0) return;

    py::object min = pyapi::builtin(in.frame.globals(), "min");
    py::object mi_reg = in.g("_mi_reg");
    // Every target sees the same sampled rows.
    py::object positions = n > relevance_sample_rows ? sample_positions(in, n) : py::object();
    // The numeric features' sampled rows. Where selecting the columns makes
    // views, they come first and only their rows are copied; elsewhere it
    // would copy every row of them, and the rows come first (taking the
    // other columns' rows too, text included).
    py::object all_rows = py::slice(py::none(), py::none(), py::none());
    auto features_of = [&](py::handle frame) -> py::object {
        return frame.attr("iloc")[py::make_tuple(all_rows, feature_positions)];
    };
    if (!positions) {
        st.Xs = features_of(in.df);
    } else if (rules::releases::pandas_selects_columns_as_views(pyapi::version_of(in.g("pd")))) {
        st.Xs = features_of(in.df).attr("take")(positions);
    } else {
        st.Xs = features_of(in.df.attr("take")(positions));
    }

    std::vector<std::pair<py::object, py::object>> targets;  // the numeric ones, with their columns
    for (py::handle tgt : in.target_cols) {
        py::object y = in.column(tgt);
        if (is_numeric_dtype(in, y)) targets.emplace_back(py::reinterpret_borrow<py::object>(tgt), y);
    }
    // The features every target's estimate reads, and what the native
    // estimates share of them: held only while the targets start.
    py::object k = min(in.max_mi_features, py::tuple(st.Xs.attr("shape"))[1]);
    py::object cols = pyapi::head(py::list(st.Xs.attr("columns")), k);
    py::object X;
    SharedFeatures shared;
    // Targets in order: each one's preprocessing draws from the global
    // generator after the previous one's.
    for (std::size_t t = 0; t < targets.size(); ++t) {
        const auto& [tgt, y] = targets[t];
        TargetRelevance& r = st.relevance.emplace_back();
        r.tgt = tgt;
        r.ys = positions ? y.attr("take")(positions) : y;
        r.cols = cols;
        const bool read_again = t + 1 < targets.size();
        r.scores = pyapi::guarded(
            [&]() -> py::dict {
                if (!X) X = st.Xs[cols];
                r.mi = start_native_mutual_info(mi_reg, X, r.ys, shared, read_again);
                if (r.mi) return py::dict();
                pyapi::note_decline(in.frame.globals(), "mutual_info");
                // A selection of its own: the shared one never leaves the kernel's hands.
                return scores_of(in, r.cols, mi_reg(st.Xs[r.cols], r.ys, "discrete_features"_a = false));
            },
            [] { return py::dict(); });
    }
}

void numeric_relevance(const Input& in, RelationshipsStart::State& st, RelationshipFigures& out) {
    for (TargetRelevance& r : st.relevance) {
        py::dict rel = r.scores;
        if (r.mi) {
            rel = pyapi::guarded([&] { return scores_of(in, r.cols, r.mi->finish()); }, [] { return py::dict(); });
            r.mi.reset();
        }
        if (rel.empty()) rel = spearman_fallback(in, st.Xs, r.ys, r.cols);
        if (!rel.empty()) out.num_rel_by_target[r.tgt] = rel;
    }
}

// Not guarded: _correlation_ratio_num_cat answers None for what it cannot
// measure, and anything else is the analysis' error.
void categorical_relevance(const Input& in, RelationshipFigures& out) {
    if (in.target_cols.empty() || in.cat_cols.empty()) return;
    py::object min = pyapi::builtin(in.frame.globals(), "min");
    py::object cat_subset = pyapi::head(in.cat_cols, min(in.max_cat_features, py::len(in.cat_cols)));
    py::object ratio = in.method("_correlation_ratio_num_cat");
    for (py::handle tgt : in.target_cols) {
        py::object y = in.column(tgt);
        if (!is_numeric_dtype(in, y)) continue;
        py::dict rel;
        for (py::handle c : cat_subset) {
            py::object val = ratio(y, in.column(c));
            if (!val.is_none()) rel[c] = pyapi::to_float(val);
        }
        if (!rel.empty()) out.cat_rel_by_target[tgt] = rel;
    }
}

}  // namespace

RelationshipsStart::RelationshipsStart(const Input& in, RelationshipParts parts) : state(std::make_unique<State>()) {
    state->parts = parts;
    try {
        if (parts != RelationshipParts::numeric_relevance && py::len(in.num_cols) >= 2) {
            state->corr = start_native_correlation(in);
            if (!state->corr) pyapi::note_decline(in.frame.globals(), "correlation");
        }
        if (parts != RelationshipParts::correlation) start_numeric_relevance(in, *state);
    } catch (py::error_already_set& e) {
        if (!pyapi::is_ordinary(e)) throw;
        state->error = std::current_exception();
    } catch (py::builtin_exception&) {
        state->error = std::current_exception();
    }
}

RelationshipsStart::~RelationshipsStart() = default;

RelationshipFigures relationship_figures(const Input& in, RelationshipsStart& started) {
    RelationshipsStart::State& st = *started.state;
    RelationshipFigures out;
    if (st.parts != RelationshipParts::numeric_relevance) correlation(in, st.corr, out);
    if (st.error) std::rethrow_exception(st.error);
    if (st.parts == RelationshipParts::correlation) return out;
    numeric_relevance(in, st, out);
    if (st.parts == RelationshipParts::all) categorical_relevance(in, out);
    return out;
}

Relationships relationships(const Input& in, RelationshipFigures figures) {
    Relationships out;
    out.corr_df = figures.corr_df ? std::move(figures.corr_df) : in.g("pd").attr("DataFrame")();
    out.strong_corr_prop = in.method("_corr_proportion_strong")(out.corr_df, "thr"_a = 0.95);
    out.num_rel_by_target = std::move(figures.num_rel_by_target);
    out.cat_rel_by_target = std::move(figures.cat_rel_by_target);
    return out;
}

}  // namespace tamsel::profile
