"""The Dask driver's time-axis facts, against the in-memory analysis' own
pandas calls on the frame Dask delivers."""

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")


from lone_passes import scan  # noqa: E402

import profilon  # noqa: E402
from _profilon_dask.association import CorrelationRatios  # noqa: E402
from _profilon_dask.passes import Pass, pinned_scheduler  # noqa: E402
from _profilon_dask.time_axis import GATHER_CAP, ROWS_PER_RANGE, TimeAxis  # noqa: E402


@pytest.fixture(autouse=True)
def sync():
    with dask.config.set(scheduler="sync"):
        yield


class _Holder:
    time_axis = None


def run(ddf, column, freq=None, scheduler=None, tables=None, **options):
    """The axis facts of `ddf` in passes of their own (two, or three for a
    long day-spaced axis), written to `tables` if given; and the group."""
    group = TimeAxis(ddf, column, freq, **options)
    first, second, third = (Pass(scheduler or pinned_scheduler(ddf)) for _ in range(3))
    group.add_first(first)
    holder = tables if tables is not None else _Holder()
    if group.gathers_column:
        # The column itself, in pass 1, which is then the last.
        group.fill(first.run(), holder)
        return holder.time_axis, group
    group.add_second(second, first.run())
    results = second.run()
    if group.add_third(third, results):
        results = third.run()
    group.fill(results, holder)
    return holder.time_axis, group


def time_axis(ddf, column, freq=None, scheduler=None, tables=None, **options):
    return run(ddf, column, freq, scheduler, tables, **options)[0]


def infer_alias(index):
    """pd.infer_freq as text, by the string form where pandas has one."""
    as_text = getattr(pd.tseries.frequencies, "infer_freq_str", None)
    found = pd.infer_freq(index) if as_text is None else as_text(index)
    return found if found is None or isinstance(found, str) else found.freqstr


def alias_of(facts, freq=None):
    """The frequency the time-axis step takes from the facts: the caller's,
    none of fewer than three stamps, else pandas' inference of the stamps
    the facts hand over or the kernel's of the gaps."""
    if freq or facts["n_rows"] < 3:
        return freq or None
    return facts["inferred_alias"] if facts["infer_from"] is None else infer_alias(facts["infer_from"])


def missing_share(first, last, frequency, periods):
    """The missing-timeline share as the analysis computes it from the
    axis' ends, frequency and distinct periods."""
    try:
        grid = max(1, len(pd.date_range(first, last, freq=frequency)))
        return 1.0 - periods / grid if frequency else 0.0
    except Exception:
        return 0.0


def expected(pdf, column, freq=None):
    """The in-memory analysis' calls, on the whole frame."""
    if column and column in pdf.columns:
        index = pdf.sort_values(column).set_index(column).index
    else:
        index = pdf.sort_index().index
    inferred = None if freq or len(index) < 3 else infer_alias(index)
    diffs = index.to_series().diff().dropna()
    # The share before the analysis reports 0.0 for a frequency pandas inferred.
    irregular = 0.0 if diffs.empty else float((diffs != diffs.mode().iloc[0]).mean())
    return {
        "missing_ts_share": missing_share(index.min(), index.max(), freq or inferred, len(index.unique())),
        "n_rows": len(index),
        "inferred_alias": inferred,
        "irregular_share": irregular,
        "gap_mode": None if diffs.empty else diffs.mode().iloc[0],
        "unique_periods": len(index.unique()),
        "min": index.min(),
        "max": index.max(),
    }


def check(facts, want, freq=None):
    for key, value in want.items():
        if key == "missing_ts_share":
            got = missing_share(facts["min"], facts["max"], alias_of(facts, freq), facts["unique_periods"])
        elif key == "inferred_alias":
            got = None if freq else alias_of(facts)
        else:
            got = facts[key]
        if key in ("min", "max"):
            assert (pd.isna(got) and pd.isna(value)) or (got == value and got.unit == value.unit), key
            assert getattr(got, "tz", None) == getattr(value, "tz", None)
        else:
            assert got == value, (key, got, value)


