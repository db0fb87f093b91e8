// The distribution step's per-column figures from the summary kernel.
#pragma once

#include <optional>
#include <vector>

#include "../kernels/summary.hpp"
#include "profile.hpp"

namespace tamsel::profile {

struct NativeSummaries {
    // One entry per numeric column, in num_cols' order; empty where the
    // kernel could not read the column.
    std::vector<std::optional<kernels::ColumnSummary>> columns;
    // Whether skew and kurtosis came from the kernel (else the library).
    bool moments = false;
};

// Nothing when the step calls anything but the libraries' own functions and
// the class's own methods, or runs on a NumPy release the kernel was not
// checked against: the step's Python path then stands as it was.
std::optional<NativeSummaries> native_summaries(const Input& in);

}  // namespace tamsel::profile
