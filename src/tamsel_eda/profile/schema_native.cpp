// Adapter between the schema step and the distinct-count kernel: it reads
// each column's own buffer (values, the mask of pandas' nullable arrays, the
// codes of a categorical, the int64 view of dates and durations) and counts
// them with the GIL released.
#include "schema_native.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../kernels/kernels.hpp"
#include "../kernels/level_counts.hpp"
#include "../kernels/row_hash.hpp"
#include "../kernels/rules.hpp"
#include "../kernels/text_codes.hpp"
#include "../pyapi/arrow_text_chunks.hpp"
#include "../pyapi/column_views.hpp"
#include "../pyapi/text_hashes.hpp"

namespace tamsel::profile {
namespace {

namespace k = tamsel::kernels;
using Buffer = pyapi::HeldBuffer;
using pyapi::numpy_view;
using pyapi::value_type;
using pyapi::version_of;

bool version_applies(py::handle pd) { return rules::releases::pandas_distinct_counts(version_of(pd)); }

class Reader {
public:
    explicit Reader(const Input& in) : in_(in), pd_(in.g("pd")), np_(in.g("np")) { series_ = pd_.attr("Series"); }

    std::optional<k::LevelColumn> column(py::handle label) {
        py::object s = in_.column(label);
        // Duplicate labels give a frame; a Series subclass may count its own way.
        if (reinterpret_cast<PyObject*>(Py_TYPE(s.ptr())) != series_.ptr()) return std::nullopt;
        const Py_ssize_t n = in_.rows;
        py::object dtype = s.attr("dtype");
        k::LevelColumn col;
        if (py::isinstance(dtype, np_.attr("dtype"))) {
            const std::string kind = py::str(dtype.attr("kind"));
            if (kind == "M" || kind == "m") {
                col.skip_int_min = true;
                auto v = view(s.attr("array").attr("asi8"), n);
                if (!v || v->type != k::ValueType::i64) return std::nullopt;
                col.view = *v;
                return col;
            }
            auto v = view(s.attr("to_numpy")(), n);
            if (!v) return std::nullopt;
            col.view = *v;
            return col;
        }
        if (py::isinstance(dtype, pd_.attr("CategoricalDtype"))) {
            col.skip_negative = true;
            auto v = view(s.attr("array").attr("codes"), n);
            if (!v) return std::nullopt;
            col.view = *v;
            return col;
        }
        if (py::isinstance(dtype, pd_.attr("DatetimeTZDtype"))) {
            // unique() works on the UTC int64 values; NaT is INT64_MIN.
            col.skip_int_min = true;
            auto v = view(s.attr("array").attr("asi8"), n);
            if (!v || v->type != k::ValueType::i64) return std::nullopt;
            col.view = *v;
            return col;
        }
        auto data = pyapi::masked_view(pd_, np_, s.attr("array"), n, held);
        if (!data) return std::nullopt;
        col.view = *data;
        return col;
    }

    // A NumPy number column as it is, for its row hashes: floats, integers,
    // and dates and durations as the int64 values pandas hashes them by
    // (booleans pandas widens its own way). Dates with a time zone hash
    // their UTC values, the NumPy array the pandas array holds.
    std::optional<k::ColumnView> plain_numbers(py::handle label) {
        py::object s = numpy_series(label, "fiuMm");
        if (!s) {
            py::object zoned = in_.column(label);
            if (reinterpret_cast<PyObject*>(Py_TYPE(zoned.ptr())) != series_.ptr() ||
                !py::isinstance(zoned.attr("dtype"), pd_.attr("DatetimeTZDtype"))) {
                return std::nullopt;
            }
            auto v = view(zoned.attr("array").attr("asi8"), in_.rows);
            if (!v || v->type != k::ValueType::i64) return std::nullopt;
            return v;
        }
        py::object values = s.attr("to_numpy")();
        const std::string kind = py::str(values.attr("dtype").attr("kind"));
        if (kind == "M" || kind == "m") {
            // A swapped byte order would be read as another number.
            if (!pyapi::truthy(values.attr("dtype").attr("isnative"))) return std::nullopt;
            values = values.attr("view")(np_.attr("int64"));
        }
        return view(values, in_.rows);
    }

