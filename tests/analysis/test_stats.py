"""Statistical primitives: type predicates and association measures."""

import inspect
import math
import warnings

import numpy as np
import numpy.typing
import pandas as pd
import pytest
from scipy.stats import spearmanr

import profilon

# ---------------------------------------------------------------------------
# Column-type predicates
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "series, numeric, categorical",
    [
        (pd.Series([1, 2, 3], dtype="category"), False, True),  # integer categories
        (pd.Series(["a", "b"], dtype="category"), False, True),
        (pd.Series(["a", "b"]), False, True),
        (pd.Series(["a", None], dtype="string"), False, True),
        (pd.Series([1, 2], dtype=object), False, True),
        (pd.Series([True, False]), True, False),
        (pd.Series([1.5, np.nan]), True, False),
        (pd.Series(pd.to_datetime(["2020-01-01"])), False, False),
        (None, False, False),
    ],
)
def test_type_predicates(eda, series, numeric, categorical):
    # pytest turns a DeprecationWarning from the category test into an error
    assert eda._is_numeric(series) is numeric
    assert eda._is_categorical(series) is categorical


def test_categorical_predicate_raises_dtype_property_errors(eda):
    class Odd:
        @property
        def dtype(self):
            raise RuntimeError("broken dtype")

    assert eda._is_numeric(Odd()) is False
    with pytest.raises(RuntimeError, match="broken dtype"):
        eda._is_categorical(Odd())


# ---------------------------------------------------------------------------
# _spearman_abs
# ---------------------------------------------------------------------------


def test_spearman_abs_omits_pairs_with_nan(eda):
    x = np.array([1.0, 2.0, np.nan, 4.0, 5.0, 6.0, 3.0])
    y = np.array([2.0, 1.0, 7.0, np.nan, 9.0, 8.0, 4.0])
    keep = ~(np.isnan(x) | np.isnan(y))
    expected = abs(spearmanr(x[keep], y[keep]).statistic)
    result = eda._spearman_abs(x, y)
    assert type(result) is float
    assert result == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize(
    "x, y, expected",
    [
        (np.arange(10.0), -(np.arange(10.0) ** 3), 1.0),  # decreasing: absolute value
        (pd.Series(np.arange(10.0)), pd.Series(np.arange(10.0)), 1.0),
        (np.ones(10), np.arange(10.0), None),  # constant input: NaN coefficient
        (np.arange(10.0), np.ones(10), None),
        (np.arange(10.0), np.arange(9.0), None),  # lengths differ
        (np.array([{}, [], 1], dtype=object), np.arange(3.0), None),  # unorderable
        (np.full(5, np.nan), np.arange(5.0), None),
    ],
)
@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # SciPy's constant-input notice
def test_spearman_abs_cases(eda, x, y, expected):
    result = eda._spearman_abs(x, y)
    if expected is None:
        assert result is None
    else:
        assert type(result) is float
        assert result == pytest.approx(expected, abs=1e-15)


# ---------------------------------------------------------------------------
# _corr_proportion_strong
# ---------------------------------------------------------------------------


def corr_frame(values):
    labels = [f"c{i}" for i in range(len(values))]
    return pd.DataFrame(values, index=labels, columns=labels)


@pytest.mark.parametrize(
    "corr, thr, expected",
    [
        (corr_frame([[1.0]]), 0.95, 0.0),
        (corr_frame([[1, 0.97, 0.1], [0.97, 1, 0.2], [0.1, 0.2, 1]]), 0.95, 1 / 3),
        (corr_frame([[1, -0.97, 0.1], [-0.97, 1, 0.2], [0.1, 0.2, 1]]), 0.95, 1 / 3),
        (corr_frame([[1, 0.95], [0.95, 1]]), 0.95, 1.0),  # equal to the threshold counts
        (corr_frame([[1, 0.9499], [0.9499, 1]]), 0.95, 0.0),
        # NaN cells never count as strong but stay in the denominator
        (corr_frame([[1, np.nan, 0.99], [np.nan, 1, 0.1], [0.99, 0.1, 1]]), 0.95, 1 / 3),
        (pd.DataFrame(), 0.95, 0.0),
        (None, 0.95, 0.0),
        (object(), 0.95, 0.0),
    ],
)
def test_corr_proportion_strong(eda, corr, thr, expected):
    result = eda._corr_proportion_strong(corr, thr=thr)
    assert type(result) is float
    assert result == expected


def test_corr_proportion_strong_leaves_matrix_alone(eda):
    corr = corr_frame([[1, -0.97], [-0.97, 1]])
    before = corr.copy()
    eda._corr_proportion_strong(corr, 0.95)
    pd.testing.assert_frame_equal(corr, before)


