#include "group_sums.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <vector>

#include "kernels.hpp"
#include "libm.hpp"
#include "pairwise.hpp"

namespace tamsel::kernels {
namespace {

double reduce_sum(const double* a, std::size_t n, std::size_t block) { return numpy_sum(a, n, 1, block); }

double at(const double* y, std::ptrdiff_t stride, std::size_t i) {
    return *reinterpret_cast<const double*>(reinterpret_cast<const char*>(y) + static_cast<std::ptrdiff_t>(i) * stride);
}

std::int64_t code_at(const std::int64_t* codes, std::ptrdiff_t stride, std::size_t i) {
    return *reinterpret_cast<const std::int64_t*>(reinterpret_cast<const char*>(codes) +
                                                  static_cast<std::ptrdiff_t>(i) * stride);
}

bool missing_at(const RatioColumn& c, std::size_t i) {
    return c.missing != nullptr && c.missing[static_cast<std::ptrdiff_t>(i) * c.missing_stride] != 0;
}

}  // namespace

RatioResult correlation_ratio(const RatioProblem& p, const std::function<bool()>& poll) {
    const Stop stop(poll, true);
    RatioResult out;
    {
        std::vector<bool> seen(p.groups, false);
        for (std::size_t g = 0; g < p.groups; ++g) {
            if (p.rank[g] < 0 || static_cast<std::size_t>(p.rank[g]) >= p.groups) return out;
            if (seen[static_cast<std::size_t>(p.rank[g])]) return out;
            seen[static_cast<std::size_t>(p.rank[g])] = true;
        }
    }
    // Complete rows per group, in sorted key order.
    std::vector<std::size_t> start(p.groups + 1, 0);
    std::size_t m = 0;
    for (std::size_t i = 0; i < p.n; ++i) {
        const std::int64_t c = p.codes[i];
        if (c < 0) continue;
        if (static_cast<std::size_t>(c) >= p.groups) return out;
        const double v = at(p.y, p.y_stride, i);
        if (std::isnan(v)) continue;
        // pandas computes with infinities but NumPy warns on the way
        // (inf - inf); those stay with the library.
        if (!std::isfinite(v)) return {RatioStatus::not_finite, 0.0};
        ++start[static_cast<std::size_t>(p.rank[c]) + 1];
        ++m;
    }
    if (m < 2) return {RatioStatus::too_few, 0.0};
    if (stop.requested()) return {RatioStatus::stopped, 0.0};
    for (std::size_t r = 0; r < p.groups; ++r) start[r + 1] += start[r];

    // The complete rows in row order (the filtered Series pandas averages)
    // and the same rows stably grouped (each group's rows in row order).
    std::vector<double> rows(m), grouped(m);
    {
        std::vector<std::size_t> next(start.begin(), start.end() - 1);
        std::size_t k = 0;
        for (std::size_t i = 0; i < p.n; ++i) {
            const std::int64_t c = p.codes[i];
            if (c < 0) continue;
            const double v = at(p.y, p.y_stride, i);
            if (std::isnan(v)) continue;
            rows[k++] = v;
            grouped[next[static_cast<std::size_t>(p.rank[c])]++] = v;
        }
    }
    if (stop.requested()) return {RatioStatus::stopped, 0.0};

    const double mu = reduce_sum(rows.data(), m, p.mean_block) / static_cast<double>(m);
    if (!std::isfinite(mu)) return {RatioStatus::not_finite, 0.0};

    // Each group's mean minus mu, written per group so that the split never
    // changes a bit; the sum over groups below runs in key order.
    std::vector<double> dev(p.groups, 0.0);
    auto group_devs = [&](std::size_t lo, std::size_t hi) {
        for (std::size_t r = lo; r < hi; ++r) {
            const std::size_t n_g = start[r + 1] - start[r];
            if (n_g == 0) continue;
            dev[r] = reduce_sum(grouped.data() + start[r], n_g, p.mean_block) / static_cast<double>(n_g) - mu;
        }
    };
    const std::size_t threads = thread_count();
    if (threads > 1 && m >= p.min_rows_to_split && p.groups > 1) {
        const std::size_t parts = std::min(p.groups, threads * 4);
        const bool done = parallel_for(
            parts,
            [&](std::size_t part, const Stop&) { group_devs(p.groups * part / parts, p.groups * (part + 1) / parts); },
            poll);
        if (!done) return {RatioStatus::stopped, 0.0};
    } else {
        group_devs(0, p.groups);
    }
    if (stop.requested()) return {RatioStatus::stopped, 0.0};

    double ss_between = 0.0;
    for (std::size_t r = 0; r < p.groups; ++r) {
        const std::size_t n_g = start[r + 1] - start[r];
        if (n_g == 0) continue;
        // n_g * (mean - mu) ** 2 on Python floats: the C library's pow.
        ss_between += static_cast<double>(n_g) * libm_pow(dev[r], 2.0);
    }
    // ((y - mu) ** 2).sum(): squares of finite deviations are never NaN, so
    // nansum's fill of missing values has nothing to fill.
    for (double& v : rows) {
        const double d = v - mu;
        v = d * d;
    }
    const double ss_total = reduce_sum(rows.data(), m, p.sum_block);
    if (!std::isfinite(ss_between) || !std::isfinite(ss_total)) return {RatioStatus::not_finite, 0.0};
    if (ss_total == 0.0) return {RatioStatus::ok, 0.0};
    return {RatioStatus::ok, ss_between / ss_total};
}

GroupSumsStatus first_seen_group_sums(const double* y, std::ptrdiff_t y_stride, const std::int64_t* codes,
                                      std::ptrdiff_t codes_stride, std::size_t n, std::size_t codes_count,
                                      std::size_t sum_block, const std::function<bool()>& poll, FirstSeenGroups& out) {
    const Stop stop(poll, true);
    out = FirstSeenGroups{};
    // Dense group numbers in first-seen order.
    std::vector<std::int64_t> group_of(codes_count, -1);
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t c = code_at(codes, codes_stride, i);
        if (c < 0 || static_cast<std::size_t>(c) >= codes_count) return GroupSumsStatus::bad_input;
        std::int64_t& g = group_of[static_cast<std::size_t>(c)];
        if (g < 0) {
            g = static_cast<std::int64_t>(out.code.size());
            out.code.push_back(c);
            out.count.push_back(0);
        }
        ++out.count[static_cast<std::size_t>(g)];
    }
    if (stop.requested()) return GroupSumsStatus::stopped;
    const std::size_t groups = out.code.size();
    // Each group's rows side by side, in row order (a stable grouping).
    std::vector<std::size_t> next(groups + 1, 0);
    for (std::size_t g = 0; g < groups; ++g) next[g + 1] = next[g] + static_cast<std::size_t>(out.count[g]);
    std::vector<double> grouped(n);
    {
        std::vector<std::size_t> at_row(next.begin(), next.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            const auto g =
                static_cast<std::size_t>(group_of[static_cast<std::size_t>(code_at(codes, codes_stride, i))]);
            grouped[at_row[g]++] = at(y, y_stride, i);
        }
    }
    if (stop.requested()) return GroupSumsStatus::stopped;
    out.sum.resize(groups);
    for (std::size_t g = 0; g < groups; ++g) {
        out.sum[g] = reduce_sum(grouped.data() + next[g], next[g + 1] - next[g], sum_block);
    }
    if (stop.requested()) return GroupSumsStatus::stopped;
    return GroupSumsStatus::ok;
}

