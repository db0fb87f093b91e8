"""Never crash, never leak, never swallow an interrupt, never share state."""

import dataclasses
import datetime as dt
import gc
import importlib.util
import json
import os
import resource
import sys
import threading
import tracemalloc
import warnings
import xml.etree.ElementTree

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import profilon


def mid_frame(seed, rows=120):
    rng = np.random.default_rng(seed)
    t = np.arange(rows)
    df = pd.DataFrame(
        {
            "date": pd.date_range("2020-01-01", periods=rows, freq="D"),
            "x1": rng.normal(size=rows),
            "x2": rng.normal(size=rows).cumsum(),
            "x3": rng.integers(0, 50, size=rows).astype(float),
            "city": rng.choice(["a", "b", "c", "d"], size=rows),
            "flag": rng.random(rows) > 0.5,
            "y": np.sin(t / 7.0) + rng.normal(scale=0.1, size=rows),
            "y2": t * 0.5 + rng.normal(size=rows),
        }
    )
    df.loc[3, "x1"] = np.nan  # sends relevance to the deterministic fallback
    return df


def analyse(eda, df):
    return eda.eda_report_and_score(df, target=["y", "y2"], datetime_col="date")


def frame_refcounts(df):
    arrays = [df._mgr.arrays[i] for i in range(len(df._mgr.arrays))]
    return [sys.getrefcount(df), sys.getrefcount(df.columns), sys.getrefcount(df.index)] + [
        sys.getrefcount(a) for a in arrays
    ]


# Under the sanitizer run the interpreter allocates through the sanitizer's
# malloc: block counts read 0 and the 400-analysis loops only cost time
# there, so the growth checks belong to the ordinary build.
memory_growth_check = pytest.mark.skipif(
    os.environ.get("PYTHONMALLOC") == "malloc", reason="interpreter allocator replaced (sanitizer run)"
)


def rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def test_the_input_frame_keeps_its_reference_counts():
    eda = profilon.EDA()
    df = mid_frame(0)
    analyse(eda, df)
    gc.collect()
    before = frame_refcounts(df)
    for _ in range(5):
        analyse(eda, df).to_markdown()
    gc.collect()
    assert frame_refcounts(df) == before


# Each analysis gets a freshly built frame: pandas keeps weak references to
# every view taken of a frame's blocks and index (copies included) and prunes
# them only in batches, so reusing one frame grows pandas' bookkeeping on it
# (bounded, and not ours) and would fake a leak.
#
# Both checks empty the interpreter's type-attribute cache before they
# count: it keeps the name string of the last lookup in each of its slots,
# and the C code of NumPy and pandas makes a new string per lookup, so the
# cache's holdings drift as it fills, bounded but by a few thousand blocks.
def settled():
    sys._clear_type_cache()
    gc.collect()


@memory_growth_check
def test_repeated_analyses_do_not_leak():
    eda = profilon.EDA()
    for _ in range(100):  # let the libraries' own caches fill up
        analyse(eda, mid_frame(0)).to_markdown()
    settled()
    total_refs = getattr(sys, "gettotalrefcount", None)
    refs_before = total_refs() if total_refs else None
    blocks_before = sys.getallocatedblocks()
    rss_before = rss_kib()
    for _ in range(300):
        analyse(eda, mid_frame(0)).to_markdown()
    settled()
    if refs_before is not None:
        assert total_refs() - refs_before < 30
    # One leaked object per ten analyses would already reach this.
    assert sys.getallocatedblocks() - blocks_before < 30
    assert rss_kib() - rss_before < 16 * 1024


@memory_growth_check
def test_traced_memory_does_not_grow():
    eda = profilon.EDA()
    for _ in range(50):
        analyse(eda, mid_frame(0)).to_markdown()
    tracemalloc.start(1)
    try:
        for _ in range(10):
            analyse(eda, mid_frame(0)).to_markdown()
        settled()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(60):
            analyse(eda, mid_frame(0)).to_markdown()
        settled()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One leaked 48-byte object per analysis would be 2,880 bytes.
    assert growth < 1500


