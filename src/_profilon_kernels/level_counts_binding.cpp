// The level-count kernel.
//
// level_counts(values, mask, missing, ranges, weights=None) counts one
// column: `values` a one-dimensional NumPy array of plain numbers, `mask`
// None or a boolean array of the same length (true: a missing cell),
// `missing` "" (only the mask), "nat" (INT64_MIN is missing) or "hashed"
// (uint64 hashes of an earlier result, taken as they are), and `weights`
// None or an int64 count per row. Gives None when the kernel cannot decide (a
// masked float column holding an unmasked NaN), else (hashes, counts,
// range_begin, nan, masked, nat): uint64 and int64 arrays of the distinct
// levels, range r being [range_begin[r], range_begin[r + 1]).
//
// level_counts_columns(columns, ranges, threads=None) counts a list of
// (values, mask, missing) or (values, mask, missing, weights) columns at
// once, on up to `threads` threads (the thread count otherwise), and gives
// the list of their results.
//
// The mergeable steps. A state is a tuple of arrays (hashes uint64, counts
// int64, begin int64, missing int64, lone int64, lone_begin int64): one
// range's levels of k columns (see kernels/level_counts.hpp).
// level_partial(columns, ranges, numbers=None) gives one share's states,
// one per range: each column is (values, mask, missing[, weights]) for the
// kernel to read, or (missing_kinds, lone[, keys, counts, hashes]) for a
// column pandas counted: its cells of the missing kinds None, pd.NA, NaT,
// NaN (four int64), the counts of its missing levels that equal only
// themselves, and its present levels (a sequence of objects, int64 counts,
// uint64 hashes in the metadata's dtype or None: routed then by the key,
// as level_routes routes with `numbers`). A state then ends in (keys
// (a list), key_counts, key_hashes, key_begin): the present levels pandas
// counted, which level_merge unites as pandas' hash table compares keys,
// and joins to the kernel's levels of a column by their hashes where a
// column has both.
// level_merge(states) unites states of one range. level_finish(state, rows,
// extra=None) gives (distinct, rare): each column's distinct present levels
// and the cells of its levels counted at most max(int(0.01 * rows), 2)
// times; extra, a list with None or an int64 array of counts per column,
// adds the present levels the caller united.
// few_levels(columns) gives (levels uint8, hashes uint64) of one share:
// per column 0 no value, 1 one value (and its hash), 2 more; a "hashed"
// column holds the hashes of a share's levels pandas counted; few_merge(states)
// gives each column's 0, 1 or 2 over the shares.
//
// distinct_counts(columns, threads=None): Series.nunique(dropna=True) of a
// list of (values, mask, missing) columns of one length, `missing` "" (only
// the mask), "nat" or "codes" (negative values are missing); None where the
// kernel cannot decide. `threads` sets how many parts the columns are split
// into (the thread count otherwise).
//
// The routing of pandas-counted levels (pyapi/object_levels.hpp):
// level_routes(keys, ranges, numbers): the range (intp) of each level of an
// object array of keys, the same in every process for equal keys.
// level_missing(keys, counts, kinds): the missing keys of a value_counts
// with their int64 counts, as (four int64 cell counts of the missing kinds
// `kinds` (None, pd.NA, NaT) and a float NaN; int64 counts of the keys only
// equal to themselves).
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../tamsel_eda/kernels/kernels.hpp"
#include "../tamsel_eda/kernels/level_counts.hpp"
#include "../tamsel_eda/pyapi/object_levels.hpp"
#include "../tamsel_eda/pyapi/sequences.hpp"
#include "arrays.hpp"
#include "entries.hpp"

