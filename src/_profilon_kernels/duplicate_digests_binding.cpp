// The duplicate-column figure (duplicate_digests.hpp) for the Dask driver,
// whose partitions are read by different tasks: a column's state travels as
// a tuple (digest, flags, dtype or None, ...), of which only the first three
// items are read here (the driver keeps its witnesses after them).
//
// duplicate_flags() -> {name: bit} of the flags
// duplicate_float_values_partial(values) -> (digest, flags, dtype, first_present)
// duplicate_numbers_partial(values, floating, canonical_floats, dtype) -> state
// duplicate_hashes_partial(hashes, dtype, text_fallback, bytes_alone, could_be_float_texts) -> state
// duplicate_merge([[state, ...], ...]) -> [state, ...]: runs in row order, each a list of columns
// duplicate_plan([state, ...]) -> (pairs, unsettled, zeros): zeros [(column, negative), ...]
// duplicate_equal_pairs([hashes or None, ...], pairs) -> bool array, one per pair
// duplicate_confirm_merge([bool array, ...]) -> bool array
// duplicate_first_of_class(n_columns, equal_pairs) -> [(column, first earlier equal column), ...]
// objects_could_be_float_texts(values, fill) -> bool
// text_could_be_float_texts(offsets, data, missing, fill) -> bool
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/duplicate_digests.hpp"
#include "../tamsel_eda/pyapi/text_hashes.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

namespace kd = tamsel::kernels::dupes;

template <auto F>
PyCFunction fast() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

void expect_args(Py_ssize_t nargs, Py_ssize_t n, const char* signature) {
    if (nargs != n) throw py::type_error(signature);
}

bool truth(PyObject* x) {
    const int t = PyObject_IsTrue(x);
    if (t < 0) throw py::error_already_set();
    return t == 1;
}

std::string dtype_arg(py::handle x) { return x.is_none() ? std::string() : py::str(x).cast<std::string>(); }

py::object state_tuple(const kd::ColumnDigest& d) {
    return py::make_tuple(py::int_(d.digest), py::int_(d.flags),
                          d.dtype.empty() ? py::object(py::none()) : py::object(py::str(d.dtype)));
}

kd::ColumnDigest state_arg(py::handle x) {
    py::sequence t = py::reinterpret_borrow<py::sequence>(x);
    if (!PySequence_Check(x.ptr()) || py::len(t) < 3) throw py::type_error("a state is (digest, flags, dtype, ...)");
    kd::ColumnDigest d;
    d.digest = PyLong_AsUnsignedLongLong(py::object(t[0]).ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
    d.flags = static_cast<std::uint32_t>(PyLong_AsUnsignedLong(py::object(t[1]).ptr()));
    if (PyErr_Occurred()) throw py::error_already_set();
    d.dtype = dtype_arg(t[2]);
    return d;
}

std::vector<kd::ColumnDigest> states_arg(py::handle xs) {
    std::vector<kd::ColumnDigest> out;
    for (py::handle x : xs) out.push_back(state_arg(x));
    return out;
}

std::vector<kd::ColumnPair> pairs_arg(py::handle xs) {
    std::vector<kd::ColumnPair> out;
    for (py::handle x : xs) {
        py::sequence p = py::reinterpret_borrow<py::sequence>(x);
        if (py::len(p) != 2) throw py::value_error("a pair is (later, earlier)");
        out.emplace_back(size_arg(p[0]), size_arg(p[1]));
    }
    return out;
}

py::list pairs_list(const std::vector<kd::ColumnPair>& pairs) {
    py::list out;
    for (const auto& [a, b] : pairs) out.append(py::make_tuple(a, b));
    return out;
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
        py::dict out;
        const std::pair<const char*, std::uint32_t> names[] = {
            {"failed", f::failed},       {"text_fallback", f::text_fallback}, {"bytes_alone", f::bytes_alone},
            {"by_values", f::by_values}, {"by_hashes", f::by_hashes},         {"no_float_texts", f::no_float_texts},
            {"zero", f::zero},           {"negative_zero", f::negative_zero}, {"dtypes_differ", f::dtypes_differ},
        };
        for (const auto& [name, bit] : names) out[name] = bit;
        return py::object(out);
    });
}

