// Rows of a frame held in partitions, addressed by their global position:
// the plan that hands each partition its own rows, in the smaller of two
// forms for the task graph, and where each asked position lies among the
// rows the partitions give back in partition order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsel::kernels {

// One partition's wanted rows, ascending: a bit per row (the first row in
// the top bit of the first byte, as np.packbits lays them out) when that is
// smaller than int32 positions, else the positions.
struct PackedRows {
    bool bits = false;
    std::vector<std::uint8_t> mask;
    std::vector<std::int64_t> at;
    std::int64_t length = 0;
};

struct RowPlan {
    enum class Status { ok, out_of_range, bad_partitions } status = Status::ok;
    std::int64_t rows = 0;  // of all partitions
    std::vector<PackedRows> parts;
    // For each asked position, its index among the distinct wanted rows in
    // ascending position; empty when the asked positions are those already.
    std::vector<std::int64_t> inverse;
    std::vector<std::int64_t> counts;  // wanted rows per partition
};

// `offsets` and `lengths` describe `parts` adjoining partitions from row 0.
RowPlan plan_rows(const std::int64_t* positions, std::size_t n, const std::int64_t* offsets,
                  const std::int64_t* lengths, std::size_t parts);

// Where each asked position lies in the join of the pieces that partitions
// hand over, in partition order: each piece its `counts[i]` wanted rows,
// then its first row (which carries its dtypes into the join). `inverse` is
// the plan's (empty: the asked positions are the wanted rows, ascending).
// False for a negative count or an inverse past the wanted rows.
bool join_rows(const std::int64_t* counts, std::size_t pieces, const std::int64_t* inverse, std::size_t n,
               std::vector<std::int64_t>& rows);

// A partition's wanted rows, ascending; false when `packed` is no plan's
// (a mask of another length, positions outside the partition or out of order).
bool unpack_rows(const PackedRows& packed, std::vector<std::int64_t>& rows);

}  // namespace tamsel::kernels
