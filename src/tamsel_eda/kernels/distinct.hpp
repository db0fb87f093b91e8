// Distinct counts as pandas' Series.nunique(dropna=True) gives them for
// columns held in plain buffers: floats compared with == (so -0.0 equals 0.0)
// with NaN left out, integers and booleans by value, masked cells left out,
// and optionally the NaT sentinel of dates and durations or the -1 code of a
// missing category.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "columns.hpp"

namespace tamsel::kernels {

struct DistinctColumn {
    ColumnView view;
    // Dates and durations as int64: INT64_MIN is NaT, a missing cell.
    bool skip_int_min = false;
    // Category codes: negative codes are missing cells.
    bool skip_negative = false;
};

struct DistinctProblem {
    const DistinctColumn* columns = nullptr;
    std::size_t k = 0;  // columns
    std::size_t n = 0;  // rows
    // Columns are taken round-robin by this many parts, each with its own
    // scratch; the counts do not depend on it.
    std::size_t parts = 1;
};

// What distinct_counts writes for a column it cannot decide: a masked float
// column holding an unmasked NaN, which pandas versions treat differently.
constexpr std::int64_t distinct_undecided = -1;

// Bytes of workspace distinct_counts needs (64-byte alignment included).
std::size_t distinct_workspace_bytes(const DistinctProblem& p);

// Fills out[k]. `poll` is called on the calling thread (see parallel_for);
// when it answers true the work ends early and false is returned, with `out`
// incomplete.
bool distinct_counts(const DistinctProblem& p, std::int64_t* out, void* workspace, const std::function<bool()>& poll);

}  // namespace tamsel::kernels
