// The duplicate-column figure (duplicate_digests.hpp) for the Dask driver,
// whose partitions are read by different tasks: a column's state travels as
// a tuple (digest, flags, dtype or None, witnesses), the witnesses a dict
// (pyapi/duplicate_witnesses.hpp); a state of three items has none.
//
// duplicate_flags() -> {name: bit} of the flags (for the tests)
// duplicate_partial([road, ...]) -> [state, ...]: a partition's columns, each
//   read by its road: None (it could not be filled or hashed),
//   ("values", floats) of a float share with missing cells,
//   ("numbers", values, floating, canonical_floats, dtype) of plain numbers
//   without missing cells, or ("hashes", hashes, dtype, could_be_float_texts,
//   filled objects or None, objects or None) of rows hashed elsewhere, with
//   the filled share's objects (for its text facts) and the present objects
//   before the fill (for its witnesses)
// duplicate_merge([[state, ...], ...]) -> [state, ...]: runs in row order, each a list of columns
// duplicate_plan([state, ...]) -> (pairs, prefixes, zeros): prefixes {column: [witness, ...]}
//   for the columns hashed behind their witnesses, zeros {column: its first zero}
// duplicate_equal_pairs([hashes or None, ...], pairs) -> bool array, one per pair
// duplicate_confirm_merge([bool array, ...]) -> bool array
// duplicate_first_of_class(n_columns, equal_pairs) -> [(column, first earlier equal column), ...]
// objects_could_be_float_texts(values, fill) -> bool
// text_could_be_float_texts(offsets, data, missing, fill) -> bool
#include <algorithm>
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/duplicate_digests.hpp"
#include "../tamsel_eda/pyapi/arrow_text_chunks.hpp"
#include "../tamsel_eda/pyapi/duplicate_witnesses.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "../tamsel_eda/pyapi/text_hashes.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

namespace kd = tamsel::kernels::dupes;

void expect_args(Py_ssize_t nargs, Py_ssize_t n, const char* signature) {
    if (nargs != n) throw py::type_error(signature);
}

bool truth(PyObject* x) {
    const int t = PyObject_IsTrue(x);
    if (t < 0) throw py::error_already_set();
    return t == 1;
}

std::string dtype_arg(py::handle x) { return x.is_none() ? std::string() : py::str(x).cast<std::string>(); }

// A column's state: the kernel's digest and the driver's witnesses.
struct State {
    kd::ColumnDigest digest;
    py::dict witnesses;
};

py::object state_tuple(const State& s) {
    const kd::ColumnDigest& d = s.digest;
    return py::make_tuple(py::int_(d.digest), py::int_(d.flags),
                          d.dtype.empty() ? py::object(py::none()) : py::object(py::str(d.dtype)), s.witnesses);
}

