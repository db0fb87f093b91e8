#include "summary.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "pairwise.hpp"

namespace tamsel::kernels {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// Hands out per-thread scratch; a task that finds none free (the thread
// count changed since the workspace was sized) gets its own.
class ScratchPool {
public:
    ScratchPool(double* workspace, std::size_t slots, std::size_t doubles_each) {
        for (std::size_t s = 0; s < slots; ++s) free_.push_back(workspace + s * doubles_each);
    }
    double* take() {
        std::lock_guard<std::mutex> lock(m_);
        if (free_.empty()) return nullptr;
        double* p = free_.back();
        free_.pop_back();
        return p;
    }
    void give(double* p) {
        std::lock_guard<std::mutex> lock(m_);
        free_.push_back(p);
    }

private:
    std::mutex m_;
    std::vector<double*> free_;
};

std::size_t slots_for(std::size_t k) { return std::max<std::size_t>(1, std::min(thread_count(), k)); }

}  // namespace

void summarize_column(const ColumnView& column, std::size_t n, const SummaryOptions& o, ColumnSummary& out,
                      double* scratch) {
    out = ColumnSummary{};
    double* values = scratch;
    double* finite = scratch + n;
    load_doubles(column, 0, n, values);

    std::size_t non_nan = 0, nf = 0, neg_inf = 0;
    double lo = 0, hi = 0, finite_lo = 0, finite_hi = 0;
    bool pos_zero = false, neg_zero = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double v = values[i];
        if (v != v) continue;
        if (non_nan++ == 0) {
            lo = hi = v;
        } else {
            if (v < lo) lo = v;
            if (v > hi) hi = v;
        }
        if (std::isinf(v)) {
            if (v < 0) ++neg_inf;
            continue;
        }
        if (v == 0) (std::signbit(v) ? neg_zero : pos_zero) = true;
        if (nf == 0) {
            finite_lo = finite_hi = v;
        } else {
            if (v < finite_lo) finite_lo = v;
            if (v > finite_hi) finite_hi = v;
        }
        finite[nf++] = v;
    }

    out.outlier_share = 0.0;
    if (o.moments.formula != MomentFormula::none) {
        MomentRules rules = o.moments;
        rules.sum_block = o.sum_block;
        // With the analysis' shortcut for samples whose values are all equal.
        const Moments m = sample_moments(finite, nf, nf > 0 && finite_lo == finite_hi, rules);
        out.skew = m.skew;
        out.kurtosis = m.kurtosis;
        out.moments_by_library = m.by_library;
    } else {
        out.skew = out.kurtosis = nan_value;
    }
    if (nf == 0) {
        out.min = out.max = out.median = out.std = nan_value;
        return;
    }
    out.any_finite = true;
    out.min = lo;
    out.max = hi;
    out.min_by_library = lo == 0 && pos_zero && neg_zero;
    out.max_by_library = hi == 0 && pos_zero && neg_zero;

    // nanstd: NumPy zero-fills the missing cells and sums the whole column,
    // so the zeros take their place in the pairwise blocks.
    const double count = static_cast<double>(non_nan);
    const double avg = numpy_sum(
                           [values](std::size_t i) {
                               const double v = values[i];
                               return v != v ? 0.0 : v;
                           },
                           n, o.sum_block) /
                       count;
    const double sq = numpy_sum(
        [values, avg](std::size_t i) {
            const double v = values[i];
            if (v != v) return 0.0;
            const double d = v - avg;
            return d * d;
        },
        n, o.sum_block);
    out.std = std::sqrt(sq / count);
    out.std_by_library = !std::isfinite(out.std);

    // The median of the non-NaN values (infinities included) and the two
    // quartiles of the finite ones, all ranks among the finite values.
    std::size_t ranks[6];
    std::size_t nr = 0;
    const MedianRanks middle_ranks = median_ranks(non_nan);
    const std::size_t middle[2] = {middle_ranks.lower, middle_ranks.upper};
    const std::size_t median_count = middle_ranks.count;
    for (std::size_t j = 0; j < median_count; ++j) {
        const std::size_t r = middle[j];
        if (r >= neg_inf && r - neg_inf < nf) ranks[nr++] = r - neg_inf;
    }
    Quantile q1{}, q3{};
    const bool quartiles = nf >= 5;
    if (quartiles) {
        q1 = linear_quantile(nf, 0.25);
        q3 = linear_quantile(nf, 0.75);
        for (std::size_t r : {q1.below, q1.above, q3.below, q3.above}) ranks[nr++] = r;
    }
    // At most six ranks: insertion sort, dropping repeats.
    std::size_t distinct = 0;
    for (std::size_t j = 0; j < nr; ++j) {
        const std::size_t r = ranks[j];
        std::size_t at = 0;
        while (at < distinct && ranks[at] < r) ++at;
        if (at < distinct && ranks[at] == r) continue;
        for (std::size_t m = distinct; m > at; --m) ranks[m] = ranks[m - 1];
        ranks[at] = r;
        ++distinct;
    }
    nr = distinct;
    // The loaded column is no longer needed: it is the selection's scratch.
    double rank_values[6];
    order_statistics(finite, nf, ranks, nr, rank_values, values, n);
    const auto value_of_rank = [&](std::size_t r) {
        std::size_t j = 0;
        while (ranks[j] != r) ++j;
        return rank_values[j];
    };
    const auto ranked = [&](std::size_t r) {
        if (r < neg_inf) return -std::numeric_limits<double>::infinity();
        if (r - neg_inf < nf) return value_of_rank(r - neg_inf);
        return std::numeric_limits<double>::infinity();
    };
    out.median = median_value(ranked(middle[0]), ranked(middle[1]), median_count, o.sum_block);

    out.median_by_library = !std::isfinite(out.median);
    if (quartiles) {
        const double lower = lerp(value_of_rank(q1.below), value_of_rank(q1.above), q1.gamma);
        const double upper = lerp(value_of_rank(q3.below), value_of_rank(q3.above), q3.gamma);
        const Fences fences = iqr_fences(lower, upper);
        out.share_by_library = !fences.finite;
        if (!fences.zero_width && fences.finite) {
            std::size_t outside = 0;
            for (std::size_t i = 0; i < nf; ++i) outside += (finite[i] < fences.lo) | (finite[i] > fences.hi);
            out.outlier_share = static_cast<double>(outside) / static_cast<double>(nf);
        }
    }
}

std::size_t summary_workspace_doubles(std::size_t k, std::size_t n) { return slots_for(k) * 2 * n; }

