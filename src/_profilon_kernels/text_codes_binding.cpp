// text_codes(series, codes): the distinct texts of a Series of Arrow text in
// first-seen order across its chunks, None for any other Series: (codes,
// first, counts, missing) with codes, when `codes` is true, an int64 array
// per row (-1 where missing; else None), first and counts int64 arrays per
// code (the row of its first occurrence, its rows) and missing the count of
// missing rows.
#include <vector>

#include "../tamsel_eda/kernels/text_codes.hpp"
#include "../tamsel_eda/pyapi/arrow_text_chunks.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

PyObject* text_codes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 2) throw py::type_error("text_codes(series, codes)");
        std::optional<pyapi::ArrowTextChunks> text = pyapi::arrow_text_chunks(args[0], true);
        if (!text) return py::object(py::none());
        const int with_codes = PyObject_IsTrue(args[1]);
        if (with_codes < 0) throw py::error_already_set();
        // The codes go straight into the array handed back.
        py::object codes = py::none();
        std::int64_t* code_data = nullptr;
        if (with_codes) {
            codes = py::module_::import("numpy").attr("empty")(text->total, "dtype"_a = "int64");
            py::buffer_info info = py::buffer(codes).request(true);
            code_data = static_cast<std::int64_t*>(info.ptr);
        }
        kernels::TextCodes out;
        const bool done = pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::text_codes(text->chunks.data(), text->rows.data(), text->chunks.size(), code_data, out,
                                       poll);
        });
        if (!done) throw py::error_already_set();
        return py::object(
            py::make_tuple(codes, make_array(out.first, "int64"), make_array(out.counts, "int64"), out.missing));
    });
}

}  // namespace

const PyMethodDef text_codes_entries[] = {
    {"text_codes", fastcall(text_codes), METH_FASTCALL,
     "text_codes(series, codes): the distinct texts of a Series of Arrow text, coded in first-seen order."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