@pytest.mark.parametrize("name", ["_mi_reg", "_adfuller", "spearmenr", "scipy_skew", "scipy_kurtosis"])
def test_interrupts_pass_through_guards(monkeypatch, name):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    # The frame's NaN feature makes mutual information fail, so the Spearman
    # fallback is reached too.
    monkeypatch.setattr(profilon, name, interrupted)
    with pytest.raises(KeyboardInterrupt):
        analyse(profilon.EDA(), mid_frame(1))


@pytest.mark.parametrize("exc", [ValueError, ZeroDivisionError, LookupError])
def test_ordinary_errors_in_guarded_calls_are_absorbed(monkeypatch, exc):
    def failing(*args, **kwargs):
        raise exc("library failure")

    monkeypatch.setattr(profilon, "_adfuller", failing)
    monkeypatch.setattr(profilon, "_mi_reg", failing)
    report = analyse(profilon.EDA(), mid_frame(2))
    per_target = report.time_series["per_target"]
    assert [r["adfuller_pvalue"] for r in per_target.values()] == [None, None]


def test_concurrent_analyses_match_sequential_ones():
    frames = [mid_frame(seed) for seed in range(4)]
    eda = profilon.EDA()
    sequential = [repr(analyse(eda, df)) for df in frames]
    results = [None] * 4
    errors = []

    def work(i):
        try:
            for _ in range(3):
                results[i] = repr(analyse(eda, frames[i]))
        except BaseException as exc:  # reported below, not lost in the thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert results == sequential


# ---------------------------------------------------------------------------
# Property tests over random frames
# ---------------------------------------------------------------------------
# Every example either yields a report that renders, or ends with an ordinary
# exception of a library call that is not guarded; never a SystemError (a
# C-level contract broken, such as a result returned with an error set), and
# never a modified frame. The example count comes from hypothesis' profile:
# 100 in the suite, `--hypothesis-profile=long` for 5,000 (see conftest.py).

HAS_ARROW = importlib.util.find_spec("pyarrow") is not None

LABELS = st.one_of(
    st.sampled_from(["a", "b", "y", "date", "target_x", "Ground-Truth", ""]),
    st.integers(-1, 2),
    st.sampled_from([None, 1.5, ("a", 1), True]),
)
# Frequencies pandas accepts, and one it refuses outright (not one it merely
# deprecates: that warning would be about the caller's own argument).
FREQS = st.sampled_from([None, "", "D", "h", "W", "MS", "min", "2D", "not-a-freq"])
DATES = st.datetimes(min_value=dt.datetime(1990, 1, 1), max_value=dt.datetime(2030, 1, 1))
SMALL_FLOATS = st.one_of(
    st.floats(-1e3, 1e3),
    st.sampled_from([0.0, 1.0, np.nan, np.inf, -np.inf]),
    st.floats(allow_nan=True, allow_infinity=True),
)


def _maybe(values):
    return st.one_of(st.none(), values)


def _dense(values):
    return lambda cells: pd.Series(cells, dtype=values)


