// Which summation the running NumPy performs, asked of NumPy itself: its
// add.reduce of one fixed array is compared with both ways of summing it.
#include <cmath>
#include <cstdint>
#include <vector>

#include "../kernels/pairwise.hpp"
#include "stats.hpp"

namespace tamsel::stats {

std::optional<std::size_t> numpy_sum_block() {
    py::module_ np = py::module_::import("numpy");
    const long long bufsize = py::int_(np.attr("getbufsize")());
    if (bufsize <= 0) return std::nullopt;
    const auto block = static_cast<std::size_t>(bufsize);
    const std::vector<double> values = kernels::sum_probe_values(block);
    py::bytes raw(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(double));
    py::object arr = np.attr("frombuffer")(raw, "dtype"_a = np.attr("float64"));
    return kernels::sum_block_from(pyapi::as_double(np.attr("add").attr("reduce")(arr)), values, block);
}

std::optional<std::size_t> numpy_cast_sum_block() {
    py::module_ np = py::module_::import("numpy");
    const long long bufsize = py::int_(np.attr("getbufsize")());
    if (bufsize <= 0) return std::nullopt;
    const auto block = static_cast<std::size_t>(bufsize);
    // The float probe scaled to integers of up to 61 bits, whose float64
    // values (rounded as NumPy's cast rounds them) keep its spread.
    std::vector<double> values = kernels::sum_probe_values(block);
    std::vector<std::int64_t> ints(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        ints[i] = static_cast<std::int64_t>(std::llround(std::ldexp(values[i], 28)));
        values[i] = static_cast<double>(ints[i]);
    }
    py::bytes raw(reinterpret_cast<const char*>(ints.data()), ints.size() * sizeof(std::int64_t));
    py::object arr = np.attr("frombuffer")(raw, "dtype"_a = np.attr("int64"));
    py::object sum = np.attr("add").attr("reduce")(arr, "dtype"_a = np.attr("float64"));
    return kernels::sum_block_from(pyapi::as_double(sum), values, block);
}

}  // namespace tamsel::stats