namespace tamsel::kernel_module {
namespace {

// A new NumPy array of `dtype` holding values[0, n).
template <class T>
py::object array_of(const T* values, std::size_t n, const char* dtype) {
    py::object arr = py::module_::import("numpy").attr("empty")(n, "dtype"_a = dtype);
    Py_buffer view;
    if (PyObject_GetBuffer(arr.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
    if (n) std::memcpy(view.buf, values, n * sizeof(T));
    PyBuffer_Release(&view);
    return arr;
}

// One column argument, its buffers held while the kernel reads them.
struct LevelArg {
    std::vector<std::unique_ptr<HeldBuffer>> held;
    kernels::LevelColumn column;
    std::size_t rows = 0;

    LevelArg(py::handle values, py::handle mask, py::handle missing_kind, py::handle weights,
             bool codes_allowed = false) {
        held.push_back(std::make_unique<HeldBuffer>(values));
        const Py_buffer& v = held.back()->view();
        rows = static_cast<std::size_t>(v.shape[0]);
        column.view.data = v.buf;
        column.view.stride = v.strides[0];
        column.view.type = buffer_value_type(v);
        if (!mask.is_none()) {
            held.push_back(std::make_unique<HeldBuffer>(mask));
            const Py_buffer& m = held.back()->view();
            if (static_cast<std::size_t>(m.shape[0]) != rows || m.itemsize != 1)
                throw py::value_error("mask: bytes, one per row");
            column.view.missing = static_cast<const std::uint8_t*>(m.buf);
            column.view.missing_stride = m.strides[0];
        }
        const std::string missing = py::str(missing_kind);
        if (missing == "nat") {
            if (column.view.type != kernels::ValueType::i64) throw py::value_error("nat: int64 values");
            column.skip_int_min = true;
        } else if (missing == "hashed") {
            if (column.view.type != kernels::ValueType::u64) throw py::value_error("hashed: uint64 values");
            column.hashed = true;
        } else if (missing == "codes" && codes_allowed) {
            column.skip_negative = true;
        } else if (!missing.empty()) {
            throw py::value_error(codes_allowed ? "missing: '', 'nat', 'hashed' or 'codes'"
                                                : "missing: '', 'nat' or 'hashed'");
        }
        if (!weights.is_none()) {
            held.push_back(std::make_unique<HeldBuffer>(weights));
            const Py_buffer& w = held.back()->view();
            if (static_cast<std::size_t>(w.shape[0]) != rows || buffer_value_type(w) != kernels::ValueType::i64)
                throw py::value_error("weights: int64, one per row");
            column.weights = static_cast<const std::int64_t*>(w.buf);
            column.weights_stride = w.strides[0];
        }
    }
};

// A list or tuple argument, checked: the accessors below read its items
// unchecked.
py::list list_arg(py::handle obj, const char* what) {
    if (!PyList_Check(obj.ptr())) throw py::type_error(std::string(what) + ": a list");
    return py::reinterpret_borrow<py::list>(obj);
}

py::tuple tuple_arg(py::handle obj, const char* what) {
    if (!PyTuple_Check(obj.ptr())) throw py::type_error(std::string(what) + ": a tuple");
    return py::reinterpret_borrow<py::tuple>(obj);
}

// A (values, mask, missing[, weights]) tuple of a list argument.
std::unique_ptr<LevelArg> level_arg(py::handle item, bool codes_allowed = false) {
    py::tuple t = tuple_arg(item, "a column");
    const std::size_t fields = py::len(t);
    if (fields != 3 && fields != 4) throw py::value_error("each column is (values, mask, missing[, weights])");
    const py::object weights = fields == 4 ? py::object(t[3]) : py::object(py::none());
    return std::make_unique<LevelArg>(t[0], t[1], t[2], weights, codes_allowed);
}

std::size_t ranges_arg(py::handle obj) {
    const std::size_t ranges = size_arg(obj);
    if (ranges < 1) throw py::value_error("ranges must be at least 1");
    return ranges;
}

// Each argument's kernel column and rows.
std::vector<kernels::LevelColumn> columns_of(const std::vector<std::unique_ptr<LevelArg>>& args) {
    return pyapi::map_each(args, [](const std::unique_ptr<LevelArg>& a) { return a->column; });
}

std::vector<std::size_t> rows_of(const std::vector<std::unique_ptr<LevelArg>>& args) {
    return pyapi::map_each(args, [](const std::unique_ptr<LevelArg>& a) { return a->rows; });
}

std::vector<std::unique_ptr<LevelArg>> level_args(py::handle obj, const char* what, bool codes_allowed = false) {
    return pyapi::read_each(list_arg(obj, what), [&](py::handle item) { return level_arg(item, codes_allowed); });
}

// Counts `args` and gives their results, in order.
py::list run(const std::vector<std::unique_ptr<LevelArg>>& args, std::size_t ranges, std::size_t parts) {
    const std::vector<kernels::LevelColumn> columns = columns_of(args);
    const std::vector<std::size_t> rows = rows_of(args);
    kernels::LevelProblem p;
    p.columns = columns.data();
    p.rows = rows.data();
    p.k = columns.size();
    p.ranges = ranges;
    p.parts = parts;
    std::vector<kernels::LevelCounts> out(p.k);
    // A stop can only come from a signal, whose error without_gil raises.
    pyapi::without_gil([&](const std::function<bool()>& poll) { return kernels::level_counts(p, out.data(), poll); });
    return pyapi::list_each(out, [](const kernels::LevelCounts& o) {
        if (o.undecided) return py::object(py::none());
        return py::object(py::make_tuple(array_of(o.hashes.get(), o.size, "uint64"),
                                         array_of(o.counts.get(), o.size, "int64"),
                                         array_of(o.range_begin.data(), o.range_begin.size(), "intp"), py::int_(o.nan),
                                         py::int_(o.masked), py::int_(o.nat)));
    });
}

PyObject* level_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 4 || nargs > 5) throw py::type_error("level_counts(values, mask, missing, ranges, weights=None)");
        std::vector<std::unique_ptr<LevelArg>> columns;
        columns.push_back(std::make_unique<LevelArg>(args[0], args[1], args[2], nargs > 4 ? args[4] : Py_None));
        return py::object(run(columns, ranges_arg(args[3]), 1)[0]);
    });
}

