# Type stub of the profilon extension module. The build installs it beside
# the module; `python -m mypy.stubtest profilon` compares it with the
# signatures the built module publishes.
import types
from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Tuple, Union

from numpy.typing import NDArray
from pandas import DataFrame, Series

@dataclass
class EdaScoreBreakdown:
    size_adequacy: float
    feature_to_row_ratio: float
    missingness: float
    categorical_cardinality: float
    target_quality: float
    multicollinearity: float
    scale_heterogeneity: float
    outliers: float
    ts_quality: float
    leakage_risk: float
    redundancy: float
    split_viability: float
    meta_completeness: float
    def weighted_total(self) -> float: ...

@dataclass
class EdaReport:
    schema: Dict[str, Any]
    missingness: Dict[str, Any]
    distributions: Dict[str, Any]
    relationships: Dict[str, Any]
    time_series: Dict[str, Any]
    target: Dict[str, Any]
    score_breakdown: EdaScoreBreakdown
    suitability_score: float
    recommendations: List[str]
    suitability_score_by_target: Optional[Dict[str, float]] = None
    score_breakdown_by_target: Optional[Dict[str, Dict[str, float]]] = None
    def to_dict(self) -> Dict[str, Any]: ...
    def to_markdown(self, *, max_mi: int = 15, max_cat: int = 15) -> str: ...
    def to_json(self, indent: Optional[int] = None, *, detail: bool = False) -> str: ...
    def to_html(self, *, max_mi: int = 15, max_cat: int = 15) -> str: ...
    def _repr_html_(self) -> str: ...
    def _repr_markdown_(self) -> str: ...

# What EDA.signal_check returns. The class is reachable as type(report),
# not as a module name; its runtime name is SignalReport.
@dataclass
class _SignalReport:
    targets: Dict[Any, Dict[str, Any]]
    notes: List[str]
    settings: Dict[str, Any]
    def to_dict(self) -> Dict[str, Any]: ...
    def to_json(self, indent: Optional[int] = None) -> str: ...
    def to_markdown(self) -> str: ...
    def _repr_markdown_(self) -> str: ...
    def to_html(self) -> str: ...
    def _repr_html_(self) -> str: ...

class EDA:
    # Set by __init__: NumPy's submodules and the three facade backends.
    random: types.ModuleType
    linalg: types.ModuleType
    fft: types.ModuleType
    _np: types.ModuleType
    _pd: types.ModuleType
    _sk: types.ModuleType
    def __init__(self) -> None: ...
    # Any other attribute is forwarded to NumPy, pandas or scikit-learn, and
    # is None when none of them has it.
    def __getattr__(self, name: str) -> Any: ...
    def __dir__(self) -> List[str]: ...
    def _compose_version(self) -> str: ...
    def _is_public(self, name: str) -> bool: ...
    def _dir_safe(self, mod: Optional[types.ModuleType]) -> List[str]: ...
    def _union_attrs(self) -> List[str]: ...
    def _is_categorical(self, s: Series) -> bool: ...
    def _is_numeric(self, s: Series) -> bool: ...
    def _safe_skew(self, x: NDArray[Any]) -> Optional[float]: ...
    def _safe_kurtosis(self, x: NDArray[Any]) -> Optional[float]: ...
    def _spearman_abs(self, x: NDArray[Any], y: NDArray[Any]) -> Optional[float]: ...
    def _pct(self, x: float) -> float: ...
    def _iqr_outlier_share(self, arr: NDArray[Any]) -> float: ...
    def _corr_proportion_strong(self, corr: DataFrame, thr: float) -> float: ...
    def _canonical_time_lags(self, freq: Optional[str]) -> List[int]: ...
    def _autocorr_at_lags(self, series: Series, lags: List[int]) -> Dict[int, float]: ...
    def _seasonality_strength(self, ac_map: Dict[int, float]) -> float: ...
    def _correlation_ratio_num_cat(self, y: Series, x_cat: Series) -> Optional[float]: ...
    def _leakage_hints_per_target(self, df_X: DataFrame, y: Series) -> Tuple[float, List[str]]: ...
    def eda_report_and_score(
        self,
        df: DataFrame,
        *,
        target: Optional[Union[str, List[str]]] = None,
        datetime_col: Optional[str] = None,
        freq: Optional[str] = None,
        max_mi_features: int = 60,
        max_cat_features: int = 80,
        corr_method: str = "spearman",
    ) -> EdaReport: ...
    def eda(self, df: DataFrame, **kwargs: Any) -> EdaReport: ...
    def eda_md(self, df: DataFrame, **kwargs: Any) -> str: ...
    def eda_print(self, df: DataFrame, **kwargs: Any) -> None: ...
    def signal_check(
        self,
        df: DataFrame,
        *,
        target: Optional[Union[str, List[str]]] = None,
        datetime_col: Optional[str] = None,
        sample_rows: int = 30000,
        folds: int = 5,
        chance_repeats: int = 2,
        seed: int = 0,
    ) -> _SignalReport: ...
    # Returns the comparison report (to_dict, to_json, to_markdown, to_html,
    # save_reference), whose class is not a module-level name.
    def compare(
        self,
        reference: Any,
        current: Any = None,
        *,
        target: Optional[Union[str, List[str]]] = None,
        datetime_col: Optional[str] = None,
        freq: Optional[str] = None,
        split_at: Any = None,
        recent_share: Optional[float] = None,
        seed: int = 0,
    ) -> Any: ...