bool summarize_columns(const ColumnView* columns, std::size_t k, std::size_t n, const SummaryOptions& options,
                       ColumnSummary* out, double* workspace, const Stop::Poll& poll) {
    ScratchPool pool(workspace, slots_for(k), 2 * n);
    return parallel_for(
        k,
        [&](std::size_t i, const Stop&) {
            double* scratch = pool.take();
            if (!scratch) {
                std::vector<double> own(2 * n);
                summarize_column(columns[i], n, options, out[i], own.data());
                return;
            }
            try {
                summarize_column(columns[i], n, options, out[i], scratch);
            } catch (...) {
                pool.give(scratch);
                throw;
            }
            pool.give(scratch);
        },
        poll);
}

// ------------------------------------------------------ columns split in partitions

ValueCounts count_values(const double* x, std::size_t n) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::uint64_t missing = 0, finite = 0, neg_inf = 0, zeros = 0;
    double lo = inf, hi = -inf;
    // Counts by adding comparisons, no branch but the rare NaN's.
    for (std::size_t i = 0; i < n; ++i) {
        const double v = x[i];
        if (v != v) {
            ++missing;
            continue;
        }
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
        finite += v - v == 0.0;
        neg_inf += v == -inf;
        zeros += v == 0.0;
    }
    ValueCounts out;
    out.counts = {n - missing, finite, neg_inf, zeros};
    if (out.counts.present == 0) {
        out.lo = out.hi = nan_value;
        return out;
    }
    out.lo = lo;
    out.hi = hi;
    if (zeros > 0 && (lo == 0 || hi == 0)) {
        bool neg = false, pos = false;
        for (std::size_t i = 0; i < n && !(neg && pos); ++i) {
            if (x[i] == 0) (std::signbit(x[i]) ? neg : pos) = true;
        }
        out.both_zeros = neg && pos;
    }
    return out;
}

