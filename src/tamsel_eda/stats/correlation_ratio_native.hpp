// The correlation ratio of a float64 target over a text or categorical
// column, computed by the group-sums kernel instead of pandas' category
// conversion and groupby.
#pragma once

#include "stats.hpp"

namespace tamsel::stats {

// The ratio (a float, or None for fewer than two complete rows) exactly as
// the pandas path of _correlation_ratio_num_cat computes it, or a null
// object when the kernel does not apply and pandas must decide.
py::object native_correlation_ratio(const pyapi::Frame& f);

}  // namespace tamsel::stats
