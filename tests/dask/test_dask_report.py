"""The analysis of a Dask DataFrame against the analysis of the same rows in
pandas: the same report, field by field and in Markdown, on a 2-worker
cluster, for frames small enough that no sample is needed; and what a
sample, a lost cluster or a killed worker does to it."""

import dataclasses
import math
import os
import re
import signal
import struct
import threading
import time

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from test_dask_analysis import mixed_frame  # noqa: E402

import profilon  # noqa: E402


@pytest.fixture(scope="module")
def client(cluster):  # noqa: F811 (the cluster fixture imported above)
    # The default client of these tests: the analysis takes the scheduler
    # Dask would use for the frame.
    with distributed.Client(cluster) as client:
        yield client


# Long float texts (a figure's repr) cut to 10 significant digits: the
# Markdown holds some figures in full, and the figures agree within rounding.
_LONG_FLOAT = re.compile(r"-?\d+\.\d{11,}(?:e[-+]\d+)?")


def rounded(markdown):
    return _LONG_FLOAT.sub(lambda m: f"{float(m.group()):.10g}", markdown)


def fields(report):
    """What a report holds, less the page's per-column figures (compared
    on their own: they are not a field)."""
    return {k: v for k, v in vars(report).items() if k != "detail"}


def same(got, want, path="report", exact=False):
    """Equal, floats within 1e-12 relative (bit for bit when `exact`; NaN
    equal to NaN), containers with the same keys in the same order and the
    same types."""
    if isinstance(want, dict):
        assert isinstance(got, dict) and list(got) == list(want), path
        for key in want:
            same(got[key], want[key], f"{path}[{key!r}]", exact)
    elif isinstance(want, (list, tuple)):
        assert type(got) is type(want) and len(got) == len(want), path
        for i, (g, w) in enumerate(zip(got, want, strict=True)):
            same(g, w, f"{path}[{i}]", exact)
    elif isinstance(want, float):
        assert type(got) is float, (path, type(got))
        if exact:
            assert struct.pack("<d", got) == struct.pack("<d", want) or (math.isnan(got) and math.isnan(want)), (
                path,
                got,
                want,
            )
        else:
            assert (math.isnan(got) and math.isnan(want)) or got == pytest.approx(want, rel=1e-12, abs=0), (
                path,
                got,
                want,
            )
    else:
        assert type(got) is type(want) and got == want, (path, got, want)


def corpus():
    rng = np.random.default_rng(5)
    n = 400
    mixed = mixed_frame(n, seed=5).drop(columns="when")
    big = 12_000
    typical = pd.DataFrame(
        {f"f{j}": rng.normal(size=big) * (j + 1) for j in range(6)}
        | {"level": np.array(list("abcde"), dtype=object)[rng.integers(0, 5, big)], "y": rng.normal(size=big)}
    )
    infinities = pd.DataFrame({"a": [1.0, np.inf, -np.inf, np.nan, 0.0, -0.0] * 5, "b": np.arange(30.0)})
    nullable = pd.DataFrame(
        {
            "i": pd.array([1, None, 3, 4, None, 6] * 7, dtype="Int64"),
            "b": pd.array([True, None, False] * 14, dtype="boolean"),
            "s": pd.array(["u", "v", None] * 14, dtype="string"),
            "y": np.linspace(0.0, 1.0, 42),
        }
    )
    hours = pd.date_range("2024-03-30", periods=n, freq="h", tz="Europe/Paris")
    timed = mixed.assign(when=hours.tz_localize(None))
    days = pd.DataFrame(
        {
            "price": np.cumsum(rng.normal(size=730)),
            "region": np.array(["n", "s"], dtype=object)[rng.integers(0, 2, 730)],
        },
        index=pd.date_range("2022-01-01", periods=730, freq="D"),
    )
    irregular = pd.DataFrame(
        {
            "at": pd.to_datetime(np.sort(rng.integers(0, 10**6, 300)) * 10**9).where(rng.random(300) > 0.05),
            "v": rng.normal(size=300),
        }
    )
    months = pd.DataFrame({"m": pd.date_range("2000-01-31", periods=60, freq="ME"), "v": rng.normal(size=60)})
    # Integer axes: the in-memory analysis sorts and indexes them like
    # stamps (pandas infers no frequency from them, so the caller gives one).
    steps = pd.DataFrame({"t": rng.permutation(np.arange(300) * 7 - 1000), "v": np.cumsum(rng.normal(size=300))})
    ticks = pd.DataFrame(
        {"t": rng.integers(0, 200, 250).astype(np.int32), "x": rng.normal(size=250), "u": rng.integers(0, 9, 250)}
    )
    return {
        "hourly time column": (timed, {"target": ["y", "label_text"], "datetime_col": "when"}),
        "hourly tz-aware time column, caller's frequency": (
            mixed.assign(when=hours),
            {"target": "y", "datetime_col": "when", "freq": "h"},
        ),
        "daily DatetimeIndex": (days, {"target": "price"}),
        "irregular stamps with missing ones": (irregular, {"target": "v", "datetime_col": "at"}),
        "month ends": (months, {"target": "v", "datetime_col": "m"}),
        "integer time column in no order, caller's frequency": (
            steps,
            {"target": "v", "datetime_col": "t", "freq": "D"},
        ),
        "int32 time column with repeats, no target": (ticks, {"datetime_col": "t", "freq": "h"}),
        # Too short for pandas to be asked for a frequency, so no error.
        "two-row integer time column": (steps.iloc[:2], {"target": "v", "datetime_col": "t"}),
        "integer time column without rows": (steps.iloc[:0], {"target": "v", "datetime_col": "t"}),
        "mixed, two targets": (mixed, {"target": ["y", "label_text"]}),
        "mixed, no target": (mixed, {}),
        "mixed, repeated target, pearson": (mixed, {"target": ["y", "y"], "corr_method": "pearson"}),
        "12,000 rows (mutual information samples 8,000)": (typical, {"target": "y", "max_cat_features": 1}),
        "infinities and signed zeros": (infinities, {"target": "b"}),
        "nullable dtypes": (nullable, {"target": "y"}),
        "one row": (mixed.iloc[:1], {"target": "y"}),
        "no rows": (mixed.iloc[:0], {"target": "y"}),
    }