PyObject* level_counts_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 2 || nargs > 3) throw py::type_error("level_counts_columns(columns, ranges, threads=None)");
        const std::vector<std::unique_ptr<LevelArg>> columns = level_args(args[0], "columns");
        const std::size_t ranges = ranges_arg(args[1]);
        const std::size_t parts = nargs > 2 && args[2] != Py_None ? size_arg(args[2]) : kernels::thread_count();
        return py::object(run(columns, ranges, parts));
    });
}

// A contiguous 1-d array of `type`, its length checked when `length` is set.
template <class T>
const T* state_array(std::vector<std::unique_ptr<HeldBuffer>>& held, py::handle obj, kernels::ValueType type,
                     std::size_t& length, bool check_length, const char* what) {
    held.push_back(std::make_unique<HeldBuffer>(obj));
    const Py_buffer& v = held.back()->view();
    if (buffer_value_type(v) != type || (v.shape[0] > 1 && v.strides[0] != v.itemsize))
        throw py::value_error(std::string("state: ") + what + " of the wrong type or not contiguous");
    if (check_length && static_cast<std::size_t>(v.shape[0]) != length)
        throw py::value_error(std::string("state: ") + what + " of the wrong length");
    length = static_cast<std::size_t>(v.shape[0]);
    return static_cast<const T*>(v.buf);
}

// A state tuple read in place, checked to hold together; one of six arrays
// (no keys) is read as one without keys.
struct StateArg {
    std::vector<std::unique_ptr<HeldBuffer>> held;
    kernels::LevelStateView view;
    py::object keys;                 // a sequence, its items read in place
    std::vector<std::int64_t> none;  // key_begin of a state without keys

    explicit StateArg(py::handle obj) {
        py::tuple t = tuple_arg(obj, "a state");
        const std::size_t fields = py::len(t);
        if (fields != 6 && fields != 10)
            throw py::value_error(
                "a state is (hashes, counts, begin, missing, lone, lone_begin[, keys, key_counts, key_hashes, "
                "key_begin])");
        using VT = kernels::ValueType;
        std::size_t levels = 0, columns = 0, lone = 0, n_keys = 0;
        view.hashes = state_array<std::uint64_t>(held, t[0], VT::u64, levels, false, "hashes");
        view.counts = state_array<std::int64_t>(held, t[1], VT::i64, levels, true, "counts");
        view.begin = state_array<std::int64_t>(held, t[2], VT::i64, columns, false, "begin");
        if (columns < 1) throw py::value_error("state: begin of the wrong length");
        view.k = columns - 1;
        std::size_t kinds = view.k * kernels::missing_kinds;
        view.missing = state_array<std::int64_t>(held, t[3], VT::i64, kinds, true, "missing");
        view.lone = state_array<std::int64_t>(held, t[4], VT::i64, lone, false, "lone");
        view.lone_begin = state_array<std::int64_t>(held, t[5], VT::i64, columns, true, "lone_begin");
        if (fields == 10) {
            if (!PyList_Check(t[6].ptr())) throw py::type_error("state: keys, a list");
            keys = py::reinterpret_borrow<py::object>(t[6]);
            n_keys = static_cast<std::size_t>(PyList_GET_SIZE(keys.ptr()));
            view.key_counts = state_array<std::int64_t>(held, t[7], VT::i64, n_keys, true, "key_counts");
            view.key_hashes = state_array<std::uint64_t>(held, t[8], VT::u64, n_keys, true, "key_hashes");
            view.key_begin = state_array<std::int64_t>(held, t[9], VT::i64, columns, true, "key_begin");
        } else {
            keys = py::list();
            none.assign(columns, 0);
            view.key_begin = none.data();
        }
        if (!kernels::valid_level_state(view, levels, lone, n_keys))
            throw py::value_error("state: offsets outside its arrays, or a count not positive");
    }