State state_arg(py::handle x) {
    if (!PySequence_Check(x.ptr())) throw py::type_error("a state is (digest, flags, dtype, witnesses)");
    py::sequence t = py::reinterpret_borrow<py::sequence>(x);
    if (py::len(t) != 3 && py::len(t) != 4) throw py::type_error("a state is (digest, flags, dtype, witnesses)");
    State s;
    kd::ColumnDigest& d = s.digest;
    d.digest = PyLong_AsUnsignedLongLong(py::object(t[0]).ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
    d.flags = static_cast<std::uint32_t>(PyLong_AsUnsignedLong(py::object(t[1]).ptr()));
    if (PyErr_Occurred()) throw py::error_already_set();
    d.dtype = dtype_arg(t[2]);
    if (py::len(t) == 4) {
        py::object w = t[3];
        if (!PyDict_Check(w.ptr())) throw py::type_error("a state's witnesses are a dict");
        s.witnesses = py::reinterpret_borrow<py::dict>(w);
    }
    return s;
}

std::vector<State> states_arg(py::handle xs) { return pyapi::read_each(xs, state_arg); }

std::vector<kd::ColumnPair> pairs_arg(py::handle xs) {
    return pyapi::read_each(xs, [](py::handle x) {
        py::sequence p = py::reinterpret_borrow<py::sequence>(x);
        if (py::len(p) != 2) throw py::value_error("a pair is (later, earlier)");
        return kd::ColumnPair(size_arg(p[0]), size_arg(p[1]));
    });
}

// A one-dimensional buffer of 1-, 2-, 4- or 8-byte values as a hash column.
kernels::HashColumn hash_column(const Py_buffer& v, bool floating, bool canonical) {
    if (v.itemsize != 1 && v.itemsize != 2 && v.itemsize != 4 && v.itemsize != 8)
        throw py::value_error("expected 1-, 2-, 4- or 8-byte values");
    kernels::HashColumn c;
    c.data = static_cast<const std::byte*>(v.buf);
    c.stride = v.strides[0];
    c.width = static_cast<unsigned>(v.itemsize);
    c.floating = floating;
    c.canonical_floats = canonical;
    return c;
}

// A contiguous uint64 buffer of row hashes.
kd::HashRun hash_run(const Py_buffer& v) {
    if (v.itemsize != 8 || (v.shape[0] > 1 && v.strides[0] != 8))
        throw py::value_error("row hashes: a contiguous array of 8-byte words");
    return {v.buf, static_cast<std::size_t>(v.shape[0])};
}

PyObject* duplicate_flags(PyObject*, PyObject*) {
    return entry([&] {
        namespace f = kd::facts;
        const std::pair<const char*, std::uint32_t> names[] = {
            {"failed", f::failed},       {"text_fallback", f::text_fallback}, {"bytes_alone", f::bytes_alone},
            {"by_values", f::by_values}, {"by_hashes", f::by_hashes},         {"no_float_texts", f::no_float_texts},
            {"zero", f::zero},           {"negative_zero", f::negative_zero}, {"dtypes_differ", f::dtypes_differ},
        };
        return py::object(pyapi::dict_each(
            names, [](const auto& entry) { return py::str(entry.first); },
            [](const auto& entry) { return py::int_(entry.second); }));
    });
}

// The items of an object array (or any sequence), held as a list.
struct Items {
    py::object seq;
    PyObject* const* items = nullptr;
    Py_ssize_t n = 0;

    explicit Items(py::handle values) {
        if (values.is_none()) return;
        seq = py::reinterpret_steal<py::object>(PySequence_Fast(values.ptr(), "objects must be a sequence"));
        if (!seq) throw py::error_already_set();
        items = PySequence_Fast_ITEMS(seq.ptr());
        n = PySequence_Fast_GET_SIZE(seq.ptr());
    }
};

State values_state(py::handle floats) {
    HeldBuffer values(floats);
    const kernels::ValueType type = buffer_value_type(values.view());
    if (type != kernels::ValueType::f64 && type != kernels::ValueType::f32)
        throw py::type_error("expected float64 or float32 values");
    const kernels::HashColumn c = hash_column(values.view(), true, false);
    const std::size_t n = static_cast<std::size_t>(values.view().shape[0]);
    std::size_t first = n;
    State s;
    pyapi::without_gil([&](const std::function<bool()>&) {
        s.digest = kd::float_values_partial(c, n, &first);
        return true;
    });
    if (first < n)
        s.witnesses[py::make_tuple("first", py::handle(reinterpret_cast<PyObject*>(&PyFloat_Type)), py::none())] =
            py::float_(kd::float_value_at(c, first));
    return s;
}

State numbers_state(const py::tuple& road) {
    HeldBuffer values(road[1]);
    const kernels::HashColumn c = hash_column(values.view(), truth(road[2].ptr()), truth(road[3].ptr()));
    const std::size_t n = static_cast<std::size_t>(values.view().shape[0]);
    std::string dtype = dtype_arg(road[4]);
    State s;
    pyapi::without_gil([&](const std::function<bool()>&) {
        s.digest = kd::numbers_partial(c, n, std::move(dtype));
        return true;
    });
    return s;
}

State hashes_state(const py::tuple& road) {
    HeldBuffer hashes(road[1]);
    const kd::HashRun run = hash_run(hashes.view());
    const Items filled(road[4]), present(road[5]);
    const auto [fallback, has_bytes] = pyapi::object_decisions(filled.items, filled.n);
    State s;
    s.digest = kd::hashes_partial(run.hashes, run.n, dtype_arg(road[2]),
                                  kd::text_facts(fallback, has_bytes, truth(road[3].ptr())));
    s.witnesses = pyapi::share_witnesses(present.items, present.n);
    return s;
}

State share_state(py::handle road) {
    if (road.is_none()) {
        State failed;
        failed.digest.flags = kd::facts::failed;
        return failed;
    }
    if (!PyTuple_Check(road.ptr()) || PyTuple_GET_SIZE(road.ptr()) < 1) throw py::type_error("a road is a tuple");
    const py::tuple t = py::reinterpret_borrow<py::tuple>(road);
    const std::string tag = py::str(t[0]);
    const std::size_t size = py::len(t);
    if (tag == "values" && size == 2) return values_state(t[1]);
    if (tag == "numbers" && size == 5) return numbers_state(t);
    if (tag == "hashes" && size == 6) return hashes_state(t);
    throw py::value_error("not a road of the duplicate scan: " + tag);
}

PyObject* duplicate_partial(PyObject*, PyObject* arg) {
    return entry([&] { return py::object(pyapi::list_each(pyapi::read_each(arg, share_state), state_tuple)); });
}

PyObject* duplicate_merge(PyObject*, PyObject* arg) {
    return entry([&] {
        const std::vector<std::vector<State>> runs = pyapi::read_each(arg, states_arg);
        const auto merge = [](const State& a, const State& b) {
            return State{kd::merge(a.digest, b.digest), pyapi::merged_witnesses(a.witnesses, b.witnesses)};
        };
        return py::object(pyapi::list_each(argument_errors([&] { return kd::merge_runs(runs, merge); }), state_tuple));
    });
}

PyObject* duplicate_plan(PyObject*, PyObject* arg) {
    return entry([&] {
        const std::vector<State> states = states_arg(arg);
        std::vector<kd::ColumnDigest> digests(states.size());
        std::transform(states.begin(), states.end(), digests.begin(), [](const State& s) { return s.digest; });
        const kd::CandidatePlan plan = kd::candidate_plan(digests);
        const auto column = [](const auto& j) { return py::int_(j); };
        py::dict prefixes = pyapi::dict_each(
            plan.unsettled, column, [&](std::size_t u) { return py::list(states[u].witnesses.attr("values")()); });
        py::dict zeros = pyapi::dict_each(
            plan.zeros, [](const auto& zero) { return py::int_(zero.first); },
            [](const auto& zero) { return py::float_(zero.second ? -0.0 : 0.0); });
        return py::object(py::make_tuple(pyapi::list_of(plan.pairs), prefixes, zeros));
    });
}

PyObject* duplicate_equal_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        expect_args(nargs, 2, "duplicate_equal_pairs(hashes, pairs)");
        std::vector<std::unique_ptr<HeldBuffer>> held;
        const std::vector<kd::HashRun> columns = pyapi::read_each(args[0], [&](py::handle h) {
            if (h.is_none()) return kd::HashRun{};
            held.push_back(std::make_unique<HeldBuffer>(h));
            return hash_run(held.back()->view());
        });
        const std::vector<kd::ColumnPair> pairs = pairs_arg(args[1]);
        std::vector<std::uint8_t> out(pairs.size());
        argument_errors([&] { kd::equal_pairs(columns, pairs, out.data()); });
        return make_array(out, "bool");
    });
}

