#include "sample_rows.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace tamsel::kernels {
namespace {

PackedRows pack(std::vector<std::int64_t> local, std::int64_t length) {
    PackedRows p;
    p.length = length;
    // Four bytes a position against a bit a row: a dense sample of a million
    // rows would be megabytes as positions.
    p.bits = static_cast<std::int64_t>(local.size()) * 4 > (length + 7) / 8;
    if (!p.bits) {
        p.at = std::move(local);
        return p;
    }
    p.mask.assign(static_cast<std::size_t>((length + 7) / 8), 0);
    for (const std::int64_t r : local)
        p.mask[static_cast<std::size_t>(r / 8)] |= static_cast<std::uint8_t>(0x80u >> (r % 8));
    return p;
}

}  // namespace

RowPlan plan_rows(const std::int64_t* positions, std::size_t n, const std::int64_t* offsets,
                  const std::int64_t* lengths, std::size_t parts) {
    RowPlan plan;
    std::int64_t& rows = plan.rows;
    for (std::size_t i = 0; i < parts; ++i) {
        if (offsets[i] != rows || lengths[i] < 0) {
            plan.status = RowPlan::Status::bad_partitions;
            return plan;
        }
        rows += lengths[i];
    }
    bool ascending = true;
    for (std::size_t i = 0; i < n; ++i) {
        if (positions[i] < 0 || positions[i] >= rows) {
            plan.status = RowPlan::Status::out_of_range;
            return plan;
        }
        ascending = ascending && (i == 0 || positions[i - 1] < positions[i]);
    }
    std::vector<std::int64_t> wanted(positions, positions + n);
    if (!ascending) {
        // np.unique's inverse: the index of each position among the distinct ones.
        std::vector<std::int64_t> order(n);
        std::iota(order.begin(), order.end(), std::int64_t{0});
        std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return positions[a] < positions[b]; });
        plan.inverse.resize(n);
        wanted.clear();
        for (const std::int64_t i : order) {
            if (wanted.empty() || wanted.back() != positions[i]) wanted.push_back(positions[i]);
            plan.inverse[static_cast<std::size_t>(i)] = static_cast<std::int64_t>(wanted.size()) - 1;
        }
    }
    auto next = wanted.begin();
    for (std::size_t i = 0; i < parts; ++i) {
        const auto end = std::lower_bound(next, wanted.end(), offsets[i] + lengths[i]);
        std::vector<std::int64_t> local(next, end);
        for (auto& r : local) r -= offsets[i];
        plan.counts.push_back(static_cast<std::int64_t>(local.size()));
        plan.parts.push_back(pack(std::move(local), lengths[i]));
        next = end;
    }
    return plan;
}

bool join_rows(const std::int64_t* counts, std::size_t pieces, const std::int64_t* inverse, std::size_t n,
               std::vector<std::int64_t>& rows) {
    rows.clear();
    std::int64_t at = 0;
    for (std::size_t i = 0; i < pieces; ++i, ++at) {
        if (counts[i] < 0) return false;
        for (std::int64_t k = 0; k < counts[i]; ++k) rows.push_back(at++);
    }
    if (n == 0) return true;
    std::vector<std::int64_t> asked(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (inverse[i] < 0 || static_cast<std::size_t>(inverse[i]) >= rows.size()) return false;
        asked[i] = rows[static_cast<std::size_t>(inverse[i])];
    }
    rows = std::move(asked);
    return true;
}

bool unpack_rows(const PackedRows& packed, std::vector<std::int64_t>& rows) {
    rows.clear();
    if (!packed.bits) {
        for (std::size_t i = 0; i < packed.at.size(); ++i) {
            const std::int64_t r = packed.at[i];
            if (r < 0 || r >= packed.length || (i && packed.at[i - 1] >= r)) return false;
        }
        rows = packed.at;
        return true;
    }
    if (packed.length < 0 || packed.mask.size() != static_cast<std::size_t>((packed.length + 7) / 8)) return false;
    for (std::int64_t r = 0; r < packed.length; ++r)
        if (packed.mask[static_cast<std::size_t>(r / 8)] & (0x80u >> (r % 8))) rows.push_back(r);
    return true;
}

}  // namespace tamsel::kernels
