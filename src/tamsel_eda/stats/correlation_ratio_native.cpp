// What the kernel takes, and why only that:
// - the target a float64 or integer NumPy column: pandas' to_numeric leaves
//   it as it is, its missing values are the NaNs (an integer one has none),
//   its mean is nanmean's pairwise sum over the count (an integer one's sum
//   casts to float64 in NumPy's buffer-sized pieces). Other targets take
//   pandas' per-group mean.
// - the groups text (every key an exact str, the missing ones pandas' NA
//   values; or Arrow-backed text, read from its buffers) or categorical
//   with text categories: then the partition is the
//   one pandas' factorize gives, and groupby's sorted key order is the order
//   in which the interpreter compares the keys, a total order on distinct
//   strings.
// - pandas 2.2, 2.3, 3.0 or 3.1, whose nanmean / nansum for float64 were read, and
//   neither bottleneck (another mean) nor numexpr (another power) in use, nor
//   pandas 2's option that counts infinities as missing; every sum in the
//   order the running NumPy adds (whole arrays or buffer-sized pieces).
// Infinite values and overflows make NumPy warn on pandas' path; those, and
// everything else, stay with pandas.
#include "correlation_ratio_native.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <optional>
#include <string_view>
#include <vector>

#include "../kernels/group_sums.hpp"
#include "../kernels/rules.hpp"
#include "../kernels/text_codes.hpp"
#include "../pyapi/arrow_text_chunks.hpp"
#include "../pyapi/column_views.hpp"

namespace tamsel::stats {
namespace {

namespace k = tamsel::kernels;
using Buffer = pyapi::HeldBuffer;
using pyapi::version_of;

py::object loaded_module(const char* name) {
    PyObject* mod = PyImport_GetModule(py::str(name).ptr());
    if (!mod) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return py::object();
    }
    return py::reinterpret_steal<py::object>(mod);
}

// pandas 2's deprecated option, read from its store: get_option would warn.
bool infinities_are_missing() {
    py::object config = loaded_module("pandas._config.config");
    if (!config) return true;
    py::object store = pyapi::optional_attr(config, py::str("_global_config"));
    if (!store || !PyDict_Check(store.ptr())) return true;
    PyObject* mode = PyDict_GetItemWithError(store.ptr(), py::str("mode").ptr());
    if (!mode) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return true;
    }
    if (!PyDict_Check(mode)) return true;
    PyObject* flag = PyDict_GetItemWithError(mode, py::str("use_inf_as_na").ptr());
    if (!flag) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return true;
    }
    return flag != Py_False;
}

bool pandas_computes_as_read(std::pair<int, int> v) {
    if (!rules::releases::pandas_group_means(v)) return false;
    py::object nanops = loaded_module("pandas.core.nanops");
    if (!nanops) return false;
    py::object bottleneck = pyapi::optional_attr(nanops, py::str("_USE_BOTTLENECK"));
    if (!bottleneck || pyapi::truthy(bottleneck)) return false;
    return v.first != 2 || !infinities_are_missing();
}

// pandas hands arithmetic on at least this many elements to numexpr.
bool numexpr_may_run(Py_ssize_t n) {
    py::object expressions = loaded_module("pandas.core.computation.expressions");
    if (!expressions) return true;
    py::object use = pyapi::optional_attr(expressions, py::str("USE_NUMEXPR"));
    py::object min_elements = pyapi::optional_attr(expressions, py::str("_MIN_ELEMENTS"));
    if (!use || !min_elements) return true;
    return pyapi::truthy(use) && !pyapi::gt(min_elements, py::int_(n));
}

// str < str as the interpreter decides it: code point by code point.
bool str_less(PyObject* a, PyObject* b) {
    const int ka = PyUnicode_KIND(a), kb = PyUnicode_KIND(b);
    const void *da = PyUnicode_DATA(a), *db = PyUnicode_DATA(b);
    const Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t n = std::min(na, nb);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 ca = PyUnicode_READ(ka, da, i), cb = PyUnicode_READ(kb, db, i);
        if (ca != cb) return ca < cb;
    }
    return na < nb;
}