GroupSumsStatus merge_group_sums(const std::int64_t* codes, const std::int64_t* counts, const double* sums,
                                 std::size_t n, std::size_t groups, FirstSeenGroups& out) {
    out = FirstSeenGroups{};
    out.count.assign(groups, 0);
    out.sum.assign(groups, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        if (codes[i] < 0 || static_cast<std::size_t>(codes[i]) >= groups) return GroupSumsStatus::bad_input;
        out.count[static_cast<std::size_t>(codes[i])] += counts[i];
        out.sum[static_cast<std::size_t>(codes[i])] += sums[i];
    }
    out.code.resize(groups);
    for (std::size_t g = 0; g < groups; ++g) out.code[g] = static_cast<std::int64_t>(g);
    return GroupSumsStatus::ok;
}

GroupSumsStatus between_groups(const double* sums, const std::int64_t* counts, const std::int64_t* rank,
                               std::size_t groups, double mu, std::int64_t total, double whole_sum, double& out) {
    std::vector<std::size_t> order(groups, groups);
    for (std::size_t g = 0; g < groups; ++g) {
        if (rank[g] < 0 || static_cast<std::size_t>(rank[g]) >= groups || counts[g] <= 0) {
            return GroupSumsStatus::bad_input;
        }
        std::size_t& slot = order[static_cast<std::size_t>(rank[g])];
        if (slot != groups) return GroupSumsStatus::bad_input;
        slot = g;
    }
    double ss = 0.0;
    for (const std::size_t g : order) {
        const auto n_g = static_cast<double>(counts[g]);
        // A group of every kept row sums them as the whole does: exactly.
        const double d = (counts[g] == total ? whole_sum : sums[g]) / n_g - mu;
        ss += n_g * libm_pow(d, 2.0);
    }
    out = ss;
    return GroupSumsStatus::ok;
}

