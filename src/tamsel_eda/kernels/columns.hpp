// A column of a frame as the kernels read it: a strided buffer of one of
// NumPy's plain numeric types, optionally with pandas' missing-value mask
// beside it (nullable integers, floats and booleans). Reading one yields the
// doubles that pandas' to_numpy(dtype=float, na_value=nan) would hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsel::kernels {

enum class ValueType : std::uint8_t { f64, f32, i64, i32, i16, i8, u64, u32, u16, u8, boolean };

struct ColumnView {
    const void* data = nullptr;
    std::ptrdiff_t stride = 0;  // bytes from one row to the next
    ValueType type = ValueType::f64;
    const std::uint8_t* missing = nullptr;  // nonzero marks a missing cell; nullptr: none
    std::ptrdiff_t missing_stride = 1;
};

// The k float64 columns of a matrix: column c starts c * col_stride bytes
// after `data`, and its rows are row_stride bytes apart.
std::vector<ColumnView> matrix_columns(const void* data, std::size_t k, std::ptrdiff_t row_stride,
                                       std::ptrdiff_t col_stride);

// Rows [begin, begin + count) of `col` as float64, missing cells as NaN.
void load_doubles(const ColumnView& col, std::size_t begin, std::size_t count, double* out);

}  // namespace tamsel::kernels