    // A category column's categories as objects and its codes (nullopt for
    // any other column).
    std::optional<std::pair<py::object, k::ColumnView>> categories_and_codes(py::handle label) {
        py::object s = in_.column(label);
        if (reinterpret_cast<PyObject*>(Py_TYPE(s.ptr())) != series_.ptr()) return std::nullopt;
        if (!py::isinstance(s.attr("dtype"), pd_.attr("CategoricalDtype"))) return std::nullopt;
        py::object array = s.attr("array");
        auto codes = view(array.attr("codes"), in_.rows);
        if (!codes) return std::nullopt;
        return std::make_pair(array.attr("categories").attr("to_numpy")("dtype"_a = "object"), *codes);
    }

    // The items of a NumPy object column (None for any other column).
    py::object objects(py::handle label) {
        py::object s = numpy_series(label, "O");
        return s ? s.attr("to_numpy")() : py::object();
    }

    // The buffers of an Arrow-backed text column (nullopt for any other).
    std::optional<pyapi::ArrowTextChunks> arrow_text(py::handle label) {
        py::object s = in_.column(label);
        if (reinterpret_cast<PyObject*>(Py_TYPE(s.ptr())) != series_.ptr()) return std::nullopt;
        return pyapi::arrow_text_chunks(s);
    }

    pyapi::HeldBuffers held;

private:
    std::optional<k::ColumnView> view(py::handle values, Py_ssize_t n) { return numpy_view(np_, values, n, held); }

    // The column as a plain Series of a NumPy dtype of one of `kinds`.
    py::object numpy_series(py::handle label, const std::string& kinds) {
        py::object s = in_.column(label);
        if (reinterpret_cast<PyObject*>(Py_TYPE(s.ptr())) != series_.ptr()) return py::object();
        py::object dtype = s.attr("dtype");
        if (!py::isinstance(dtype, np_.attr("dtype"))) return py::object();
        const std::string kind = py::str(dtype.attr("kind"));
        if (kind.size() != 1 || kinds.find(kind) == std::string::npos) return py::object();
        return s;
    }

    const Input& in_;
    py::object pd_, np_, series_;
};

// Exact str objects as pandas' object hash table tells them apart: equal
// when their texts are, which for the interpreter's canonical form means the
// same width, length and code units. Open addressing over the first item of
// each text, by the str's own (cached) hash.
class TextSet {
public:
    // False when `v` is new; -1 when hashing it failed (the error is set).
    int seen_or_add(PyObject* v) {
        const Py_hash_t h = PyObject_Hash(v);
        if (h == -1) return -1;
        if (2 * (size_ + 1) > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(h) & mask;; i = (i + 1) & mask) {
            Slot& s = slots_[i];
            if (!s.item) {
                s = {v, h};
                ++size_;
                return 0;
            }
            if (s.hash == h && same_text(s.item, v)) return 1;
        }
    }
    std::size_t size() const { return size_; }

private:
    struct Slot {
        PyObject* item = nullptr;
        Py_hash_t hash = 0;
    };
    static bool same_text(PyObject* a, PyObject* b) {
        if (a == b) return true;
        const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
        return len == PyUnicode_GET_LENGTH(b) && PyUnicode_KIND(a) == PyUnicode_KIND(b) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(len) * PyUnicode_KIND(a)) ==
                   0;
    }
    void grow() {
        std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2));
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& s : old) {
            if (!s.item) continue;
            std::size_t i = static_cast<std::size_t>(s.hash) & mask;
            while (slots_[i].item) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }
    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

// nunique(dropna=True) of an object column whose items are exact str or
// missing (None or a float NaN); nullopt for any other item.
std::optional<std::size_t> object_text_distinct(py::handle values) {
    py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(values.ptr(), "expected a sequence"));
    if (!seq) throw py::error_already_set();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.ptr());
    PyObject** items = PySequence_Fast_ITEMS(seq.ptr());
    TextSet texts;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = items[i];
        if (PyUnicode_CheckExact(v)) {
            if (texts.seen_or_add(v) < 0) throw py::error_already_set();
        } else if (!(v == Py_None || (PyFloat_CheckExact(v) && std::isnan(PyFloat_AS_DOUBLE(v))))) {
            return std::nullopt;
        }
    }
    return texts.size();
}

