// Per-column summary of the distribution step, columns spread over threads:
// the figures NumPy's nanmin, nanmax, nanmedian, nanstd and the
// percentile-based interquartile outlier share give on the column as
// float64, and SciPy's biased skewness and Fisher kurtosis of its finite
// part, as the running SciPy computes them (moments.hpp). Where a bit of the answer depends on something the kernel
// cannot see (which of +0.0 and -0.0 a NumPy release keeps, a warning the
// library would raise), the figure is flagged for the library to give.
#pragma once

#include <cstddef>
#include <cstdint>

#include "columns.hpp"
#include "kernels.hpp"
#include "moments.hpp"

namespace tamsel::kernels {

struct SummaryOptions {
    // How NumPy's add.reduce splits a sum (pairwise.hpp): 0 whole, else the
    // piece length.
    std::size_t sum_block = 0;
    // How the running SciPy computes skew and kurtosis (moments.hpp); its
    // sum_block is the one above.
    MomentRules moments;
};

struct ColumnSummary {
    bool any_finite = false;  // min .. std are NaN otherwise
    double min = 0, max = 0, median = 0, std = 0;
    double skew = 0, kurtosis = 0;
    double outlier_share = 0;
    // The extreme is a zero and both signed zeros occur: which one NumPy's
    // fmin/fmax reduction keeps differs between its releases.
    bool min_by_library = false, max_by_library = false;
    // SciPy would warn of catastrophic cancellation (values equal up to
    // about 1e-14 of their mean, not all equal) or NumPy of an overflow in
    // the moments: the library answers, with its warning.
    bool moments_by_library = false;
    // The figure is not finite: NumPy may have warned on the way (an
    // overflow, inf - inf), so the library answers, with its warnings.
    bool median_by_library = false, std_by_library = false, share_by_library = false;
};

// Doubles of workspace summarize_columns needs for `k` columns of `n` rows.
std::size_t summary_workspace_doubles(std::size_t k, std::size_t n);

// Summarizes k columns of n rows into out[0..k). Returns false when `poll`
// asked to stop; out is then incomplete.
bool summarize_columns(const ColumnView* columns, std::size_t k, std::size_t n, const SummaryOptions& options,
                       ColumnSummary* out, double* workspace, const Stop::Poll& poll);

// One column, on caller-provided scratch of 2 * n doubles.
void summarize_column(const ColumnView& column, std::size_t n, const SummaryOptions& options, ColumnSummary& out,
                      double* scratch);

}  // namespace tamsel::kernels
