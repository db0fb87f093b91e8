// pandas' Arrow-backed text (StringDtype over pyarrow, pandas 3's default
// str) read in place: each chunk's offsets, bytes and missing flags as the
// text kernels take them, without a Python object per row.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "../kernels/row_hash.hpp"
#include "column_views.hpp"

namespace tamsel::pyapi {

struct ArrowTextChunks {
    std::vector<kernels::TextColumn> chunks;
    std::vector<std::size_t> rows;  // per chunk
    std::size_t total = 0;
    HeldBuffers held;

    // The text of row `row` of the whole column (not a missing one).
    std::string_view text(std::size_t row) const;
};

// The chunks of `series`' Arrow text (string or large_string chunks) of a
// StringDtype, or of an ArrowDtype too when `arrow_dtype`; nothing for any
// other column. The views stay valid while the result and the series live.
std::optional<ArrowTextChunks> arrow_text_chunks(py::handle series, bool arrow_dtype = false);

}  // namespace tamsel::pyapi