// The distinct texts of an Arrow text column, missing cells left out: its
// bytes tell texts apart, as Arrow's own unique does.
std::size_t arrow_text_distinct(const pyapi::ArrowTextChunks& text) {
    k::TextCodes found;
    const bool done = pyapi::without_gil([&](const std::function<bool()>& poll) {
        return k::text_codes(text.chunks.data(), text.rows.data(), text.chunks.size(), nullptr, found, poll);
    });
    if (!done) throw py::error_already_set();
    return found.first.size();
}

std::vector<py::object> compute(const Input& in) {
    py::object pd = in.g("pd"), np = in.g("np");
    if (!version_applies(pd)) return {};
    // A subclass may build its columns differently (its _constructor_sliced).
    if (reinterpret_cast<PyObject*>(Py_TYPE(in.df.ptr())) != pd.attr("DataFrame").ptr()) return {};
    // pandas 2's deprecated option makes ±inf missing for nunique too. It is
    // read where pandas' own isna reads it, since asking get_option warns.
    py::object missing = py::module_::import("pandas.core.dtypes.missing");
    if (py::hasattr(missing, "INF_AS_NA") && pyapi::truthy(missing.attr("INF_AS_NA"))) return {};

    Reader reader(in);
    std::vector<k::LevelColumn> columns;
    std::vector<std::size_t> positions;
    std::vector<py::object> out;
    for (py::handle c : in.df.attr("columns")) {
        out.emplace_back();
        if (auto col = reader.column(c)) {
            columns.push_back(*col);
            positions.push_back(out.size() - 1);
        } else if (py::object items = reader.objects(c)) {
            // Texts are told apart here, holding the interpreter.
            if (auto u = object_text_distinct(items)) out.back() = py::int_(*u);
        } else if (auto text = reader.arrow_text(c)) {
            out.back() = py::int_(arrow_text_distinct(*text));
        }
    }
    if (columns.empty()) return out;

    k::DistinctProblem p;
    p.columns = columns.data();
    p.k = columns.size();
    p.n = static_cast<std::size_t>(in.rows);
    p.parts = std::min(k::thread_count(), p.k);
    // NumPy's buffer, so memory tracing sees what the kernel uses.
    py::object workspace = np.attr("empty")(k::distinct_workspace_bytes(p), "dtype"_a = np.attr("uint8"));
    Buffer ws(workspace, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS);
    pyapi::use_small_pages(ws.view());
    std::vector<std::int64_t> counts(p.k, k::distinct_undecided);
    pyapi::without_gil(
        [&](const std::function<bool()>& poll) { return k::distinct_counts(p, counts.data(), ws.view().buf, poll); });

    for (std::size_t i = 0; i < p.k; ++i) {
        if (counts[i] != k::distinct_undecided) out[positions[i]] = py::int_(counts[i]);
    }
    return out;
}

k::HashColumn hash_column(const k::ColumnView& v, bool canonical_floats) {
    k::HashColumn c;
    c.data = static_cast<const std::byte*>(v.data);
    c.stride = v.stride;
    c.floating = v.type == k::ValueType::f64 || v.type == k::ValueType::f32;
    c.canonical_floats = canonical_floats;
    switch (v.type) {
        case k::ValueType::f64:
        case k::ValueType::i64:
        case k::ValueType::u64:
            c.width = 8;
            break;
        case k::ValueType::f32:
        case k::ValueType::i32:
        case k::ValueType::u32:
            c.width = 4;
            break;
        case k::ValueType::i16:
        case k::ValueType::u16:
            c.width = 2;
            break;
        default:
            c.width = 1;
            break;
    }
    return c;
}

constexpr auto& fill_text = rules::duplicate_fill_text;

// The digest of a run of row hashes, taken in blocks: the same words as
// HashBuffer::digest reads from pandas' array of them.
class BlockDigest {
public:
    void add(std::uint64_t h) {
        hashes_[used_++] = h;
        if (used_ == block) {
            state_ = k::fnv_words(state_, hashes_, used_);
            used_ = 0;
        }
    }
    std::uint64_t done() const { return k::fnv_words(state_, hashes_, used_); }

private:
    static constexpr std::size_t block = 4096;
    std::uint64_t hashes_[block];
    std::size_t used_ = 0;
    std::uint64_t state_ = k::fnv_offset;
};

std::uint64_t fill_hash() {
    return k::text_hash(reinterpret_cast<const std::uint8_t*>(fill_text), sizeof fill_text - 1);
}