PyObject* duplicate_float_values_partial(PyObject*, PyObject* arg) {
    return entry([&] {
        HeldBuffer values(arg);
        const kernels::ValueType type = buffer_value_type(values.view());
        if (type != kernels::ValueType::f64 && type != kernels::ValueType::f32)
            throw py::type_error("expected float64 or float32 values");
        const kernels::HashColumn c = hash_column(values.view(), true, false);
        const std::size_t n = static_cast<std::size_t>(values.view().shape[0]);
        std::size_t first = n;
        kd::ColumnDigest d;
        pyapi::without_gil([&](const std::function<bool()>&) {
            d = kd::float_values_partial(c, n, &first);
            return true;
        });
        py::tuple s = state_tuple(d);
        return py::object(py::make_tuple(s[0], s[1], s[2], first));
    });
}

PyObject* duplicate_numbers_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        expect_args(nargs, 4, "duplicate_numbers_partial(values, floating, canonical_floats, dtype)");
        HeldBuffer values(args[0]);
        const kernels::HashColumn c = hash_column(values.view(), truth(args[1]), truth(args[2]));
        const std::size_t n = static_cast<std::size_t>(values.view().shape[0]);
        std::string dtype = dtype_arg(args[3]);
        kd::ColumnDigest d;
        pyapi::without_gil([&](const std::function<bool()>&) {
            d = kd::numbers_partial(c, n, std::move(dtype));
            return true;
        });
        return state_tuple(d);
    });
}

PyObject* duplicate_hashes_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        expect_args(nargs, 5,
                    "duplicate_hashes_partial(hashes, dtype, text_fallback, bytes_alone, could_be_float_texts)");
        HeldBuffer hashes(args[0]);
        const kd::HashRun run = hash_run(hashes.view());
        namespace f = kd::facts;
        const std::uint32_t flags = (truth(args[2]) ? f::text_fallback : 0) | (truth(args[3]) ? f::bytes_alone : 0) |
                                    (truth(args[4]) ? 0 : f::no_float_texts);
        return state_tuple(kd::hashes_partial(run.hashes, run.n, dtype_arg(args[1]), flags));
    });
}

PyObject* duplicate_merge(PyObject*, PyObject* arg) {
    return entry([&] {
        std::vector<std::vector<kd::ColumnDigest>> runs;
        for (py::handle run : py::reinterpret_borrow<py::iterable>(arg)) {
            runs.push_back(states_arg(run));
            if (runs.back().size() != runs.front().size()) throw py::value_error("runs of different columns");
        }
        py::list out;
        for (const kd::ColumnDigest& d : kd::merge_runs(runs)) out.append(state_tuple(d));
        return py::object(out);
    });
}

PyObject* duplicate_plan(PyObject*, PyObject* arg) {
    return entry([&] {
        const kd::CandidatePlan plan = kd::candidate_plan(states_arg(arg));
        py::list unsettled, zeros;
        for (std::size_t u : plan.unsettled) unsettled.append(u);
        for (const auto& [j, negative] : plan.zeros) zeros.append(py::make_tuple(j, negative));
        return py::object(py::make_tuple(pairs_list(plan.pairs), unsettled, zeros));
    });
}

PyObject* duplicate_equal_pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        expect_args(nargs, 2, "duplicate_equal_pairs(hashes, pairs)");
        std::vector<std::unique_ptr<HeldBuffer>> held;
        std::vector<kd::HashRun> columns;
        for (py::handle h : py::reinterpret_borrow<py::iterable>(args[0])) {
            if (h.is_none()) {
                columns.emplace_back();
                continue;
            }
            held.push_back(std::make_unique<HeldBuffer>(h));
            columns.push_back(hash_run(held.back()->view()));
        }
        const std::vector<kd::ColumnPair> pairs = pairs_arg(args[1]);
        for (const auto& [a, b] : pairs)
            if (a >= columns.size() || b >= columns.size()) throw py::value_error("a pair names a column not given");
        std::vector<std::uint8_t> out(pairs.size());
        kd::equal_pairs(columns, pairs, out.data());
        return make_array(out, "bool");
    });
}

