// The dataset profile: schema and missingness, distributions,
// relationships. Each step returns its section of the report.
#pragma once

#include <memory>

#include "../analysis/analysis.hpp"

namespace tamsel::profile {

using analysis::Input;

analysis::SchemaMissingness schema_and_missingness(const Input& in);
analysis::Distributions distributions(const Input& in);

// The relationship step's kernels need only the typed columns: begun right
// after typing, they run beside the schema and distribution steps when more
// than one thread is allowed. Everything this start does in Python (the
// relevance sample, the library's preprocessing with its random draws) it
// does in the same order for every thread count, and an ordinary error it
// meets is raised by relationships(), where the step would have met it.
class RelationshipsStart {
public:
    explicit RelationshipsStart(const Input& in);
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
