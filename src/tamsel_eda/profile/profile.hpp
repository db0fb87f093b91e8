// The dataset profile: schema and missingness, distributions,
// relationships. Each step returns its section of the report.
#pragma once

#include "../analysis/analysis.hpp"

namespace tamsel::profile {

using analysis::Input;

analysis::SchemaMissingness schema_and_missingness(const Input& in);
analysis::Distributions distributions(const Input& in);
analysis::Relationships relationships(const Input& in);

// df[num_cols].corr(method=corr_method) computed natively, or a null object
// when the kernel does not apply here (another method, a frame subclass, a
// column type or pandas version it does not reproduce), so the caller asks
// pandas as before.
py::object native_correlation(const Input& in);

}  // namespace tamsel::profile
