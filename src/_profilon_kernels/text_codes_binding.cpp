// text_codes(series, codes, hashes): the distinct texts of a Series of Arrow
// text in first-seen order across its chunks, None for any other Series:
// (codes, first, counts, missing, text_hashes) with codes, when `codes` is
// true, an int64 array per row (-1 where missing; else None), first and
// counts int64 arrays per code (the row of its first occurrence, its rows),
// missing the count of missing rows, and text_hashes, when `hashes` is true,
// pandas' hash of each distinct text as a uint64 array (else None).
#include <memory>
#include <vector>

#include "../tamsel_eda/kernels/text_codes.hpp"
#include "../tamsel_eda/pyapi/arrow_text_chunks.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* text_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("text_codes(series, codes, hashes)");
        std::optional<pyapi::ArrowTextChunks> text = pyapi::arrow_text_chunks(args[0], true);
        if (!text) return py::object(py::none());
        const int with_codes = PyObject_IsTrue(args[1]), hashes = PyObject_IsTrue(args[2]);
        if (with_codes < 0 || hashes < 0) throw py::error_already_set();
        const std::vector<kernels::TextColumn>& chunks = text->chunks;
        const std::vector<std::size_t>& rows = text->rows;
        const std::size_t total = text->total;
        // The codes go straight into the array handed back.
        py::object codes = py::none();
        std::int64_t* code_data = nullptr;
        if (with_codes) {
            codes = py::module_::import("numpy").attr("empty")(total, "dtype"_a = "int64");
            py::buffer_info info = py::buffer(codes).request(true);
            code_data = static_cast<std::int64_t*>(info.ptr);
        }
        kernels::TextCodes out;
        std::vector<std::uint64_t> text_hashes;
        const bool done = pyapi::without_gil([&](const std::function<bool()>& poll) {
            if (!kernels::text_codes(chunks.data(), rows.data(), chunks.size(), code_data, out, poll)) return false;
            if (hashes) {
                // The first occurrence of each code, found chunk by chunk.
                text_hashes.resize(out.first.size());
                // Codes are numbered as first seen, so their rows rise.
                std::size_t chunk = 0;
                std::int64_t start = 0;
                for (std::size_t c = 0; c < out.first.size(); ++c) {
                    while (out.first[c] >= start + static_cast<std::int64_t>(rows[chunk])) start += rows[chunk++];
                    const kernels::TextColumn& t = chunks[chunk];
                    const auto r = static_cast<std::size_t>(out.first[c] - start);
                    const std::int64_t a = t.offsets32 ? t.offsets32[r] : t.offsets64[r];
                    const std::int64_t b = t.offsets32 ? t.offsets32[r + 1] : t.offsets64[r + 1];
                    text_hashes[c] = kernels::text_hash(t.data + a, static_cast<std::size_t>(b - a));
                }
            }
            return true;
        });
        if (!done) throw py::error_already_set();
        return py::object(py::make_tuple(codes, make_array(out.first, "int64"), make_array(out.counts, "int64"),
                                         out.missing, hashes ? make_array(text_hashes, "uint64") : py::none()));
    });
}

}  // namespace

const PyMethodDef text_codes_entries[] = {
    {"text_codes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(text_codes)), METH_FASTCALL,
     "text_codes(series, codes, hashes): the distinct texts of a Series of Arrow text, coded in first-seen order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
