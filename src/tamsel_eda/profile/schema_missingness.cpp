// Schema and missingness: feature-to-row ratio, missing shares, constant
// columns, duplicate columns and rare categorical levels.
#include <cstdint>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "analysis.hpp"

namespace tamsel::profile {
namespace {

void feature_ratio(Analysis& a) {
    if (a.rows > 0) {
        const Py_ssize_t denom = a.rows > 1 ? a.rows : 1;
        a.p_over_n = py::float_(static_cast<double>(py::len(a.feat_cols)) / static_cast<double>(denom));
    } else {
        a.p_over_n = py::float_(0.0);
    }
}

// One missing mask serves all three shares: each is a pure function of
// df.isna(), so the values and the tie order of miss_by_col are those of
// three separate masks. Only its per-column "any missing" flags outlive this
// step (duplicate detection needs them), so the mask is not held while the
// hash buffers grow.
py::object missingness(Analysis& a) {
    if (a.rows <= 0) {
        a.miss_by_col = py::dict();
        a.miss_total = py::float_(0.0);
        a.rows_with_any_na = py::float_(0.0);
        return py::none();
    }
    py::object mask = a.df.attr("isna")();
    a.miss_by_col = mask.attr("mean")().attr("sort_values")("ascending"_a = false).attr("to_dict")();
    a.miss_total = pyapi::to_float(a.g("np").attr("mean")(mask.attr("values")));
    a.rows_with_any_na = pyapi::to_float(mask.attr("any")("axis"_a = 1).attr("mean")());
    return mask.attr("any")().attr("tolist")();
}

// The distinct counts are kept for the cardinality score, which asks the
// same question of the categorical columns.
void constant_columns(Analysis& a) {
    py::int_ one(1);
    for (py::handle c : a.df.attr("columns")) {
        py::object u = a.df[c].attr("nunique")("dropna"_a = true);
        a.nunique_by_col[c] = u;
        const int le = PyObject_RichCompareBool(u.ptr(), one.ptr(), Py_LE);
        if (le < 0) throw py::error_already_set();
        if (le) a.constant_cols.append(c);
    }
}

// ---------------------------------------------------------------------------
// Duplicate columns
// ---------------------------------------------------------------------------

constexpr Py_ssize_t max_duplicate_scan_cols = 200;

// The row hashes of one column, held as the array pandas returned and read
// in place through the buffer protocol.
class HashBuffer {
public:
    explicit HashBuffer(py::object array) : array_(std::move(array)) {
        if (PyObject_GetBuffer(array_.ptr(), &view_, PyBUF_C_CONTIGUOUS) != 0) throw py::error_already_set();
    }
    ~HashBuffer() { PyBuffer_Release(&view_); }
    HashBuffer(const HashBuffer&) = delete;
    HashBuffer& operator=(const HashBuffer&) = delete;

    const unsigned char* data() const { return static_cast<const unsigned char*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

    // FNV-1a over 64-bit words: only a bucket key, contents decide equality.
    std::uint64_t digest() const {
        std::uint64_t h = 14695981039346656037ull;
        constexpr std::uint64_t prime = 1099511628211ull;
        const std::size_t n = size();
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t w;
            std::memcpy(&w, data() + i, 8);
            h = (h ^ w) * prime;
        }
        for (; i < n; ++i) h = (h ^ data()[i]) * prime;
        return h;
    }