PyObject* duplicate_confirm_merge(PyObject*, PyObject* arg) {
    return entry([&] {
        std::vector<std::vector<std::uint8_t>> shares;
        for (py::handle part : py::reinterpret_borrow<py::iterable>(arg)) {
            shares.push_back(read_array<std::uint8_t>(part, "bool"));
            if (shares.back().size() != shares.front().size()) throw py::value_error("shares of different pairs");
        }
        return make_array(kd::confirm_merge(shares), "bool");
    });
}

PyObject* duplicate_first_of_class(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        expect_args(nargs, 2, "duplicate_first_of_class(n_columns, equal_pairs)");
        const std::size_t n = size_arg(args[0]);
        const std::vector<kd::ColumnPair> equal = pairs_arg(args[1]);
        for (const auto& [a, b] : equal)
            if (a >= n || b >= n) throw py::value_error("a pair names a column past n_columns");
        return py::object(pairs_list(kd::first_of_class(n, equal)));
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
        expect_args(nargs, 4, "text_could_be_float_texts(offsets, data, missing, fill)");
        TextArg text(args[0], args[1], args[2]);
        fill_start(args[3]);
        Py_ssize_t len = 0;
        const char* fill = PyUnicode_AsUTF8AndSize(args[3], &len);
        if (!fill) throw py::error_already_set();
        const auto lead = static_cast<std::uint8_t>(fill[0]);
        return py::object(py::bool_(kd::texts_could_be_float_texts(text.column, text.n, lead)));
    });
}

}  // namespace

const PyMethodDef duplicate_entries[] = {
    {"duplicate_flags", duplicate_flags, METH_NOARGS, "duplicate_flags(): the bits of a column state's flags."},
    {"duplicate_float_values_partial", duplicate_float_values_partial, METH_O,
     "duplicate_float_values_partial(values): the state of a float share with missing cells, and its first value."},
    {"duplicate_numbers_partial", fast<duplicate_numbers_partial>(), METH_FASTCALL,
     "duplicate_numbers_partial(values, floating, canonical_floats, dtype): the state of a share of plain numbers."},
    {"duplicate_hashes_partial", fast<duplicate_hashes_partial>(), METH_FASTCALL,
     "duplicate_hashes_partial(hashes, dtype, text_fallback, bytes_alone, could): the state of hashed rows."},
    {"duplicate_merge", duplicate_merge, METH_O, "duplicate_merge(runs): the states of runs of rows, merged."},
    {"duplicate_plan", duplicate_plan, METH_O, "duplicate_plan(states): (pairs, unsettled, zeros) to confirm."},
    {"duplicate_equal_pairs", fast<duplicate_equal_pairs>(), METH_FASTCALL,
     "duplicate_equal_pairs(hashes, pairs): which pairs have equal row hashes."},
    {"duplicate_confirm_merge", duplicate_confirm_merge, METH_O,
     "duplicate_confirm_merge(shares): the pairs equal in every share."},
    {"duplicate_first_of_class", fast<duplicate_first_of_class>(), METH_FASTCALL,
     "duplicate_first_of_class(n_columns, equal_pairs): each duplicate with its class's first column."},
    {"objects_could_be_float_texts", fast<objects_could_be_float_texts>(), METH_FASTCALL,
     "objects_could_be_float_texts(values, fill): whether objects could hash as floats' texts."},
    {"text_could_be_float_texts", fast<text_could_be_float_texts>(), METH_FASTCALL,
     "text_could_be_float_texts(offsets, data, missing, fill): the same of Arrow-laid texts."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