// The digest of an object column whose items are all str (missing cells,
// None or a float NaN, filled with the fill text when `filled`): pandas
// hashes each text's UTF-8 bytes. nullopt for any other item, or a text
// without a UTF-8 form: pandas takes another road for those.
std::optional<std::uint64_t> object_text_digest(py::handle values, bool filled) {
    py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(values.ptr(), "expected a sequence"));
    if (!seq) throw py::error_already_set();
    const std::uint64_t fill = fill_hash();
    BlockDigest digest;
    if (!pyapi::each_object_text_hash(PySequence_Fast_ITEMS(seq.ptr()), PySequence_Fast_GET_SIZE(seq.ptr()),
                                      filled ? &fill : nullptr, [&](std::uint64_t h) { digest.add(h); })) {
        return std::nullopt;
    }
    return digest.done();
}

// The digest of an Arrow text column (its missing cells filled with the
// fill text when `filled`): pandas hashes each text's bytes, as it does a
// str's UTF-8 form. nullopt for a missing cell where none was counted.
std::optional<std::uint64_t> arrow_text_digest(pyapi::ArrowTextChunks& text, bool filled) {
    if (!filled && std::any_of(text.chunks.begin(), text.chunks.end(),
                               [](const k::TextColumn& chunk) { return chunk.missing != nullptr; }))
        return std::nullopt;
    std::uint64_t state = k::fnv_offset;
    const bool done = pyapi::without_gil([&](const std::function<bool()>& poll) {
        return k::chunked_text_row_hashes(
            text.chunks, text.rows, reinterpret_cast<const std::uint8_t*>(fill_text), sizeof fill_text - 1, 4096, poll,
            [&](const std::uint64_t* hashes, std::size_t count) { state = k::fnv_words(state, hashes, count); });
    });
    if (!done) throw py::error_already_set();
    return state;
}

// False at a code the column's flags rule out: a missing cell where none was
// counted, or a code past the categories.
template <class Code>
bool add_coded(const k::ColumnView& codes, std::size_t n, const std::vector<std::uint64_t>& level_hashes,
               const std::uint64_t* fill, BlockDigest& digest) {
    const auto* base = static_cast<const char*>(codes.data);
    for (std::size_t i = 0; i < n; ++i) {
        Code c;
        std::memcpy(&c, base + static_cast<std::ptrdiff_t>(i) * codes.stride, sizeof c);
        if (c < 0) {
            if (!fill) return false;
            digest.add(*fill);
        } else if (static_cast<std::size_t>(c) < level_hashes.size()) {
            digest.add(level_hashes[static_cast<std::size_t>(c)]);
        } else {
            return false;
        }
    }
    return true;
}

// The digest of a category column whose categories are all str: the scan
// hashes its object copy (missing cells filled with the fill text when
// `filled`), each row the hash of its category's text. nullopt where that
// copy would hold anything else.
std::optional<std::uint64_t> categorical_text_digest(py::handle categories, const k::ColumnView& codes, std::size_t n,
                                                     bool filled) {
    py::object seq = py::reinterpret_steal<py::object>(PySequence_Fast(categories.ptr(), "expected a sequence"));
    if (!seq) throw py::error_already_set();
    std::vector<std::uint64_t> level_hashes;
    if (!pyapi::each_object_text_hash(PySequence_Fast_ITEMS(seq.ptr()), PySequence_Fast_GET_SIZE(seq.ptr()), nullptr,
                                      [&](std::uint64_t h) { level_hashes.push_back(h); })) {
        return std::nullopt;
    }
    const std::uint64_t fill_value = fill_hash();
    const std::uint64_t* fill = filled ? &fill_value : nullptr;
    BlockDigest digest;
    bool read = false;
    switch (codes.type) {
        case k::ValueType::i8:
            read = add_coded<std::int8_t>(codes, n, level_hashes, fill, digest);
            break;
        case k::ValueType::i16:
            read = add_coded<std::int16_t>(codes, n, level_hashes, fill, digest);
            break;
        case k::ValueType::i32:
            read = add_coded<std::int32_t>(codes, n, level_hashes, fill, digest);
            break;
        case k::ValueType::i64:
            read = add_coded<std::int64_t>(codes, n, level_hashes, fill, digest);
            break;
        default:
            break;
    }
    if (!read) return std::nullopt;
    return digest.done();
}