CORPUS = corpus()


@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize("name", list(CORPUS))
def test_the_report_equals_the_pandas_report(client, name, k):
    pdf, kwargs = CORPUS[name]
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(pdf, npartitions=k, sort=False)
    ref = ddf.compute()
    got = profilon.EDA().eda_report_and_score(ddf, **kwargs)
    want = profilon.EDA().eda_report_and_score(ref, **kwargs)
    assert type(got) is type(want)
    # The page's figures, through the cluster's pickling of their states
    # (within rounding: the drawn means add their partitions' sums).
    same(got.detail, want.detail, path="detail", exact=k == 1)
    # One partition holds the rows in the order pandas holds them: every
    # sum is added in the same order, so every figure has the same bits.
    same(fields(got), fields(want), exact=k == 1)
    if k == 1:
        assert got.to_markdown() == want.to_markdown()
    else:
        assert rounded(got.to_markdown()) == rounded(want.to_markdown())


def _numbers(rng, x_dtype, y_dtype, gap=False, start=0):
    x = (start + rng.integers(0, 50, 400)).astype(x_dtype)
    if gap:
        x[3] = np.nan
    return pd.DataFrame({"x": x, "y": rng.normal(size=400).astype(y_dtype)})


# Partitions whose numbers are not in the metadata's dtype (a frame built from
# pieces without checking them): the report is that of the rows Dask computes,
# whose concatenation unites the dtypes, integers beyond 2**53 made equal
# floats included.
@pytest.mark.parametrize(
    "pieces",
    [
        [("int64", "float64"), ("float64", "float64", True)],
        [("float64", "float64", True), ("int64", "float64")],
        [("int64", "float64", False, 2**53), ("float64", "float64", True)],
        [("int64", "float64"), ("int32", "float32")],
        [("int32", "float32"), ("int64", "float64")],
    ],
)
def test_partitions_in_other_number_dtypes_give_the_computed_rows_report(client, pieces):
    rng = np.random.default_rng(4)
    parts = [_numbers(rng, *piece) for piece in pieces]
    ddf = dd.from_delayed([dask.delayed(p) for p in parts], meta=parts[0].iloc[:0], verify_meta=False)
    np.random.seed(3)
    got = profilon.EDA().eda_report_and_score(ddf, target="y")
    np.random.seed(3)
    want = profilon.EDA().eda_report_and_score(ddf.compute(), target="y")
    same(fields(got), fields(want))
    assert rounded(got.to_markdown()) == rounded(want.to_markdown())


