#include "summary.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <vector>

#include "linear_quantile.hpp"
#include "pairwise.hpp"

namespace tamsel::kernels {
namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();

// nth_element for each of the sorted, distinct ranks r[0..nr) within
// [lo, hi): afterwards b[r[i]] holds the value of that rank. The middle rank
// splits the range first, so the quartiles are looked for in halves; a rank
// right after one just placed is the smallest value above it, one scan.
void select_ranks(double* b, std::size_t lo, std::size_t hi, const std::size_t* r, std::size_t nr) {
    if (nr == 0 || lo >= hi) return;
    const std::size_t mid = nr / 2;
    const std::size_t k = r[mid];
    std::nth_element(b + lo, b + k, b + hi);
    std::size_t right = mid + 1;
    if (right < nr && r[right] == k + 1) {
        std::iter_swap(b + k + 1, std::min_element(b + k + 1, b + hi));
        ++right;
    }
    select_ranks(b, lo, k, r, mid);
    select_ranks(b, r[right - 1] + 1, hi, r + right, nr - right);
}

// The values of the sorted, distinct ranks r[0..nr) of f[0..nf) into
// values[0..nr), on a long column in one pass: a strided sample, sorted,
// brackets each rank by the sample values a few standard errors around it;
// the pass counts the values between brackets and gathers those inside, and
// the ranks are selected among the gathered ones. When a rank falls outside
// its bracket (a sample unlike the column), or too much was gathered, the
// whole column is partitioned instead. Either way the values are the exact
// order statistics.
bool bracketed_ranks(const double* f, std::size_t nf, const std::size_t* r, std::size_t nr, double* values,
                     double* spare, std::size_t spare_size) {
    constexpr std::size_t sample_size = 16384, margin = 256;
    if (nf < 4 * sample_size || spare_size < sample_size + nf / 4) return false;
    double* sample = spare;
    const std::size_t stride = nf / sample_size;
    for (std::size_t i = 0; i < sample_size; ++i) sample[i] = f[i * stride];
    std::sort(sample, sample + sample_size);

    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Interval {
        double lo, hi;
    };
    Interval interval[6];
    std::size_t ni = 0;
    for (std::size_t j = 0; j < nr; ++j) {
        const auto at = static_cast<std::size_t>(static_cast<double>(r[j]) / static_cast<double>(nf) * sample_size);
        const std::size_t a = at > margin ? at - margin : 0;
        const std::size_t b = at + margin < sample_size - 1 ? at + margin : sample_size - 1;
        const double lo = a == 0 ? -inf : sample[a];
        const double hi = b == sample_size - 1 ? inf : sample[b];
        if (ni > 0 && lo <= interval[ni - 1].hi) {
            interval[ni - 1].hi = std::max(interval[ni - 1].hi, hi);
        } else {
            interval[ni++] = {lo, hi};
        }
    }

    double* gathered = spare + sample_size;
    const std::size_t capacity = std::min(spare_size - sample_size, nf / 4);
    std::size_t ng = 0;
    std::size_t gap[7] = {0, 0, 0, 0, 0, 0, 0};  // below interval k (above k - 1)
    std::size_t inside[6] = {0, 0, 0, 0, 0, 0};
    for (std::size_t i = 0; i < nf; ++i) {
        const double v = f[i];
        std::size_t k = 0;
        while (k < ni && v > interval[k].hi) ++k;
        if (k < ni && v >= interval[k].lo) {
            if (ng == capacity) return false;
            gathered[ng++] = v;
            ++inside[k];
        } else {
            ++gap[k];
        }
    }

    std::size_t local[6];
    for (std::size_t j = 0; j < nr; ++j) {
        std::size_t below = 0, gathered_below = 0, k = 0;
        for (; k < ni; ++k) {
            below += gap[k];
            if (r[j] < below + gathered_below + inside[k]) break;
            gathered_below += inside[k];
        }
        if (k == ni || r[j] < below + gathered_below) return false;
        local[j] = r[j] - below;
    }
    select_ranks(gathered, 0, ng, local, nr);
    for (std::size_t j = 0; j < nr; ++j) values[j] = gathered[local[j]];
    return true;
}

void order_statistics(double* f, std::size_t nf, const std::size_t* r, std::size_t nr, double* values, double* spare,
                      std::size_t spare_size) {
    if (nr == 0 || bracketed_ranks(f, nf, r, nr, values, spare, spare_size)) return;
    select_ranks(f, 0, nf, r, nr);
    for (std::size_t j = 0; j < nr; ++j) values[j] = f[r[j]];
}

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

}  // namespace tamsel::kernels
