// Statistical primitives: small failure-tolerant methods of EDA that the
// profiles and scores call.
#pragma once

#include "../pyapi/pyapi.hpp"

namespace tamsel::stats {

// _is_categorical, _is_numeric.
std::span<const pyapi::MethodDef> predicate_methods();
// _safe_skew, _safe_kurtosis, _pct, _iqr_outlier_share.
std::span<const pyapi::MethodDef> robust_methods();
// _spearman_abs, _corr_proportion_strong, _correlation_ratio_num_cat.
std::span<const pyapi::MethodDef> association_methods();

// Python's max(0.0, min(1.0, v)) on a float: NaN gives 1.0, because min()
// and max() keep their first argument unless a later one compares past it.
double clamp_unit(double v);

}  // namespace tamsel::stats