namespace {

ColumnView float64_view(const double* x) { return {x, sizeof(double), ValueType::f64, nullptr, 1}; }

// Entry j's column number, or -1 for a target.
std::vector<std::ptrdiff_t> column_numbers(const std::vector<EntryKind>& kinds) {
    std::vector<std::ptrdiff_t> out(kinds.size(), -1);
    std::ptrdiff_t c = 0;
    for (std::size_t j = 0; j < kinds.size(); ++j) {
        if (kinds[j] == EntryKind::column) out[j] = c++;
    }
    return out;
}

std::size_t column_count(const std::vector<EntryKind>& kinds) {
    return static_cast<std::size_t>(std::count(kinds.begin(), kinds.end(), EntryKind::column));
}

// The value at `rank`, or the extremes of the refined bucket holding it.
std::pair<double, double> rank_bounds(const SplitColumn& col, std::uint64_t rank) {
    if (const auto it = col.values.find(rank); it != col.values.end()) return {it->second, it->second};
    for (const SplitRefinement& ref : col.refinements) {
        for (std::size_t i = 0; i < ref.ranks.size(); ++i) {
            if (ref.ranks[i] != rank) continue;
            const std::size_t at = bucket_of(ref.scan, bucket_ends(ref.scan), ref.inner[i]).first;
            return {key_value(ref.scan.lo[at]), key_value(ref.scan.hi[at])};
        }
    }
    throw std::logic_error("a quartile rank was neither gathered nor refined");
}

void bracket_fences(SplitColumn& col) {
    if (!col.quartiles) return;
    const auto bound = [&col](std::uint64_t rank) {
        const auto b = rank_bounds(col, rank);
        return RankRange{b.first, b.second};
    };
    const RankRange bounds[4] = {bound(col.q1.below), bound(col.q1.above), bound(col.q3.below), bound(col.q3.above)};
    col.bracketed = true;
    col.brackets = fence_brackets(col.q1, col.q3, bounds);
}

void check_partition(const SplitRead& plan, std::size_t entries, std::size_t n) {
    if (entries != plan.kinds.size()) throw std::invalid_argument("one column per planned entry");
    if (n != plan.rows) throw std::invalid_argument("the partition's length changed since the first read");
}

// The finite values of entry j (empty: x is all finite), checked against the
// count the first read took.
std::vector<double> finite_of(const SplitRead& plan, std::size_t j, const double* x, std::size_t n, std::size_t& nf) {
    std::vector<double> kept = finite_values(x, n, nf);
    if (nf != plan.fin_count[j]) throw std::invalid_argument("the partition's values changed since the first read");
    return kept;
}

template <class T>
void append_all(std::vector<T>& to, const std::vector<T>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

void check_same(std::size_t a, std::size_t b) {
    if (a != b) throw std::invalid_argument("partials of different plans");
}

// Two ascending runs of distinct values merged, counts of equal values added.
NearFence merge_near(const NearFence& a, const NearFence& b) {
    NearFence out;
    std::size_t i = 0, j = 0;
    while (i < a.values.size() || j < b.values.size()) {
        if (j == b.values.size() || (i < a.values.size() && a.values[i] < b.values[j])) {
            out.values.push_back(a.values[i]);
            out.counts.push_back(a.counts[i++]);
        } else if (i == a.values.size() || b.values[j] < a.values[i]) {
            out.values.push_back(b.values[j]);
            out.counts.push_back(b.counts[j++]);
        } else {
            out.values.push_back(a.values[i]);
            out.counts.push_back(a.counts[i++] + b.counts[j++]);
        }
    }
    return out;
}

NearFence near_values(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    NearFence out;
    for (double x : v) {
        if (!out.values.empty() && out.values.back() == x) {
            ++out.counts.back();
        } else {
            out.values.push_back(x);
            out.counts.push_back(1);
        }
    }
    return out;
}

OutsideCount count_outside(const double* f, std::size_t nf, const std::array<double, 4>& b) {
    OutsideCount out;
    for (std::size_t i = 0; i < nf; ++i) out.beyond += (f[i] < b[0]) + (f[i] > b[3]);
    if (b[0] == b[1] && b[2] == b[3]) return out;
    std::vector<double> low, high;
    for (std::size_t i = 0; i < nf; ++i) {
        if (f[i] >= b[0] && f[i] <= b[1]) low.push_back(f[i]);
        if (f[i] >= b[2] && f[i] <= b[3]) high.push_back(f[i]);
    }
    out.low = near_values(std::move(low));
    out.high = near_values(std::move(high));
    return out;
}

std::uint64_t count_beyond(const NearFence& near, double fence, bool below) {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < near.values.size(); ++i) {
        if (below ? near.values[i] < fence : near.values[i] > fence) n += near.counts[i];
    }
    return n;
}

// ---- byte forms

constexpr char scan_tag = 'S', read_tag = 'R', sums_tag = 'U', moments_tag = 'M';

class Writer {
public:
    explicit Writer(char tag) { out.push_back(tag); }
    template <class T>
    void pod(const T& v) {
        static_assert(std::is_trivially_copyable_v<T>);
        out.append(reinterpret_cast<const char*>(&v), sizeof v);
    }
    template <class T>
    void vec(const std::vector<T>& v) {
        pod<std::uint64_t>(v.size());
        if (!v.empty()) out.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
    }
    void level(const BucketLevel& l) {
        pod<std::uint32_t>(l.level);
        pod(l.prefix);
    }
    void scan(const BucketScan& s) {
        level(s.level);
        pod(s.missing);
        vec(s.bucket);
        vec(s.count);
        vec(s.lo);
        vec(s.hi);
        pod<std::uint8_t>((s.neg_zero ? 1 : 0) | (s.pos_zero ? 2 : 0));
    }
    void tree(const TreePartial& t) {
        vec(t.node_lo);
        vec(t.node_hi);
        vec(t.node_sum);
        vec(t.edge_at);
        pod<std::uint64_t>(t.edge_values.size());
        for (const auto& e : t.edge_values) vec(e);
    }
    void requests(const std::vector<BucketRequest>& r) {
        pod<std::uint64_t>(r.size());
        for (const BucketRequest& q : r) {
            level(q.level);
            pod(q.bucket);
            pod(q.count);
            pod(q.first);
            pod(q.last);
        }
    }
    void lists(const std::vector<std::vector<double>>& v) {
        pod<std::uint64_t>(v.size());
        for (const auto& x : v) vec(x);
    }
    void near(const NearFence& n) {
        vec(n.values);
        vec(n.counts);
    }
    std::string out;
};

class Reader {
public:
    Reader(std::string_view in, char tag) : in_(in) {
        if (in.empty() || in[0] != tag) throw std::invalid_argument("not a summary state of this kind");
        at_ = 1;
    }
    template <class T>
    T pod() {
        static_assert(std::is_trivially_copyable_v<T>);
        if (in_.size() - at_ < sizeof(T)) throw std::invalid_argument("a summary state cut short");
        T v;
        std::memcpy(&v, in_.data() + at_, sizeof v);
        at_ += sizeof v;
        return v;
    }
    // A count of items that each take at least `least` bytes: never more
    // than the bytes left could hold.
    std::size_t count(std::size_t least) {
        const auto n = pod<std::uint64_t>();
        if (n > (in_.size() - at_) / std::max<std::size_t>(least, 1))
            throw std::invalid_argument("a summary state cut short");
        return static_cast<std::size_t>(n);
    }
    template <class T>
    std::vector<T> vec() {
        std::vector<T> v(count(sizeof(T)));
        if (!v.empty()) std::memcpy(v.data(), in_.data() + at_, v.size() * sizeof(T));
        at_ += v.size() * sizeof(T);
        return v;
    }
    BucketLevel level() {
        const auto l = pod<std::uint32_t>();
        const auto prefix = pod<std::uint64_t>();
        if (l > BucketLevel::deepest) throw std::invalid_argument("bucket levels are 0, 1 and 2");
        const unsigned bits = BucketLevel::below[l] + BucketLevel::width[l];
        if (l == 0 ? prefix != 0 : prefix >> (64 - bits) != 0)
            throw std::invalid_argument("a prefix too wide for its level");
        return {l, prefix};
    }
    BucketScan scan() {
        BucketScan s;
        s.level = level();
        s.missing = pod<std::uint64_t>();
        s.bucket = vec<std::uint32_t>();
        s.count = vec<std::uint64_t>();
        s.lo = vec<std::uint64_t>();
        s.hi = vec<std::uint64_t>();
        const auto zeros = pod<std::uint8_t>();
        s.neg_zero = zeros & 1;
        s.pos_zero = zeros & 2;
        const std::size_t m = s.bucket.size();
        if (s.count.size() != m || s.lo.size() != m || s.hi.size() != m || zeros > 3)
            throw std::invalid_argument("not a bucket scan");
        for (std::size_t i = 0; i < m; ++i) {
            if (s.count[i] == 0 || (i > 0 && s.bucket[i] <= s.bucket[i - 1]) || s.bucket[i] >= s.level.size() ||
                !s.level.holds(s.lo[i]) || !s.level.holds(s.hi[i]) || s.level.bucket(s.lo[i]) != s.bucket[i] ||
                s.level.bucket(s.hi[i]) != s.bucket[i] || s.lo[i] > s.hi[i])
                throw std::invalid_argument("not a bucket scan");
        }
        return s;
    }
    TreePartial tree() {
        TreePartial t;
        t.node_lo = vec<std::uint64_t>();
        t.node_hi = vec<std::uint64_t>();
        t.node_sum = vec<double>();
        t.edge_at = vec<std::uint64_t>();
        t.edge_values.resize(count(8));
        for (auto& e : t.edge_values) e = vec<double>();
        if (t.node_hi.size() != t.node_lo.size() || t.node_sum.size() != t.node_lo.size() ||
            t.edge_values.size() != t.edge_at.size())
            throw std::invalid_argument("not a pairwise partial");
        for (std::size_t j = 0; j < t.node_lo.size(); ++j) {
            if (t.node_hi[j] <= t.node_lo[j]) throw std::invalid_argument("not a pairwise partial");
        }
        return t;
    }
    std::vector<BucketRequest> requests() {
        std::vector<BucketRequest> r(count(36));
        for (BucketRequest& q : r) {
            q.level = level();
            q.bucket = pod<std::uint32_t>();
            q.count = pod<std::uint64_t>();
            q.first = pod<std::uint64_t>();
            q.last = pod<std::uint64_t>();
            if (q.bucket >= q.level.size() || q.first > q.last || q.last >= q.count)
                throw std::invalid_argument("a bucket request out of range");
        }
        for (std::size_t j = 1; j < r.size(); ++j) {
            if (!(r[j].level == r[0].level) || r[j].bucket <= r[j - 1].bucket)
                throw std::invalid_argument("bucket requests out of order");
        }
        return r;
    }
    std::vector<std::vector<double>> lists() {
        std::vector<std::vector<double>> v(count(8));
        for (auto& x : v) x = vec<double>();
        return v;
    }
    NearFence near() {
        NearFence n;
        n.values = vec<double>();
        n.counts = vec<std::uint64_t>();
        if (n.values.size() != n.counts.size()) throw std::invalid_argument("not a fence count");
        for (std::size_t i = 1; i < n.values.size(); ++i) {
            if (!(n.values[i - 1] < n.values[i])) throw std::invalid_argument("not a fence count");
        }
        return n;
    }
    std::vector<EntryKind> kinds() {
        const std::vector<std::uint8_t> raw = vec<std::uint8_t>();
        std::vector<EntryKind> out;
        for (std::uint8_t k : raw) {
            if (k > 1) throw std::invalid_argument("an entry is a column or a target");
            out.push_back(static_cast<EntryKind>(k));
        }
        return out;
    }
    void done() const {
        if (at_ != in_.size()) throw std::invalid_argument("trailing bytes after a summary state");
    }

private:
    std::string_view in_;
    std::size_t at_ = 0;
};

std::vector<std::uint8_t> kind_bytes(const std::vector<EntryKind>& kinds) {
    std::vector<std::uint8_t> out;
    for (EntryKind k : kinds) out.push_back(static_cast<std::uint8_t>(k));
    return out;
}

template <class T, class Read>
std::vector<std::vector<T>> nested(Reader& r, std::size_t least, Read read) {
    std::vector<std::vector<T>> out(r.count(8));
    for (auto& inner : out) {
        inner.resize(r.count(least));
        for (auto& item : inner) item = read();
    }
    return out;
}

}  // namespace

