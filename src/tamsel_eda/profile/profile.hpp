// The dataset profile: schema and missingness, distributions,
// relationships. Each step returns its section of the report.
#pragma once

#include "../analysis/analysis.hpp"

namespace tamsel::profile {

using analysis::Input;

analysis::SchemaMissingness schema_and_missingness(const Input& in);
analysis::Distributions distributions(const Input& in);
analysis::Relationships relationships(const Input& in);

}  // namespace tamsel::profile
