// Mutual information of the relevance step computed by the native kernel.
#pragma once

#include <string_view>

#include "profile.hpp"

namespace tamsel::profile {

// A read-only view of a float64 NumPy array of one or two dimensions with any
// strides (the library's scaled matrix may be in either memory order).
class StridedFloat64 {
public:
    explicit StridedFloat64(py::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &buf_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) throw py::error_already_set();
        const std::string_view fmt = buf_.format ? buf_.format : "B";
        if (buf_.itemsize != 8 || (fmt != "d" && fmt != "<d" && fmt != "=d") || buf_.ndim < 1 || buf_.ndim > 2) {
            PyBuffer_Release(&buf_);
            throw py::type_error("expected a float64 array of one or two dimensions");
        }
    }
    StridedFloat64(const StridedFloat64&) = delete;
    StridedFloat64& operator=(const StridedFloat64&) = delete;
    ~StridedFloat64() { PyBuffer_Release(&buf_); }

    const double* data() const { return static_cast<const double*>(buf_.buf); }
    int ndim() const { return buf_.ndim; }
    std::size_t rows() const { return static_cast<std::size_t>(buf_.shape[0]); }
    std::size_t cols() const { return buf_.ndim == 2 ? static_cast<std::size_t>(buf_.shape[1]) : 1; }
    std::ptrdiff_t row_stride() const { return buf_.strides[0]; }
    std::ptrdiff_t col_stride() const { return buf_.ndim == 2 ? buf_.strides[1] : 0; }

private:
    Py_buffer buf_{};
};

// mi_reg(X, y, discrete_features=False) computed natively: the library's
// preprocessing runs now (the global random generator's state afterwards is
// the library call's), the neighbour counts beside the caller, and finish()
// gives the same array (values and dtype). Null when the kernel does not
// apply (mi_reg is not the library's function as imported now, an unread
// library version, too few or too many rows, input the library's validation
// refuses), with the generator as it was, so that the caller makes the call
// itself and gets its result or its error.
//
// The validation's array of the features, its float copy and its scaling
// depend on the features alone: the targets of one analysis, which pass the
// same feature frame, share them through `shared` (each target still draws
// its own jitter, after the previous one's). `read_again` says whether a
// later call will read them; the last one jitters the scaled copy itself.
struct SharedFeatures {
    py::object given;      // the feature frame passed in, the key
    py::object plain;      // what the validation is handed for it
    py::object validated;  // the validation's array, the key of the rest
    py::object scaled;     // its float copy, scaled, before the jitter
    py::object means;      // the jitter's scale per feature
    py::object digamma;    // digamma(1..n_samples), contiguous
};
std::unique_ptr<Pending> start_native_mutual_info(py::handle mi_reg, py::handle X, py::handle y, SharedFeatures& shared,
                                                  bool read_again);

}  // namespace tamsel::profile