// The digest of a float column with missing cells: filled with the fill
// text it becomes objects, which pandas hashes through each value's str().
std::uint64_t float_text_digest(const k::HashColumn& c, std::size_t n) {
    std::vector<std::uint64_t> hashes(n);
    k::float_text_row_hashes(c, n, reinterpret_cast<const std::uint8_t*>(fill_text), sizeof fill_text - 1,
                             hashes.data());
    return k::fnv_words(k::fnv_offset, hashes.data(), n);
}

std::vector<std::optional<std::uint64_t>> hash_digests(const Input& in, py::handle col_has_missing) {
    py::object pd = in.g("pd");
    const auto release = version_of(pd);
    if (!rules::releases::pandas_row_hashes(release)) return {};
    const bool canonical = rules::releases::pandas_hashes_zero_as_positive(release);
    if (reinterpret_cast<PyObject*>(Py_TYPE(in.df.ptr())) != pd.attr("DataFrame").ptr()) return {};
    py::object hashing = py::module_::import("pandas.core.util.hashing");
    if (!pd.attr("util").attr("hash_pandas_object").is(hashing.attr("hash_pandas_object"))) return {};
    // pandas 2's deprecated option makes ±inf missing, and so filled.
    py::object missing = py::module_::import("pandas.core.dtypes.missing");
    const bool inf_as_na = py::hasattr(missing, "INF_AS_NA") && pyapi::truthy(missing.attr("INF_AS_NA"));

    Reader reader(in);
    const std::size_t n = static_cast<std::size_t>(in.rows);
    std::vector<k::HashColumn> columns;
    std::vector<std::size_t> positions;
    // Per entry of `columns`: hashed through its texts (a float column with
    // missing cells; the other number dtypes never have any).
    std::vector<char> through_texts;
    std::vector<std::optional<std::uint64_t>> out;
    std::size_t total = 0;
    for (py::handle c : in.df.attr("columns")) {
        PyObject* flag = PyList_GetItem(col_has_missing.ptr(), static_cast<Py_ssize_t>(total));
        if (!flag) throw py::error_already_set();
        const bool has_missing = pyapi::truthy(flag);
        out.emplace_back();
        if (auto col = reader.plain_numbers(c)) {
            const bool floats = col->type == k::ValueType::f64 || col->type == k::ValueType::f32;
            if (!has_missing || (floats && !inf_as_na)) {
                columns.push_back(hash_column(*col, canonical));
                positions.push_back(total);
                through_texts.push_back(has_missing ? 1 : 0);
            }
        } else if (py::object items = reader.objects(c)) {
            // Texts are hashed here, with the interpreter's own UTF-8 forms.
            if (!inf_as_na || !has_missing) out.back() = object_text_digest(items, has_missing);
        } else if (auto text = reader.arrow_text(c)) {
            if (!inf_as_na || !has_missing) out.back() = arrow_text_digest(*text, has_missing);
        } else if (auto cat = reader.categories_and_codes(c)) {
            if (!inf_as_na || !has_missing)
                out.back() = categorical_text_digest(cat->first, cat->second, n, has_missing);
        }
        ++total;
    }
    std::vector<std::uint64_t> digests(columns.size());
    // A column at a time; a signal is noticed between columns.
    pyapi::without_gil([&](const std::function<bool()>& poll) {
        return k::parallel_for(
            columns.size(),
            [&](std::size_t i, const k::Stop&) {
                digests[i] = through_texts[i] ? float_text_digest(columns[i], n) : k::row_hash_digest(columns[i], n);
            },
            poll);
    });
    for (std::size_t i = 0; i < columns.size(); ++i) out[positions[i]] = digests[i];
    return out;
}

}  // namespace

std::vector<std::optional<std::uint64_t>> native_hash_digests(const Input& in, py::handle col_has_missing) {
    return pyapi::guarded([&] { return hash_digests(in, col_has_missing); },
                          [] { return std::vector<std::optional<std::uint64_t>>(); });
}

std::vector<py::object> native_distinct_counts(const Input& in) {
    return pyapi::guarded([&]() -> std::vector<py::object> { return compute(in); },
                          [] { return std::vector<py::object>(); });
}

}  // namespace tamsel::profile
