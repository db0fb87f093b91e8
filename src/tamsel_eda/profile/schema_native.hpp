// Native helpers of the schema step.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "profile.hpp"

namespace tamsel::profile {

// df[c].nunique(dropna=True) for each label c of df.columns, in order: a
// Python int where the kernel reproduces pandas for the column's type, a
// null object where pandas must be asked (text, Arrow, sparse, period and
// interval columns, duplicate labels, a frame or Series subclass, a pandas
// version the kernel was not checked against). Empty when nothing applies.
std::vector<py::object> native_distinct_counts(const Input& in);

// For each label of df.columns, in order: the duplicate scan's digest of the
// row hashes pandas' hash_pandas_object would give for the column as the
// scan fills it, computed natively where the column is a NumPy number column
// (floats may have missing cells; col_has_missing: a list of flags), an
// object column of texts or a category column of text categories, and
// pandas' own hash function is in place; nullopt where the scan must hash.
std::vector<std::optional<std::uint64_t>> native_hash_digests(const Input& in, py::handle col_has_missing);

}  // namespace tamsel::profile
