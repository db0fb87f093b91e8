#include "column_views.hpp"

#ifdef __linux__
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstdio>
#include <string>

#include "../kernels/rules.hpp"

namespace tamsel::pyapi {

namespace k = tamsel::kernels;

void use_small_pages(const Py_buffer& view) {
#if defined(__linux__) && defined(MADV_NOHUGEPAGE)
    // Whole pages inside the buffer only; advice is no promise, so a refusal
    // changes nothing but the pages' size.
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto start = reinterpret_cast<std::uintptr_t>(view.buf);
    const std::uintptr_t first = (start + page - 1) / page * page;
    const std::uintptr_t last = (start + static_cast<std::uintptr_t>(view.len)) / page * page;
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_NOHUGEPAGE);
#else
    (void)view;
#endif
}

std::pair<int, int> version_of(py::handle module) {
    const std::string v = py::str(module.attr("__version__"));
    return rules::release_of(v.c_str());
}

std::optional<k::ValueType> value_type(char kind, Py_ssize_t itemsize) {
    switch (kind) {
        case 'f':
            if (itemsize == 8) return k::ValueType::f64;
            if (itemsize == 4) return k::ValueType::f32;
            return std::nullopt;
        case 'i':
            if (itemsize == 8) return k::ValueType::i64;
            if (itemsize == 4) return k::ValueType::i32;
            if (itemsize == 2) return k::ValueType::i16;
            if (itemsize == 1) return k::ValueType::i8;
            return std::nullopt;
        case 'u':
            if (itemsize == 8) return k::ValueType::u64;
            if (itemsize == 4) return k::ValueType::u32;
            if (itemsize == 2) return k::ValueType::u16;
            if (itemsize == 1) return k::ValueType::u8;
            return std::nullopt;
        case 'b':
            return itemsize == 1 ? std::optional(k::ValueType::boolean) : std::nullopt;
        default:
            return std::nullopt;
    }
}

std::optional<k::ColumnView> numpy_view(py::handle np, py::handle values, Py_ssize_t n, HeldBuffers& held) {
    if (!py::isinstance(values, np.attr("ndarray"))) return std::nullopt;
    py::object dtype = values.attr("dtype");
    if (!truthy(dtype.attr("isnative"))) return std::nullopt;
    const std::string kind = py::str(dtype.attr("kind"));
    auto type = value_type(kind.empty() ? '?' : kind[0], py::int_(dtype.attr("itemsize")));
    if (!type) return std::nullopt;
    auto buf = std::make_unique<HeldBuffer>(py::reinterpret_borrow<py::object>(values), PyBUF_STRIDES);
    if (buf->view().ndim != 1 || buf->view().shape[0] != n) return std::nullopt;
    k::ColumnView col;
    col.data = buf->view().buf;
    col.stride = buf->view().strides[0];
    col.type = *type;
    held.push_back(std::move(buf));
    return col;
}

std::optional<k::ColumnView> masked_view(py::handle pd, py::handle np, py::handle array, Py_ssize_t n,
                                         HeldBuffers& held) {
    py::object arrays = pd.attr("arrays");
    py::tuple masked =
        py::make_tuple(arrays.attr("IntegerArray"), arrays.attr("FloatingArray"), arrays.attr("BooleanArray"));
    if (!is_instance(array, masked)) return std::nullopt;
    auto col = numpy_view(np, array.attr("_data"), n, held);
    auto mask = numpy_view(np, array.attr("_mask"), n, held);
    if (!col || !mask || mask->type != k::ValueType::boolean) return std::nullopt;
    col->missing = static_cast<const std::uint8_t*>(mask->data);
    col->missing_stride = mask->stride;
    return col;
}

}  // namespace tamsel::pyapi
