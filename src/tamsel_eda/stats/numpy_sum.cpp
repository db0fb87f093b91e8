// Which summation the running NumPy performs, asked of NumPy itself: its
// add.reduce of one fixed array is compared with both ways of summing it.
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

}  // namespace tamsel::stats
