// The two-sample figures follow the library's arithmetic step by step where
// the result is compared to it: each side's ECDF is (count at or below x) /
// (sample size) evaluated at every pooled value, so ties and repeated values
// give the very same differences as searching the sorted samples.
#include "drift.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tamsel::kernels::drift {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Neumaier's compensated sum: the Wasserstein integral adds up to millions
// of non-negative terms, and the library's own (pairwise or dot-product)
// order is not reproducible anyway; this keeps the result within a few
// units in the last place of the exact sum.
struct Sum {
    double s = 0, c = 0;
    void add(double x) {
        const double t = s + x;
        if (std::fabs(s) >= std::fabs(x)) {
            c += (s - t) + x;
        } else {
            c += (x - t) + s;
        }
        s = t;
    }
    double value() const { return s + c; }
};

// Pairwise summation of term(i) for i in [0, n), NumPy's way (blocks of 128
// in eight interleaved sums, halves above): an error growing with log n
// rather than n, at the speed of a plain loop.
template <class Term>
double pairwise(std::size_t from, std::size_t n, const Term& term) {
    if (n <= 128) {
        double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            for (std::size_t k = 0; k < 8; ++k) acc[k] += term(from + i + k);
        }
        double out = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
        for (; i < n; ++i) out += term(from + i);
        return out;
    }
    const std::size_t half = (n / 2) & ~std::size_t{7};
    return pairwise(from, half, term) + pairwise(from + half, n - half, term);
}

double total(const ValueCounts& s) {
    if (s.counts.empty()) return static_cast<double>(s.values.size());
    const double* c = s.counts.data();
    return pairwise(0, s.counts.size(), [c](std::size_t i) { return c[i]; });
}

// Counts that are all ones say nothing: the state drops them.
void drop_unit_counts(ValueCounts& s) {
    if (std::all_of(s.counts.begin(), s.counts.end(), [](double c) { return c == 1.0; })) {
        s.counts.clear();
        s.counts.shrink_to_fit();
    }
}

}  // namespace

ValueCounts from_sorted(const double* sorted, std::size_t n) {
    // NaN sorts last; a sort that compares -0.0 and 0.0 as equal leaves
    // them in any order, and they are one value here (stored as +0.0, so
    // the state never depends on which came first).
    std::size_t m = n;
    while (m > 0 && std::isnan(sorted[m - 1])) --m;
    ValueCounts out;
    out.missing = static_cast<double>(n - m);
    out.observations = static_cast<double>(m);
    bool repeats = false;
    for (std::size_t i = 1; i < m && !repeats; ++i) repeats = sorted[i] == sorted[i - 1];
    if (!repeats) {
        out.values.resize(m);
        for (std::size_t i = 0; i < m; ++i) out.values[i] = sorted[i] == 0.0 ? 0.0 : sorted[i];
        return out;
    }
    out.values.reserve(m);
    out.counts.reserve(m);
    for (std::size_t i = 0; i < m;) {
        std::size_t j = i + 1;
        while (j < m && sorted[j] == sorted[i]) ++j;
        out.values.push_back(sorted[i] == 0.0 ? 0.0 : sorted[i]);
        out.counts.push_back(static_cast<double>(j - i));
        i = j;
    }
    return out;
}

ValueCounts from_sorted(std::vector<double>&& sorted) {
    const std::size_t n = sorted.size();
    std::size_t m = n;
    while (m > 0 && std::isnan(sorted[m - 1])) --m;
    bool repeats = false;
    for (std::size_t i = 1; i < m && !repeats; ++i) repeats = sorted[i] == sorted[i - 1];
    if (repeats) return from_sorted(sorted.data(), n);
    ValueCounts out;
    out.missing = static_cast<double>(n - m);
    out.observations = static_cast<double>(m);
    sorted.resize(m);
    // Only the zeros can be -0.0, and sorted they sit together.
    auto zeros = std::equal_range(sorted.begin(), sorted.end(), 0.0);
    std::fill(zeros.first, zeros.second, 0.0);
    out.values = std::move(sorted);
    return out;
}

