#include "moment_rules.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../kernels/rules.hpp"

namespace tamsel::pyapi {
namespace {

namespace py = pybind11;
using namespace pybind11::literals;

// The head of NumPy's PyUFuncObject (numpy/core/include/numpy/ufuncobject.h
// in 1.26, numpy/_core/include/numpy/ufuncobject.h in 2.x): the object
// header, nin, nout, nargs, identity, then the loop table. 2.0 renamed
// `reserved1` to `_ufunc_flags` and made `data` a pointer to const; the
// offsets are those of 1.26, and within 2.x they are part of the ABI that
// extensions built against 2.0 rely on, so no 2.x release moves them.
struct UfuncHead {
    PyObject ob_base;  // PyObject_HEAD
    int nin, nout, nargs;
    int identity;
    kernels::PowerLoop::Function* functions;
    void* const* data;
    int ntypes;
    int flags;
    const char* name;
    const char* types;
};

rules::Release release(py::handle module) {
    const std::string v = py::str(module.attr("__version__"));
    return rules::release_of(v.c_str());
}

// Values over many magnitudes and both signs, from a fixed generator, with
// a length no multiple of a vector width.
std::vector<double> probe_values() {
    std::vector<double> v(2053);
    std::uint64_t state = 0x2545F4914F6CDD1Dull;
    for (double& x : v) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const double unit = static_cast<double>(state >> 11) / 9007199254740992.0;
        const int exponent = static_cast<int>((state >> 5) % 61) - 30;
        x = (unit - 0.5) * std::ldexp(1.0, exponent);
    }
    return v;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Whether the loop's d**3 and d**4 of the probe's negative bases are the
// nearest doubles wherever the exact power is clear of a rounding midpoint
// by half of raise()'s margin, as raise() assumes.
bool rounds_negative_powers(const kernels::PowerLoop& loop) {
    const std::vector<double> x = probe_values();
    std::vector<double> mine(x.size());
    for (double order : {3.0, 4.0}) {
        loop(x.data(), x.size(), order, mine.data());
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!(x[i] < 0.0)) continue;
            const std::optional<double> nearest =
                kernels::clearly_rounded_power(x[i], static_cast<int>(order), kernels::power_rounding_margin / 2);
            if (nearest && !same_bits(*nearest, mine[i])) return false;
        }
    }
    return true;
}

}  // namespace

std::optional<kernels::PowerLoop> numpy_power_loop() {
    py::module_ np = py::module_::import("numpy");
    py::object power = np.attr("power");
    if (!PyObject_TypeCheck(power.ptr(), reinterpret_cast<PyTypeObject*>(np.attr("ufunc").ptr()))) return std::nullopt;
    const auto* u = reinterpret_cast<const UfuncHead*>(power.ptr());
    // The head must say what the object says of itself through its
    // attributes, or the layout is not the one above.
    if (u->nin != py::int_(power.attr("nin")) || u->nout != py::int_(power.attr("nout")) ||
        u->nargs != py::int_(power.attr("nargs")) || u->ntypes != py::int_(power.attr("ntypes"))) {
        return std::nullopt;
    }
    if (u->nin != 2 || u->nout != 1 || u->nargs != 3 || u->name == nullptr || std::strcmp(u->name, "power") != 0 ||
        u->functions == nullptr || u->types == nullptr) {
        return std::nullopt;
    }
    const int f8 = py::int_(np.attr("dtype")("float64").attr("num"));
    py::list signatures = power.attr("types");
    if (static_cast<int>(py::len(signatures)) != u->ntypes) return std::nullopt;
    for (int i = 0; i < u->ntypes; ++i) {
        const char* t = u->types + 3 * i;
        if (t[0] != f8 || t[1] != f8 || t[2] != f8) continue;
        if (py::str(signatures[static_cast<std::size_t>(i)]).cast<std::string>() != "dd->d") return std::nullopt;
        kernels::PowerLoop loop;
        loop.function = u->functions[i];
        loop.data = u->data ? u->data[i] : nullptr;
        if (loop.function == nullptr) return std::nullopt;
        return loop;
    }
    return std::nullopt;
}

bool power_loop_agrees(const kernels::PowerLoop& loop) {
    py::module_ np = py::module_::import("numpy");
    const std::vector<double> x = probe_values();
    py::bytes raw(reinterpret_cast<const char*>(x.data()), x.size() * sizeof(double));
    py::object arr = np.attr("frombuffer")(raw, "dtype"_a = np.attr("float64"));
    std::vector<double> mine(x.size());
    for (double order : {2.0, 3.0, 4.0}) {
        // SciPy's a_zero_mean**order: the exponent a 0-d float64 array.
        py::object theirs = arr.attr("__pow__")(np.attr("asarray")(order, "dtype"_a = np.attr("float64")));
        const std::string bytes = py::bytes(theirs.attr("tobytes")());
        if (bytes.size() != x.size() * sizeof(double)) return false;
        loop(x.data(), x.size(), order, mine.data());
        if (std::memcmp(bytes.data(), mine.data(), bytes.size()) != 0) return false;
    }
    // The analysis' shortcut squares with np.square; the kernel's d**2.0
    // must be that square.
    loop(x.data(), x.size(), 2.0, mine.data());
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (!same_bits(mine[i], x[i] * x[i])) return false;
    }
    // The finish's m2**1.5 and m2**2.0 on 0-d moments.
    for (std::size_t i = 0; i < x.size(); i += 97) {
        const double m = x[i] * x[i];
        py::object zero_d = np.attr("asarray")(m, "dtype"_a = np.attr("float64"));
        for (double e : {1.5, 2.0}) {
            const double theirs = py::float_(zero_d.attr("__pow__")(py::float_(e)));
            if (!same_bits(theirs, loop.scalar(m, e))) return false;
        }
    }
    return true;
}

kernels::MomentRules running_moment_rules(std::size_t sum_block) {
    kernels::MomentRules out;
    out.sum_block = sum_block;
    py::module_ np = py::module_::import("numpy");
    const rules::Release scipy = release(py::module_::import("scipy"));
    const rules::Release numpy = release(np);
    py::object finfo = np.attr("finfo")(np.attr("float64"));
    const bool by_resolution = rules::releases::scipy_zero_variance_by_resolution(scipy);
    out.tolerance = py::float_(finfo.attr(by_resolution ? "resolution" : "eps"));
    if (rules::releases::scipy_moments_by_squares(scipy)) {
        out.formula = kernels::MomentFormula::squares;
        return out;
    }
    if (!rules::releases::scipy_moments_by_powers(scipy, numpy)) return out;
    // The probe runs once per loop (a process imports one NumPy).
    static kernels::PowerLoop::Function checked = nullptr;
    static bool agreed = false, rounds = false;
    const std::optional<kernels::PowerLoop> loop = numpy_power_loop();
    if (!loop) return out;
    if (loop->function != checked) {
        agreed = power_loop_agrees(*loop);
        rounds = agreed && rounds_negative_powers(*loop);
        checked = loop->function;
    }
    if (!agreed) return out;
    out.formula = kernels::MomentFormula::powers;
    out.power = *loop;
    out.power.rounds_negative_powers = rounds;
    return out;
}

}  // namespace tamsel::pyapi
