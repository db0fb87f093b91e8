// The most-recent-points kernel (recent_points.hpp) on NumPy arrays: time
// keys of int64, uint64 or float64, and one byte per row for the masks.
//
// recent_facts(key, missing, valid) -> (valid, untimed, low, high): one
// partition's facts of one target (low and high None without a timed row).
// recent_plans(key_dtypes, facts, points) -> per partition, per target None
// (no bound: its dtype None, or too few rows with a value to need one), False
// (no row of the partition meets the bound) or the bound (untimed_only,
// bound, None when untimed_only), the one over every partition's facts:
// facts holds per target its facts per partition, key_dtypes per target its
// keys' dtype or None.
// recent_rows(key, missing, valid, points, bound) -> int64 indices: the
// `points` most recent rows with a value (valid None: every row), meeting
// bound (None, or (untimed_only, bound)), ascending.
#include <functional>
#include <memory>
#include <ranges>
#include <vector>

#include "../tamsel_eda/kernels/recent_points.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

using kernels::RecentBound;
using kernels::RecentFacts;

// A contiguous array (the array itself when it is one), held while read.
struct Contiguous {
    py::object array;
    std::unique_ptr<HeldBuffer> held;
    const void* data = nullptr;
    std::size_t n = 0;

    Contiguous(py::handle obj, const char* dtype) {
        py::object np = py::module_::import("numpy");
        array = dtype ? np.attr("ascontiguousarray")(obj, "dtype"_a = dtype) : np.attr("ascontiguousarray")(obj);
        held = std::make_unique<HeldBuffer>(array);
        data = held->view().buf;
        n = static_cast<std::size_t>(held->view().shape[0]);
    }
    kernels::ValueType type() const { return buffer_value_type(held->view()); }
    const std::uint8_t* bytes() const { return static_cast<const std::uint8_t*>(data); }
};

void check_args(Py_ssize_t nargs, Py_ssize_t want, const char* signature) {
    if (nargs != want) throw py::type_error(signature);
}

// Calls body(Key{}) for the key type.
template <class Body>
py::object by_key(kernels::ValueType type, Body&& body) {
    switch (type) {
        case kernels::ValueType::i64:
            return body(std::int64_t{});
        case kernels::ValueType::u64:
            return body(std::uint64_t{});
        case kernels::ValueType::f64:
            return body(double{});
        default:
            throw py::type_error("time keys must be int64, uint64 or float64");
    }
}

kernels::ValueType dtype_type(py::handle dtype) {
    const std::string name = py::str(py::module_::import("numpy").attr("dtype")(dtype));
    if (name == "int64") return kernels::ValueType::i64;
    if (name == "uint64") return kernels::ValueType::u64;
    if (name == "float64") return kernels::ValueType::f64;
    throw py::type_error("time keys must be int64, uint64 or float64");
}

template <class Key>
py::object facts_tuple(const RecentFacts<Key>& f) {
    py::object none = py::none();
    return py::make_tuple(f.valid, f.untimed, f.timed ? py::cast(f.low) : none, f.timed ? py::cast(f.high) : none);
}

template <class Key>
RecentFacts<Key> facts_of(py::handle obj) {
    py::tuple t = py::reinterpret_borrow<py::tuple>(obj);
    if (py::len(t) != 4) throw py::value_error("facts are (valid, untimed, low, high)");
    RecentFacts<Key> f{py::cast<std::int64_t>(t[0]), py::cast<std::int64_t>(t[1]), !t[2].is_none(), Key{}, Key{}};
    if (f.valid < 0 || f.untimed < 0 || f.untimed > f.valid || f.timed != !t[3].is_none())
        throw py::value_error("facts: 0 <= untimed <= valid, and low and high both given or both None");
    if (f.timed) {
        f.low = py::cast<Key>(t[2]);
        f.high = py::cast<Key>(t[3]);
    }
    return f;
}

PyObject* recent_facts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 3, "recent_facts(key, missing, valid)");
        Contiguous key(args[0], nullptr), missing(args[1], "bool"), valid(args[2], "bool");
        if (missing.n != key.n || valid.n != key.n) throw py::value_error("one mask byte per key");
        return by_key(key.type(), [&]<class Key>(Key) {
            return facts_tuple(
                kernels::recent_facts(static_cast<const Key*>(key.data), missing.bytes(), valid.bytes(), key.n));
        });
    });
}