std::optional<ScanPart> split_scan_partial(const std::vector<const double*>& x, std::size_t n,
                                           const std::vector<EntryKind>& kinds, const Stop::Poll& poll) {
    if (x.size() != kinds.size()) throw std::invalid_argument("one column per entry");
    const std::vector<std::ptrdiff_t> column = column_numbers(kinds);
    ScanPart out;
    out.state.kinds = kinds;
    out.state.rows = {n};
    out.state.counts.resize(kinds.size());
    out.state.buckets.resize(column_count(kinds));
    out.state.ranges.resize(column_count(kinds));
    out.lo.resize(kinds.size());
    out.hi.resize(kinds.size());
    out.zero_sign.resize(kinds.size());
    const bool done = parallel_for(
        kinds.size(),
        [&](std::size_t j, const Stop&) {
            const ValueCounts c = count_values(x[j], n);
            out.state.counts[j] = c.counts;
            out.lo[j] = c.lo;
            out.hi[j] = c.hi;
            out.zero_sign[j] = c.both_zeros;
            if (column[j] < 0) return;
            const auto col = static_cast<std::size_t>(column[j]);
            out.state.buckets[col] = scan_buckets(float64_view(x[j]), n);
            out.state.ranges[col] = page::range_partial(x[j], n);
        },
        poll);
    if (!done) return std::nullopt;
    return out;
}

SplitScan split_scan_merge(const std::vector<SplitScan>& parts) {
    if (parts.empty()) throw std::invalid_argument("no scans to merge");
    SplitScan out;
    out.kinds = parts[0].kinds;
    for (const SplitScan& p : parts) {
        if (p.kinds != out.kinds || p.buckets.size() != parts[0].buckets.size() ||
            p.counts.size() != p.rows.size() * p.kinds.size())
            throw std::invalid_argument("scans of different entries");
        append_all(out.rows, p.rows);
        append_all(out.counts, p.counts);
    }
    std::vector<BucketScan> column(parts.size());
    for (std::size_t c = 0; c < parts[0].buckets.size(); ++c) {
        for (std::size_t p = 0; p < parts.size(); ++p) column[p] = parts[p].buckets[c];
        out.buckets.push_back(merge_scans(column.data(), column.size()));
        page::RangeState range = parts[0].ranges[c];
        for (std::size_t p = 1; p < parts.size(); ++p) range = page::range_merge(range, parts[p].ranges[c]);
        out.ranges.push_back(range);
    }
    return out;
}

SplitWork plan_split_summary(SplitScan merged, std::uint64_t cap, std::uint64_t block) {
    SplitWork work;
    const std::size_t k = merged.kinds.size();
    if (merged.counts.size() != merged.rows.size() * k || merged.buckets.size() != column_count(merged.kinds))
        throw std::invalid_argument("not a merged scan");
    work.cap = cap;
    work.block = block;
    work.totals.resize(k);
    for (std::size_t p = 0; p < merged.rows.size(); ++p) {
        work.n_rows += merged.rows[p];
        for (std::size_t j = 0; j < k; ++j) {
            const EntryCounts& c = merged.counts[p * k + j];
            EntryCounts& t = work.totals[j];
            t.present += c.present;
            t.finite += c.finite;
            t.neg_inf += c.neg_inf;
            t.zeros += c.zeros;
        }
    }
    work.entries.resize(k);
    const std::vector<std::ptrdiff_t> column = column_numbers(merged.kinds);
    constexpr double page_percent[5] = {5.0, 25.0, 50.0, 75.0, 95.0};
    for (std::size_t j = 0; j < k; ++j) {
        if (column[j] < 0) continue;
        const BucketScan& scan = merged.buckets[static_cast<std::size_t>(column[j])];
        const EntryCounts& t = work.totals[j];
        if (scan.present() != t.present) throw std::invalid_argument("a scan's buckets disagree with its counts");
        SplitColumn& col = work.columns.emplace_back();
        col.entry = j;
        if (t.finite == 0) continue;
        col.any_finite = true;
        col.median = median_ranks(t.present);
        std::set<std::uint64_t> ranks = {col.median.lower, col.median.upper};
        // Ranks among the finite values; the scan also counts -inf below them.
        if (t.finite >= 5) {
            col.quartiles = true;
            col.q1 = shifted(linear_quantile(t.finite, 25.0 / 100.0), t.neg_inf);
            col.q3 = shifted(linear_quantile(t.finite, 75.0 / 100.0), t.neg_inf);
            ranks.insert({col.q1.below, col.q1.above, col.q3.below, col.q3.above});
        }
        for (std::size_t i = 0; i < 5; ++i) {
            col.page[i] = shifted(linear_quantile(t.finite, page_percent[i] / 100.0), t.neg_inf);
            ranks.insert({col.page[i].below, col.page[i].above});
        }
        const std::vector<std::uint64_t> wanted(ranks.begin(), ranks.end());
        const RankPlan plan = plan_ranks(scan, wanted.data(), wanted.size());
        // A bucket that would hand over more than `cap` values of a partition
        // is split by a deeper scan instead.
        std::map<std::uint32_t, std::size_t> full;
        for (std::size_t i = 0; i < plan.requests.size(); ++i) {
            if (plan.requests[i].keep() > cap) full[plan.requests[i].bucket] = i;
        }
        std::map<std::uint32_t, SplitRefinement> refined;
        const std::vector<std::uint64_t> ends = bucket_ends(scan);
        for (std::uint64_t r : wanted) {
            const auto [at, inner] = bucket_of(scan, ends, r);
            const auto it = full.find(scan.bucket[at]);
            if (it == full.end()) {
                col.gather_ranks.push_back(r);
                continue;
            }
            SplitRefinement& ref = refined[it->first];
            const BucketRequest& req = plan.requests[it->second];
            if (req.level.level == BucketLevel::deepest) throw std::logic_error("the deepest buckets hold one value");
            ref.level = req.level.inside(req.bucket);
            ref.ranks.push_back(r);
            ref.inner.push_back(inner);
        }
        for (auto& [bucket, ref] : refined) col.refinements.push_back(std::move(ref));
        col.gather = plan_ranks(scan, col.gather_ranks.data(), col.gather_ranks.size());
    }
    work.scan = std::move(merged);
    return work;
}