# A partition whose column the analysis would type otherwise than the
# metadata says: no report fits both, so the analysis names the column.
@pytest.mark.parametrize(
    ("meta", "other"),
    [
        (np.array([True, False] * 20), np.arange(40)),
        (np.arange(40.0), np.array(["a", "b"] * 20, dtype=object)),
        (np.arange(40), pd.date_range("2024-01-01", periods=40).to_numpy()),
    ],
    ids=["bool_then_int", "float_then_text", "int_then_dates"],
)
def test_a_partition_typed_otherwise_than_the_metadata_is_named(client, meta, other):
    y = np.random.default_rng(5).normal(size=40)
    first, second = pd.DataFrame({"c": meta, "y": y}), pd.DataFrame({"c": other, "y": y})
    ddf = dd.from_delayed([dask.delayed(first), dask.delayed(second)], meta=first.iloc[:0], verify_meta=False)
    said = f"partition 1 of the Dask DataFrame holds column 'c' as {second['c'].dtype}, but the frame's metadata says"
    with pytest.raises(TypeError, match=re.escape(said)):
        profilon.EDA().eda_report_and_score(ddf, target="y")
    # An empty partition holds no value to type: it is read as the metadata.
    empty = second.iloc[:0]
    ddf = dd.from_delayed([dask.delayed(first), dask.delayed(empty)], meta=first.iloc[:0], verify_meta=False)
    np.random.seed(3)
    got = profilon.EDA().eda_report_and_score(ddf, target="y")
    np.random.seed(3)
    same(fields(got), fields(profilon.EDA().eda_report_and_score(first, target="y")))


@pytest.mark.parametrize("dtype", ["int64", "uint16"])
def test_an_integer_axis_without_frequency_raises_as_in_memory(client, dtype):
    pdf = pd.DataFrame({"t": np.arange(40, dtype=dtype), "v": np.arange(40.0)})
    with pytest.raises(TypeError) as in_memory:
        profilon.EDA().eda_report_and_score(pdf, target="v", datetime_col="t")
    with pytest.raises(TypeError) as distributed_:
        profilon.EDA().eda_report_and_score(dd.from_pandas(pdf, npartitions=3), target="v", datetime_col="t")
    assert str(distributed_.value) == str(in_memory.value)


_DAYS = pd.date_range("2024-01-01", periods=60)
# Time columns the kernel does not read: the analysis gathers them whole.
_OTHER_AXES = {
    "float_with_nan": np.r_[np.nan, np.arange(59.0)][::-1],
    "uint64_beyond_int64": np.arange(60, dtype=np.uint64) + np.uint64(2**63),
    "nullable_int": pd.array([*range(59), None], dtype="Int64"),
    "bool": np.arange(60) % 3 == 0,
    "durations": pd.to_timedelta(np.arange(60)[::-1], unit="D"),
    "arrow_stamps": pd.array(_DAYS, dtype="timestamp[ns, tz=UTC][pyarrow]"),
    "periods": _DAYS.to_period("D"),
    "categories": pd.Categorical(_DAYS),
    "text": np.array(_DAYS.strftime("%Y-%m-%d"), dtype=object),
}


@pytest.mark.parametrize("k", [1, 3])
@pytest.mark.parametrize("freq", [None, "D"])
@pytest.mark.parametrize("axis", list(_OTHER_AXES))
def test_every_time_axis_gives_the_pandas_report(client, axis, freq, k):
    rng = np.random.default_rng(6)
    pdf = pd.DataFrame({"t": _OTHER_AXES[axis], "x": rng.normal(size=60), "y": rng.normal(size=60)})
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(pdf, npartitions=k, sort=False)

    def report(frame):
        try:
            return profilon.EDA().eda_report_and_score(frame, target="y", datetime_col="t", freq=freq)
        except Exception as error:  # the same error on both, or the same report
            return error

    got, want = report(ddf), report(pdf)
    if isinstance(want, Exception):
        assert (type(got), str(got)) == (type(want), str(want))
    else:
        same(fields(got), fields(want), exact=k == 1)
        assert rounded(got.to_markdown()) == rounded(want.to_markdown())


def moments_reproduced():
    # The kernel's formula follows the releases (tests/kernels/test_moment_kernel.py).
    from moment_release import expected_formula

    return expected_formula() != "none"


def moment_figures(report):
    out = {}
    for col, figures in report.distributions["numeric_summary"].items():
        out.update({(col, key): figures[key] for key in ("skew", "kurtosis")})
    for t, figures in (report.target or {}).get("per_target", {}).items():
        out.update({("target", t, key): figures[key] for key in ("skew", "kurtosis")})
    return out