    PyObject* const* key_items() const { return PySequence_Fast_ITEMS(keys.ptr()); }
};

py::object state_object(const kernels::LevelState& s, py::list keys) {
    return py::make_tuple(make_array(s.hashes, "uint64"), make_array(s.counts, "int64"), make_array(s.begin, "int64"),
                          make_array(s.missing, "int64"), make_array(s.lone, "int64"),
                          make_array(s.lone_begin, "int64"), std::move(keys), make_array(s.key_counts, "int64"),
                          make_array(s.key_hashes, "uint64"), make_array(s.key_begin, "int64"));
}

// A column whose levels the caller counted: its missing kinds, lone
// missing levels and (keys, counts, hashes or None) of its present ones,
// routed by their hashes or (without) natively by the key (level_routes).
struct CountedArg {
    std::vector<std::int64_t> lone, key_counts;
    std::vector<std::uint64_t> key_hashes;
    std::vector<std::intptr_t> key_ranges;
    py::object keys;

    CountedArg(py::tuple t, kernels::PartialColumn& c, std::size_t ranges, py::handle numbers) {
        const auto kinds = read_array<std::int64_t>(t[0], "int64");
        if (kinds.size() != kernels::missing_kinds) throw py::value_error("missing kinds: four counts");
        std::copy(kinds.begin(), kinds.end(), c.missing);
        lone = read_array<std::int64_t>(t[1], "int64");
        c.lone = lone.data();
        c.lone_size = lone.size();
        if (py::len(t) == 2) return;
        keys = py::reinterpret_steal<py::object>(PySequence_Fast(t[2].ptr(), "keys must be a sequence"));
        if (!keys) throw py::error_already_set();
        key_counts = read_array<std::int64_t>(t[3], "int64");
        c.keys = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(keys.ptr()));
        if (key_counts.size() != c.keys) throw py::value_error("keys and counts differ in length");
        if (std::any_of(key_counts.begin(), key_counts.end(), [](std::int64_t n) { return n <= 0; }))
            throw py::value_error("a key's count is not positive");
        c.key_counts = key_counts.data();
        if (!t[4].is_none()) {
            key_hashes = read_array<std::uint64_t>(t[4], "uint64");
            if (key_hashes.size() != c.keys) throw py::value_error("keys and hashes differ in length");
            c.key_hashes = key_hashes.data();
        } else if (c.keys && ranges > 1) {
            if (numbers.is_none()) throw py::type_error("level_partial: keys without hashes need `numbers`");
            key_ranges.resize(c.keys);
            pyapi::object_level_routes(PySequence_Fast_ITEMS(keys.ptr()), static_cast<Py_ssize_t>(c.keys), ranges,
                                       numbers.ptr(), key_ranges.data());
            c.key_ranges = key_ranges.data();
        }
    }
};

PyObject* level_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 2 || nargs > 3) throw py::type_error("level_partial(columns, ranges, numbers=None)");
        py::list items = list_arg(args[0], "columns");
        const std::size_t ranges = ranges_arg(args[1]);
        const py::handle numbers = nargs > 2 ? args[2] : Py_None;
        std::vector<std::unique_ptr<LevelArg>> read;
        std::vector<std::unique_ptr<CountedArg>> counted;
        std::vector<PyObject* const*> keys;
        std::vector<kernels::PartialColumn> columns = pyapi::read_each(items, [&](py::handle item) {
            kernels::PartialColumn c;
            py::tuple t = tuple_arg(item, "a column");
            const std::size_t fields = py::len(t);
            keys.push_back(nullptr);
            if (fields == 2 || fields == 5) {
                counted.push_back(std::make_unique<CountedArg>(t, c, ranges, numbers));
                if (c.keys) keys.back() = PySequence_Fast_ITEMS(counted.back()->keys.ptr());
            } else {
                read.push_back(level_arg(t));
                c.read = &read.back()->column;
                c.rows = read.back()->rows;
            }
            return c;
        });
        std::vector<kernels::LevelState> states;
        std::vector<bool> undecided;
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::level_partial(columns.data(), columns.size(), ranges, states, undecided, poll);
        });
        if (std::find(undecided.begin(), undecided.end(), true) != undecided.end())
            throw py::value_error("a masked float column holding an unmasked NaN: counted by pandas");
        // Each range's vectors freed once copied, so that the share's tables
        // are not held twice over.
        return py::object(pyapi::list_draining(
            states, [&](const kernels::LevelState& s) { return state_object(s, pyapi::keys_of_state(s, keys)); }));
    });
}