def stamps(kind, n=240, seed=3):
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2023-10-02")
    if kind in ("s", "min", "h", "15min", "D", "B", "MS", "QS-JAN", "QE", "W-WED", "bh", "YS"):
        n = 60 if kind in ("QS-JAN", "QE", "YS") else n
        return pd.Series(pd.date_range(start, periods=n, freq=kind))
    if kind == "irregular":
        return pd.Series(start + pd.to_timedelta(np.cumsum(rng.integers(1, 5, n)) * 60, unit="s"))
    if kind == "irregular-days":
        return pd.Series(start + pd.to_timedelta(np.cumsum(rng.integers(1, 3, n)), unit="D"))
    if kind == "tied-gaps":
        # As many 2-minute as 1-minute gaps: the mode is the smaller.
        steps = np.concatenate([[0], np.tile([2, 1], n // 2 - 1)])
        return pd.Series(start + pd.to_timedelta(np.cumsum(steps), unit="min"))
    if kind == "duplicates":
        return pd.Series(pd.date_range(start, periods=n // 3, freq="h").repeat(3))
    if kind == "NaT":
        values = pd.Series(pd.date_range(start, periods=n, freq="min"))
        values[rng.random(n) < 0.1] = pd.NaT
        return values
    if kind == "all-NaT":
        return pd.Series(pd.NaT, index=range(5), dtype="datetime64[ns]")
    if kind == "hourly-DST":
        return pd.Series(pd.date_range("2024-11-02", periods=n, freq="h", tz="US/Eastern"))
    if kind == "daily-DST":
        return pd.Series(pd.date_range("2024-10-01", periods=n, freq="D", tz="Europe/Berlin"))
    if kind == "tz-irregular":
        return stamps("irregular", n, seed).dt.tz_localize("Asia/Kolkata")
    if kind == "seconds-unit":
        return pd.Series(pd.date_range(start, periods=n, freq="5min")).astype("datetime64[s]")
    if kind == "two":
        return pd.Series(pd.to_datetime(["2024-01-02", "2024-01-01"]))
    raise AssertionError(kind)


KINDS = [
    "s",
    "min",
    "h",
    "15min",
    "bh",
    "D",
    "B",
    "W-WED",
    "MS",
    "QS-JAN",
    "QE",
    "YS",
    "irregular",
    "irregular-days",
    "tied-gaps",
    "duplicates",
    "NaT",
    "all-NaT",
    "hourly-DST",
    "daily-DST",
    "tz-irregular",
    "seconds-unit",
    "two",
]


def shuffled(kind):
    values = stamps(kind)
    order = np.random.default_rng(11).permutation(len(values))
    return pd.DataFrame(
        {
            "t": values.to_numpy()[order] if values.dt.tz is None else values.iloc[order].array,
            "x": np.arange(len(values)),
        }
    )


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n_parts", [1, 3, 7, 20])
@pytest.mark.parametrize(("gather_cap", "rows_per_range"), [(0, 37), (GATHER_CAP, 37), (0, ROWS_PER_RANGE)])
def test_column_axis_matches_pandas(kind, n_parts, gather_cap, rows_per_range):
    # Unsorted partitions, one or several value ranges; gather_cap 0 forces
    # the distributed inference of the frequency.
    pdf = shuffled(kind)
    ddf = dd.from_pandas(pdf, npartitions=n_parts, sort=False)
    facts = time_axis(ddf, "t", rows_per_range=rows_per_range, gather_cap=gather_cap)
    assert facts["axis"] == "column"
    check(facts, expected(ddf.compute(), "t"))


@pytest.mark.parametrize("kind", ["h", "B", "irregular", "duplicates", "NaT", "hourly-DST"])
@pytest.mark.parametrize("gather_cap", [0, 10_000])
def test_index_axis_and_empty_partitions(kind, gather_cap, counted_frame, split):
    pdf = shuffled(kind).set_index("t")
    pieces = split(pdf, 5)
    pieces = [pieces[0].iloc[:0], *pieces[:2], pieces[0].iloc[:0], *pieces[2:], pdf.iloc[:0]]
    ddf = counted_frame(pieces, key="time-index")
    facts = time_axis(ddf, "absent", rows_per_range=50, gather_cap=gather_cap)
    assert facts["axis"] == "index"
    check(facts, expected(ddf.compute(), "absent"))


@pytest.mark.parametrize(
    ("kind", "gather_cap", "reads"),
    [("min", 0, 2), ("irregular", 0, 2), ("D", 10_000, 2), ("D", 0, 3), ("MS", 0, 3), ("duplicates", 0, 2)],
)
def test_passes(kind, gather_cap, reads, partition_reads, counted_frame, split):
    # Two reads of each partition; a third only where pandas must see every
    # stamp of a day-spaced axis that was too long to gather in pass 2.
    ddf = counted_frame(split(shuffled(kind), 4), key="time-passes")
    facts = time_axis(ddf, "t", rows_per_range=40, gather_cap=gather_cap)
    assert partition_reads == {i: reads for i in range(4)}
    check(facts, expected(ddf.compute(), "t"))


@pytest.mark.parametrize(("kind", "gather_cap"), [("irregular", 0), ("D", 0), ("D", 10_000)])
def test_shares_the_passes_of_other_figures(kind, gather_cap, partition_reads, counted_frame, split):
    pdf = shuffled(kind).assign(g=lambda d: (d["x"] % 3).astype(str), y=lambda d: d["x"] * 0.5)
    ddf = counted_frame(split(pdf, 3), key="time-shared")
    axis = TimeAxis(ddf, "t", rows_per_range=40, gather_cap=gather_cap)
    ratios = CorrelationRatios(ddf, ["y"], ["g"])
    scheduler = pinned_scheduler(ddf)
    first, second, third = (Pass(scheduler) for _ in range(3))
    axis.add_first(first)
    ratios.add_first(first)
    results = first.run()
    axis.add_second(second, results)
    ratios.add_second(second, results)
    results = second.run()
    axis.add_third(third, results)
    ratios.add_third(third, results)
    results = third.run()
    tables = scan(pdf.pipe(dd.from_pandas, npartitions=1))
    axis.fill(results, tables)
    ratios.fill(results, tables)
    assert partition_reads == {0: 3, 1: 3, 2: 3}
    check(tables.time_axis, expected(pdf, "t"))
    assert tables.cat_corr_ratio["y"]["g"] is not None


@pytest.mark.parametrize("kind", ["h", "irregular", "duplicates", "NaT"])
@pytest.mark.parametrize("freq", ["h", "D"])
def test_caller_frequency_keeps_the_gap_count(kind, freq):
    ddf = dd.from_pandas(shuffled(kind), npartitions=3, sort=False)
    facts = time_axis(ddf, "t", freq=freq, rows_per_range=30, gather_cap=0)
    assert facts["inferred_alias"] is None
    check(facts, expected(ddf.compute(), "t", freq), freq)


@pytest.mark.parametrize(("n", "n_parts"), [(0, 1), (0, 3), (1, 2), (2, 2)])
def test_short_axes(n, n_parts):
    pdf = pd.DataFrame({"t": pd.date_range("2024-01-01", periods=n, freq="D")[::-1], "x": range(n)})
    facts = time_axis(dd.from_pandas(pdf, npartitions=n_parts, sort=False), "t", gather_cap=0)
    check(facts, expected(pdf, "t"))
    assert facts["n_gaps"] == max(n - 1, 0)


def report_or_error(frame, **kwargs):
    try:
        return profilon.EDA().eda_report_and_score(frame, **kwargs).time_series
    except Exception as error:
        return type(error)


# The analysis lays the caller's grid (or the inferred one) from the axis'
# min to its max: across DST changes, in two units, naive and zoned; no
# grid, an empty or a refused one give no share.
@pytest.mark.parametrize("freq", ["7min", "h", "90s", "D", "2D", "B", "bh", "MS", "W-WED", "-1h", "nonsense", "", None])
@pytest.mark.parametrize(("tz", "unit"), [(None, "ns"), ("America/New_York", "s"), ("Australia/Lord_Howe", "us")])
def test_the_missing_share_is_pandas(freq, tz, unit):
    start, end = pd.Timestamp("2024-03-09 22:00-05:00"), pd.Timestamp("2024-11-04 03:30:07-05:00")
    inner = start + (end - start) * np.random.default_rng(len(freq or "")).random(60)
    index = pd.DatetimeIndex([end, *inner, start]).as_unit(unit).floor("s")
    index = index.tz_convert(tz) if tz else index.tz_localize(None)
    pdf = pd.DataFrame({"t": index, "v": np.arange(len(index), dtype=float)})
    want = report_or_error(pdf, target="v", datetime_col="t", freq=freq)
    got = report_or_error(dd.from_pandas(pdf, npartitions=3, sort=False), target="v", datetime_col="t", freq=freq)
    if isinstance(want, type):
        assert got is want
        return
    assert got["missing_ts_share"] == want["missing_ts_share"]
    assert got["unique_periods"] == want["unique_periods"] == len(index)
    if freq in ("7min", "h", "D"):
        assert 0.0 < want["missing_ts_share"] < 1.0


@pytest.mark.parametrize(("datetime_col", "axis"), [("t", "column"), ("u", "index"), (None, "index"), (0, "index")])
def test_a_named_column_comes_before_the_index(datetime_col, axis):
    pdf = shuffled("h").assign(u=lambda d: d["t"]).set_index("u").assign(t=shuffled("irregular")["t"].to_numpy())
    ddf = dd.from_pandas(pdf, npartitions=3, sort=False)
    facts = time_axis(ddf, datetime_col, gather_cap=0, rows_per_range=50)
    assert facts["axis"] == axis
    check(facts, expected(pdf, datetime_col))


def test_no_axis_and_gathered_dtypes():
    pdf = pd.DataFrame({"t": [3, 1, 2], "x": [1.0, 2.0, 3.0], "s": ["a", "b", "c"], "u": np.array([1, 2, 3], "uint64")})
    ddf = dd.from_pandas(pdf, npartitions=2)
    assert time_axis(ddf, None) == {"axis": None}
    assert time_axis(ddf, "missing") == {"axis": None}
    # Integers are an axis of the kernel (their facts are checked with the
    # reports); numbers an int64 cannot hold, floats and texts are gathered
    # as the rows Dask computes hold them.
    assert TimeAxis(ddf, "t").axis == "column" and not TimeAxis(ddf, "t").gathers_column
    for column in ("x", "s", "u"):
        facts = time_axis(ddf, column)
        assert list(facts) == ["axis", "gathered"] and facts["axis"] == "column"
        pd.testing.assert_frame_equal(facts["gathered"], ddf.compute()[[column]])


def test_on_a_local_cluster(client):  # noqa: F811 (the fixture imported above)
    pdf = shuffled("hourly-DST")
    ddf = dd.from_pandas(pdf, npartitions=4, sort=False)
    facts = time_axis(ddf, "t", scheduler=client.get, rows_per_range=50, gather_cap=0)
    check(facts, expected(pdf, "t"))
    # A day-spaced axis takes the third pass, into the Tables of pass 1.
    daily = dd.from_pandas(shuffled("D"), npartitions=3, sort=False)
    tables = scan(daily, scheduler=client.get)
    time_axis(daily, "t", scheduler=client.get, tables=tables, gather_cap=0)
    check(tables.time_axis, expected(daily.compute(), "t"))