@pytest.mark.parametrize("k", [1, 3, 7])
@pytest.mark.parametrize(
    "name", ["mixed, two targets", "12,000 rows (mutual information samples 8,000)", "nullable dtypes", "one row"]
)
def test_the_moments_are_the_pandas_reports_bits(client, name, k):
    # The workers' moment partials, their merge and the finish are the
    # in-memory step's kernel, in the running SciPy's formula: the skewness
    # and kurtosis of every column and target are the pandas report's own
    # bits for any partitioning. Outside the kernel's releases the driver
    # sums repeated squares: within 1e-12 relative or 1e-15 absolute.
    pdf, kwargs = CORPUS[name]
    ddf = dd.from_pandas(pdf, npartitions=k, sort=False)
    got = moment_figures(profilon.EDA().eda_report_and_score(ddf, **kwargs))
    want = moment_figures(profilon.EDA().eda_report_and_score(ddf.compute(), **kwargs))
    assert list(got) == list(want) and want
    exact = moments_reproduced()
    for key, w in want.items():
        g = got[key]
        if w is None or g is None or math.isnan(w):
            assert g is w or (g is not None and math.isnan(g)), (key, g, w)
        elif exact:
            assert np.float64(g).tobytes() == np.float64(w).tobytes(), (key, g, w)
        else:
            assert g == pytest.approx(w, rel=1e-12, abs=1e-15), (key, g, w)


def test_the_entry_points_take_a_dask_frame(client):
    pdf, kwargs = CORPUS["mixed, two targets"]
    ddf = dd.from_pandas(pdf, npartitions=3, sort=False)
    ref = ddf.compute()
    eda = profilon.EDA()
    assert rounded(eda.eda_md(ddf, **kwargs)) == rounded(eda.eda_md(ref, **kwargs))
    same(fields(eda.eda(ddf, **kwargs)), fields(eda.eda_report_and_score(ref, **kwargs)))


def test_a_sample_is_named_in_the_markdown_only(client, monkeypatch):
    monkeypatch.setenv("PROFILON_DASK_CORR_ROWS", "100")
    pdf, kwargs = CORPUS["mixed, two targets"]
    ddf = dd.from_pandas(pdf, npartitions=3, sort=False)
    got = profilon.EDA().eda_report_and_score(ddf, **kwargs)
    lines = got.to_markdown().splitlines()
    at = lines.index("### Figures from samples")
    assert lines[at + 1] == "- Correlation matrix: 100 of 400 rows, drawn uniformly (seed 0)"
    # The fields are the pandas report's: only the matrix' rows differ.
    want = profilon.EDA().eda_report_and_score(ddf.compute(), **kwargs)
    assert dataclasses.asdict(got).keys() == dataclasses.asdict(want).keys()
    assert got.relationships.keys() == want.relationships.keys()
    same(got.schema, want.schema)
    assert "Figures from samples" not in want.to_markdown()


def test_other_objects_are_still_refused(client):
    pdf, _ = CORPUS["mixed, no target"]
    ddf = dd.from_pandas(pdf, npartitions=2)
    for other in [ddf["x"], ddf.to_delayed()[0], pdf.to_numpy(), None]:
        with pytest.raises(AssertionError):
            profilon.EDA().eda_report_and_score(other)


def test_the_callers_frame_is_left_alone(client):
    pdf, kwargs = CORPUS["mixed, two targets"]
    ddf = dd.from_pandas(pdf, npartitions=3, sort=False)
    before = ddf.compute()
    columns, dtypes, npartitions = list(ddf.columns), ddf.dtypes.copy(), ddf.npartitions
    profilon.EDA().eda_report_and_score(ddf, **kwargs)
    pd.testing.assert_frame_equal(ddf.compute(), before)
    assert (list(ddf.columns), ddf.npartitions) == (columns, npartitions)
    pd.testing.assert_series_equal(ddf.dtypes, dtypes)


def test_a_closed_cluster_is_one_clear_error(local_cluster):
    own = local_cluster(1)
    client = distributed.Client(own)
    try:
        ddf = dd.from_pandas(pd.DataFrame({"a": [1.0, 2.0, 3.0], "y": [0.0, 1.0, 0.5]}), npartitions=2)
        client.close()
        own.close()
        # The closed client was the default one: the analysis must not fall
        # back to computing locally without a word.
        with pytest.raises(RuntimeError, match="^the Dask cluster could not be reached: "):
            with dask.config.set(scheduler=client.get):
                profilon.EDA().eda_report_and_score(ddf, target="y")
    finally:
        client.close()
        own.close()