// A lone surrogate cannot become UTF-8, which pandas 3 converts text
// columns to when it infers its string dtype; such keys stay with pandas.
bool has_surrogate(PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0, n = PyUnicode_GET_LENGTH(s); i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

// rank[code] for the keys in `keys` (a list), or empty when a key is not an
// exact str.
std::vector<std::int64_t> sorted_ranks(const py::list& keys) {
    const std::size_t n = py::len(keys);
    std::vector<PyObject*> items(n);
    for (std::size_t i = 0; i < n; ++i) {
        items[i] = PyList_GET_ITEM(keys.ptr(), static_cast<Py_ssize_t>(i));
        if (!PyUnicode_CheckExact(items[i]) || has_surrogate(items[i])) return {};
    }
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return str_less(items[a], items[b]); });
    std::vector<std::int64_t> rank(n);
    for (std::size_t r = 0; r < n; ++r) rank[order[r]] = static_cast<std::int64_t>(r);
    return rank;
}

// Whether `v` is one of pandas' missing values that can sit in a text
// column: None, a float NaN, pd.NA.
bool is_missing(PyObject* v, PyObject* na) {
    if (v == Py_None || v == na) return true;
    return PyFloat_Check(v) && std::isnan(PyFloat_AS_DOUBLE(v));
}

bool same_str(PyObject* a, PyObject* b) {
    if (a == b) return true;
    // Equal strings share their kind (the narrowest that holds them).
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * PyUnicode_KIND(a)) == 0;
}

// The codes and first-seen keys of an object array holding only exact str
// and missing values: the partition pandas' factorize makes of it, with the
// interpreter's own (cached) string hashes. False for anything else.
bool factorize_text(py::handle arr, py::handle na, std::vector<std::int64_t>& codes, py::list& keys) {
    py::dict iface = arr.attr("__array_interface__");
    if (!pyapi::eq(iface["typestr"], py::str("|O"))) return false;
    py::tuple shape = iface["shape"];
    if (py::len(shape) != 1) return false;
    const Py_ssize_t n = py::int_(shape[0]);
    Py_ssize_t stride = static_cast<Py_ssize_t>(sizeof(PyObject*));
    py::object strides = iface.attr("get")("strides");
    if (!strides.is_none()) stride = py::int_(py::tuple(strides)[0]);
    const char* base = reinterpret_cast<const char*>(
        static_cast<std::uintptr_t>(py::int_(py::tuple(iface["data"])[0]).cast<unsigned long long>()));

    codes.assign(static_cast<std::size_t>(n), -1);
    std::vector<PyObject*> uniques;
    std::size_t mask = 1023;
    std::vector<std::int64_t> slots(mask + 1, -1);
    std::vector<Py_hash_t> hashes;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = *reinterpret_cast<PyObject* const*>(base + i * stride);
        if (!PyUnicode_CheckExact(v)) {
            if (is_missing(v, na.ptr())) continue;
            return false;
        }
        const Py_hash_t h = PyObject_Hash(v);
        if (h == -1) throw py::error_already_set();
        std::size_t slot = static_cast<std::size_t>(h) & mask;
        while (slots[slot] >= 0 && !(hashes[static_cast<std::size_t>(slots[slot])] == h &&
                                     same_str(uniques[static_cast<std::size_t>(slots[slot])], v))) {
            slot = (slot + 1) & mask;
        }
        if (slots[slot] < 0) {
            slots[slot] = static_cast<std::int64_t>(uniques.size());
            uniques.push_back(v);
            hashes.push_back(h);
            if (uniques.size() * 2 > mask) {
                // Grow and re-place every key.
                mask = mask * 2 + 1;
                slots.assign(mask + 1, -1);
                for (std::size_t u = 0; u < uniques.size(); ++u) {
                    std::size_t s2 = static_cast<std::size_t>(hashes[u]) & mask;
                    while (slots[s2] >= 0) s2 = (s2 + 1) & mask;
                    slots[s2] = static_cast<std::int64_t>(u);
                }
                codes[static_cast<std::size_t>(i)] = static_cast<std::int64_t>(uniques.size() - 1);
                continue;
            }
        }
        codes[static_cast<std::size_t>(i)] = slots[slot];
    }
    keys = py::list(uniques.size());
    for (std::size_t u = 0; u < uniques.size(); ++u) {
        PyList_SET_ITEM(keys.ptr(), static_cast<Py_ssize_t>(u), Py_NewRef(uniques[u]));
    }
    return true;
}

