#include "arrow_text_chunks.hpp"

#include <cstdint>
#include <cstring>

namespace tamsel::pyapi {

std::string_view ArrowTextChunks::text(std::size_t row) const {
    std::size_t c = 0;
    while (row >= rows[c]) row -= rows[c++];
    const kernels::TextColumn& t = chunks[c];
    const std::int64_t a = t.offsets32 ? t.offsets32[row] : t.offsets64[row];
    const std::int64_t b = t.offsets32 ? t.offsets32[row + 1] : t.offsets64[row + 1];
    return {reinterpret_cast<const char*>(t.data) + a, static_cast<std::size_t>(b - a)};
}

namespace {

// One chunk's buffers; false when its layout is not the one read here.
bool add_chunk(ArrowTextChunks& out, py::handle chunk, py::handle types) {
    const bool large = truthy(types.attr("is_large_string")(chunk.attr("type")));
    if (!large && !truthy(types.attr("is_string")(chunk.attr("type")))) return false;
    const std::size_t n = py::len(chunk);
    const auto offset = py::cast<std::size_t>(chunk.attr("offset"));
    py::list buffers = chunk.attr("buffers")();
    if (py::len(buffers) != 3 || buffers[1].is_none()) return false;
    const std::size_t width = large ? 8 : 4;

    out.held.push_back(std::make_unique<HeldBuffer>(py::object(buffers[1]), PyBUF_SIMPLE));
    const Py_buffer& o = out.held.back()->view();
    if (static_cast<std::size_t>(o.len) < (offset + n + 1) * width) return false;
    const char* first = static_cast<const char*>(o.buf) + offset * width;

    kernels::TextColumn column;
    static const std::uint8_t no_bytes = 0;
    std::size_t data_len = 0;
    column.data = &no_bytes;
    if (!buffers[2].is_none()) {
        out.held.push_back(std::make_unique<HeldBuffer>(py::object(buffers[2]), PyBUF_SIMPLE));
        const Py_buffer& d = out.held.back()->view();
        column.data = static_cast<const std::uint8_t*>(d.buf);
        data_len = static_cast<std::size_t>(d.len);
    }
    if (large) {
        column.offsets64 = reinterpret_cast<const std::int64_t*>(first);
    } else {
        column.offsets32 = reinterpret_cast<const std::int32_t*>(first);
    }
    if (!kernels::text_offsets_valid(column, n, data_len)) return false;
    if (py::cast<std::size_t>(chunk.attr("null_count")) > 0) {
        py::object mask = chunk.attr("is_null")().attr("to_numpy")("zero_copy_only"_a = false);
        out.held.push_back(std::make_unique<HeldBuffer>(mask, PyBUF_C_CONTIGUOUS));
        const Py_buffer& m = out.held.back()->view();
        if (static_cast<std::size_t>(m.len) != n) return false;
        column.missing = static_cast<const std::uint8_t*>(m.buf);
    }
    out.chunks.push_back(column);
    out.rows.push_back(n);
    out.total += n;
    return true;
}

}  // namespace

std::optional<ArrowTextChunks> arrow_text_chunks(py::handle series, bool arrow_dtype) {
    py::object modules = py::module_::import("sys").attr("modules");
    py::object pd = modules.attr("get")("pandas"), pa = modules.attr("get")("pyarrow");
    if (pd.is_none() || pa.is_none()) return std::nullopt;
    py::object dtype = series.attr("dtype");
    const bool strings = py::isinstance(dtype, pd.attr("StringDtype")) && !eq(dtype.attr("storage"), py::str("python"));
    if (!strings && !(arrow_dtype && py::isinstance(dtype, pd.attr("ArrowDtype")))) return std::nullopt;
    py::object data = series.attr("array").attr("__arrow_array__")();
    py::object types = pa.attr("types");
    ArrowTextChunks out;
    if (py::isinstance(data, pa.attr("ChunkedArray"))) {
        for (py::handle chunk : data.attr("chunks")) {
            if (!add_chunk(out, chunk, types)) return std::nullopt;
        }
    } else if (!add_chunk(out, data, types)) {
        return std::nullopt;
    }
    if (out.total != py::len(series)) return std::nullopt;
    return out;
}

}  // namespace tamsel::pyapi
