// The dataset profile: schema and missingness, distributions,
// relationships. Each step returns its section of the report.
#pragma once

#include <memory>
#include <vector>

#include "../analysis/analysis.hpp"

namespace tamsel::profile {

using analysis::Input;

// What the schema step reads of the rows: every column's missing share and
// distinct count, the identical column pairs and the rare-level shares.
struct SchemaFigures {
    // Missing share per column, largest first (ties in column order); the
    // shares of all cells and of the rows with any missing cell.
    py::dict miss_by_col;
    py::object miss_total, rows_with_any_na;
    // nunique(dropna=True) per column label, in column order.
    py::dict nunique_by_col;
    // (column, the earlier column it copies), in column order.
    py::list duplicate_pairs;
    // Share of cells in rare levels, for the first max_cat_features
    // categorical columns that could be measured; their value counts where
    // they were read whole (the page's level figures).
    py::dict rare_share_by_col, value_counts_by_col;
};
// The figures of a pandas frame.
SchemaFigures schema_figures(const Input& in);
analysis::SchemaMissingness schema_and_missingness(const Input& in, SchemaFigures figures);

// One numeric column's figures as the distribution step reports them.
struct ColumnFigures {
    py::object min, median, max, std, skew, kurtosis, outlier_share;
};
// The figures of a pandas frame's num_cols, in order.
std::vector<ColumnFigures> column_summaries(const Input& in);
// Each column's summary in num_cols order, then the shares and scale spread
// over all of them.
analysis::Distributions distributions(const Input& in, const std::vector<ColumnFigures>& columns);

// The relationship step's kernels need only the typed columns: begun right
// after typing, they run beside the schema and distribution steps when more
// than one thread is allowed. Everything this start does in Python (the
// relevance sample, the library's preprocessing with its random draws) it
// does in the same order for every thread count, and an ordinary error it
// meets is raised by relationships(), where the step would have met it.
//
// A Dask frame's figures come from different rows: the correlation matrix
// from one sample, the numeric relevance from another, the categorical
// relevance from the driver's passes; `parts` runs one of them alone.
enum class RelationshipParts { all, correlation, numeric_relevance };

class RelationshipsStart {
public:
    explicit RelationshipsStart(const Input& in, RelationshipParts parts = RelationshipParts::all);
    ~RelationshipsStart();
    RelationshipsStart(const RelationshipsStart&) = delete;
    RelationshipsStart& operator=(const RelationshipsStart&) = delete;
    struct State;
    std::unique_ptr<State> state;
};

// The relationship figures: the correlation matrix (an empty frame when
// there is none) and each numeric target's relevance scores.
struct RelationshipFigures {
    py::object corr_df;
    py::dict num_rel_by_target, cat_rel_by_target;
};
// The features the relevance scores and the leakage hints' correlation check
// take: meta.drop(columns=targets, errors="ignore")
// .select_dtypes(include=[np.number]), in frame order.
py::list numeric_features(const Input& in);

// The figures of the frame `started` was begun on.
RelationshipFigures relationship_figures(const Input& in, RelationshipsStart& started);
analysis::Relationships relationships(const Input& in, RelationshipFigures figures);

// Kernel work begun ahead of the step that needs it.
class Pending {
public:
    virtual ~Pending() = default;
    // The value the step would have computed; Ctrl-C raises here.
    virtual py::object finish() = 0;
};

// df[num_cols].corr(method=corr_method) computed natively, or null when the
// kernel does not apply here (another method, a frame subclass, a column
// type or pandas version it does not reproduce), so the caller asks pandas
// as before.
std::unique_ptr<Pending> start_native_correlation(const Input& in);

}  // namespace tamsel::profile
