// Schema and missingness: feature-to-row ratio, missing shares, constant
// columns, duplicate columns and rare categorical levels.
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "../kernels/row_hash.hpp"
#include "../kernels/rules.hpp"
#include "../pyapi/declines.hpp"
#include "profile.hpp"
#include "schema_native.hpp"

namespace tamsel::profile {

using analysis::SchemaMissingness;

namespace {

// One missing mask serves all three shares: each is a pure function of
// df.isna(), so the values and the tie order of miss_by_col are those of
// three separate masks. Only its per-column "any missing" flags outlive this
// step (duplicate detection needs them), so the mask is not held while the
// hash buffers grow.
py::object missingness(const Input& in, SchemaFigures& out) {
    if (in.rows <= 0) {
        out.miss_by_col = py::dict();
        out.miss_total = py::float_(0.0);
        out.rows_with_any_na = py::float_(0.0);
        return py::none();
    }
    py::object mask = in.df.attr("isna")();
    out.miss_by_col = mask.attr("mean")().attr("sort_values")("ascending"_a = false).attr("to_dict")();
    // np.mean(mask.values) without the cells' interleaved copy: NumPy sums
    // the booleans as float64, exactly (a count below 2**53), and divides by
    // the number of cells, which is this division. A frame of rows without
    // columns: NumPy's mean of no cells is NaN.
    if (in.n_cols.equal(py::int_(0))) {
        out.miss_total = py::float_(Py_NAN);
    } else {
        const auto missing = py::cast<long long>(mask.attr("sum")().attr("sum")());
        const auto cells = static_cast<long long>(in.rows) * py::cast<long long>(in.n_cols);
        out.miss_total = py::float_(static_cast<double>(missing) / static_cast<double>(cells));
    }
    out.rows_with_any_na = pyapi::to_float(mask.attr("any")("axis"_a = 1).attr("mean")());
    return mask.attr("any")().attr("tolist")();
}

// The distinct counts are kept for the cardinality score, which asks the
// same question of the categorical columns. Columns the kernel reads are
// counted natively, the others by pandas.
void distinct_counts(const Input& in, SchemaFigures& out) {
    const std::vector<py::object> native = native_distinct_counts(in);
    std::size_t pos = 0;
    for (py::handle c : in.df.attr("columns")) {
        const std::size_t i = pos++;
        const bool counted = i < native.size() && native[i];
        if (!counted) pyapi::note_decline(in.frame.globals(), "distinct_counts");
        out.nunique_by_col[c] = counted ? native[i] : in.column(c).attr("nunique")("dropna"_a = true);
    }
}

// ---------------------------------------------------------------------------
// Duplicate columns
// ---------------------------------------------------------------------------

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

    // Only a bucket key, contents decide equality: the row-hash kernel's
    // digest, which it also forms from a column's buffer.
    std::uint64_t digest() const { return kernels::fnv_bytes(kernels::fnv_offset, data(), size()); }

