// pandas columns read in place for the native kernels: the NumPy array
// behind a column, or the values and mask of pandas' nullable numbers and
// booleans, held as buffer views for as long as a kernel reads them.
#pragma once

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "../kernels/columns.hpp"
#include "pyapi.hpp"

namespace tamsel::pyapi {

// A read-only buffer view of `owner`, released with it.
class HeldBuffer {
public:
    HeldBuffer(py::object owner, int flags) : owner_(std::move(owner)) {
        if (PyObject_GetBuffer(owner_.ptr(), &view_, flags) != 0) throw py::error_already_set();
    }
    ~HeldBuffer() { PyBuffer_Release(&view_); }
    HeldBuffer(const HeldBuffer&) = delete;
    HeldBuffer& operator=(const HeldBuffer&) = delete;
    const Py_buffer& view() const { return view_; }

private:
    py::object owner_;
    Py_buffer view_{};
};

using HeldBuffers = std::vector<std::unique_ptr<HeldBuffer>>;

// Puts a kernel's scratch buffer, not yet touched, on small pages. The
// buffers are NumPy's, so that memory tracing sees them, and NumPy asks for
// transparent huge pages on arrays of 4 MiB and more: the kernel's first
// touch of each huge page can then wait for the system to compact memory
// (tens of milliseconds on a host whose memory is fragmented), which a
// buffer written once and dropped gains nothing from.
void use_small_pages(const Py_buffer& view);

// (major, minor) of a library from its version text; (0, 0) when unreadable,
// which no adapter accepts.
std::pair<int, int> version_of(py::handle module);

// The kernels' value type of a NumPy dtype kind and item size; nothing for
// float16, long double, complex and everything else pandas converts itself.
std::optional<kernels::ValueType> value_type(char kind, Py_ssize_t itemsize);

// A one-dimensional NumPy array of n plain values in the machine's byte
// order as a column view (its buffer added to `held`); nothing otherwise.
std::optional<kernels::ColumnView> numpy_view(py::handle np, py::handle values, Py_ssize_t n, HeldBuffers& held);

// pandas' nullable integer, float and boolean arrays as their values with
// their mask (what to_numpy(dtype=float, na_value=nan) reads); nothing for
// any other array.
std::optional<kernels::ColumnView> masked_view(py::handle pd, py::handle np, py::handle array, Py_ssize_t n,
                                               HeldBuffers& held);

}  // namespace tamsel::pyapi
