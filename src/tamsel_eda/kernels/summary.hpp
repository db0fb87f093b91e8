// Per-column summary of the distribution step, columns spread over threads:
// the figures NumPy's nanmin, nanmax, nanmedian, nanstd and the
// percentile-based interquartile outlier share give on the column as
// float64, and SciPy's biased skewness and Fisher kurtosis of its finite
// part, in either of the two ways SciPy has computed them. Where a bit of the answer depends on something the kernel
// cannot see (which of +0.0 and -0.0 a NumPy release keeps, a warning the
// library would raise), the figure is flagged for the library to give.
#pragma once

#include <cstddef>
#include <cstdint>

#include "columns.hpp"
#include "kernels.hpp"

namespace tamsel::kernels {

// How SciPy's skew and kurtosis compute the central moments.
enum class MomentFormula : std::uint8_t {
    none,  // not here: the library answers
    // 1.13: deviations raised by repeated squaring (d*d, (d*d)*d,
    // (d*d)*(d*d)); zero variance and precision loss measured against the
    // float resolution.
    squares,
    // 1.18: deviations raised with the power ufunc (a square for 2, the C
    // library's pow for 3 and 4), m2**2 a square; both tests against the
    // machine epsilon.
    powers,
};

struct SummaryOptions {
    // How NumPy's add.reduce splits a sum (pairwise.hpp): 0 whole, else the
    // piece length.
    std::size_t sum_block = 0;
    // np.finfo(np.float64).resolution and .eps of the running NumPy.
    double resolution = 1e-15;
    double eps = 2.220446049250313e-16;
    MomentFormula moments = MomentFormula::squares;
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