    bool same_content(const HashBuffer& other) const {
        return size() == other.size() && std::memcmp(data(), other.data(), size()) == 0;
    }

private:
    py::object array_;
    Py_buffer view_{};
};

// A column seen so far, by its digest only: its hashes are recomputed when a
// later column's digest matches, so at most two columns' hashes are alive.
struct SeenContent {
    py::object label;
    bool has_missing;
};

// What the column looks like after its missing cells are filled with
// "__NAN__". An object column without missing cells is where pandas 2.2's
// fillna infers a narrower dtype (and warns that it will stop doing so);
// infer_objects performs that same conversion silently. A plain NumPy column
// without missing cells comes back unchanged, so it is hashed as it is.
py::object filled_column(const Input& in, py::object s, bool has_missing) {
    py::object dtype = s.attr("dtype");
    const bool numpy_dtype = pyapi::is_instance(dtype, in.g("np").attr("dtype"));
    const bool object_dtype = numpy_dtype && pyapi::eq(dtype.attr("kind"), py::str("O"));
    if (!has_missing && numpy_dtype) return object_dtype ? s.attr("infer_objects")() : s;
    // Dates with a time zone without missing cells come back unchanged too;
    // their object copy would be filled and then converted back, with the
    // warning that pandas will stop converting.
    py::object is_datetime = in.g("pd").attr("api").attr("types").attr("is_datetime64_any_dtype");
    if (!has_missing && pyapi::truthy(is_datetime(dtype))) return s;
    // A text fill turns a number, date or duration column into objects; newer
    // pandas warns that it will refuse to, so the object copy is filled
    // instead (the same values, and the same row hashes).
    if ((numpy_dtype && !object_dtype) || pyapi::truthy(is_datetime(dtype))) {
        s = s.attr("astype")("object");
    }
    return s.attr("fillna")(rules::duplicate_fill_text);
}

// The column's own dtype may refuse the fill text (every category column
// does, and nullable integer/boolean columns with missing cells); its object
// copy then stands in. Sparse columns go the same way, since their fill with
// a text is deprecated and yields a text-valued sparse column. nullptr:
// leave the column out of the comparison.
std::unique_ptr<HashBuffer> column_hashes(const Input& in, py::handle c, bool has_missing) {
    py::object pd = in.g("pd");
    py::object s = in.column(c);
    py::object filled = pyapi::guarded(
        [&]() -> py::object {
            if (pyapi::is_instance(s.attr("dtype"), pd.attr("SparseDtype"))) return py::object();
            return filled_column(in, s, has_missing);
        },
        [] { return py::object(); });
    if (!filled) {
        filled =
            pyapi::guarded([&]() -> py::object { return filled_column(in, s.attr("astype")("object"), has_missing); },
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

void duplicate_columns(const Input& in, py::handle col_has_missing, SchemaFigures& out) {
    py::object columns = in.df.attr("columns");
    if (in.rows <= 0 || py::len(columns) > static_cast<std::size_t>(rules::duplicate_scan_columns)) return;
    pyapi::guarded_void([&] {
        // Plain number columns, float columns with missing cells, and object
        // and category columns of texts have their digest computed natively;
        // their hashes are made only when the digest matches an earlier
        // column's.
        const std::vector<std::optional<std::uint64_t>> native = native_hash_digests(in, col_has_missing);
        std::vector<SeenContent> seen;
        std::unordered_map<std::uint64_t, std::vector<std::size_t>> by_digest;
        std::size_t pos = 0;
        for (py::handle c : columns) {
            const std::size_t at = pos++;
            PyObject* flag = PyList_GetItem(col_has_missing.ptr(), static_cast<Py_ssize_t>(at));
            if (!flag) throw py::error_already_set();
            const bool missing = pyapi::truthy(flag);
            std::unique_ptr<HashBuffer> hashes;
            std::uint64_t digest = 0;
            if (at < native.size() && native[at]) {
                digest = *native[at];
            } else {
                pyapi::note_decline(in.frame.globals(), "row_hashes");
                hashes = column_hashes(in, c, missing);
                if (!hashes) continue;
                digest = hashes->digest();
            }
            std::vector<std::size_t>& bucket = by_digest[digest];
            if (!bucket.empty() && !hashes) {
                hashes = column_hashes(in, c, missing);
                if (!hashes) continue;
            }
            const SeenContent* first = nullptr;
            for (std::size_t i : bucket) {
                // The same function of the same column: the hashes it held.
                std::unique_ptr<HashBuffer> earlier = column_hashes(in, seen[i].label, seen[i].has_missing);
                if (earlier && earlier->same_content(*hashes)) {
                    first = &seen[i];
                    break;
                }
            }
            if (first) {
                out.duplicate_pairs.append(py::make_tuple(c, first->label));
            } else {
                bucket.push_back(seen.size());
                seen.push_back({py::reinterpret_borrow<py::object>(c), missing});
            }
        }
    });
}

// ---------------------------------------------------------------------------
// Rare categorical levels
// ---------------------------------------------------------------------------

void rare_categories(const Input& in, SchemaFigures& out) {
    py::int_ two(2);
    for (py::handle c : pyapi::head(in.cat_cols, in.max_cat_features)) {
        pyapi::guarded_void([&] {
            py::object vc = in.column(c).attr("value_counts")("dropna"_a = false);
            out.value_counts_by_col[c] = vc;
            py::object total = vc.attr("sum")();
            if (!pyapi::gt(total, py::int_(0))) return;
            py::int_ pct_floor(py::float_(0.01) * total);
            py::object thr = pyapi::gt(pct_floor, two) ? py::object(pct_floor) : py::object(two);
            py::object rare = vc[pyapi::compare(vc, thr, Py_LE)].attr("sum")();
            out.rare_share_by_col[c] = pyapi::to_float(rare / total);
        });
    }
}

// The feature-to-row ratio of the typed columns.
py::object feature_ratio(const Input& in) {
    if (in.rows <= 0) return py::float_(0.0);
    const Py_ssize_t denom = in.rows > 1 ? in.rows : 1;
    return py::float_(static_cast<double>(py::len(in.feat_cols)) / static_cast<double>(denom));
}

}  // namespace

SchemaFigures schema_figures(const Input& in) {
    SchemaFigures out;
    py::object col_has_missing = missingness(in, out);
    distinct_counts(in, out);
    duplicate_columns(in, col_has_missing, out);
    rare_categories(in, out);
    return out;
}

SchemaMissingness schema_and_missingness(const Input& in, SchemaFigures figures) {
    SchemaMissingness out;
    out.p_over_n = feature_ratio(in);
    out.miss_by_col = std::move(figures.miss_by_col);
    out.miss_total = std::move(figures.miss_total);
    out.rows_with_any_na = std::move(figures.rows_with_any_na);
    py::int_ one(1);
    for (auto [c, u] : figures.nunique_by_col) {
        const int le = PyObject_RichCompareBool(u.ptr(), one.ptr(), Py_LE);
        if (le < 0) throw py::error_already_set();
        if (le) out.constant_cols.append(c);
    }
    out.nunique_by_col = std::move(figures.nunique_by_col);
    out.duplicate_cols = std::move(figures.duplicate_pairs);
    out.rare_cat_stats = std::move(figures.rare_share_by_col);
    out.value_counts_by_col = std::move(figures.value_counts_by_col);
    return out;
}

}  // namespace tamsel::profile
