// Augmented Dickey-Fuller statistic with a constant and the lag length chosen
// by AIC among 0..maxlag, maxlag = min(ceil(12 (n/100)^(1/4)), n/2 - 2).
//
// Plain C++ over a raw buffer: no Python objects, so it runs with the GIL
// released. The caller turns the statistic into a p-value.
//
// One triangular factor of [1, x(t-1), dx(t-1) .. dx(t-maxlag) | dx(t)] over
// the rows every candidate shares gives every candidate's residual sum of
// squares; the chosen candidate's regression (the same columns' prefix with
// maxlag - lag earlier rows) updates that factor with the extra rows. The
// factor comes from the columns' cross products, which take O(rows x maxlag)
// work because the lagged columns are shifts of one series, wherever their
// conditioning promises the answer; else from a streamed Householder QR,
// O(rows x maxlag^2). The lag matrix is never built.
#pragma once

#include <cstddef>

#include "kernels.hpp"

namespace tamsel::kernels {

enum class AdfStatus {
    ok,
    constant,    // max == min
    too_short,   // maxlag would be negative
    non_finite,  // NaN or infinity in the input
    // The least-squares problems are too close to rank deficient (or a fit is
    // exact) for a QR to promise the SVD-based answer's rank, lag choice and
    // statistic; the caller should compute the test another way.
    ill_conditioned,
    interrupted,  // stop was requested
};

// How the least-squares problems are solved: by the cross products where
// they promise the answer (else by the QR), or by the QR alone.
enum class AdfWay { cross_products, qr };

struct AdfResult {
    AdfStatus status = AdfStatus::ok;
    AdfWay way = AdfWay::qr;  // the one the result came from
    double statistic = 0.0;   // t statistic of the lagged level
    int used_lag = 0;         // chosen number of lagged differences
    int max_lag = 0;          // largest candidate
    std::size_t nobs = 0;     // rows of the final regression
    double icbest = 0.0;      // AIC of the chosen candidate (on the search rows)
};

// `stop` is consulted between blocks of rows (a few milliseconds of work).
AdfResult adf_constant_aic(const double* x, std::size_t n, const Stop& stop, AdfWay way = AdfWay::cross_products);

// The default maxlag for n observations with a constant (may be negative).
long adf_default_maxlag(std::size_t n);

}  // namespace tamsel::kernels
