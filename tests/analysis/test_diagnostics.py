"""Target, time-axis, lag/stationarity and leakage diagnostics."""

import math
import sys
import types

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import profilon

NAN = float("nan")


def daily(n, start="2021-01-01", **cols):
    return pd.DataFrame(cols, index=pd.date_range(start, periods=n, freq="D"))


def walk(n, seed=0):
    return np.random.default_rng(seed).normal(size=n).cumsum()


def same(a, b):
    """Equality that treats NaN as equal to NaN, for dicts of floats."""
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, float) and math.isnan(a):
        return isinstance(b, float) and math.isnan(b)
    return a == b


# --------------------------------------------------------------------------
# Target diagnostics
# --------------------------------------------------------------------------


def test_target_section_shapes(analyse):
    df = pd.DataFrame({"a": [1.0, 2.0, 4.0, 0.0], "b": [0.0, 0.0, 1.0, 3.0], "c": [1.0, 1.0, 2.0, 9.0]})
    assert analyse(df).target == {}
    assert analyse(df, target="nope").target == {}

    one = analyse(df, target="b").target
    assert list(one) == ["task", "name", "skew", "kurtosis", "zero_share"]
    assert one["task"] == "regression" and one["name"] == "b"
    assert one["zero_share"] == 0.5

    many = analyse(df, target=["c", "a"]).target
    assert list(many) == ["task", "per_target"]
    assert list(many["per_target"]) == ["c", "a"]
    assert list(many["per_target"]["a"]) == ["skew", "kurtosis", "zero_share"]
    assert many["per_target"]["a"]["zero_share"] == 0.25


def test_target_label_is_kept_unconverted(analyse):
    df = pd.DataFrame({7: [1.0, 2.0, 3.0], "x": [1.0, 0.0, 1.0]})
    assert analyse(df, target=[7]).target["name"] == 7


def test_zero_share_counts_missing_not_infinite(analyse):
    y = [0.0, "text", None, np.inf, -np.inf, 1.0, 2.0, 4.0]
    df = pd.DataFrame({"y": pd.Series(y, dtype=object)})
    diag = analyse(df, target="y").target
    # zero, unparsable text and None count; the infinities do not
    assert diag["zero_share"] == 3 / 8
    finite = np.array([0.0, 1.0, 2.0, 4.0])
    assert diag["skew"] == pytest.approx(profilon.scipy_skew(finite))
    assert diag["kurtosis"] == pytest.approx(profilon.scipy_kurtosis(finite))


def test_nan_only_target_is_all_zeros(analyse):
    diag = analyse(pd.DataFrame({"y": [NAN] * 5}), target="y").target
    assert diag["zero_share"] == 1.0


@pytest.mark.parametrize("dtype", ["Int64", "Float64"])
def test_nullable_targets_read_as_float64(analyse, dtype):
    values = [0, 3, 1, None, 8, 2, 0, 5]
    nullable = analyse(pd.DataFrame({"y": pd.array(values, dtype=dtype)}), target="y").target
    plain = analyse(pd.DataFrame({"y": [NAN if v is None else float(v) for v in values]}), target="y").target
    assert nullable["skew"] is not None and nullable["kurtosis"] is not None
    assert nullable["zero_share"] == plain["zero_share"] == 3 / 8
    assert nullable["skew"] == plain["skew"]
    assert nullable["kurtosis"] == plain["kurtosis"]


@pytest.mark.parametrize("dtype", ["float64", "float32", "int64", "uint16", "Int64"])
def test_target_moments_are_the_librarys_of_the_target(analyse, dtype):
    # A numeric target shares the distribution step's figures of its
    # column; they must still be SciPy's of the target as read.
    rng = np.random.default_rng(5)
    values = np.abs(rng.standard_t(3, size=5003) * 50).round()
    y = pd.Series(values).astype(dtype)
    if dtype == "Int64":
        y[::7] = pd.NA
    df = pd.DataFrame({"y": y, "x": rng.normal(size=y.size)})
    diag = analyse(df, target="y").target
    finite = pd.to_numeric(y).to_numpy(dtype="float64", na_value=np.nan)
    finite = finite[np.isfinite(finite)]
    assert diag["skew"] == float(profilon.scipy_skew(finite))
    assert diag["kurtosis"] == float(profilon.scipy_kurtosis(finite, fisher=True))
    assert diag["skew"] == analyse(df, target="y").distributions["numeric_summary"]["y"]["skew"]


