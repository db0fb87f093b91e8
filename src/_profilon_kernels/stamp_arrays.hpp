// What the two time-axis binding files share: int64 stamp arrays read in
// place, a run's summary as a dict, and the kernel's short work beside the
// interpreter.
#pragma once

#include <functional>
#include <memory>
#include <ranges>
#include <stdexcept>
#include <vector>

#include "../tamsel_eda/kernels/time_stamps.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
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

// A run's arguments: its stamps, their wall clock (None: the stamps
// themselves) and the last stamp before the run (None: none).
struct RunArgs {
    Stamps values;
    std::unique_ptr<Stamps> wall;
    bool has_previous = false;
    std::int64_t previous = 0;

    RunArgs(py::handle v, py::handle w, py::handle before) : values(v), has_previous(!before.is_none()) {
        if (!w.is_none()) {
            wall = std::make_unique<Stamps>(w);
            if (wall->n != values.n) throw py::value_error("wall: one stamp per stamp");
        }
        if (has_previous) previous = py::cast<std::int64_t>(before);
    }
    const std::int64_t* wall_data() const { return wall ? wall->data : nullptr; }
    const std::int64_t* previous_stamp() const { return has_previous ? &previous : nullptr; }
};

inline void check_run(kernels::RunStatus status) {
    if (status != kernels::RunStatus::ok)
        throw std::runtime_error("a partition's time axis changed between two passes over the frame");
}

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

// The buckets' gap modes, each (gap, count) or None.
inline std::vector<kernels::GapMode> modes_of(py::handle list) {
    std::vector<kernels::GapMode> modes = pyapi::read_each(list, [](py::handle m) {
        if (m.is_none()) return kernels::GapMode{};
        py::tuple t = py::reinterpret_borrow<py::tuple>(m);
        return kernels::GapMode{true, py::cast<std::int64_t>(t[0]), py::cast<std::int64_t>(t[1])};
    });
    std::erase_if(modes, [](const kernels::GapMode& m) { return !m.found; });
    return modes;
}

// Per gap bucket, its table (keys, counts).
inline py::list gap_tables(const std::vector<std::vector<std::int64_t>>& keys,
                           const std::vector<std::vector<std::int64_t>>& counts) {
    return pyapi::list_each(std::views::iota(std::size_t{0}, keys.size()), [&](std::size_t b) {
        return py::make_tuple(stamps_array(keys[b]), stamps_array(counts[b]));
    });
}

inline py::dict facts_dict(const kernels::StampFacts& facts) {
    py::dict out;
    out["n_distinct"] = facts.n_distinct;
    out["has_duplicates"] = py::bool_(facts.has_duplicates);
    out["unique_periods"] = facts.unique_periods;
    out["n_gaps"] = facts.n_gaps;
    out["gap_mode"] = facts.mode.found ? py::object(py::int_(facts.mode.gap)) : py::object(py::none());
    out["irregular_share"] = facts.irregular_share;
    return out;
}

}  // namespace tamsel::kernel_module