ValueCounts merge(const ValueCounts& a, const ValueCounts& b) {
    ValueCounts out;
    out.values.reserve(a.values.size() + b.values.size());
    out.counts.reserve(a.values.size() + b.values.size());
    std::size_t i = 0, j = 0;
    while (i < a.values.size() || j < b.values.size()) {
        if (j == b.values.size() || (i < a.values.size() && a.values[i] < b.values[j])) {
            out.values.push_back(a.values[i]);
            out.counts.push_back(a.count(i++));
        } else if (i == a.values.size() || b.values[j] < a.values[i]) {
            out.values.push_back(b.values[j]);
            out.counts.push_back(b.count(j++));
        } else {
            out.values.push_back(a.values[i]);
            out.counts.push_back(a.count(i++) + b.count(j++));
        }
    }
    out.observations = a.observations + b.observations;
    out.missing = a.missing + b.missing;
    drop_unit_counts(out);
    return out;
}

Moments moments(const ValueCounts& s) {
    const double n = total(s);
    if (!(n > 0)) return {nan, nan};
    const double* v = s.values.data();
    const double* c = s.counts.data();
    const std::size_t k = s.values.size();
    // Two passes: the squared deviations from the mean, not E[x^2] - mean^2,
    // which cancels for a column far from zero.
    double mean, sq;
    if (!c) {
        mean = pairwise(0, k, [&](std::size_t i) { return v[i]; }) / n;
        sq = pairwise(0, k, [&](std::size_t i) { return (v[i] - mean) * (v[i] - mean); });
    } else {
        mean = pairwise(0, k, [&](std::size_t i) { return v[i] * c[i]; }) / n;
        sq = pairwise(0, k, [&](std::size_t i) {
            const double d = v[i] - mean;
            return d * d * c[i];
        });
    }
    return {mean, std::sqrt(sq / n)};
}

TwoSample two_sample(const ValueCounts& ref, const ValueCounts& cur) {
    const double n1 = total(ref), n2 = total(cur);
    const double* a = ref.values.data();
    const double* ca = ref.counts.data();
    const double* b = cur.values.data();
    const double* cb = cur.counts.data();
    const std::size_t na = ref.values.size(), nb = cur.values.size();
    double cum1 = 0, cum2 = 0;
    double max_diff = -std::numeric_limits<double>::infinity();
    double min_diff = std::numeric_limits<double>::infinity();
    // The area's terms are summed pairwise per block of 256 and the blocks
    // with compensation: accurate to a few units in the last place.
    Sum area;
    double block[256];
    std::size_t filled = 0;
    std::size_t i = 0, j = 0;
    double prev_x = std::min(a[0], b[0]), prev_gap = 0;
    // The pooled values in order, each once; which side(s) hold the next
    // one is decided without a branch, since with interleaved samples it is
    // a coin toss the processor would mispredict half the time.
    while (i < na || j < nb) {
        const double xa = i < na ? a[i] : std::numeric_limits<double>::infinity();
        const double xb = j < nb ? b[j] : std::numeric_limits<double>::infinity();
        const double x = std::min(xa, xb);
        const bool take_a = i < na && xa == x;
        const bool take_b = j < nb && xb == x;
        cum1 += take_a ? (ca ? ca[i] : 1.0) : 0.0;
        cum2 += take_b ? (cb ? cb[j] : 1.0) : 0.0;
        i += take_a;
        j += take_b;
        block[filled++] = prev_gap * (x - prev_x);
        if (filled == 256) {
            area.add(pairwise(0, filled, [&](std::size_t k) { return block[k]; }));
            filled = 0;
        }
        const double diff = cum1 / n1 - cum2 / n2;
        max_diff = std::max(max_diff, diff);
        min_diff = std::min(min_diff, diff);
        prev_x = x;
        prev_gap = std::fabs(diff);
    }
    area.add(pairwise(0, filled, [&](std::size_t k) { return block[k]; }));
    const double min_s = std::clamp(-min_diff, 0.0, 1.0);
    return {min_s > max_diff ? min_s : max_diff, area.value()};
}

std::vector<double> quantiles(const ValueCounts& s, std::size_t k) {
    std::vector<double> out;
    if (s.values.empty() || k == 0) return out;
    out.reserve(k + 1);
    out.push_back(s.values.front());
    if (s.counts.empty()) {
        // One value per position: the smallest value whose cumulative share
        // reaches i/k is at position ceil(i * m / k) - 1, in integers.
        const std::size_t m = s.values.size();
        for (std::size_t i = 1; i <= k; ++i) out.push_back(s.values[(i * m + k - 1) / k - 1]);
        return out;
    }
    const double n = total(s);
    double cum = 0;
    std::size_t at = 0;
    for (std::size_t i = 1; i <= k; ++i) {
        const double need = static_cast<double>(i) * n;
        while (at < s.values.size() && (cum + s.count(at)) * static_cast<double>(k) < need) cum += s.count(at++);
        out.push_back(s.values[std::min(at, s.values.size() - 1)]);
    }
    return out;
}