def test_a_subclass_moment_is_asked_for_the_target_too(analyse):
    calls = []

    class Counting(profilon.EDA):
        def _safe_skew(self, x):
            calls.append(len(x))
            return super()._safe_skew(x)

    df = pd.DataFrame({"y": np.arange(40.0) ** 2, "x": np.arange(40.0)})
    np.random.seed(0)
    Counting().eda_report_and_score(df, target="y")
    # Once per numeric column in the distributions, once for the target.
    assert calls.count(40) == 3


# --------------------------------------------------------------------------
# Time axis
# --------------------------------------------------------------------------

TS_KEYS = [
    "freq_inferred", "irregular_share", "missing_ts_share", "unique_periods", "enough_history", "per_target",
]  # fmt: skip


def axis_summary(ts):
    return (
        ts["freq_inferred"],
        ts["irregular_share"],
        ts["missing_ts_share"],
        ts["unique_periods"],
        ts["enough_history"],
    )


def test_regular_daily_axis(analyse):
    ts = analyse(daily(30, x=np.arange(30.0))).time_series
    assert list(ts) == TS_KEYS
    assert axis_summary(ts) == ("D", 0.0, 0.0, 30, True)
    assert ts["per_target"] is None


def test_no_time_axis(analyse):
    assert analyse(pd.DataFrame({"x": np.arange(30.0)}), target="x").time_series == {}
    # a datetime_col that is not a column, and no DatetimeIndex either
    assert analyse(pd.DataFrame({"x": np.arange(30.0)}), datetime_col="when").time_series == {}


@pytest.mark.parametrize("freq, expected_freq, missing", [(None, None, 0.0), ("D", "D", 0.1)])
def test_three_interior_days_removed(analyse, freq, expected_freq, missing):
    df = daily(30, x=np.arange(30.0)).drop(pd.to_datetime(["2021-01-06", "2021-01-11", "2021-01-21"]))
    ts = analyse(df, freq=freq).time_series
    assert ts["freq_inferred"] == expected_freq
    assert ts["missing_ts_share"] == pytest.approx(missing, abs=1e-12)
    # 26 gaps, three of them two days long
    assert ts["irregular_share"] == 3 / 26
    assert ts["unique_periods"] == 27


@pytest.mark.parametrize(
    "n, freq, enough",
    [(48, "h", False), (71, "h", False), (72, "h", True), (23, "D", False), (24, "D", True)],
)
def test_history_rule(analyse, n, freq, enough):
    df = pd.DataFrame({"x": np.arange(float(n))}, index=pd.date_range("2021-01-01", periods=n, freq=freq))
    ts = analyse(df).time_series
    assert ts["freq_inferred"] == freq
    assert ts["enough_history"] is enough


def test_datetime_column_is_sorted_and_used(analyse):
    dates = pd.date_range("2021-01-01", periods=30, freq="D")
    order = np.random.default_rng(1).permutation(30)
    df = pd.DataFrame({"when": dates[order], "y": walk(30)[order]}, index=pd.date_range("1990", periods=30, freq="YS"))
    ts = analyse(df, target="y", datetime_col="when").time_series
    assert axis_summary(ts) == ("D", 0.0, 0.0, 30, True)
    expected = profilon.EDA()._autocorr_at_lags(pd.Series(walk(30)), [1, 7, 30, 365])
    assert same(ts["per_target"]["y"]["autocorr_at_lags"], expected)


@pytest.mark.parametrize("datetime_col", [None, "not_a_column"])
def test_shuffled_datetime_index_is_sorted(analyse, datetime_col):
    df = daily(30, x=np.arange(30.0)).sample(frac=1.0, random_state=3)
    assert axis_summary(analyse(df, datetime_col=datetime_col).time_series) == ("D", 0.0, 0.0, 30, True)


def test_unsortable_datetime_col_means_no_axis(analyse):
    # the frame's own DatetimeIndex is not a fallback for a datetime_col that fails
    df = daily(30, when=pd.Series([1, "a"] * 15, dtype=object).to_numpy(), x=np.arange(30.0))
    assert analyse(df, datetime_col="when").time_series == {}


@pytest.mark.parametrize("freq", [None, "D"])
def test_text_datetime_col_ends_the_analysis(eda, freq):
    df = pd.DataFrame({"when": [f"2021-01-{d:02d}" for d in range(1, 31)], "x": np.arange(30.0)})
    # The text of the error is pandas': Python's for object columns, its own
    # for the string dtype that pandas 3 gives text (backed by pyarrow when
    # that is installed).
    with pytest.raises(TypeError, match="unsupported operand|not supported for dtype"):
        eda.eda_report_and_score(df, datetime_col="when", freq=freq)