namespace {

// The common part of every partition's plan.
SplitRead common_plan(const SplitWork& work, std::uint8_t read) {
    SplitRead r;
    r.read = read;
    r.kinds = work.scan.kinds;
    r.n_rows = work.n_rows;
    r.block = work.block;
    for (const EntryCounts& t : work.totals) r.fin_total.push_back(t.finite);
    return r;
}

// The common plan once per partition, each with its own place.
std::vector<SplitRead> per_partition(const SplitWork& work, const SplitRead& common) {
    const std::size_t k = common.kinds.size();
    std::vector<SplitRead> out;
    std::uint64_t offset = 0;
    std::vector<std::uint64_t> fin(k, 0);
    for (std::size_t p = 0; p < work.scan.rows.size(); ++p) {
        SplitRead& r = out.emplace_back(common);
        r.rows = work.scan.rows[p];
        r.row_offset = offset;
        offset += r.rows;
        for (std::size_t j = 0; j < k; ++j) {
            const std::uint64_t f = work.scan.counts[p * k + j].finite;
            r.fin_count.push_back(f);
            r.fin_offset.push_back(fin[j]);
            fin[j] += f;
        }
    }
    return out;
}

}  // namespace

std::vector<SplitRead> second_read_plans(const SplitWork& work) {
    SplitRead r = common_plan(work, 2);
    for (std::size_t c = 0; c < work.columns.size(); ++c) {
        const SplitColumn& col = work.columns[c];
        const page::RangeState& range = work.scan.ranges[c];
        r.edges.push_back(range.finite
                              ? page::histogram_plan(range.lo, range.hi, page::histogram_bins(range.finite)).edges
                              : std::vector<double>());
        r.gather.push_back(col.gather.requests);
        for (const SplitRefinement& ref : col.refinements) {
            r.deeper_entry.push_back(static_cast<std::uint32_t>(col.entry));
            r.deeper_level.push_back(ref.level);
        }
    }
    return per_partition(work, r);
}

std::vector<SplitRead> third_read_plans(const SplitWork& work) {
    SplitRead r = common_plan(work, 3);
    for (std::size_t j = 0; j < r.kinds.size(); ++j) {
        const SplitEntry& e = work.entries[j];
        // nanstd's squares are a column's figure only.
        const bool avg = e.avg.has_value() && r.kinds[j] == EntryKind::column;
        r.has_avg.push_back(avg);
        r.avg.push_back(avg ? *e.avg : nan_value);
        r.has_mean.push_back(e.mean.has_value());
        r.mean.push_back(e.mean.value_or(nan_value));
    }
    for (const SplitColumn& col : work.columns) {
        for (const SplitRefinement& ref : col.refinements) {
            r.refined_entry.push_back(static_cast<std::uint32_t>(col.entry));
            r.refined.push_back(ref.plan.requests);
        }
        if (col.bracketed) {
            r.bracket_entry.push_back(static_cast<std::uint32_t>(col.entry));
            r.brackets.push_back(col.brackets);
        }
    }
    return per_partition(work, r);
}

std::optional<SumsPart> second_read_partial(const SplitRead& plan, const std::vector<const double*>& x, std::size_t n,
                                            const Stop::Poll& poll) {
    check_partition(plan, x.size(), n);
    if (plan.read != 2) throw std::invalid_argument("not a plan of the second read");
    const std::size_t k = plan.kinds.size();
    const std::vector<std::ptrdiff_t> column = column_numbers(plan.kinds);
    if (plan.gather.size() != column_count(plan.kinds) || plan.edges.size() != plan.gather.size())
        throw std::invalid_argument("one request list and histogram per column");
    SumsPart out;
    out.nan0.resize(k);
    out.finite.resize(k);
    out.gathered.resize(plan.gather.size());
    out.deeper.resize(plan.deeper_entry.size());
    out.histograms.resize(plan.gather.size());
    for (std::uint32_t j : plan.deeper_entry) {
        if (j >= k || column[j] < 0) throw std::invalid_argument("a refined bucket of no column");
    }
    const std::uint64_t row_offset = plan.row_offset;
    const bool done = parallel_for(
        k + plan.deeper_entry.size(),
        [&](std::size_t t, const Stop&) {
            if (t >= k) {
                const std::size_t d = t - k;
                out.deeper[d] = scan_buckets(float64_view(x[plan.deeper_entry[d]]), n, plan.deeper_level[d]);
                return;
            }
            std::size_t nf = 0;
            const std::vector<double> kept = finite_of(plan, t, x[t], n, nf);
            const double* f = kept.empty() ? x[t] : kept.data();
            // nanstd sums the whole column with its NaN as 0; SciPy's mean,
            // its finite values.
            out.finite[t].push_back(pairwise_partial(f, plan.fin_offset[t], nf, plan.fin_total[t], plan.block));
            if (column[t] < 0) return;
            out.nan0[t].push_back(nan_as_zero_partial(x[t], row_offset, n, plan.n_rows, plan.block));
            const auto c = static_cast<std::size_t>(column[t]);
            const auto& requests = plan.gather[c];
            out.gathered[c] = gather_bucket_values(float64_view(x[t]), n, requests.data(), requests.size());
            if (!plan.edges[c].empty()) out.histograms[c] = page::histogram_partial({plan.edges[c]}, x[t], n).counts;
        },
        poll);
    if (!done) return std::nullopt;
    return out;
}

std::optional<MomentsPart> third_read_partial(const SplitRead& plan, const std::vector<const double*>& x, std::size_t n,
                                              const MomentRules& rules, const Stop::Poll& poll) {
    check_partition(plan, x.size(), n);
    if (plan.read != 3) throw std::invalid_argument("not a plan of the third read");
    const std::size_t k = plan.kinds.size();
    for (std::uint32_t j : plan.refined_entry) {
        if (j >= k) throw std::invalid_argument("a refined bucket of no entry");
    }
    for (std::uint32_t j : plan.bracket_entry) {
        if (j >= k) throw std::invalid_argument("a fence of no entry");
    }
    MomentsPart out;
    out.squares.resize(k);
    out.moments.resize(k);
    out.gathered.resize(plan.refined.size());
    out.outside.resize(plan.brackets.size());
    // Per entry, which bracketed column it is (the counts need its finite values).
    std::vector<std::ptrdiff_t> bracket_of(k, -1);
    for (std::size_t b = 0; b < plan.bracket_entry.size(); ++b)
        bracket_of[plan.bracket_entry[b]] = static_cast<std::ptrdiff_t>(b);
    const std::uint64_t row_offset = plan.row_offset;
    const bool done = parallel_for(
        k + plan.refined.size(),
        [&](std::size_t t, const Stop&) {
            if (t >= k) {
                const std::size_t r = t - k;
                const auto& requests = plan.refined[r];
                out.gathered[r] =
                    gather_bucket_values(float64_view(x[plan.refined_entry[r]]), n, requests.data(), requests.size());
                return;
            }
            std::size_t nf = 0;
            const std::vector<double> kept = finite_of(plan, t, x[t], n, nf);
            const double* f = kept.empty() ? x[t] : kept.data();
            if (plan.has_avg[t])
                out.squares[t].push_back(
                    nan_as_zero_square_partial(x[t], plan.avg[t], row_offset, n, plan.n_rows, plan.block));
            if (plan.has_mean[t])
                out.moments[t].push_back(
                    moment_partial(f, nf, plan.fin_offset[t], plan.fin_total[t], plan.mean[t], rules));
            if (bracket_of[t] >= 0) {
                const auto b = static_cast<std::size_t>(bracket_of[t]);
                out.outside[b] = count_outside(f, nf, plan.brackets[b]);
            }
        },
        poll);
    if (!done) return std::nullopt;
    return out;
}