PyObject* level_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("level_merge(states)");
        const std::vector<std::unique_ptr<StateArg>> held = pyapi::read_each(
            list_arg(args[0], "the first argument"), [](py::handle item) { return std::make_unique<StateArg>(item); });
        const std::vector<kernels::LevelStateView> views =
            pyapi::map_each(held, [](const std::unique_ptr<StateArg>& s) { return s->view; });
        const std::vector<PyObject* const*> keys =
            pyapi::map_each(held, [](const std::unique_ptr<StateArg>& s) { return s->key_items(); });
        const std::vector<bool> joined =
            argument_errors([&] { return kernels::joined_columns(views.data(), views.size()); });
        py::list united_keys;
        kernels::LevelState united;
        pyapi::unite_object_levels(views.data(), keys, views.size(), joined, united_keys, united);
        const kernels::KeyLevelsView key_view{united.key_counts.data(), united.key_hashes.data(),
                                              united.key_begin.data()};
        kernels::LevelState out;
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::merge_level_states(views.data(), views.size(), joined, key_view, out, poll);
        });
        return state_object(out, std::move(united_keys));
    });
}

PyObject* level_finish(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 2 || nargs > 3) throw py::type_error("level_finish(state, rows, extra=None)");
        const StateArg state(args[0]);
        const std::int64_t rows = py::cast<std::int64_t>(py::handle(args[1]));
        const std::size_t k = state.view.k;
        std::vector<std::vector<std::int64_t>> extra;
        if (nargs > 2 && args[2] != Py_None) {
            extra = pyapi::read_each(list_arg(args[2], "extra"), [](py::handle item) {
                return item.is_none() ? std::vector<std::int64_t>{} : read_array<std::int64_t>(item, "int64");
            });
            if (extra.size() != k) throw py::value_error("extra: one entry per column");
        }
        std::vector<std::int64_t> distinct(k), rare(k);
        kernels::finish_level_state(state.view, kernels::rare_threshold(rows), extra, distinct.data(), rare.data());
        return py::object(py::make_tuple(make_array(distinct, "int64"), make_array(rare, "int64")));
    });
}

PyObject* few_levels(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("few_levels(columns)");
        const std::vector<std::unique_ptr<LevelArg>> held = level_args(args[0], "the first argument");
        const std::vector<kernels::LevelColumn> columns = columns_of(held);
        const std::vector<std::size_t> rows = rows_of(held);
        std::vector<kernels::FewState> out(columns.size());
        argument_errors([&] { kernels::few_levels(columns.data(), columns.size(), rows.data(), out.data()); });
        std::vector<std::uint8_t> levels(out.size());
        std::vector<std::uint64_t> hashes(out.size());
        std::transform(out.begin(), out.end(), levels.begin(),
                       [](const kernels::FewState& s) { return static_cast<std::uint8_t>(s.levels); });
        std::transform(out.begin(), out.end(), hashes.begin(), [](const kernels::FewState& s) { return s.hash; });
        return py::object(py::make_tuple(make_array(levels, "uint8"), make_array(hashes, "uint64")));
    });
}

PyObject* few_merge(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 1) throw py::type_error("few_merge(states)");
        const std::vector<kernels::FewArrays> shares =
            pyapi::read_each(list_arg(args[0], "the first argument"), [](py::handle item) {
                py::tuple t = tuple_arg(item, "a few-levels state");
                if (py::len(t) != 2) throw py::value_error("a few-levels state is (levels, hashes)");
                return kernels::FewArrays(read_array<std::uint8_t>(t[0], "uint8"),
                                          read_array<std::uint64_t>(t[1], "uint64"));
            });
        std::size_t k = 0;
        const std::vector<kernels::FewState> states =
            argument_errors([&] { return kernels::few_states_of(shares, k); });
        std::vector<std::int64_t> out(k);
        kernels::few_merge(states.data(), shares.size(), k, out.data());
        return py::object(make_array(out, "int64"));
    });
}