def test_duplicate_timestamps(analyse):
    df = daily(30, x=np.arange(30.0))
    df = pd.concat([df, df.iloc[[4]]])
    ts = analyse(df).time_series
    # pandas infers no frequency with repeated stamps; the one zero gap of
    # 30 counts as irregular
    assert axis_summary(ts) == (None, 1 / 30, 0.0, 30, True)


def test_hourly_alias_on_daily_data(analyse):
    ts = analyse(daily(30, x=np.arange(30.0)), freq="H").time_series
    assert ts["freq_inferred"] == "H"
    assert ts["missing_ts_share"] == 1.0 - 30 / (29 * 24 + 1)
    assert ts["enough_history"] is False  # hourly rule: 72 periods


# pandas 2.2 deprecated these spellings (a FutureWarning, an error here) and
# pandas 3 refuses them; the timeline grid is laid with the current name of
# the same offset, so every pandas counts the same grid. The caller's text
# stays what the report shows and what picks the lags.
@pytest.mark.parametrize(
    "freq, grid_points",
    [
        ("H", 29 * 24 + 1),
        ("h", 29 * 24 + 1),
        ("2H", 29 * 12 + 1),
        ("T", 29 * 1440 + 1),
        ("12T", 29 * 120 + 1),
        ("A-DEC", 1),
        ("Q", 1),
        ("D", 30),
    ],
)
def test_renamed_aliases_lay_the_same_grid(analyse, freq, grid_points):
    ts = analyse(daily(30, x=np.arange(30.0)), freq=freq).time_series
    assert ts["freq_inferred"] == freq
    assert ts["missing_ts_share"] == 1.0 - 30 / grid_points


def test_grid_coarser_than_data_gives_negative_missing_share(analyse):
    ts = analyse(daily(30, x=np.arange(30.0)), freq="W").time_series
    # four Sundays between 2021-01-01 and 2021-01-30
    assert ts["missing_ts_share"] == 1.0 - 30 / 4


def test_unknown_freq_leaves_missing_share_zero(analyse):
    ts = analyse(daily(30, x=np.arange(30.0)), freq="not-a-freq").time_series
    assert ts["missing_ts_share"] == 0.0
    assert ts["freq_inferred"] == "not-a-freq"


@pytest.mark.parametrize(
    "n, freq, expected",
    [(1, None, None), (2, None, None), (2, "D", "D"), (3, None, "D")],
)
def test_short_time_index(analyse, n, freq, expected):
    ts = analyse(daily(n, y=np.arange(float(n))), target="y", freq=freq).time_series
    assert ts["freq_inferred"] == expected
    assert ts["unique_periods"] == n
    assert (ts["irregular_share"], ts["missing_ts_share"], ts["enough_history"]) == (0.0, 0.0, False)
    assert ts["per_target"]["y"] == {"adfuller_pvalue": None, "autocorr_at_lags": {}, "seasonality_strength_abs": 0.0}


def test_empty_time_index_is_not_analysed(analyse):
    df = pd.DataFrame({"y": pd.Series([], dtype=float)}, index=pd.DatetimeIndex([]))
    assert analyse(df, target="y").time_series == {}


# Quarter starts keep the anchor in the last quarter (QS-OCT for January
# starts) although pandas 3 names the one in the first (QS-JAN): same dates,
# one report text on every pandas.
@pytest.mark.parametrize(
    "alias, inferred, start",
    [
        ("MS", "MS", "2000-01-01"),
        ("ME", "ME", "2000-01-01"),
        ("QS", "QS-OCT", "2000-01-01"),
        ("YE", "YE-DEC", "2000-01-01"),
        ("2QS", "2QS-OCT", "2000-01-01"),
        ("QS-FEB", "QS-NOV", "2000-02-01"),
        ("QS-DEC", "QS-DEC", "2000-03-01"),
    ],
)
def test_inferred_calendar_frequency_is_regular(analyse, alias, inferred, start):
    df = pd.DataFrame({"x": np.arange(40.0)}, index=pd.date_range(start, periods=40, freq=alias))
    inferred_ts = analyse(df).time_series
    assert axis_summary(inferred_ts) == (inferred, 0.0, 0.0, 40, True)

    # With the caller's frequency the gap rule stands: calendar steps of
    # unequal length differ from the most common one.
    given = analyse(df, freq=alias).time_series
    gaps = df.index.to_series().diff().dropna()
    assert given["irregular_share"] == float((gaps != gaps.mode().iloc[0]).mean())
    assert given["irregular_share"] > 0.2
    assert given["missing_ts_share"] == 0.0