SumsPart merge_sums(const std::vector<SumsPart>& parts) {
    if (parts.empty()) throw std::invalid_argument("no partials to merge");
    SumsPart out = parts[0];
    for (std::size_t p = 1; p < parts.size(); ++p) {
        const SumsPart& s = parts[p];
        check_same(s.nan0.size(), out.nan0.size());
        check_same(s.finite.size(), out.finite.size());
        check_same(s.gathered.size(), out.gathered.size());
        check_same(s.deeper.size(), out.deeper.size());
        for (std::size_t j = 0; j < out.nan0.size(); ++j) {
            append_all(out.nan0[j], s.nan0[j]);
            append_all(out.finite[j], s.finite[j]);
        }
        for (std::size_t c = 0; c < out.gathered.size(); ++c) {
            check_same(s.gathered[c].size(), out.gathered[c].size());
            for (std::size_t q = 0; q < out.gathered[c].size(); ++q) append_all(out.gathered[c][q], s.gathered[c][q]);
        }
        for (std::size_t d = 0; d < out.deeper.size(); ++d) {
            const BucketScan two[2] = {out.deeper[d], s.deeper[d]};
            out.deeper[d] = merge_scans(two, 2);
        }
        check_same(s.histograms.size(), out.histograms.size());
        for (std::size_t c = 0; c < out.histograms.size(); ++c) {
            check_same(s.histograms[c].size(), out.histograms[c].size());
            out.histograms[c] = page::histogram_merge({out.histograms[c]}, {s.histograms[c]}).counts;
        }
    }
    return out;
}

MomentsPart merge_moment_parts(const std::vector<MomentsPart>& parts) {
    if (parts.empty()) throw std::invalid_argument("no partials to merge");
    MomentsPart out = parts[0];
    for (std::size_t p = 1; p < parts.size(); ++p) {
        const MomentsPart& s = parts[p];
        check_same(s.squares.size(), out.squares.size());
        check_same(s.moments.size(), out.moments.size());
        check_same(s.gathered.size(), out.gathered.size());
        check_same(s.outside.size(), out.outside.size());
        for (std::size_t j = 0; j < out.squares.size(); ++j) {
            append_all(out.squares[j], s.squares[j]);
            append_all(out.moments[j], s.moments[j]);
        }
        for (std::size_t r = 0; r < out.gathered.size(); ++r) {
            check_same(s.gathered[r].size(), out.gathered[r].size());
            for (std::size_t q = 0; q < out.gathered[r].size(); ++q) append_all(out.gathered[r][q], s.gathered[r][q]);
        }
        for (std::size_t b = 0; b < out.outside.size(); ++b) {
            out.outside[b].beyond += s.outside[b].beyond;
            out.outside[b].low = merge_near(out.outside[b].low, s.outside[b].low);
            out.outside[b].high = merge_near(out.outside[b].high, s.outside[b].high);
        }
    }
    return out;
}

namespace {

// np.add.reduce of an array of `total` values from its partitions' partials;
// none when the array is empty or was not summed.
std::optional<double> combined(const std::vector<TreePartial>& parts, std::uint64_t total, std::uint64_t block) {
    if (total == 0 || parts.empty()) return std::nullopt;
    return pairwise_combine(parts.data(), parts.size(), total, block);
}

void store_values(SplitColumn& col, const RankPlan& plan, const std::vector<std::uint64_t>& ranks,
                  const std::vector<std::vector<double>>& gathered) {
    if (ranks.empty()) return;
    const std::vector<double> v = select_planned(plan, {gathered});
    for (std::size_t i = 0; i < ranks.size(); ++i) col.values[ranks[i]] = v[i];
}

double value_at(const SplitColumn& col, std::uint64_t rank) {
    const auto it = col.values.find(rank);
    if (it == col.values.end()) throw std::logic_error("a rank's value is missing");
    return it->second;
}

}  // namespace

void finish_second_read(SplitWork& work, const SumsPart& merged) {
    const std::size_t k = work.scan.kinds.size();
    if (merged.nan0.size() != k || merged.finite.size() != k || merged.gathered.size() != work.columns.size() ||
        merged.histograms.size() != work.columns.size())
        throw std::invalid_argument("partials of another plan");
    work.histograms = merged.histograms;
    for (std::size_t j = 0; j < k; ++j) {
        SplitEntry& e = work.entries[j];
        const EntryCounts& t = work.totals[j];
        e.nan0_sum = combined(merged.nan0[j], work.n_rows, work.block);
        e.finite_sum = combined(merged.finite[j], t.finite, work.block);
        if (t.finite == 0) continue;
        if (e.nan0_sum) e.avg = *e.nan0_sum / static_cast<double>(t.present);
        if (e.finite_sum) e.mean = *e.finite_sum / static_cast<double>(t.finite);
    }
    std::size_t d = 0;
    for (std::size_t c = 0; c < work.columns.size(); ++c) {
        SplitColumn& col = work.columns[c];
        store_values(col, col.gather, col.gather_ranks, merged.gathered[c]);
        for (SplitRefinement& ref : col.refinements) {
            if (d >= merged.deeper.size()) throw std::invalid_argument("partials of another plan");
            ref.scan = merged.deeper[d++];
            ref.plan = plan_ranks(ref.scan, ref.inner.data(), ref.inner.size());
        }
        bracket_fences(col);
    }
    if (d != merged.deeper.size()) throw std::invalid_argument("partials of another plan");
}