def _regular_dates(n, draw):
    freq = draw(st.sampled_from(["D", "h", "MS", "W-SUN", "QS-OCT"]))
    stamps = pd.date_range(draw(DATES), periods=n + 1, freq=freq)
    change = draw(st.sampled_from(["none", "gap", "repeat"]))
    if change == "gap":
        stamps = stamps.delete(n // 2)
    elif change == "repeat":
        stamps = stamps.insert(1, stamps[1])
    return pd.Series(stamps[:n])


# kind -> (cell strategy, builder); builders get exactly n cells.
COLUMN_KINDS = {
    "int": (st.one_of(st.integers(-50, 50), st.integers(-(2**63), 2**63 - 1)), _dense(np.int64)),
    "float": (SMALL_FLOATS, _dense(np.float64)),
    "walk": (st.floats(-10, 10), lambda cells: pd.Series(np.cumsum(np.asarray(cells, dtype=float)))),
    "bool": (st.booleans(), _dense(bool)),
    "Int64": (_maybe(st.integers(-50, 50)), _dense("Int64")),
    "Float64": (_maybe(st.floats(-1e3, 1e3)), _dense("Float64")),
    "boolean": (_maybe(st.booleans()), _dense("boolean")),
    "category": (_maybe(st.sampled_from(["a", "b", "c"])), _dense("category")),
    "object": (_maybe(st.one_of(st.integers(-3, 3), st.text(max_size=2), SMALL_FLOATS, st.booleans())), _dense(object)),
    "string": (_maybe(st.text(max_size=2)), _dense("string")),
    "datetime": (_maybe(DATES), lambda cells: pd.Series(pd.to_datetime(cells))),
    "datetime_tz": (
        _maybe(DATES),
        lambda cells: pd.Series(pd.to_datetime(cells)).dt.tz_localize("UTC").dt.tz_convert("Europe/Berlin"),
    ),
    "timedelta": (
        _maybe(st.timedeltas(dt.timedelta(days=-999), dt.timedelta(days=999))),
        lambda cells: pd.Series(pd.to_timedelta(cells)),
    ),
}
if HAS_ARROW:
    COLUMN_KINDS["int64[pyarrow]"] = (_maybe(st.integers(-50, 50)), _dense("int64[pyarrow]"))
# Clean random walks and regular stamps weigh more: they are what reaches
# the stationarity test, mutual information and the time-axis rules.
KIND_NAMES = sorted(COLUMN_KINDS) + ["walk", "walk", "regular_dates", "regular_dates", "copy"]


@st.composite
def random_frames(draw):
    n = draw(st.one_of(st.integers(0, 3), st.integers(20, 40), st.integers(0, 40)))
    # Mostly distinct labels (True equals 1 for pandas): a repeated label is
    # refused up front, so it needs only an occasional example.
    repeats = draw(st.integers(0, 9)) == 0
    labels = draw(st.lists(LABELS, max_size=6, unique_by=None if repeats else (lambda x: x)))
    columns = []
    for _label in labels:
        kind = draw(st.sampled_from(KIND_NAMES))
        if kind == "copy" and columns:  # an exact copy: duplicate detection, leakage identity
            columns.append(columns[draw(st.integers(0, len(columns) - 1))].copy())
        elif kind == "regular_dates" and n:
            columns.append(_regular_dates(n, draw))
        else:
            cells, build = COLUMN_KINDS[kind if kind in COLUMN_KINDS else "walk"]
            columns.append(build(draw(st.lists(cells, min_size=n, max_size=n))))
    index = draw(st.sampled_from(["range", "dates", "ints", "text"]) if n else st.just("range"))
    if index == "dates":  # unsorted, possibly repeated stamps
        index = pd.DatetimeIndex(draw(st.lists(DATES, min_size=n, max_size=n)))
    elif index == "ints":
        index = pd.Index(draw(st.lists(st.integers(0, 5), min_size=n, max_size=n)))
    elif index == "text":
        index = pd.Index([f"r{i}" for i in range(n)])
    else:
        index = pd.RangeIndex(n)
    df = pd.concat([c.reset_index(drop=True) for c in columns], axis=1) if columns else pd.DataFrame(index=range(n))
    df.columns = pd.Index(labels, dtype=object) if columns else df.columns
    df.index = index
    return df


def arguments(df):
    labels = list(df.columns)
    numeric = [c for c, t in zip(labels, df.dtypes, strict=True) if pd.api.types.is_numeric_dtype(t)]
    stamps = [c for c, t in zip(labels, df.dtypes, strict=True) if pd.api.types.is_datetime64_any_dtype(t)]
    any_label = st.one_of(st.sampled_from(labels), LABELS) if labels else LABELS
    # Mostly columns that make a real analysis: numeric targets, a datetime
    # time axis; the rest anything, present or not.
    # A bare non-string target is refused: such labels go in a list.
    wrap = lambda c: c if isinstance(c, str) or c is None else [c]  # noqa: E731
    one = st.sampled_from(numeric).map(wrap) if numeric else any_label.map(wrap)
    several = st.lists(st.sampled_from(numeric), min_size=1, max_size=3) if numeric else st.lists(any_label)
    time_col = st.sampled_from(stamps) if stamps else any_label
    return st.fixed_dictionaries(
        {
            "target": st.one_of(
                one,
                several,
                st.none(),
                any_label.map(wrap),
                st.integers(),  # a type of target that is refused
                st.lists(any_label, max_size=3),
                st.lists(any_label, max_size=3).map(tuple),
                st.sets(any_label, max_size=2),
            ),
            "datetime_col": st.one_of(time_col, st.none(), any_label),
        },
        optional={
            "freq": FREQS,
            "max_mi_features": st.one_of(st.integers(0, 3), st.just(60), st.just(-1)),
            "max_cat_features": st.one_of(st.integers(0, 3), st.just(80)),
            "corr_method": st.sampled_from(["spearman", "pearson", "kendall", "bogus"]),
        },
    )


def _is_finite_or_nan(x):
    return isinstance(x, float) and (np.isnan(x) or np.isfinite(x))


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@settings(deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_random_frames_never_crash_or_change(data, frame_fingerprint, assert_unchanged, pandas_own_deprecation):
    df = data.draw(random_frames(), label="df")
    kwargs = data.draw(arguments(df), label="kwargs")
    fingerprint = frame_fingerprint(df)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            report = profilon.EDA().eda_report_and_score(df, **kwargs)
        except SystemError:
            raise
        except Exception as exc:
            event(f"raised {type(exc).__name__}: {str(exc)[:50]}")
            report = None  # an unguarded library call refused the input
    assert_unchanged(df, fingerprint)
    # Deprecations triggered by our calls are faults to fix before pandas
    # drops what they warn about.
    deprecations = [w for w in caught if issubclass(w.category, (DeprecationWarning, FutureWarning))]
    ours = [w for w in deprecations if not pandas_own_deprecation(w)]
    assert ours == [], [str(w.message) for w in ours]
    if report is None:
        return
    event("time axis" if report.time_series else "no time axis")
    event(f"{len(report.target) and (len(report.target.get('per_target', {})) or 1)} target(s)")
    tested = [r for r in (report.time_series.get("per_target") or {}).values() if r["adfuller_pvalue"] is not None]
    event("stationarity tested" if tested else "no stationarity test")
    assert report.to_dict()["schema"]["n_rows"] == len(df)
    assert isinstance(report.to_markdown(), str)
    # Whatever the data, the page stays well-formed and the JSON standard.
    xml.etree.ElementTree.fromstring(report.to_html())
    json.loads(report.to_json(), parse_constant=pytest.fail)
    score = report.suitability_score
    assert _is_finite_or_nan(score) and not score < 0 and not score > 100
    components = dataclasses.asdict(report.score_breakdown)
    assert all(not v < 0 and not v > 1 for v in components.values()), components


# ---------------------------------------------------------------------------
# Nullable and Arrow-backed numeric columns
# ---------------------------------------------------------------------------


def numeric_frame(missing):
    rng = np.random.default_rng(5)
    n = 40
    df = pd.DataFrame(
        {
            "date": pd.date_range("2022-01-01", periods=n, freq="D"),
            "count": rng.integers(0, 30, n).astype(float),
            "x": rng.normal(size=n),
            "flag": (rng.random(n) > 0.4).astype(float),
            "city": rng.choice(["a", "b", "c"], n),
            "y": rng.normal(size=n).cumsum(),
        }
    )
    if missing:  # relevance falls back to Spearman; NA must reach NumPy as NaN
        df.loc[[2, 9], "count"] = np.nan
        df.loc[[4], "x"] = np.nan
        df.loc[[6, 7], "flag"] = np.nan
        df.loc[[11], "y"] = np.nan
    return df


PANDAS_BEFORE_2_2_3 = tuple(int(p) for p in pd.__version__.split(".")[:3] if p.isdigit()) < (2, 2, 3)

NULLABLE = [
    {"count": "Int64", "x": "Float64", "y": "Float64"},
    pytest.param(
        {"count": "int64[pyarrow]", "x": "double[pyarrow]", "y": "double[pyarrow]"},
        marks=pytest.mark.skipif(not HAS_ARROW, reason="pyarrow is not installed"),
        id="arrow",
    ),
]


def report_text(df):
    np.random.seed(0)
    report = profilon.EDA().eda_report_and_score(df, target="y", datetime_col="date")
    return repr(report.to_dict())  # repr: NaN equals NaN, floats to the last bit


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("missing", [False, True], ids=["complete", "missing"])
@pytest.mark.parametrize("dtypes", NULLABLE)
def test_nullable_numbers_are_analysed_as_their_float_values(missing, dtypes):
    if missing and "pyarrow" in dtypes["x"] and PANDAS_BEFORE_2_2_3:
        pytest.skip(
            "pandas 2.2.0 raises TypeError inside its own float cast of Arrow numbers with missing cells "
            "(seen on 2.2.0; 2.2.1 and 2.2.2 not checked; 2.2.3 casts them)"
        )
    plain = numeric_frame(missing)
    typed = plain.copy()
    for col, dtype in dtypes.items():
        values = [None if np.isnan(v) else v for v in plain[col]]
        if dtype.startswith("int"):
            values = [None if v is None else int(v) for v in values]
        typed[col] = pd.array(values, dtype=dtype)
    assert report_text(typed) == report_text(plain)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("missing", [False, True], ids=["complete", "missing"])
def test_nullable_booleans_are_summarised_as_their_float_values(missing):
    # A boolean column is no relevance candidate (not a NumPy number), so
    # only its summary and the sections that use it as a number compare.
    plain = numeric_frame(missing)
    typed = plain.assign(flag=pd.array([None if np.isnan(v) else bool(v) for v in plain["flag"]], dtype="boolean"))
    eda = profilon.EDA()
    a = eda.eda_report_and_score(plain, target="flag")
    b = eda.eda_report_and_score(typed, target="flag")
    assert b.schema["bool_cols"] == ["flag"]
    for section in ("distributions", "missingness", "target"):
        assert repr(getattr(b, section)) == repr(getattr(a, section))
    ratios = "cat_corr_ratio_top_by_target"
    assert repr(b.relationships[ratios]) == repr(a.relationships[ratios])


def degenerate_frames():
    n = 40
    days = pd.date_range("2021-01-01", periods=n, freq="D")
    ramp = np.arange(n, dtype=float)
    return {
        "empty": (pd.DataFrame({"a": pd.Series([], dtype=float), "y": pd.Series([], dtype=float)}), {"target": "y"}),
        "all_nan": (pd.DataFrame({"a": [np.nan] * n, "c": [None] * n, "y": ramp}), {"target": "y"}),
        "all_nan_target": (pd.DataFrame({"y": [np.nan] * n, "b": ramp}), {"target": "y"}),
        "constant": (
            pd.DataFrame({"a": [0.1] * n, "b": ramp, "y": [3.0] * n, "d": days}),
            {"target": "y", "datetime_col": "d"},
        ),
        "constant_targets_on_axis": (
            pd.DataFrame({"y": [5.0] * n, "z": [0.0] * n}, index=days),
            {"target": ["y", "z"]},
        ),
        "one_row": (pd.DataFrame({"a": [1.0], "b": [np.nan], "y": [2.0], "c": ["q"]}), {"target": "y"}),
        "one_value_per_column": (
            pd.DataFrame({"a": [1.0] + [np.nan] * (n - 1), "b": ramp, "y": ramp[::-1].copy()}),
            {"target": "y"},
        ),
        "two_rows": (pd.DataFrame({"a": [1.0, 1.0], "y": [1.0, 2.0]}), {"target": "y"}),
        "no_columns": (pd.DataFrame(index=range(5)), {}),
    }


@pytest.mark.parametrize("name", list(degenerate_frames()))
def test_degenerate_columns_warn_nothing_and_report_the_library_values(monkeypatch, name):
    df, kwargs = degenerate_frames()[name]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        np.random.seed(0)  # mutual information draws its noise from it
        report = profilon.EDA().eda_report_and_score(df, **kwargs)
        text = report.to_markdown()
    # Stand-ins for the library functions are always called: the same
    # analysis then takes the library's answers, warnings and all.
    for global_name in ("scipy_skew", "scipy_kurtosis", "spearmenr"):
        library = getattr(profilon, global_name)
        monkeypatch.setattr(profilon, global_name, lambda *a, _f=library, **k: _f(*a, **k))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        np.random.seed(0)
        reference = profilon.EDA().eda_report_and_score(df, **kwargs)
    assert repr(report) == repr(reference)
    assert text == reference.to_markdown()