    bool same_content(const HashBuffer& other) const {
        return size() == other.size() && std::memcmp(data(), other.data(), size()) == 0;
    }

private:
    py::object array_;
    Py_buffer view_{};
};

struct SeenContent {
    std::unique_ptr<HashBuffer> hashes;
    py::object label;
};

// What the column looks like after its missing cells are filled with
// "__NAN__". An object column without missing cells is where pandas 2.2's
// fillna infers a narrower dtype (and warns that it will stop doing so);
// infer_objects performs that same conversion silently. A plain NumPy column
// without missing cells comes back unchanged, so it is hashed as it is.
py::object filled_column(const Analysis& a, py::object s, bool has_missing) {
    py::object dtype = s.attr("dtype");
    const bool numpy_dtype = py::isinstance(dtype, a.g("np").attr("dtype"));
    const bool object_dtype = numpy_dtype && pyapi::eq(dtype.attr("kind"), py::str("O"));
    if (!has_missing && numpy_dtype) return object_dtype ? s.attr("infer_objects")() : s;
    // Dates with a time zone without missing cells come back unchanged too;
    // their object copy would be filled and then converted back, with the
    // warning that pandas will stop converting.
    py::object is_datetime = a.g("pd").attr("api").attr("types").attr("is_datetime64_any_dtype");
    if (!has_missing && pyapi::truthy(is_datetime(dtype))) return s;
    // A text fill turns a number, date or duration column into objects; newer
    // pandas warns that it will refuse to, so the object copy is filled
    // instead (the same values, and the same row hashes).
    if ((numpy_dtype && !object_dtype) || pyapi::truthy(is_datetime(dtype))) {
        s = s.attr("astype")("object");
    }
    return s.attr("fillna")("__NAN__");
}

// The column's own dtype may refuse the fill text (every category column
// does, and nullable integer/boolean columns with missing cells); its object
// copy then stands in. Sparse columns go the same way, since their fill with
// a text is deprecated and yields a text-valued sparse column. nullptr:
// leave the column out of the comparison.
std::unique_ptr<HashBuffer> column_hashes(const Analysis& a, py::handle c, bool has_missing) {
    py::object pd = a.g("pd");
    py::object s = a.df[c];
    py::object filled = pyapi::guarded(
        [&]() -> py::object {
            if (py::isinstance(s.attr("dtype"), pd.attr("SparseDtype"))) return py::object();
            return filled_column(a, s, has_missing);
        },
        [] { return py::object(); });
    if (!filled) {
        filled = pyapi::guarded(
            [&]() -> py::object { return filled_column(a, s.attr("astype")("object"), has_missing); },
            [] { return py::object(); });
    }
    if (!filled) return nullptr;
    return pyapi::guarded(
        [&]() -> std::unique_ptr<HashBuffer> {
            py::object h = pd.attr("util").attr("hash_pandas_object")(filled, "index"_a = false).attr("to_numpy")();
            return std::make_unique<HashBuffer>(std::move(h));
        },
        [] { return std::unique_ptr<HashBuffer>(); });
}

void duplicate_columns(Analysis& a, py::handle col_has_missing) {
    py::object columns = a.df.attr("columns");
    if (a.rows <= 0 || py::len(columns) > static_cast<std::size_t>(max_duplicate_scan_cols)) return;
    pyapi::guarded_void([&] {
        std::vector<SeenContent> seen;
        std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_digest;
        std::size_t pos = 0;
        for (py::handle c : columns) {
            PyObject* flag = PyList_GetItem(col_has_missing.ptr(), static_cast<Py_ssize_t>(pos++));
            if (!flag) throw py::error_already_set();
            const bool missing = pyapi::truthy(flag);
            std::unique_ptr<HashBuffer> hashes = column_hashes(a, c, missing);
            if (!hashes) continue;
            std::vector<std::size_t>& bucket = by_digest[hashes->digest()];
            const SeenContent* first = nullptr;
            for (std::size_t i : bucket) {
                if (seen[i].hashes->same_content(*hashes)) {
                    first = &seen[i];
                    break;
                }
            }
            if (first) {
                a.duplicate_cols.append(py::make_tuple(c, first->label));
            } else {
                bucket.push_back(seen.size());
                seen.push_back({std::move(hashes), py::reinterpret_borrow<py::object>(c)});
            }
        }
    });
}

// ---------------------------------------------------------------------------
// Rare categorical levels
// ---------------------------------------------------------------------------

void rare_categories(Analysis& a) {
    py::int_ two(2);
    for (py::handle c : head(a.cat_cols, a.max_cat_features)) {
        pyapi::guarded_void([&] {
            py::object vc = a.df[c].attr("value_counts")("dropna"_a = false);
            py::object total = vc.attr("sum")();
            if (!pyapi::gt(total, py::int_(0))) return;
            py::int_ pct_floor(py::float_(0.01) * total);
            py::object thr = pyapi::gt(pct_floor, two) ? py::object(pct_floor) : py::object(two);
            py::object rare = vc[pyapi::compare(vc, thr, Py_LE)].attr("sum")();
            a.rare_cat_stats[c] = pyapi::to_float(rare / total);
        });
    }
}

}  // namespace

void schema_and_missingness(Analysis& a) {
    feature_ratio(a);
    py::object col_has_missing = missingness(a);
    constant_columns(a);
    duplicate_columns(a, col_has_missing);
    rare_categories(a);
}

}  // namespace tamsel::profile