PyObject* duplicate_confirm_merge(PyObject*, PyObject* arg) {
    return entry([&] {
        const std::vector<std::vector<std::uint8_t>> shares =
            pyapi::read_each(arg, [](py::handle part) { return read_array<std::uint8_t>(part, "bool"); });
        return make_array(argument_errors([&] { return kd::confirm_merge(shares); }), "bool");
    });
}

PyObject* duplicate_first_of_class(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        expect_args(nargs, 2, "duplicate_first_of_class(n_columns, equal_pairs)");
        const std::size_t n = size_arg(args[0]);
        const std::vector<kd::ColumnPair> equal = pairs_arg(args[1]);
        return py::object(pyapi::list_of(argument_errors([&] { return kd::first_of_class(n, equal); })));
    });
}

std::uint32_t fill_start(PyObject* fill) {
    if (!PyUnicode_Check(fill)) throw py::type_error("fill: a str");
    if (PyUnicode_GET_LENGTH(fill) == 0) throw py::value_error("fill: a non-empty str");
    return PyUnicode_READ_CHAR(fill, 0);
}

PyObject* objects_could_be_float_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        expect_args(nargs, 2, "objects_could_be_float_texts(values, fill)");
        const std::uint32_t start = fill_start(args[1]);
        py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(args[0], "values must be a sequence"));
        if (!seq) throw py::error_already_set();
        return py::object(py::bool_(pyapi::objects_could_be_float_texts(PySequence_Fast_ITEMS(seq.ptr()),
                                                                        PySequence_Fast_GET_SIZE(seq.ptr()), start)));
    });
}

