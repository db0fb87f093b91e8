// What the two time-axis binding files share: int64 stamp arrays read in
// place, a run's summary as a dict, and the kernel's short work beside the
// interpreter.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "../tamsel_eda/kernels/time_stamps.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {

// An int64 array read in place (a contiguous copy when it is not one).
struct Stamps {
    py::object array;
    std::unique_ptr<HeldBuffer> held;
    const std::int64_t* data = nullptr;
    std::size_t n = 0;

    explicit Stamps(py::handle obj) {
        array = py::module_::import("numpy").attr("ascontiguousarray")(obj, "dtype"_a = "int64");
        held = std::make_unique<HeldBuffer>(array);
        data = static_cast<const std::int64_t*>(held->view().buf);
        n = static_cast<std::size_t>(held->view().shape[0]);
    }
};

inline py::object stamps_array(const std::vector<std::int64_t>& v) { return make_array(v, "int64"); }

// The kernel's work on buffers held above, beside the interpreter (short
// work: no interrupt polling).
template <class Work>
auto released(Work&& work) {
    return pyapi::without_gil([&](const std::function<bool()>&) { return work(); });
}

inline py::dict summary_of(const kernels::StampRun& run) {
    py::dict out;
    out["count"] = run.count;
    if (run.count == 0) return out;
    out["distinct"] = run.distinct;
    out["first"] = run.first;
    out["last"] = run.last;
    out["first_wall"] = run.first_wall;
    out["last_wall"] = run.last_wall;
    out["utc_gaps"] = stamps_array(run.utc_gaps);
    out["wall_gaps"] = stamps_array(run.wall_gaps);
    return out;
}

}  // namespace tamsel::kernel_module
