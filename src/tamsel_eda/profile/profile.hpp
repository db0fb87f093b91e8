// The dataset profile: schema and missingness, distributions,
// relationships. Each step returns its section of the report.
#pragma once

#include <memory>

#include "../analysis/analysis.hpp"

namespace tamsel::profile {

using analysis::Input;

analysis::SchemaMissingness schema_and_missingness(const Input& in);
// The step's feature-to-row ratio, into out.p_over_n.
void feature_ratio(const Input& in, analysis::SchemaMissingness& out);
analysis::Distributions distributions(const Input& in);

// One numeric column's figures as the distribution step reports them.
struct ColumnFigures {
    py::object min, median, max, std, skew, kurtosis, outlier_share;
};
// The step's assembly, for figures computed elsewhere too: each column in
// num_cols order, then the shares and scale spread over all of them.
void add_column_summary(analysis::Distributions& out, py::handle c, const ColumnFigures& f);
void finish_distributions(const Input& in, analysis::Distributions& out);

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

analysis::Relationships relationships(const Input& in, RelationshipsStart& started);

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
