// The pairwise correlation matrix of pandas' DataFrame.corr for the methods
// "pearson" (nancorr) and "spearman" (nancorr_spearman), computed from the
// frame's column buffers: the same values counted as missing (not finite),
// the same ranks, the same summation order per pair, so the same bits.
#pragma once

#include <cstddef>
#include <functional>

#include "columns.hpp"

namespace tamsel::kernels {

enum class CorrMethod { pearson, spearman };

struct CorrProblem {
    const ColumnView* columns = nullptr;
    std::size_t k = 0;  // columns
    std::size_t n = 0;  // rows
    CorrMethod method = CorrMethod::spearman;
    // pandas 3's nancorr clips Pearson coefficients to [-1, 1].
    bool clip_pearson = false;
    // Work is split into this many parts, each with its own scratch; the
    // result does not depend on it.
    std::size_t parts = 1;
};

// Spearman needs ranks stored as 32-bit doubled ranks, exact up to this many rows.
bool correlation_supported(const CorrProblem& p);

// Bytes of workspace correlation_matrix needs (64-byte alignment included).
std::size_t correlation_workspace_bytes(const CorrProblem& p);

// Fills out[k * k] (row-major, symmetric). `poll` is called on the calling
// thread (see parallel_for); when it answers true the work ends early and
// false is returned, with `out` incomplete.
bool correlation_matrix(const CorrProblem& p, double* out, void* workspace, const std::function<bool()>& poll);

}  // namespace tamsel::kernels