def test_inferred_frequency_is_reported_as_its_alias(analyse, monkeypatch):
    # pandas 3.1 announces that infer_freq will hand back offset objects; the
    # report keeps the alias text (and the lags it picks) in either case.
    from pandas.tseries import frequencies

    infer_text = getattr(frequencies, "infer_freq_str", pd.infer_freq)

    def as_offset(index):
        found = infer_text(index)
        return None if found is None else frequencies.to_offset(found)

    monkeypatch.setattr(pd, "infer_freq", as_offset)
    if hasattr(frequencies, "infer_freq_str"):
        monkeypatch.setattr(frequencies, "infer_freq_str", as_offset)
    df = pd.DataFrame({"y": walk(40)}, index=pd.date_range("2000-01-01", periods=40, freq="QS"))
    ts = analyse(df, target="y").time_series
    assert ts["freq_inferred"] == "QS-OCT"
    assert list(ts["per_target"]["y"]["autocorr_at_lags"]) == [1, 4, 8]


# --------------------------------------------------------------------------
# Per-target stationarity and autocorrelation
# --------------------------------------------------------------------------


@pytest.mark.parametrize("n_values, analysed", [(19, False), (20, True)])
def test_adf_needs_twenty_values(analyse, n_values, analysed):
    y = walk(30)
    y[n_values:] = NAN
    rec = analyse(daily(30, y=y), target="y").time_series["per_target"]["y"]
    if analysed:
        assert isinstance(rec["adfuller_pvalue"], float) and 0.0 <= rec["adfuller_pvalue"] <= 1.0
        assert list(rec["autocorr_at_lags"]) == [1, 7, 30, 365]
        assert rec["seasonality_strength_abs"] == abs(rec["autocorr_at_lags"][1])
    else:
        assert rec == {"adfuller_pvalue": None, "autocorr_at_lags": {}, "seasonality_strength_abs": 0.0}


def test_records_follow_target_order(analyse):
    ts = analyse(daily(40, b=walk(40, 1), a=walk(40, 2)), target=["b", "a"]).time_series
    assert list(ts["per_target"]) == ["b", "a"]
    assert list(ts["per_target"]["a"]) == ["adfuller_pvalue", "autocorr_at_lags", "seasonality_strength_abs"]


def test_adf_is_called_with_aic_and_its_failure_is_local(analyse, monkeypatch):
    calls = []

    def flaky(y, **kwargs):
        calls.append((y.name, kwargs))
        if y.name == "a":
            raise np.linalg.LinAlgError("singular")
        return (0.0, 0.042)

    monkeypatch.setattr(profilon, "_adfuller", flaky)
    per_target = analyse(daily(40, a=walk(40, 1), b=walk(40, 2)), target=["a", "b"]).time_series["per_target"]
    assert calls == [("a", {"autolag": "AIC"}), ("b", {"autolag": "AIC"})]
    assert per_target["a"]["adfuller_pvalue"] is None
    assert list(per_target["a"]["autocorr_at_lags"]) == [1, 7, 30, 365]
    assert per_target["a"]["seasonality_strength_abs"] > 0.5
    assert per_target["b"]["adfuller_pvalue"] == 0.042


def test_adf_result_object_is_requested_where_offered(analyse, monkeypatch):
    # statsmodels 0.15 warns on every adfuller call that does not choose
    # between its tuple and its result object; the object is chosen where the
    # keyword exists (older releases take the tuple path, as the test above).
    calls = []

    def adfuller(y, maxlag=None, regression="c", autolag="AIC", *, result_object=None):
        calls.append((autolag, result_object))
        return types.SimpleNamespace(pvalue=0.042) if result_object else (0.0, 0.5)

    monkeypatch.setattr(profilon, "_adfuller", adfuller)
    per_target = analyse(daily(40, y=walk(40)), target="y").time_series["per_target"]
    assert calls == [("AIC", True)]
    assert per_target["y"]["adfuller_pvalue"] == 0.042