ValueCounts from_quantiles(const std::vector<double>& q, double observations, double missing) {
    ValueCounts out;
    out.observations = observations;
    out.missing = missing;
    for (std::size_t i = 1; i < q.size(); ++i) {
        if (!out.values.empty() && out.values.back() == q[i]) {
            out.counts.back() += 1;
        } else {
            out.values.push_back(q[i]);
            out.counts.push_back(1);
        }
    }
    return out;
}

std::vector<double> bin_counts(const ValueCounts& s, const std::vector<double>& edges) {
    // A binary search per edge: a few dozen edges over up to millions of
    // distinct values. The running sum of the counts is taken in order, so
    // integer counts add up exactly.
    std::vector<double> out(edges.size() + 1, 0.0);
    std::size_t from = 0;
    for (std::size_t e = 0; e <= edges.size(); ++e) {
        std::size_t to = s.values.size();
        if (e < edges.size()) {
            to = static_cast<std::size_t>(
                std::upper_bound(s.values.begin() + static_cast<std::ptrdiff_t>(from), s.values.end(), edges[e]) -
                s.values.begin());
        }
        double c = 0;
        if (s.counts.empty()) {
            c = static_cast<double>(to - from);
        } else {
            for (std::size_t i = from; i < to; ++i) c += s.counts[i];
        }
        out[e] = c;
        from = to;
    }
    return out;
}

double psi(const std::vector<double>& ref_bins, const std::vector<double>& cur_bins, double floor) {
    double r_total = 0, c_total = 0;
    for (double r : ref_bins) r_total += r;
    for (double c : cur_bins) c_total += c;
    if (!(r_total > 0) || !(c_total > 0) || ref_bins.size() != cur_bins.size()) return nan;
    Sum out;
    for (std::size_t b = 0; b < ref_bins.size(); ++b) {
        const double r = std::max(ref_bins[b] / r_total, floor);
        const double c = std::max(cur_bins[b] / c_total, floor);
        out.add((c - r) * std::log(c / r));
    }
    return out.value();
}

LevelFigures level_figures(const double* ref, const double* cur, std::size_t k) {
    double r_total = 0, c_total = 0;
    for (std::size_t j = 0; j < k; ++j) {
        r_total += ref[j];
        c_total += cur[j];
    }
    LevelFigures out{nan, nan, static_cast<int>(k) - 1};
    if (!(r_total > 0) || !(c_total > 0)) return out;
    auto rel_entr = [](double x, double y) {
        if (x > 0 && y > 0) return x * std::log(x / y);
        if (x == 0 && y >= 0) return 0.0;
        return std::numeric_limits<double>::infinity();
    };
    double left = 0, right = 0;
    for (std::size_t j = 0; j < k; ++j) {
        const double p = ref[j] / r_total, q = cur[j] / c_total;
        const double m = (p + q) / 2.0;
        left += rel_entr(p, m);
        right += rel_entr(q, m);
    }
    // A sum of terms of both signs can land a hair below zero for equal
    // shares; the distance of equal shares is zero, not NaN.
    const double js = std::max((left + right) / std::log(2.0), 0.0);
    out.js_distance = std::sqrt(js / 2.0);
    if (k < 2) {
        out.chi2_statistic = 0.0;
        return out;
    }
    const double n = r_total + c_total;
    double stat = 0;
    for (int side = 0; side < 2; ++side) {
        const double* obs = side == 0 ? ref : cur;
        const double row = side == 0 ? r_total : c_total;
        for (std::size_t j = 0; j < k; ++j) {
            const double expected = row * (ref[j] + cur[j]) / n;
            double o = obs[j];
            if (k == 2) {
                // Yates' correction: each cell moves half a count (at most its
                // distance) towards its expectation.
                const double diff = expected - o;
                const double sign = diff > 0 ? 1.0 : (diff < 0 ? -1.0 : 0.0);
                o = o + std::min(0.5, std::fabs(diff)) * sign;
            }
            const double d = o - expected;
            stat += d * d / expected;
        }
    }
    out.chi2_statistic = stat;
    return out;
}

}  // namespace tamsel::kernels::drift
