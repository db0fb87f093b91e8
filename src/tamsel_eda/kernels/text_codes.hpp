// The distinct texts of an Arrow text column (one or several chunks), coded
// in first-seen order: what a dictionary encoding or value_counts gives,
// without a Python object per row. Texts are equal when their bytes are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "row_hash.hpp"

namespace tamsel::kernels {

struct TextCodes {
    std::vector<std::int64_t> first;   // per code, the row it was first seen at
    std::vector<std::int64_t> counts;  // per code
    std::int64_t missing = 0;
};

// Codes the rows of `chunks` (rows numbered across the chunks in order),
// writing each row's code (-1 where missing) to `codes` unless it is null.
// `rows[i]` is the row count of chunk i. `poll` is called between blocks of
// rows; returns false as soon as it answers true.
bool text_codes(const TextColumn* chunks, const std::size_t* rows, std::size_t k, std::int64_t* codes, TextCodes& out,
                const std::function<bool()>& poll);

}  // namespace tamsel::kernels