def test_interrupt_in_adf_is_not_swallowed(eda, monkeypatch):
    def interrupted(y, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(profilon, "_adfuller", interrupted)
    with pytest.raises(KeyboardInterrupt):
        eda.eda_report_and_score(daily(40, y=walk(40)), target="y")


def test_interrupt_while_restoring_numpys_error_state_is_not_lost(eda, monkeypatch):
    # A Ctrl-C that lands while a quiet scope restores NumPy's error state
    # (a destructor, which cannot raise) comes back as a pending interrupt.
    real = np.errstate
    fired = []

    class Interrupted:
        def __init__(self, **kwargs):
            self.inner = real(**kwargs)

        def __enter__(self):
            return self.inner.__enter__()

        def __exit__(self, *exc):
            self.inner.__exit__(*exc)
            # The analysis' own scope, exited from native code: the frame
            # below is this test's call of the analysis, not a library's.
            ours = sys._getframe(1).f_code.co_filename == __file__
            if ours and not fired:
                fired.append(True)
                raise KeyboardInterrupt

    monkeypatch.setattr(np, "errstate", Interrupted)
    with pytest.raises(KeyboardInterrupt):
        eda.eda_report_and_score(daily(40, y=walk(40)), target="y")
    assert fired


def test_autocorrelation_failure_resets_map_and_strength():
    class NoStrength(profilon.EDA):
        def _seasonality_strength(self, ac_map):
            raise ValueError("nope")

    df = daily(40, y=walk(40))
    rec = NoStrength().eda_report_and_score(df, target="y").time_series["per_target"]["y"]
    assert rec["autocorr_at_lags"] == {} and rec["seasonality_strength_abs"] == 0.0
    assert isinstance(rec["adfuller_pvalue"], float)


def test_constant_target(analyse):
    rec = analyse(daily(30, y=np.full(30, 5.0)), target="y").time_series["per_target"]["y"]
    assert rec["adfuller_pvalue"] is None
    assert list(rec["autocorr_at_lags"]) == [1, 7, 30, 365]
    assert all(math.isnan(v) for v in rec["autocorr_at_lags"].values())
    assert rec["seasonality_strength_abs"] == 0.0


def test_target_that_is_the_time_column(analyse):
    df = pd.DataFrame({"when": pd.date_range("2021-01-01", periods=30, freq="D"), "y": walk(30)})
    per_target = analyse(df, target=["when", "y"], datetime_col="when").time_series["per_target"]
    assert per_target["when"] == {"adfuller_pvalue": None, "autocorr_at_lags": {}, "seasonality_strength_abs": 0.0}
    assert isinstance(per_target["y"]["adfuller_pvalue"], float)
    assert list(per_target["y"]["autocorr_at_lags"]) == [1, 7, 30, 365]


@pytest.mark.parametrize("by_index", [False, True])
def test_targets_follow_the_time_order_whatever_the_other_columns(analyse, by_index):
    # The time axis sorts only what it reads; every target must still be
    # read in the order the time column gives, ties included.
    rng = np.random.default_rng(3)
    when = pd.Timestamp("2021-01-01") + pd.to_timedelta(rng.permutation(np.repeat(np.arange(60), 2)), unit="D")
    df = pd.DataFrame({5: when, ("a", 1): rng.normal(size=120), "y": walk(120), "text": ["t"] * 120})
    df[2] = df["y"] * 3 + 1
    kwargs = {"target": ["y", 2, "y"], "datetime_col": 5}
    if by_index:
        df = df.set_index(5)
        kwargs.pop("datetime_col")
    per_target = analyse(df, **kwargs).time_series["per_target"]
    ordered = df.sort_index() if by_index else df.sort_values(5)
    for target in ["y", 2]:
        expected = {lag: ordered[target].autocorr(lag=lag) for lag in [1, 7, 30]}
        assert {lag: per_target[target]["autocorr_at_lags"][lag] for lag in expected} == expected


# --------------------------------------------------------------------------
# Lag methods
# --------------------------------------------------------------------------

DEFAULT_LAGS = [1, 7, 12, 24, 30, 52]


@pytest.mark.parametrize(
    "freq, lags",
    [
        (None, DEFAULT_LAGS), ("", DEFAULT_LAGS), ("h", [1, 24, 168, 720, 8760]), ("D", [1, 7, 30, 365]),
        ("W-SUN", [1, 4, 13, 26, 52]), ("MS", [1, 6, 12, 24]), ("ME", [1, 6, 12, 24]), ("min", [1, 6, 12, 24]),
        ("ms", [1, 6, 12, 24]), ("QS-OCT", [1, 4, 8]), ("YE-DEC", [1]), ("AS-JAN", [1]), ("B", DEFAULT_LAGS),
        ("s", DEFAULT_LAGS), ("N", DEFAULT_LAGS),
    ],
)  # fmt: skip
def test_canonical_time_lags(eda, freq, lags):
    assert eda._canonical_time_lags(freq) == lags


def test_canonical_time_lags_returns_fresh_lists_and_needs_text(eda):
    eda._canonical_time_lags("D").append(99)
    assert eda._canonical_time_lags("D") == [1, 7, 30, 365]
    with pytest.raises(AttributeError):
        eda._canonical_time_lags(5)


@pytest.mark.parametrize("n, defined", [(9, False), (10, True)])
def test_autocorr_needs_ten_finite_values(eda, n, defined):
    values = list(np.arange(float(n)) ** 2) + [NAN, np.inf, -np.inf]
    out = eda._autocorr_at_lags(pd.Series(values), [1, 7])
    assert list(out) == [1, 7]
    if defined:
        expected = pd.Series(np.arange(float(n)) ** 2)
        assert out == {1: expected.autocorr(lag=1), 7: expected.autocorr(lag=7)}
    else:
        assert all(math.isnan(v) for v in out.values())


def test_autocorr_beyond_series_length_is_nan(eda):
    out = eda._autocorr_at_lags(pd.Series(walk(30)), [1, 7, 30, 365])
    assert not math.isnan(out[1]) and not math.isnan(out[7])
    assert math.isnan(out[30]) and math.isnan(out[365])


def test_autocorr_uses_positions_not_time(eda):
    s = pd.Series(
        walk(20),
        index=pd.date_range("2021-01-01", periods=20, freq="D")
        .delete([3, 9])
        .append(pd.DatetimeIndex(["2021-03-01", "2021-03-05"])),
    )
    assert eda._autocorr_at_lags(s, [1]) == {1: pd.Series(s.to_numpy()).autocorr(lag=1)}


@pytest.mark.parametrize(
    "ac_map, strength",
    [({1: 0.5, 7: -0.9, 30: NAN}, 0.9), ({}, 0.0), ({1: NAN, 7: NAN}, 0.0), ({1: np.float64("nan"), 2: -0.25}, 0.25)],
)
def test_seasonality_strength(eda, ac_map, strength):
    assert eda._seasonality_strength(ac_map) == strength


def test_seasonality_strength_skips_a_shared_nan_object(eda):
    # one NaN object under several lags must still be skipped
    assert eda._seasonality_strength({1: NAN, 7: NAN, 12: NAN}) == 0.0


# --------------------------------------------------------------------------
# Leakage hints
# --------------------------------------------------------------------------

Y = pd.Series([1.0, 2.0, 4.0, 3.0, 7.0, 5.0, 9.0, 6.0], name="y")
NOISE = [0.3, -1.0, 0.8, 0.1, -0.4, 1.2, -0.7, 0.5]


@pytest.mark.parametrize(
    "features, score, reasons",
    [
        (
            {"Target_lag1": NOISE, "label_enc": NOISE[::-1], "Ground-Truth": NOISE[1:] + NOISE[:1]},
            0.55,
            [
                "Column name 'Target_lag1' looks target-like.",
                "Column name 'label_enc' looks target-like.",
                "Column name 'Ground-Truth' looks target-like.",
            ],
        ),
        ({"relabelled": NOISE, "ytrue": NOISE[::-1]}, 0.85, ["Column name 'relabelled' looks target-like."]),
        ({"double": Y * 2, "noise": NOISE}, 0.65, ["Columns with |r|\u22650.99 to target: ['double']"]),
        (
            {"noise": NOISE, "copy": Y.copy()},
            0.15,
            ["Columns with |r|\u22650.99 to target: ['copy']", "Columns identical to target: ['copy']"],
        ),
        (
            {"target_copy": Y.copy()},
            0.0,
            [
                "Column name 'target_copy' looks target-like.",
                "Columns with |r|\u22650.99 to target: ['target_copy']",
                "Columns identical to target: ['target_copy']",
            ],
        ),
        ({"as_int": Y.astype("int64")}, 0.65, ["Columns with |r|\u22650.99 to target: ['as_int']"]),
        ({f"c{i}": Y * (i + 2) for i in range(7)},
         0.65, ["Columns with |r|\u22650.99 to target: ['c0', 'c1', 'c2', 'c3', 'c4']"]),
        ({"constant": [3.0] * 8, "noise": NOISE}, 1.0, []),
        ({"a": Y.copy(), "b": Y.copy(), "c": Y.copy(), "d": Y.copy()}, 0.15,
         ["Columns with |r|\u22650.99 to target: ['a', 'b', 'c', 'd']",
          "Columns identical to target: ['a', 'b', 'c']"]),
    ],
    ids=["names", "substring", "double", "copy", "named-copy", "int-copy", "seven", "constant", "four-copies"],
)  # fmt: skip
def test_leakage_hints(eda, features, score, reasons):
    got_score, got_reasons = eda._leakage_hints_per_target(pd.DataFrame(features), Y)
    assert got_score == pytest.approx(score, abs=1e-12)
    assert 0.0 <= got_score <= 1.0
    assert got_reasons == reasons


def test_leakage_without_numeric_features(eda):
    y = pd.Series(list("abcabcab"))
    X = pd.DataFrame({"label": list("xyzxyzxy"), "same": y.copy()})
    score, reasons = eda._leakage_hints_per_target(X, y)
    assert reasons == ["Column name 'label' looks target-like.", "Columns identical to target: ['same']"]
    assert score == pytest.approx(0.35, abs=1e-12)


def test_leakage_labels_printed_by_the_interpreter(eda):
    X = pd.DataFrame({("target", 1): Y * 3, 5: Y * 2})
    score, reasons = eda._leakage_hints_per_target(X, Y)
    assert reasons == [
        "Column name '('target', 1)' looks target-like.",
        "Columns with |r|\u22650.99 to target: [('target', 1), 5]",
    ]
    assert score == pytest.approx(0.5, abs=1e-12)


def test_leakage_checks_fail_independently(eda, monkeypatch):
    # a correlation that cannot be computed drops only that check
    def broken(self, *args, **kwargs):
        raise ValueError("no correlation today")

    monkeypatch.setattr(pd.DataFrame, "corrwith", broken)
    score, reasons = eda._leakage_hints_per_target(pd.DataFrame({"label_copy": Y.copy()}), Y)
    assert reasons == ["Column name 'label_copy' looks target-like.", "Columns identical to target: ['label_copy']"]
    assert score == pytest.approx(0.35, abs=1e-12)


def test_leakage_method_surface():
    import inspect

    method = profilon.EDA._leakage_hints_per_target
    assert method.__doc__ == "Leakage score (1=good) and reasons for a single target."
    # The annotations are pandas' own classes, printed under the module
    # pandas gives them (pandas.core.frame before 3.0, pandas since).
    frame, series = inspect.formatannotation(pd.DataFrame), inspect.formatannotation(pd.Series)
    assert str(inspect.signature(method)) == f"(self, df_X: {frame}, y: {series}) -> Tuple[float, List[str]]"
    assert inspect.signature(profilon.EDA._autocorr_at_lags).parameters["series"].annotation == "pd.Series"


# --------------------------------------------------------------------------
# Target quality, time-series quality and leakage in the per-target breakdown
# --------------------------------------------------------------------------


def breakdowns(report):
    assert report.score_breakdown_by_target is not None
    return report.score_breakdown_by_target


class FixedMoments(profilon.EDA):
    """Skewness and kurtosis fixed per instance, to reach the worked values."""

    def __init__(self, skew, kurtosis):
        super().__init__()
        self.fixed = (skew, kurtosis)

    def _safe_skew(self, x):
        return self.fixed[0]

    def _safe_kurtosis(self, x):
        return self.fixed[1]


@pytest.mark.parametrize(
    "skew, kurtosis, quality",
    [(0.0, 0.0, 1.0), (1.0, 0.0, 0.95), (-2.0, 3.0, 0.81), (4.0, 10.0, 0.5), (10.0, 50.0, 0.4), (12.0, 0.0, 0.4),
     (NAN, 2.0, 0.4), (NAN, NAN, 0.4), (None, None, 1.0), (None, -2.0, 0.94)],
)  # fmt: skip
def test_target_quality_worked_values(skew, kurtosis, quality):
    df = pd.DataFrame({"y": walk(30), "x": np.arange(30.0)})
    report = FixedMoments(skew, kurtosis).eda_report_and_score(df, target="y")
    assert breakdowns(report)["y"]["target_quality"] == pytest.approx(quality, abs=1e-12)


def test_target_quality_of_real_targets(analyse):
    values = [0, 3, 1, None, 8, 2, 0, 5, 1, 1, 2, 40]
    df = pd.DataFrame({
        "const": np.full(12, 4.0),
        "nullable": pd.array(values, dtype="Int64"),
        "plain": [NAN if v is None else float(v) for v in values],
    })  # fmt: skip
    by_target = breakdowns(analyse(df, target=["const", "nullable", "plain"]))
    assert by_target["const"]["target_quality"] == 0.4  # NaN moments cost the full penalty
    assert by_target["nullable"]["target_quality"] == by_target["plain"]["target_quality"] < 0.9


def fake_adf(pvalues):
    def adfuller(y, **kwargs):
        return (0.0, pvalues[y.name])

    return adfuller


@pytest.mark.parametrize("pvalue, quality", [(0.05, 1.0), (0.1, 1.0), (0.35, 0.9), (NAN, 1.0)])
def test_ts_quality_by_stationarity(analyse, monkeypatch, pvalue, quality):
    monkeypatch.setattr(profilon, "_adfuller", fake_adf({"y": pvalue}))
    report = analyse(daily(30, y=walk(30)), target="y")
    assert axis_summary(report.time_series) == ("D", 0.0, 0.0, 30, True)
    assert breakdowns(report)["y"]["ts_quality"] == pytest.approx(quality, abs=1e-12)


def test_ts_quality_worked_degraded_axis(analyse, monkeypatch):
    # 20 distinct days over a 25-day grid (five two-day gaps) plus nine
    # repeated stamps: half of the 28 gaps differ from one day, a fifth of
    # the grid is missing and 20 periods are short of the 24 needed.
    days = pd.date_range("2021-01-01", periods=25, freq="D").delete([2, 6, 10, 14, 18])
    stamps = days.append(days[:9]).sort_values()
    df = pd.DataFrame({"y": walk(29)}, index=stamps)
    monkeypatch.setattr(profilon, "_adfuller", fake_adf({"y": 0.5}))
    report = analyse(df, target="y", freq="D")
    ts = report.time_series
    assert ts["irregular_share"] == 0.5
    assert ts["missing_ts_share"] == pytest.approx(0.2, abs=1e-12)
    assert (ts["unique_periods"], ts["enough_history"]) == (20, False)
    assert breakdowns(report)["y"]["ts_quality"] == pytest.approx(0.44, abs=1e-12)


def test_ts_quality_without_axis_or_record(analyse, monkeypatch):
    monkeypatch.setattr(profilon, "_adfuller", fake_adf({"y": 0.9, "short": 0.9}))
    plain = pd.DataFrame({"y": walk(30)})
    assert breakdowns(analyse(plain, target="y"))["y"]["ts_quality"] == 1.0

    short = walk(30)
    short[19:] = NAN  # too short for the test: no p-value, no deduction
    by_target = breakdowns(analyse(daily(30, y=walk(30), short=short), target=["y", "short"]))
    assert by_target["y"]["ts_quality"] == pytest.approx(0.9, abs=1e-12)
    assert by_target["short"]["ts_quality"] == 1.0

    empty = pd.DataFrame({"y": pd.Series([], dtype=float)}, index=pd.DatetimeIndex([]))
    assert breakdowns(analyse(empty, target="y"))["y"]["ts_quality"] == 1.0


def test_negative_missing_share_costs_nothing(analyse, monkeypatch):
    monkeypatch.setattr(profilon, "_adfuller", fake_adf({"y": 0.01}))
    report = analyse(daily(30, y=walk(30)), target="y", freq="W")
    assert report.time_series["missing_ts_share"] < 0
    assert breakdowns(report)["y"]["ts_quality"] == 1.0


def test_leakage_step_over_all_targets(analyse):
    y = walk(30)
    df = pd.DataFrame({"a": y, "b": y.copy(), "copy_of_a": y.copy(), "x": np.arange(30.0) % 7})
    report = analyse(df, target=["a", "b"])
    by_target = breakdowns(report)
    # the other target is no candidate feature; the copy column is
    assert by_target["a"]["leakage_risk"] == pytest.approx(0.15, abs=1e-12)
    assert by_target["b"]["leakage_risk"] == pytest.approx(0.15, abs=1e-12)
    flagged = [r for r in report.recommendations if "to target: [" in r]
    assert len(flagged) == 2 and all("['copy_of_a']" in r and "['a']" not in r and "['b']" not in r for r in flagged)

    clean = breakdowns(analyse(df[["a", "b", "x"]], target=["a", "b"]))
    assert clean["a"]["leakage_risk"] == clean["b"]["leakage_risk"] == 1.0


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    offsets=st.lists(st.integers(min_value=0, max_value=60), max_size=40),
    freq=st.sampled_from([None, "D", "h", "W", "MS", "bogus"]),
    values=st.lists(st.one_of(st.floats(allow_nan=True, allow_infinity=True), st.none()), min_size=40, max_size=40),
)
def test_any_time_index_is_profiled(analyse, offsets, freq, values):
    stamps = pd.Timestamp("2021-01-01") + pd.to_timedelta(offsets, unit="D")
    n = len(offsets)
    df = pd.DataFrame({"y": pd.array(values[:n], dtype="Float64"), "z": values[:n]}, index=pd.DatetimeIndex(stamps))
    ts = analyse(df, target=["y", "z"], freq=freq).time_series
    if n == 0:
        assert ts == {}
        return
    assert list(ts) == TS_KEYS
    assert 0.0 <= ts["irregular_share"] <= 1.0
    assert ts["missing_ts_share"] <= 1.0
    assert ts["unique_periods"] == len(set(offsets))
    assert list(ts["per_target"]) == ["y", "z"]