std::vector<SplitRow> finish_split_summary(SplitWork& work, const MomentsPart& merged, const double* lo,
                                           const double* hi, const MomentRules& rules) {
    const std::size_t k = work.scan.kinds.size();
    if (merged.squares.size() != k || merged.moments.size() != k)
        throw std::invalid_argument("partials of another plan");
    std::size_t r = 0, b = 0;
    for (SplitColumn& col : work.columns) {
        for (SplitRefinement& ref : col.refinements) {
            if (r >= merged.gathered.size()) throw std::invalid_argument("partials of another plan");
            store_values(col, ref.plan, ref.ranks, merged.gathered[r++]);
        }
    }
    if (r != merged.gathered.size()) throw std::invalid_argument("partials of another plan");
    std::vector<SplitRow> rows(k);
    std::vector<std::ptrdiff_t> column = column_numbers(work.scan.kinds);
    for (std::size_t j = 0; j < k; ++j) {
        SplitEntry& e = work.entries[j];
        const EntryCounts& t = work.totals[j];
        e.squares = combined(merged.squares[j], work.n_rows, work.block);
        if (t.finite > 0 && !merged.moments[j].empty())
            e.moments = merge_moments(merged.moments[j].data(), merged.moments[j].size(), t.finite, rules);
        SplitRow& row = rows[j];
        row.kind = work.scan.kinds[j];
        row.counts = t;
        row.pos_inf = t.present - t.finite - t.neg_inf;
        row.missing_or_zero = work.n_rows - t.present + t.zeros;
        row.skew = row.kurtosis = nan_value;
        if (e.mean && t.finite > 0 && e.moments) {
            const Moments m = finish_moments(*e.moments, t.finite, *e.mean, false, rules);
            row.skew = m.skew;
            row.kurtosis = m.kurtosis;
        }
        row.mean = e.mean.value_or(nan_value);
        row.q1 = row.q3 = nan_value;
        row.page.fill(nan_value);
        if (column[j] < 0) continue;
        const SplitColumn& col = work.columns[static_cast<std::size_t>(column[j])];
        if (!col.any_finite) {
            row.min = row.max = row.median = row.std = nan_value;
            continue;
        }
        row.median = median_value(value_at(col, col.median.lower), value_at(col, col.median.upper), col.median.count,
                                  work.block);
        if (!e.squares) throw std::logic_error("a column with finite values and no squares");
        row.std = std::sqrt(*e.squares / static_cast<double>(t.present));
        row.min = lo[j];
        row.max = hi[j];
        for (std::size_t i = 0; i < 5; ++i) {
            const Quantile& q = col.page[i];
            row.page[i] = lerp(value_at(col, q.below), value_at(col, q.above), q.gamma);
        }
        if (!col.quartiles) continue;
        row.q1 = lerp(value_at(col, col.q1.below), value_at(col, col.q1.above), col.q1.gamma);
        row.q3 = lerp(value_at(col, col.q3.below), value_at(col, col.q3.above), col.q3.gamma);
        if (b >= merged.outside.size()) throw std::invalid_argument("partials of another plan");
        const OutsideCount& out = merged.outside[b++];
        const Fences fences = iqr_fences(row.q1, row.q3);
        if (fences.zero_width) continue;
        row.outliers = out.beyond + count_beyond(out.low, fences.lo, true) + count_beyond(out.high, fences.hi, false);
        row.outlier_share = static_cast<double>(row.outliers) / static_cast<double>(t.finite);
    }
    return rows;
}

std::vector<double> split_figures(const std::vector<SplitRow>& rows) {
    std::vector<double> out;
    out.reserve(rows.size() * split_figure_count);
    for (const SplitRow& r : rows) {
        const auto n = [](std::uint64_t v) { return static_cast<double>(v); };
        const double head[17] = {n(r.counts.present),
                                 n(r.counts.finite),
                                 n(r.counts.neg_inf),
                                 n(r.pos_inf),
                                 n(r.counts.zeros),
                                 r.min,
                                 r.max,
                                 r.median,
                                 r.std,
                                 r.mean,
                                 r.skew,
                                 r.kurtosis,
                                 r.q1,
                                 r.q3,
                                 n(r.outliers),
                                 r.outlier_share,
                                 n(r.missing_or_zero)};
        out.insert(out.end(), head, head + 17);
        out.insert(out.end(), r.page.begin(), r.page.end());
    }
    return out;
}

std::string encode(const SplitScan& s) {
    Writer w(scan_tag);
    w.vec(kind_bytes(s.kinds));
    w.vec(s.rows);
    w.vec(s.counts);
    w.pod<std::uint64_t>(s.buckets.size());
    for (const BucketScan& b : s.buckets) w.scan(b);
    w.vec(s.ranges);
    return std::move(w.out);
}

SplitScan decode_split_scan(std::string_view in) {
    Reader r(in, scan_tag);
    SplitScan s;
    s.kinds = r.kinds();
    s.rows = r.vec<std::uint64_t>();
    s.counts = r.vec<EntryCounts>();
    s.buckets.resize(r.count(40));
    for (BucketScan& b : s.buckets) b = r.scan();
    s.ranges = r.vec<page::RangeState>();
    r.done();
    if (s.counts.size() != s.rows.size() * s.kinds.size() || s.buckets.size() != column_count(s.kinds) ||
        s.ranges.size() != s.buckets.size())
        throw std::invalid_argument("not a summary scan");
    for (const page::RangeState& g : s.ranges) {
        if (g.finite < 0 || g.missing < 0 || g.infinite < 0 || g.zeros < 0)
            throw std::invalid_argument("not a summary scan");
    }
    return s;
}

std::string encode(const SplitRead& s) {
    Writer w(read_tag);
    w.pod(s.read);
    w.vec(kind_bytes(s.kinds));
    w.pod(s.n_rows);
    w.pod(s.block);
    w.pod(s.rows);
    w.pod(s.row_offset);
    w.vec(s.fin_count);
    w.vec(s.fin_offset);
    w.vec(s.fin_total);
    w.pod<std::uint64_t>(s.gather.size());
    for (const auto& g : s.gather) w.requests(g);
    w.vec(s.deeper_entry);
    w.pod<std::uint64_t>(s.deeper_level.size());
    for (const BucketLevel& l : s.deeper_level) w.level(l);
    w.vec(s.has_avg);
    w.vec(s.has_mean);
    w.vec(s.avg);
    w.vec(s.mean);
    w.vec(s.refined_entry);
    w.pod<std::uint64_t>(s.refined.size());
    for (const auto& g : s.refined) w.requests(g);
    w.vec(s.bracket_entry);
    w.vec(s.brackets);
    w.lists(s.edges);
    return std::move(w.out);
}