GroupSumsStatus ratio_kept_counts(const RatioInput& in, std::int64_t* out) {
    // Bytes counted without a branch, the columns' masks read in place: the
    // counts are pass 1's whole work, over every pair.
    std::vector<std::uint8_t> present(in.n);
    for (std::size_t t = 0; t < in.n_targets; ++t) {
        const RatioTarget& target = in.targets[t];
        if (target.y == nullptr) return GroupSumsStatus::bad_input;
        for (std::size_t i = 0; i < in.n; ++i) present[i] = std::isnan(at(target.y, target.stride, i)) ? 0 : 1;
        for (std::size_t c = 0; c < in.n_columns; ++c) {
            const RatioColumn& col = in.columns[c];
            std::int64_t kept = 0;
            if (col.missing == nullptr) {
                for (std::size_t i = 0; i < in.n; ++i) kept += present[i];
            } else if (col.missing_stride == 1) {
                for (std::size_t i = 0; i < in.n; ++i)
                    kept += present[i] & static_cast<std::uint8_t>(col.missing[i] == 0);
            } else {
                for (std::size_t i = 0; i < in.n; ++i)
                    kept += present[i] & static_cast<std::uint8_t>(!missing_at(col, i));
            }
            out[t * in.n_columns + c] = kept;
        }
    }
    return GroupSumsStatus::ok;
}

GroupSumsStatus ratio_sums(const RatioInput& in, const RatioPlace* places, std::size_t group_block,
                           const std::function<bool()>& poll, std::vector<std::optional<RatioSums>>& out) {
    const Stop stop(poll, true);
    out.assign(in.n_targets * in.n_columns, std::nullopt);
    // Each column's codes lie in [0, largest + 1).
    std::vector<std::size_t> code_counts(in.n_columns, 0);
    for (std::size_t c = 0; c < in.n_columns; ++c) {
        const RatioColumn& col = in.columns[c];
        if (col.codes == nullptr) continue;
        std::int64_t largest = -1;
        for (std::size_t i = 0; i < in.n; ++i) largest = std::max(largest, code_at(col.codes, col.codes_stride, i));
        code_counts[c] = static_cast<std::size_t>(largest + 1);
    }
    std::vector<double> y;
    std::vector<std::int64_t> codes;
    for (std::size_t j = 0; j < out.size(); ++j) {
        const RatioPlace& place = places[j];
        if (place.total < 2) continue;
        const RatioTarget& t = in.targets[j / in.n_columns];
        const RatioColumn& col = in.columns[j % in.n_columns];
        if (t.y == nullptr || col.codes == nullptr) return GroupSumsStatus::bad_input;
        // Every row is written and only a kept one advances: no branch per
        // row, whose outcome the missing cells would leave to chance.
        y.resize(in.n + 1);
        codes.resize(in.n + 1);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < in.n; ++i) {
            const double v = at(t.y, t.stride, i);
            const std::int64_t code = code_at(col.codes, col.codes_stride, i);
            y[kept] = v;
            codes[kept] = code;
            kept += static_cast<std::size_t>(!std::isnan(v) & (code >= 0));
        }
        if (kept != place.count || place.offset > place.total || place.count > place.total - place.offset)
            return GroupSumsStatus::bad_input;
        RatioSums& sums = out[j].emplace();
        sums.whole =
            pairwise_partial(static_cast<const double*>(y.data()), place.offset, place.count, place.total, place.block);
        const GroupSumsStatus status =
            first_seen_group_sums(y.data(), sizeof(double), codes.data(), sizeof(std::int64_t), kept,
                                  code_counts[j % in.n_columns], group_block, poll, sums.groups);
        if (status != GroupSumsStatus::ok) return status;
        if (stop.requested()) return GroupSumsStatus::stopped;
    }
    return GroupSumsStatus::ok;
}