// One target's bound (None: none needed), and per partition whether it reaches it.
py::object plan_of(py::handle key_dtype, py::handle facts, std::size_t points, std::vector<std::uint8_t>& reaches) {
    return by_key(dtype_type(key_dtype), [&]<class Key>(Key) {
        const std::vector<RecentFacts<Key>> read = pyapi::read_each(facts, facts_of<Key>);
        RecentBound<Key> bound;
        if (!kernels::recent_plan(read, points, bound, reaches)) return py::object(py::none());
        py::object from = bound.untimed_only ? py::object(py::none()) : py::cast(bound.from);
        return py::object(py::make_tuple(py::bool_(bound.untimed_only), from));
    });
}

PyObject* recent_plans(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 3, "recent_plans(key_dtypes, facts, points)");
        const std::size_t points = size_arg(args[2]);
        py::list dtypes = py::reinterpret_borrow<py::list>(args[0]), facts = py::reinterpret_borrow<py::list>(args[1]);
        if (py::len(dtypes) != py::len(facts)) throw py::value_error("one key dtype per target's facts");
        const std::size_t parts = py::len(facts) ? py::len(facts[0]) : 0;
        const auto targets = std::views::iota(std::size_t{0}, py::len(facts));
        std::vector<std::vector<std::uint8_t>> reaches(targets.size());
        const std::vector<py::object> bounds = pyapi::map_each(targets, [&](std::size_t t) {
            if (py::len(facts[t]) != parts) throw py::value_error("every target's facts cover every partition");
            return dtypes[t].is_none() ? py::object(py::none()) : plan_of(dtypes[t], facts[t], points, reaches[t]);
        });
        // Per partition, each target's bound, or False where none of its
        // rows there can reach it.
        return py::object(pyapi::list_each(std::views::iota(std::size_t{0}, parts), [&](std::size_t i) {
            return pyapi::list_each(targets, [&](std::size_t t) {
                return bounds[t].is_none() || reaches[t][i] ? bounds[t] : py::object(py::bool_(false));
            });
        }));
    });
}

PyObject* recent_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        check_args(nargs, 5, "recent_rows(key, missing, valid, points, bound)");
        Contiguous key(args[0], nullptr), missing(args[1], "bool");
        std::unique_ptr<Contiguous> valid;
        if (args[2] != Py_None) valid = std::make_unique<Contiguous>(args[2], "bool");
        if (missing.n != key.n || (valid && valid->n != key.n)) throw py::value_error("one mask byte per key");
        const std::size_t points = size_arg(args[3]);
        return by_key(key.type(), [&]<class Key>(Key) {
            std::unique_ptr<RecentBound<Key>> bound;
            if (args[4] != Py_None) {
                py::tuple t = py::reinterpret_borrow<py::tuple>(args[4]);
                if (py::len(t) != 2) throw py::value_error("a bound is (untimed_only, bound)");
                const bool untimed_only = PyObject_IsTrue(t[0].ptr()) == 1;
                bound = std::make_unique<RecentBound<Key>>(untimed_only, untimed_only ? Key{} : py::cast<Key>(t[1]));
            }
            const auto chosen = pyapi::without_gil([&](const std::function<bool()>&) {
                return kernels::recent_rows(static_cast<const Key*>(key.data), missing.bytes(),
                                            valid ? valid->bytes() : nullptr, key.n, points, bound.get());
            });
            return make_array(chosen, "int64");
        });
    });
}

}  // namespace

const PyMethodDef recent_points_entries[] = {
    {"recent_facts", fastcall(recent_facts), METH_FASTCALL,
     "recent_facts(key, missing, valid): (valid, untimed, low, high) of one partition."},
    {"recent_plans", fastcall(recent_plans), METH_FASTCALL,
     "recent_plans(key_dtypes, facts, points): per partition, each target's bound, False or None."},
    {"recent_rows", fastcall(recent_rows), METH_FASTCALL,
     "recent_rows(key, missing, valid, points, bound): the most recent rows' indices, ascending."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