SplitRead decode_split_read(std::string_view in) {
    Reader r(in, read_tag);
    SplitRead s;
    s.read = r.pod<std::uint8_t>();
    s.kinds = r.kinds();
    s.n_rows = r.pod<std::uint64_t>();
    s.block = r.pod<std::uint64_t>();
    s.rows = r.pod<std::uint64_t>();
    s.row_offset = r.pod<std::uint64_t>();
    s.fin_count = r.vec<std::uint64_t>();
    s.fin_offset = r.vec<std::uint64_t>();
    s.fin_total = r.vec<std::uint64_t>();
    s.gather.resize(r.count(8));
    for (auto& g : s.gather) g = r.requests();
    s.deeper_entry = r.vec<std::uint32_t>();
    s.deeper_level.resize(r.count(12));
    for (BucketLevel& l : s.deeper_level) l = r.level();
    s.has_avg = r.vec<std::uint8_t>();
    s.has_mean = r.vec<std::uint8_t>();
    s.avg = r.vec<double>();
    s.mean = r.vec<double>();
    s.refined_entry = r.vec<std::uint32_t>();
    s.refined.resize(r.count(8));
    for (auto& g : s.refined) g = r.requests();
    s.bracket_entry = r.vec<std::uint32_t>();
    s.brackets = r.vec<std::array<double, 4>>();
    s.edges = r.lists();
    r.done();
    const std::size_t k = s.kinds.size();
    const bool third = s.read == 3;
    if ((s.read != 2 && !third) || s.fin_count.size() != k || s.fin_offset.size() != k || s.fin_total.size() != k ||
        s.deeper_level.size() != s.deeper_entry.size() || s.refined.size() != s.refined_entry.size() ||
        s.brackets.size() != s.bracket_entry.size() || s.has_avg.size() != (third ? k : 0) ||
        s.edges.size() != (third ? 0 : s.gather.size()) || s.has_mean.size() != s.has_avg.size() ||
        s.avg.size() != s.has_avg.size() || s.mean.size() != s.has_avg.size())
        throw std::invalid_argument("not a summary read plan");
    // The placement the pairwise partials trust: the partition inside the
    // column, its run of finite values inside the column's.
    if (s.row_offset > s.n_rows || s.rows > s.n_rows - s.row_offset)
        throw std::invalid_argument("not a summary read plan");
    for (std::size_t j = 0; j < k; ++j) {
        const std::uint64_t off = s.fin_offset[j], cnt = s.fin_count[j];
        if (cnt > s.rows || off > s.fin_total[j] || cnt > s.fin_total[j] - off)
            throw std::invalid_argument("not a summary read plan");
    }
    return s;
}

std::string encode(const SumsPart& s) {
    Writer w(sums_tag);
    for (const auto* lists : {&s.nan0, &s.finite}) {
        w.pod<std::uint64_t>(lists->size());
        for (const auto& l : *lists) {
            w.pod<std::uint64_t>(l.size());
            for (const TreePartial& t : l) w.tree(t);
        }
    }
    w.pod<std::uint64_t>(s.gathered.size());
    for (const auto& g : s.gathered) w.lists(g);
    w.pod<std::uint64_t>(s.deeper.size());
    for (const BucketScan& b : s.deeper) w.scan(b);
    w.pod<std::uint64_t>(s.histograms.size());
    for (const auto& h : s.histograms) w.vec(h);
    return std::move(w.out);
}

SumsPart decode_sums(std::string_view in) {
    Reader r(in, sums_tag);
    SumsPart s;
    s.nan0 = nested<TreePartial>(r, 40, [&] { return r.tree(); });
    s.finite = nested<TreePartial>(r, 40, [&] { return r.tree(); });
    s.gathered.resize(r.count(8));
    for (auto& g : s.gathered) g = r.lists();
    s.deeper.resize(r.count(40));
    for (BucketScan& b : s.deeper) b = r.scan();
    s.histograms.resize(r.count(8));
    for (auto& h : s.histograms) h = r.vec<std::int64_t>();
    r.done();
    if (s.nan0.size() != s.finite.size()) throw std::invalid_argument("not a summary partial");
    return s;
}

std::string encode(const MomentsPart& s) {
    Writer w(moments_tag);
    w.pod<std::uint64_t>(s.squares.size());
    for (const auto& l : s.squares) {
        w.pod<std::uint64_t>(l.size());
        for (const TreePartial& t : l) w.tree(t);
    }
    w.pod<std::uint64_t>(s.moments.size());
    for (const auto& l : s.moments) {
        w.pod<std::uint64_t>(l.size());
        for (const MomentPartial& m : l) {
            for (const TreePartial& t : m.sums) w.tree(t);
            w.pod(m.largest);
            w.pod<std::uint8_t>((m.nan_deviation ? 1 : 0) | (m.warned ? 2 : 0));
        }
    }
    w.pod<std::uint64_t>(s.gathered.size());
    for (const auto& g : s.gathered) w.lists(g);
    w.pod<std::uint64_t>(s.outside.size());
    for (const OutsideCount& o : s.outside) {
        w.pod(o.beyond);
        w.near(o.low);
        w.near(o.high);
    }
    return std::move(w.out);
}

MomentsPart decode_moments(std::string_view in) {
    Reader r(in, moments_tag);
    MomentsPart s;
    s.squares = nested<TreePartial>(r, 40, [&] { return r.tree(); });
    s.moments = nested<MomentPartial>(r, 129, [&] {
        MomentPartial m;
        for (TreePartial& t : m.sums) t = r.tree();
        m.largest = r.pod<double>();
        const auto flags = r.pod<std::uint8_t>();
        if (flags > 3) throw std::invalid_argument("not a moment partial");
        m.nan_deviation = flags & 1;
        m.warned = flags & 2;
        return m;
    });
    s.gathered.resize(r.count(8));
    for (auto& g : s.gathered) g = r.lists();
    s.outside.resize(r.count(40));
    for (OutsideCount& o : s.outside) {
        o.beyond = r.pod<std::uint64_t>();
        o.low = r.near();
        o.high = r.near();
    }
    r.done();
    if (s.squares.size() != s.moments.size()) throw std::invalid_argument("not a summary partial");
    return s;
}

std::vector<double> summary_table(const std::vector<ColumnSummary>& summaries) {
    std::vector<double> out;
    out.reserve(summaries.size() * summary_table_width);
    for (const ColumnSummary& s : summaries) {
        const double row[summary_table_width] = {s.min,
                                                 s.max,
                                                 s.median,
                                                 s.std,
                                                 s.skew,
                                                 s.kurtosis,
                                                 s.outlier_share,
                                                 s.any_finite ? 1.0 : 0.0,
                                                 s.min_by_library ? 1.0 : 0.0,
                                                 s.max_by_library ? 1.0 : 0.0,
                                                 s.moments_by_library ? 1.0 : 0.0,
                                                 s.median_by_library ? 1.0 : 0.0,
                                                 s.share_by_library ? 1.0 : 0.0,
                                                 s.std_by_library ? 1.0 : 0.0};
        out.insert(out.end(), row, row + summary_table_width);
    }
    return out;
}

std::vector<EntryKind> entry_kinds(const std::vector<std::uint8_t>& bytes) {
    std::vector<EntryKind> out;
    for (std::uint8_t k : bytes) {
        if (k > 1) throw std::invalid_argument("a kind is 0 (a column) or 1 (a target)");
        out.push_back(static_cast<EntryKind>(k));
    }
    return out;
}

}  // namespace tamsel::kernels