// The codes of Arrow-backed text, coded from its buffers (equal bytes,
// equal texts: the partition Arrow's dictionary encoding makes), and each
// code's rank in the order of its text's bytes, which for UTF-8 is the
// interpreter's code point order. Nothing when the buffers cannot be read.
std::optional<std::vector<std::int64_t>> arrow_text_codes(py::handle x, std::vector<std::int64_t>& codes) {
    std::optional<pyapi::ArrowTextChunks> text = pyapi::arrow_text_chunks(x);
    if (!text) return std::nullopt;
    codes.assign(text->total, -1);
    k::TextCodes found;
    std::vector<std::int64_t> rank;
    const bool done = pyapi::without_gil([&](const std::function<bool()>& poll) {
        if (!k::text_codes(text->chunks.data(), text->rows.data(), text->chunks.size(), codes.data(), found, poll)) {
            return false;
        }
        const std::size_t groups = found.first.size();
        std::vector<std::string_view> texts(groups);
        for (std::size_t c = 0; c < groups; ++c) texts[c] = text->text(static_cast<std::size_t>(found.first[c]));
        std::vector<std::size_t> order(groups);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return texts[a] < texts[b]; });
        rank.resize(groups);
        for (std::size_t r = 0; r < groups; ++r) rank[order[r]] = static_cast<std::int64_t>(r);
        return true;
    });
    if (!done) throw py::error_already_set();
    return rank;
}

bool is_exact(py::handle obj, py::handle type) { return reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == type.ptr(); }