GroupSumsStatus ratio_squares(const RatioInput& in, const RatioPlace* places, const std::optional<double>* mus,
                              const std::function<bool()>& poll, std::vector<std::optional<TreePartial>>& out) {
    const Stop stop(poll, true);
    out.assign(in.n_targets * in.n_columns, std::nullopt);
    std::vector<double> squares;
    for (std::size_t j = 0; j < out.size(); ++j) {
        if (!mus[j]) continue;
        const RatioPlace& place = places[j];
        const RatioTarget& t = in.targets[j / in.n_columns];
        if (t.y == nullptr) return GroupSumsStatus::bad_input;
        const double mu = *mus[j];
        const RatioColumn& col = in.columns[j % in.n_columns];
        // As in ratio_sums, without a branch per row; (y - mu) ** 2 of
        // float64 values is NumPy's square, d * d.
        squares.resize(in.n + 1);
        std::size_t kept = 0;
        for (std::size_t i = 0; i < in.n; ++i) {
            const double v = at(t.y, t.stride, i), d = v - mu;
            squares[kept] = d * d;
            kept += static_cast<std::size_t>(!std::isnan(v) & !missing_at(col, i));
        }
        if (kept != place.count || place.offset > place.total || place.count > place.total - place.offset)
            return GroupSumsStatus::bad_input;
        // Squares of float64 values are summed in one piece (no cast to buffer).
        out[j] =
            pairwise_partial(static_cast<const double*>(squares.data()), place.offset, place.count, place.total, 0);
        if (stop.requested()) return GroupSumsStatus::stopped;
    }
    return GroupSumsStatus::ok;
}

std::vector<RatioPlace> ratio_places(const std::vector<std::int64_t>& counts, const std::vector<std::int64_t>& offsets,
                                     const std::vector<std::int64_t>& totals, const std::vector<std::int64_t>* blocks,
                                     std::size_t pairs) {
    if (counts.size() != pairs || offsets.size() != pairs || totals.size() != pairs ||
        (blocks && blocks->size() != pairs))
        throw std::invalid_argument("counts, offsets, totals and blocks: one per pair");
    std::vector<RatioPlace> out(pairs);
    for (std::size_t j = 0; j < pairs; ++j) {
        const std::int64_t block = blocks ? (*blocks)[j] : 0;
        if (counts[j] < 0 || offsets[j] < 0 || totals[j] < 0 || block < 0)
            throw std::invalid_argument("counts, offsets, totals and blocks are never negative");
        out[j] = {static_cast<std::uint64_t>(counts[j]), static_cast<std::uint64_t>(offsets[j]),
                  static_cast<std::uint64_t>(totals[j]), static_cast<std::uint64_t>(block)};
    }
    return out;
}

}  // namespace tamsel::kernels
