#include "columns.hpp"

#include <limits>

namespace tamsel::kernels {
namespace {

template <class T>
void convert(const ColumnView& col, std::size_t begin, std::size_t count, double* out) {
    const char* p = static_cast<const char*>(col.data) + static_cast<std::ptrdiff_t>(begin) * col.stride;
    for (std::size_t i = 0; i < count; ++i, p += col.stride) {
        T v;
        __builtin_memcpy(&v, p, sizeof(T));
        // The C conversion NumPy's astype(float64) performs: exact for the
        // narrow types, round-to-nearest for 64-bit integers.
        out[i] = static_cast<double>(v);
    }
}

}  // namespace

std::vector<ColumnView> matrix_columns(const void* data, std::size_t k, std::ptrdiff_t row_stride,
                                       std::ptrdiff_t col_stride) {
    std::vector<ColumnView> out(k);
    for (std::size_t c = 0; c < k; ++c) {
        out[c].data = static_cast<const char*>(data) + static_cast<std::ptrdiff_t>(c) * col_stride;
        out[c].stride = row_stride;
    }
    return out;
}

void load_doubles(const ColumnView& col, std::size_t begin, std::size_t count, double* out) {
    switch (col.type) {
        case ValueType::f64:
            convert<double>(col, begin, count, out);
            break;
        case ValueType::f32:
            convert<float>(col, begin, count, out);
            break;
        case ValueType::i64:
            convert<std::int64_t>(col, begin, count, out);
            break;
        case ValueType::i32:
            convert<std::int32_t>(col, begin, count, out);
            break;
        case ValueType::i16:
            convert<std::int16_t>(col, begin, count, out);
            break;
        case ValueType::i8:
            convert<std::int8_t>(col, begin, count, out);
            break;
        case ValueType::u64:
            convert<std::uint64_t>(col, begin, count, out);
            break;
        case ValueType::u32:
            convert<std::uint32_t>(col, begin, count, out);
            break;
        case ValueType::u16:
            convert<std::uint16_t>(col, begin, count, out);
            break;
        case ValueType::u8:
            convert<std::uint8_t>(col, begin, count, out);
            break;
        case ValueType::boolean: {
            const char* p = static_cast<const char*>(col.data) + static_cast<std::ptrdiff_t>(begin) * col.stride;
            for (std::size_t i = 0; i < count; ++i, p += col.stride) out[i] = *p != 0 ? 1.0 : 0.0;
            break;
        }
    }
    if (col.missing) {
        const std::uint8_t* m = col.missing + static_cast<std::ptrdiff_t>(begin) * col.missing_stride;
        for (std::size_t i = 0; i < count; ++i, m += col.missing_stride) {
            if (*m) out[i] = std::numeric_limits<double>::quiet_NaN();
        }
    }
}

}  // namespace tamsel::kernels