py::object compute(const pyapi::Frame& f) {
    py::object pd = f.g("pd"), np = f.g("np");
    py::object pandas = loaded_module("pandas"), numpy = loaded_module("numpy");
    if (!pandas || !numpy || !pd.is(pandas) || !np.is(numpy)) return py::object();
    if (!pandas_computes_as_read(version_of(pd))) return py::object();

    py::handle y = f.arg(1), x = f.arg(2);
    py::object series = pd.attr("Series");
    if (!is_exact(y, series) || !is_exact(x, series)) return py::object();
    py::object y_index = y.attr("index"), x_index = x.attr("index");
    if (!y_index.is(x_index) && !pyapi::truthy(y_index.attr("equals")(x_index))) return py::object();
    const Py_ssize_t n = static_cast<Py_ssize_t>(py::len(y));
    if (static_cast<Py_ssize_t>(py::len(x)) != n || numexpr_may_run(n)) return py::object();

    // A float64 target, or a NumPy integer one: pandas' means of integers
    // sum their float64 casts, and the squares of (y - mu) are float64
    // either way.
    py::object y_dtype = y.attr("dtype");
    if (!py::isinstance(y_dtype, np.attr("dtype"))) return py::object();
    const std::string y_kind = py::str(y_dtype.attr("kind"));
    const bool integer_target = y_kind == "i" || y_kind == "u";
    if (!integer_target && !pyapi::eq(y_dtype, np.attr("float64"))) return py::object();

    py::object codes;
    std::vector<std::int64_t> text_codes;
    py::list keys;
    std::optional<std::vector<std::int64_t>> arrow_rank;
    py::object x_dtype = x.attr("dtype");
    const bool object_column =
        py::isinstance(x_dtype, np.attr("dtype")) && pyapi::eq(x_dtype.attr("kind"), py::str("O"));
    const bool string_column = !object_column && py::isinstance(x_dtype, pd.attr("StringDtype"));
    if (py::isinstance(x_dtype, pd.attr("CategoricalDtype"))) {
        py::object values = x.attr("array");
        codes = values.attr("codes");
        keys = values.attr("categories").attr("tolist")();
    } else if (object_column || string_column) {
        // Text held as Python strings is factorized here, Arrow-backed text
        // from its buffers; pandas' own factorize does the rest.
        const bool python_strings = object_column || pyapi::eq(x_dtype.attr("storage"), py::str("python"));
        py::object na = loaded_module("pandas._libs.missing");
        if (!python_strings) {
            arrow_rank = arrow_text_codes(x, text_codes);
            if (!arrow_rank) text_codes.clear();
        }
        if (!arrow_rank &&
            (!python_strings || !na || !factorize_text(x.attr("to_numpy")(), na.attr("NA"), text_codes, keys))) {
            text_codes.clear();
            auto [c, uniques] = pyapi::unpack_pair(pd.attr("factorize")(x));
            codes = c;
            keys = uniques.attr("tolist")();
        }
    } else {
        return py::object();
    }
    std::vector<std::int64_t> rank = arrow_rank ? std::move(*arrow_rank) : sorted_ranks(keys);
    if (!arrow_rank && rank.size() != py::len(keys)) return py::object();
    if (codes) {
        codes = np.attr("ascontiguousarray")(codes, "dtype"_a = np.attr("int64"));
        Buffer code_buf(codes, PyBUF_C_CONTIGUOUS);
        if (code_buf.view().len != n * 8) return py::object();
        text_codes.resize(static_cast<std::size_t>(n));
        if (n > 0) std::memcpy(text_codes.data(), code_buf.view().buf, static_cast<std::size_t>(n) * 8);
    }
    if (text_codes.size() != static_cast<std::size_t>(n)) return py::object();

    py::object y_values = y.attr("to_numpy")();
    if (integer_target) y_values = y_values.attr("astype")(np.attr("float64"));
    Buffer y_buf(y_values, PyBUF_STRIDES | PyBUF_FORMAT);
    const std::string_view fmt = y_buf.view().format ? y_buf.view().format : "B";
    if (y_buf.view().ndim != 1 || y_buf.view().itemsize != 8 || (fmt != "d" && fmt != "<d" && fmt != "=d") ||
        y_buf.view().shape[0] != n) {
        return py::object();
    }
    const std::optional<std::size_t> block = numpy_sum_block();
    const std::optional<std::size_t> mean_block = integer_target ? numpy_cast_sum_block() : block;
    if (!block || !mean_block) return py::object();
    k::RatioProblem p;
    p.sum_block = *block;
    p.mean_block = *mean_block;
    p.y = static_cast<const double*>(y_buf.view().buf);
    p.y_stride = y_buf.view().strides[0];
    p.codes = text_codes.data();
    p.n = static_cast<std::size_t>(n);
    p.rank = rank.data();
    p.groups = rank.size();
    const k::RatioResult r =
        pyapi::without_gil([&](const std::function<bool()>& poll) { return k::correlation_ratio(p, poll); });
    switch (r.status) {
        case k::RatioStatus::ok:
            return py::float_(r.value);
        case k::RatioStatus::too_few:
            return py::none();
        default:
            return py::object();
    }
}

}  // namespace

py::object native_correlation_ratio(const pyapi::Frame& f) {
    return pyapi::guarded([&]() -> py::object { return compute(f); }, [] { return py::object(); });
}

}  // namespace tamsel::stats