def test_a_killed_worker_gives_the_same_report_or_a_clear_error():
    # Worker processes of its own, one of them killed while the analysis
    # runs; Dask reschedules its tasks on the other (or the nanny's new one).
    pdf, kwargs = CORPUS["mixed, two targets"]
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        processes = distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=50
        )
    try:
        with distributed.Client(processes) as client:
            pids = list(client.run(os.getpid).values())
            ddf = dd.from_pandas(pdf, npartitions=8, sort=False)
            want = profilon.EDA().eda_report_and_score(ddf.compute(), **kwargs)
            outcome = {}

            def analyse():
                try:
                    outcome["report"] = profilon.EDA().eda_report_and_score(ddf, **kwargs)
                except Exception as error:  # the outcome is judged below
                    outcome["error"] = error

            runner = threading.Thread(target=analyse)
            runner.start()
            time.sleep(0.3)
            os.kill(pids[0], signal.SIGKILL)
            runner.join(120)
            assert not runner.is_alive()
            if "report" in outcome:
                same(fields(outcome["report"]), fields(want))
                assert rounded(outcome["report"].to_markdown()) == rounded(want.to_markdown())
            else:
                assert str(outcome["error"]), outcome["error"]
    finally:
        processes.close()


class OwnSkew(profilon.EDA):
    def _safe_skew(self, x):
        return 0.0


class OwnLeakage(profilon.EDA):
    def _leakage_hints_per_target(self, df_X, y):
        return super()._leakage_hints_per_target(df_X, y)


@pytest.mark.parametrize(
    "make, rebind, names",
    [
        (OwnSkew, None, "OwnSkew._safe_skew"),
        (OwnLeakage, None, "OwnLeakage._leakage_hints_per_target"),
        (profilon.EDA, "scipy_skew", "profilon.scipy_skew"),
    ],
)
def test_a_replaced_column_method_is_refused_in_one_sentence(client, monkeypatch, make, rebind, names):
    # The pandas analysis calls the replacement on each whole column; a Dask
    # frame never has one in memory, so the report could not honour it.
    if rebind:
        monkeypatch.setattr(profilon, rebind, lambda *args, **kwargs: 0.0)
    ddf = dd.from_pandas(CORPUS["mixed, two targets"][0], npartitions=2)
    with pytest.raises(TypeError, match="^" + names.replace(".", r"\.") + " .*analyse ddf.compute\\(\\) instead$"):
        make().eda_report_and_score(ddf, target="y")
    if rebind is None:
        # The pandas frame still takes the replacement.
        make().eda_report_and_score(ddf.compute(), target="y")


def recording(name):
    """An EDA subclass whose `name` answers as the library's method and
    records what it was asked."""
    calls = []

    def method(self, *args, **kwargs):
        calls.append((args, kwargs))
        return getattr(super(type(self), self), name)(*args, **kwargs)

    return type(f"Recording_{name}", (profilon.EDA,), {name: method}), calls


def same_arguments(got, want):
    # Frames and series by their values and labels, everything else by equality.
    assert len(got) == len(want)
    for g, w in zip(got, want, strict=True):
        assert type(g) is type(w)
        if isinstance(w, pd.DataFrame):
            pd.testing.assert_frame_equal(g, w)
        elif isinstance(w, pd.Series):
            pd.testing.assert_series_equal(g, w)
        else:
            assert g == w or (isinstance(w, float) and math.isnan(g) and math.isnan(w)), (g, w)


@pytest.mark.parametrize("name", ["_corr_proportion_strong", "_canonical_time_lags", "_pct"])
@pytest.mark.parametrize("frame", ["hourly time column", "daily DatetimeIndex", "mixed, two targets"])
def test_the_steps_ask_a_subclass_the_same_on_both_frames(client, name, frame):
    # One step sequence turns the figures into sections whichever frame they
    # came from: a method those steps call is asked the same questions, in
    # the same order, for a pandas frame and for its Dask frame.
    pdf, kwargs = CORPUS[frame]
    with dask.config.set({"dataframe.convert-string": False}):
        ddf = dd.from_pandas(pdf, npartitions=1, sort=False)
    make, calls = recording(name)
    got = make().eda_report_and_score(ddf, **kwargs)
    on_dask = list(calls)
    calls.clear()
    want = make().eda_report_and_score(ddf.compute(), **kwargs)
    # A frame without a time axis asks nothing about its lags.
    assert bool(on_dask) == (name != "_canonical_time_lags" or frame != "mixed, two targets")
    assert len(on_dask) == len(calls)
    for (dask_args, dask_kwargs), (pandas_args, pandas_kwargs) in zip(on_dask, calls, strict=True):
        same_arguments(dask_args, pandas_args)
        assert dask_kwargs == pandas_kwargs
    same(fields(got), fields(want), exact=True)