def test_corr_proportion_strong_propagates_numpy_errors(eda):
    corr = corr_frame([["a", "b"], ["c", "d"]])
    with pytest.raises(TypeError, match="bad operand type for abs"):
        eda._corr_proportion_strong(corr, thr=0.95)
    with pytest.raises(TypeError, match="greater_equal"):
        eda._corr_proportion_strong(corr_frame([[1.0, 0.5], [0.5, 1.0]]), thr="high")


# ---------------------------------------------------------------------------
# _correlation_ratio_num_cat
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "y, x_cat, expected",
    [
        # group means 1.5 and 3.5 around 2.5: between 4, total 5
        (pd.Series([1, 2, 3, 4]), pd.Series(list("aabb")), 0.8),
        (pd.Series([1.0, 2.0, 3.0]), pd.Series(list("abc")), 1.0),  # one value per level
        (pd.Series([1.0, 3.0, 1.0, 3.0]), pd.Series(list("aabb")), 0.0),  # equal means
        (pd.Series([5.0, 5.0, 5.0]), pd.Series(list("abb")), 0.0),  # constant y
        (pd.Series([1.0, np.nan, 3.0]), pd.Series(["a", "b", None]), None),  # one complete row
        (pd.Series([np.nan, np.nan]), pd.Series(["a", "b"]), None),
        # "x" becomes NaN: groups [1] and [3, 4] around 8/3
        (pd.Series(["1", "x", "3", "4"]), pd.Series(list("aabb")), 25 / 28),
        (pd.Series([1.0, 2.0]), [1, 2], None),  # no astype
        (pd.Series([1.0, 2.0]), pd.Series([1.0, 2.0, 3.0]), None),  # misaligned lengths
    ],
)
def test_correlation_ratio(eda, y, x_cat, expected):
    result = eda._correlation_ratio_num_cat(y, x_cat)
    if expected is None:
        assert result is None
    else:
        assert type(result) is float
        assert result == pytest.approx(expected, abs=1e-15)


def test_correlation_ratio_ignores_levels_without_complete_rows(eda):
    y = pd.Series([1.0, 2.0, 3.0, 4.0, np.nan])
    x = pd.Series(pd.Categorical(list("aabbc"), categories=list("abcd")))
    assert eda._correlation_ratio_num_cat(y, x) == pytest.approx(0.8, abs=1e-15)
    pd.testing.assert_series_equal(x, pd.Series(pd.Categorical(list("aabbc"), categories=list("abcd"))))


def test_correlation_ratio_matches_group_sums(eda):
    rng = np.random.default_rng(5)
    y = pd.Series(rng.normal(size=500))
    x = pd.Series(rng.choice(list("pqrst"), 500))
    mu = y.mean()
    between = sum(len(g) * (g.mean() - mu) ** 2 for _, g in y.groupby(x))
    total = ((y - mu) ** 2).sum()
    assert eda._correlation_ratio_num_cat(y, x) == pytest.approx(between / total, rel=1e-12)


def _eta_squared_by_pandas(y, x_cat):
    """The correlation ratio written with pandas' own per-group reductions."""
    yv = pd.to_numeric(y, errors="coerce")
    gv = x_cat.astype("category")
    valid = ~(yv.isna() | gv.isna())
    yv, gv = yv[valid], gv[valid]
    mu = float(yv.mean())
    df_tmp = pd.DataFrame({"y": yv.to_numpy(), "g": gv.to_numpy()})
    ss_between = 0.0
    for _, grp in df_tmp.groupby("g")["y"]:
        ss_between += grp.size * (float(grp.mean()) - mu) ** 2
    ss_total = float(((df_tmp["y"] - mu) ** 2).sum())
    return 0.0 if ss_total == 0.0 else float(ss_between / ss_total)


# Groups of thousands of rows reach NumPy's blocked summation, where a sum
# taken in another order or split differently changes the last bits.
@pytest.mark.parametrize(
    "levels, dtype, keys",
    [
        (3, "float64", "text"),
        (400, "float64", "int"),
        (40, "float64", "category"),
        (7, "float32", "text"),
        (5, "int64", "text"),
        (25, "float64", "text_with_missing"),
    ],
)
def test_correlation_ratio_is_exactly_pandas_group_means(eda, levels, dtype, keys):
    rng = np.random.default_rng(levels)
    n = 20_000
    y = pd.Series((rng.standard_cauchy(n) * 1e6 + rng.normal(size=n) * 1e3).astype(dtype))
    codes = rng.integers(0, levels, n)
    if keys == "int":
        x = pd.Series(codes)
    else:
        x = pd.Series(np.array([f"l{c}" for c in codes], dtype=object))
        if keys == "category":
            x = x.astype("category")
        elif keys == "text_with_missing":
            x[rng.random(n) < 0.05] = None
    assert eda._correlation_ratio_num_cat(y, x) == _eta_squared_by_pandas(y, x)


