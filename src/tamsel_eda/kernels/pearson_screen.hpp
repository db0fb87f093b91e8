// Threshold decisions on Pearson correlations, and the equality test of two
// columns of one type, for the leakage hints. pandas computes each
// correlation through NumPy (a BLAS dot product, or a scaled variant on newer
// pandas), whose last bits no portable code reproduces; but only the answer
// to "|r| >= threshold" reaches a report. So the screen computes r more
// accurately than the library does, bounds the library's error for that
// column, and answers only where both bounds put r on the same side of the
// threshold. Everything else is left undecided for the library to answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "columns.hpp"

namespace tamsel::kernels {

enum class Verdict : std::uint8_t { no, yes, undecided };

struct ScreenColumn {
    Verdict verdict = Verdict::undecided;
    double r = 0;           // this kernel's estimate; NaN where the library's answer is NaN
    double margin = 0;      // how far from the threshold r must be for a verdict
    std::size_t pairs = 0;  // rows where both values are present (not NaN)
};

// For each column x of `xs`: does pandas' y.corr(x, method="pearson") have an
// absolute value of at least `threshold`? The rows are those where neither
// value is NaN (missing cells read as NaN; infinities count as values, as
// pandas' notna has them). Fewer than two rows give NaN, which never reaches
// it (verdict no). Columns with an infinity among those rows, a constant
// side, a scale where the library's squares could overflow or underflow, or
// so little spread against their mean that the library's centring loses the
// digits that decide, are undecided; so is every r within its margin of the
// threshold. `out` has k entries. Work is spread over threads by column;
// `poll` as for parallel_for. Returns false when stopped (`out` incomplete).
bool pearson_screen(const ColumnView& y, const ColumnView* xs, std::size_t k, std::size_t n, double threshold,
                    ScreenColumn* out, const std::function<bool()>& poll);

// pandas' array_equivalent for two arrays of one dtype: floats equal where
// both are NaN or compare equal (so 0.0 equals -0.0), integers equal bit for
// bit, booleans byte for byte. A boolean byte other than 0 or 1 leaves the
// answer undecided (NumPy versions compare such bytes differently). Both
// columns must have the same ValueType and no missing mask.
bool same_values(const ColumnView& a, const ColumnView* bs, std::size_t k, std::size_t n, Verdict* out,
                 const std::function<bool()>& poll);

// A compensated (Neumaier) sum, the one the running Python's sum() of floats
// makes: a partition's sums and the merge of the partitions' sums each carry
// no more rounding than the pairwise sum they stand in for.
struct CompensatedSum {
    double sum = 0.0, carry = 0.0;
    void add(double x);
    // The carry is added only where it is finite and non-zero, so that an
    // infinite sum stays infinite and a -0.0 keeps its sign.
    double value() const;
};

// The Dask driver's leakage check of one (feature, target) pair, in two
// passes over the partitions. First pass, per partition: over the rows where
// neither a nor b is NaN, their count and the sums of a and of b (`means`
// null). Second pass: the sums of da * db, da * da and db * db with
// da = a - means[0], db = b - means[1] (`count` is kept but not read).
struct PairSums {
    std::int64_t count = 0;
    double s1 = 0.0, s2 = 0.0, s3 = 0.0;
};
PairSums pair_sums(const double* a, const double* b, std::size_t n, const double* means);

// The first pass's merge: the means of a and b over every partition's pairs
// (each partition's sums added in partition order); false where fewer than
// two pairs leave no coefficient.
bool pair_means(const PairSums* parts, std::size_t k, double& mean_a, double& mean_b);

// The second pass's merge and finish: whether |r|, r = Sab / sqrt(Saa) /
// sqrt(Sbb) clipped to [-1, 1], reaches `threshold`. A NaN r (a constant or
// infinite side) is no hit, as for the library.
bool pair_hit(const PairSums* parts, std::size_t k, double threshold);

}  // namespace tamsel::kernels