PyObject* distinct_counts(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs < 1 || nargs > 2) throw py::type_error("distinct_counts(columns, threads=None)");
        const std::vector<std::unique_ptr<LevelArg>> held = level_args(args[0], "the first argument", true);
        const std::vector<kernels::LevelColumn> cols = columns_of(held);
        const std::vector<std::size_t> rows = rows_of(held);
        argument_errors([&] { kernels::check_distinct_columns(cols.data(), cols.size(), rows.data()); });
        kernels::DistinctProblem p;
        p.columns = cols.data();
        p.k = cols.size();
        p.n = held.empty() ? 0 : held.front()->rows;
        p.parts = nargs > 1 && args[1] != Py_None ? size_arg(args[1]) : kernels::thread_count();
        std::vector<std::byte> workspace(kernels::distinct_workspace_bytes(p));
        std::vector<std::int64_t> out(p.k);
        pyapi::without_gil([&](const std::function<bool()>& poll) {
            return kernels::distinct_counts(p, out.data(), workspace.data(), poll);
        });
        return py::object(pyapi::list_each(out, [](std::int64_t c) {
            return c == kernels::distinct_undecided ? py::object(py::none()) : py::object(py::int_(c));
        }));
    });
}

PyObject* level_routes(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("level_routes(keys, ranges, numbers)");
        const std::size_t ranges = size_arg(args[1]);
        if (ranges < 1) throw py::value_error("ranges must be at least 1");
        py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(args[0], "keys must be a sequence"));
        if (!seq) throw py::error_already_set();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        std::vector<std::intptr_t> out(static_cast<std::size_t>(n));
        pyapi::object_level_routes(PySequence_Fast_ITEMS(seq.ptr()), n, ranges, args[2], out.data());
        return make_array(out, "intp");
    });
}

PyObject* level_missing(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&] {
        if (nargs != 3) throw py::type_error("level_missing(keys, counts, kinds)");
        py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(args[0], "keys must be a sequence"));
        if (!seq) throw py::error_already_set();
        const auto counts = read_array<std::int64_t>(args[1], "int64");
        if (!PyTuple_Check(args[2]) || PyTuple_GET_SIZE(args[2]) != 3) throw py::type_error("kinds: a tuple of three");
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
        if (static_cast<std::size_t>(n) != counts.size()) throw py::value_error("keys and counts differ in length");
        PyObject* const kind_objects[3] = {PyTuple_GET_ITEM(args[2], 0), PyTuple_GET_ITEM(args[2], 1),
                                           PyTuple_GET_ITEM(args[2], 2)};
        std::vector<std::int64_t> kinds(4, 0), lone;
        pyapi::missing_level_kinds(PySequence_Fast_ITEMS(seq.ptr()), counts.data(), n, kind_objects, kinds.data(),
                                   lone);
        return py::object(py::make_tuple(make_array(kinds, "int64"), make_array(lone, "int64")));
    });
}

}  // namespace

const PyMethodDef level_counts_entries[] = {
    {"level_partial", fastcall(level_partial), METH_FASTCALL,
     "level_partial(columns, ranges, numbers=None): one share's level states, one per range."},
    {"level_merge", fastcall(level_merge), METH_FASTCALL,
     "level_merge(states): the union of level states of one range."},
    {"level_finish", fastcall(level_finish), METH_FASTCALL,
     "level_finish(state, rows, extra=None): (distinct, rare) of each column."},
    {"few_levels", fastcall(few_levels), METH_FASTCALL,
     "few_levels(columns): (levels, hashes) of one share, levels 0, 1 or 2."},
    {"few_merge", fastcall(few_merge), METH_FASTCALL,
     "few_merge(states): 0, 1 or 2 distinct values of each column over the shares."},
    {"level_missing", fastcall(level_missing), METH_FASTCALL,
     "level_missing(keys, counts, kinds): the missing kinds' cells and the lone missing keys' counts."},
    {nullptr, nullptr, 0, nullptr},
};

const PyMethodDef level_counts_test_entries[] = {
    {"level_counts", fastcall(level_counts), METH_FASTCALL,
     "level_counts(values, mask, missing, ranges, weights=None): value_counts(dropna=False) by level hash."},
    {"level_counts_columns", fastcall(level_counts_columns), METH_FASTCALL,
     "level_counts_columns(columns, ranges, threads=None): level_counts of several columns."},
    {"distinct_counts", fastcall(distinct_counts), METH_FASTCALL,
     "distinct_counts(columns, threads=None): Series.nunique(dropna=True) of plain buffers."},
    {"level_routes", fastcall(level_routes), METH_FASTCALL,
     "level_routes(keys, ranges, numbers): the range of each pandas-counted level, fixed across processes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tamsel::kernel_module