# ---------------------------------------------------------------------------
# Published signatures
# ---------------------------------------------------------------------------


def test_association_signatures():
    E = profilon.EDA
    # NumPy's NDArray alias, printed as that NumPy prints it (its expansion
    # before NumPy 2, its name since).
    nd = inspect.formatannotation(np.typing.NDArray)
    assert str(inspect.signature(E._spearman_abs)) == f"(self, x: {nd}, y: {nd}) -> Optional[float]"
    strong = inspect.signature(E._corr_proportion_strong)
    assert list(strong.parameters) == ["self", "corr", "thr"]
    assert strong.parameters["thr"].default is inspect.Parameter.empty
    assert strong.parameters["thr"].annotation is float
    assert E._correlation_ratio_num_cat.__doc__ == "Correlation ratio η² for numeric y and categorical x."
    assert E._spearman_abs.__doc__ is None
    with pytest.raises(TypeError):
        profilon.EDA()._corr_proportion_strong(pd.DataFrame())
    assert math.isclose(profilon.EDA()._corr_proportion_strong(pd.DataFrame(), 0.5), 0.0)


# ---------------------------------------------------------------------------
# Degenerate samples: the library's answer without the library's warning
# ---------------------------------------------------------------------------

DEGENERATE_SAMPLES = [
    np.array([]),
    np.array([2.5]),
    np.array([0.1] * 1000),  # a mean that is not exactly 0.1
    np.array([0.0] * 7),
    np.array([3, 3, 3]),
    np.array([True, True]),
    np.array([np.nan, 4.0, np.inf, 4.0]),
    np.array([1e300, 1e300]),
    np.array([1.0, 1.0 + 2**-52, 1.0]),  # not constant: the library decides
    np.array([np.float32(0.3)] * 9),
]


def library_value(call):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return call()


def same_float(a, b):
    return (a is None and b is None) or (math.isnan(a) and math.isnan(b)) or a == b


@pytest.mark.parametrize("x", DEGENERATE_SAMPLES, ids=range(len(DEGENERATE_SAMPLES)))
@pytest.mark.parametrize("method, global_name", [("_safe_skew", "scipy_skew"), ("_safe_kurtosis", "scipy_kurtosis")])
def test_moments_of_degenerate_samples_are_the_library_values(eda, monkeypatch, x, method, global_name):
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        if x.size < 3 or np.ptp(x[np.isfinite(x)]) == 0:
            got = getattr(eda, method)(x)
        else:
            got = None
    # A stand-in for the library function is always called, so this is the
    # library's own answer on the same finite values.
    library = getattr(profilon, global_name)
    monkeypatch.setattr(profilon, global_name, lambda *a, **k: library(*a, **k))
    expected = library_value(lambda: getattr(eda, method)(x))
    if got is None:
        got = library_value(lambda: getattr(eda, method)(x))
    assert same_float(got, expected)


@pytest.mark.parametrize(
    "x, y, constant",
    [
        (np.ones(5), np.arange(5.0), True),
        (np.arange(5.0), np.full(5, 2.0), True),
        (np.array([2**53, 2**53 + 1]), np.array([1.0, 2.0]), True),  # equal once stacked as floats
        (np.array([1.0, np.nan, 1.0]), np.array([1.0, 2.0, 3.0]), False),  # NaN: not constant to SciPy
        (np.array([1.0]), np.array([2.0]), False),
    ],
)
def test_spearman_of_constant_input_is_the_library_answer(eda, monkeypatch, x, y, constant):
    with warnings.catch_warnings():
        warnings.simplefilter("error" if constant else "ignore", RuntimeWarning)
        got = eda._spearman_abs(x, y)
    monkeypatch.setattr(profilon, "spearmenr", lambda *a, **k: spearmanr(*a, **k))
    assert same_float(got, library_value(lambda: eda._spearman_abs(x, y)))


@pytest.mark.parametrize("n", [10, 12, 25])
def test_autocorrelation_at_long_lags_is_pandas_value_without_warnings(eda, n):
    series = pd.Series(np.sin(np.arange(n, dtype=float)) + np.where(np.arange(n) % 3 == 0, 1.0, 0.0))
    lags = [1, n - 2, n - 1, n, n + 5, -(n - 1), 0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got = eda._autocorr_at_lags(series, lags)
        constant = eda._autocorr_at_lags(pd.Series(np.full(n, 4.0)), [1, 2])
    for lag in lags:
        assert same_float(got[lag], library_value(lambda lag=lag: float(series.autocorr(lag=lag))))
    assert all(math.isnan(v) for v in constant.values())
