// Native helpers of the schema step.
#pragma once

#include <vector>

#include "profile.hpp"

namespace tamsel::profile {

// df[c].nunique(dropna=True) for each label c of df.columns, in order: a
// Python int where the kernel reproduces pandas for the column's type, a
// null object where pandas must be asked (text, Arrow, sparse, period and
// interval columns, duplicate labels, a frame or Series subclass, a pandas
// version the kernel was not checked against). Empty when nothing applies.
std::vector<py::object> native_distinct_counts(const Input& in);

}  // namespace tamsel::profile