PyObject* text_could_be_float_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        expect_args(nargs, 2, "text_could_be_float_texts(series, fill)");
        fill_start(args[1]);
        std::optional<pyapi::ArrowTextChunks> text = pyapi::arrow_text_chunks(args[0], true);
        if (!text) return py::object(py::none());
        Py_ssize_t len = 0;
        const char* fill = PyUnicode_AsUTF8AndSize(args[1], &len);
        if (!fill) throw py::error_already_set();
        const auto lead = static_cast<std::uint8_t>(fill[0]);
        return py::object(py::bool_(kd::texts_could_be_float_texts(text->chunks, text->rows, lead)));
    });
}

}  // namespace

const PyMethodDef duplicate_entries[] = {
    {"duplicate_partial", duplicate_partial, METH_O,
     "duplicate_partial(roads): the states of a partition's columns, each read by its road."},
    {"duplicate_merge", duplicate_merge, METH_O, "duplicate_merge(runs): the states of runs of rows, merged."},
    {"duplicate_plan", duplicate_plan, METH_O, "duplicate_plan(states): (pairs, prefixes, zeros) to confirm."},
    {"duplicate_equal_pairs", fastcall(duplicate_equal_pairs), METH_FASTCALL,
     "duplicate_equal_pairs(hashes, pairs): which pairs have equal row hashes."},
    {"duplicate_confirm_merge", duplicate_confirm_merge, METH_O,
     "duplicate_confirm_merge(shares): the pairs equal in every share."},
    {"duplicate_first_of_class", fastcall(duplicate_first_of_class), METH_FASTCALL,
     "duplicate_first_of_class(n_columns, equal_pairs): each duplicate with its class's first column."},
    {"objects_could_be_float_texts", fastcall(objects_could_be_float_texts), METH_FASTCALL,
     "objects_could_be_float_texts(values, fill): whether objects could hash as floats' texts."},
    {"text_could_be_float_texts", fastcall(text_could_be_float_texts), METH_FASTCALL,
     "text_could_be_float_texts(series, fill): the same of a Series of Arrow text; None for another."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef duplicate_test_entries[] = {
    {"duplicate_flags", duplicate_flags, METH_NOARGS, "duplicate_flags(): the bits of a column state's flags."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
