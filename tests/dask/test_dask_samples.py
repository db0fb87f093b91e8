"""The samples of a Dask analysis (`_profilon_dask.samples`): the
mutual-information rows, the correlation rows and each target's most recent
points, against the in-memory draw and order on `ddf.compute()`.

The settings are made small through the environment, so that frames of a
few dozen rows lie on both sides of each sample size.
"""

from collections import Counter

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")


from lone_passes import sample_pass, scan  # noqa: E402

import profilon  # noqa: E402
from _profilon_dask.passes import Pass, pinned_scheduler  # noqa: E402
from _profilon_dask.samples import (  # noqa: E402
    add_corr_sample,
    add_mi_sample,
    add_rows,
    add_ts_series,
    corr_positions,
    mi_positions,
)

LAYOUTS = {
    "1": [1.0],
    "3": [0.2, 0.5, 0.3],
    "7": [0.1, 0.2, 0.05, 0.15, 0.2, 0.2, 0.1],
    "empties": [0.0, 0.4, 0.0, 0.0, 0.6, 0.0],
}


def wide_frame(n, seed=3):
    """Numbers of several kinds, text and a category, under a scrambled
    integer index (the sample must keep the rows' own labels)."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    x[rng.random(n) < 0.1] = np.nan
    return pd.DataFrame(
        {
            "x": x,
            "k": rng.integers(-5, 5, n),
            "k_na": pd.array([None if v % 9 == 4 else int(v) for v in rng.integers(0, 50, n)], dtype="Int64"),
            "flag": rng.random(n) < 0.5,
            "text": np.array([f"w{v}" for v in rng.integers(0, 4, n)], dtype=object),
            "cat": pd.Categorical(rng.choice(["p", "q", "r"], n)),
            "y": rng.normal(size=n),
            "y_bool": rng.random(n) < 0.3,
            "y_text": np.array(["a"] * n, dtype=object),
        },
        index=pd.Index(rng.permutation(n) * 3 + 11, name="row"),
    )


# ---------------------------------------------------------------------------
# The draws
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("n", [0, 1, 7999, 8000, 8001, 12345, 100003, 2_000_003])
def test_mi_positions_are_the_in_memory_draw(n):
    expected = pd.Series(np.arange(n)).sample(8000, random_state=0).to_numpy() if n > 8000 else np.arange(n)
    got = mi_positions(n)
    # Not a view of the n-row permutation the draw shuffles.
    assert got.dtype == np.int64 and got.base is None
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("n, rows", [(0, 5), (5, 5), (6, 5), (10_000, 10), (20_000, 9_000), (600_000, 1000)])
def test_corr_positions_are_the_documented_draw_in_frame_order(n, rows):
    got = corr_positions(n, rows)
    drawn = np.random.default_rng(0).choice(n, size=rows, replace=False, shuffle=False) if n > rows else np.arange(n)
    assert got.dtype == np.int64
    np.testing.assert_array_equal(got, np.sort(drawn))


@pytest.mark.parametrize(
    "targets, expected",
    [
        (["y"], ["x", "k", "k_na", "y"]),
        (["y", "y_bool", "y_text"], ["x", "k", "k_na", "y", "y_bool"]),
        (["y_text"], []),
        (["x", "k", "k_na", "y"], []),
        ([], []),
    ],
)
def test_mi_sample_holds_the_numeric_features_then_the_numeric_targets(sync, monkeypatch, targets, expected):
    # Booleans are no features (select_dtypes) but are numeric targets; the
    # extension names both in the request it hands the driver.
    import _profilon_dask

    analyse, found = _profilon_dask.analyse, []
    monkeypatch.setattr(_profilon_dask, "analyse", lambda *args: found.append(analyse(*args)) or found[-1])
    profilon.EDA().eda_report_and_score(dd.from_pandas(wide_frame(40), npartitions=2), target=targets or None)
    sample = found[0].mi_sample
    assert (None if sample is None else list(sample.columns)) == (expected or None)


# ---------------------------------------------------------------------------
# Rows by position
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("convert_string", [True, False], ids=["convert-string", "object-text"])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_rows_by_position_equal_iloc_of_the_computed_frame(sync, layout, convert_string, scanned, pieces_of):
    pdf = wide_frame(60)
    rng = np.random.default_rng(5)
    positions = np.concatenate([rng.permutation(60)[:25], [0, 59, 7, 7]])
    columns = ["text", "y", "cat", "k_na", "x"]
    with dask.config.set({"dataframe.convert-string": convert_string}):
        ddf = dd.from_map(lambda piece: piece, pieces_of(pdf, layout), meta=pdf.iloc[:0], enforce_metadata=False)
        tables = scanned(ddf)
        p = Pass(pinned_scheduler(ddf))
        at = add_rows(p, ddf, tables, positions, columns)
        got = p.run()[at]
        computed = ddf.compute()
    pdt.assert_frame_equal(got, computed.iloc[positions][columns])


@pytest.mark.parametrize(
    "pieces",
    [
        # int64 in one partition, float64 in another: the whole frame's
        # column is float64 even where the sample holds only integers.
        [pd.DataFrame({"a": [1, 2, 3]}), pd.DataFrame({"a": [0.5, 1.5]})],
        # Categories differ by partition: the whole frame's are their union.
        [
            pd.DataFrame({"a": pd.Categorical(["u", "v"])}),
            pd.DataFrame({"a": pd.Categorical(["w"])}),
            pd.DataFrame({"a": pd.Categorical(["v", "z"])}),
        ],
    ],
    ids=["int-and-float", "categories"],
)
@pytest.mark.parametrize("positions", [[0], [1, 0], []], ids=["first", "two", "none"])
def test_rows_keep_the_dtypes_of_all_partitions(sync, pieces, positions, counted_frame, scanned):
    ddf = counted_frame(pieces, meta=pieces[0].iloc[:0])
    tables = scanned(ddf)
    p = Pass(dask.get)
    at = add_rows(p, ddf, tables, np.array(positions, dtype=np.int64), ["a"])
    pdt.assert_frame_equal(p.run()[at], ddf.compute().iloc[positions][["a"]])


@pytest.mark.parametrize("kind", ["mi", "corr", "ts"])
def test_a_frame_that_changed_since_the_first_pass_is_refused(
    sync, kind, monkeypatch, partition_pieces, counted_frame, scanned
):
    monkeypatch.setenv("PROFILON_DASK_CORR_ROWS", "2")
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", "2")
    piece = pd.DataFrame({"t": pd.date_range("2024", periods=3), "x": [1.0, 2.0, 3.0], "y": [1.0, 0.0, 1.0]})
    ddf = counted_frame([piece, piece], key="changing")
    tables = scanned(ddf)
    partition_pieces["changing"][1] = pd.concat([piece, piece])
    add, args = {
        "mi": (add_mi_sample, (["x", "y"],)),
        "corr": (add_corr_sample, (["x"],)),
        "ts": (add_ts_series, (["y"], "t")),
    }[kind]
    with pytest.raises(ValueError, match="partition 1 of the Dask DataFrame has 6 rows, but the first pass counted 3"):
        sample_pass(add, ddf, tables, *args)
    other = counted_frame([piece] * 3, key="other")
    with pytest.raises(ValueError, match="has 3 partitions, but the first pass counted 2"):
        sample_pass(add, other, tables, *args)


# ---------------------------------------------------------------------------
# The mutual-information and correlation samples
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("n", [40, 8000, 9001])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_mi_sample_is_the_in_memory_sample(
    sync, layout, n, partition_reads, count_executions, frame_of, scanned, pieces_of
):
    pdf = wide_frame(n)
    ddf = frame_of(pdf, layout)
    tables = scanned(ddf)
    features = ["x", "k", "k_na"]
    with count_executions() as executions:
        sample_pass(add_mi_sample, ddf, tables, [*features, "y", "y_bool"])
    assert executions.count == 1
    # Each partition with rows read once (none are left out at these sizes).
    assert partition_reads == {i: 1 for i, piece in enumerate(pieces_of(pdf, layout)) if len(piece)}
    computed = ddf.compute()
    # As relationships.cpp takes them: positions when there are more rows
    # than the sample, else every row in order.
    rows = pd.Series(np.arange(n)).sample(8000, random_state=0).to_numpy() if n > 8000 else slice(None)
    pdt.assert_frame_equal(tables.mi_sample[features], computed.iloc[rows, [0, 1, 2]])
    for target in ["y", "y_bool"]:
        y = computed[target]
        pdt.assert_series_equal(tables.mi_sample[target], y.take(rows) if n > 8000 else y)
    assert list(tables.mi_sample.columns) == [*features, "y", "y_bool"]
    assert tables.sample_notes == {"mutual_information": {"rows_used": min(n, 8000), "rows_total": n}}


@pytest.mark.parametrize("n", [0, 9, 10, 11, 57])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_corr_sample(sync, monkeypatch, layout, n, partition_reads, count_executions, frame_of, scanned):
    monkeypatch.setenv("PROFILON_DASK_CORR_ROWS", "10")
    pdf = wide_frame(n)
    ddf = frame_of(pdf, layout)
    tables = scanned(ddf)
    columns = ["x", "k", "k_na", "y"]
    with count_executions() as executions:
        sample_pass(add_corr_sample, ddf, tables, columns)
    assert executions.count == 1
    assert all(count == 1 for count in partition_reads.values())
    computed = ddf.compute()
    sample = tables.corr_sample
    if n <= 10:
        pdt.assert_frame_equal(sample, computed[columns])
    else:
        positions = computed.index.get_indexer(sample.index)
        assert len(sample) == 10 and np.all(np.diff(positions) > 0)
        pdt.assert_frame_equal(sample, computed.iloc[positions][columns])
        np.testing.assert_array_equal(positions, corr_positions(n, 10))
    assert tables.sample_notes == {"correlation": {"rows_used": min(n, 10), "rows_total": n}}


# ---------------------------------------------------------------------------
# The time-series sample
# ---------------------------------------------------------------------------


def ts_frame(n, order, seed=11, ties=True):
    """Times with many ties and some missing, a target whose values name
    their rows (some missing), and a text target to be coerced."""
    rng = np.random.default_rng(seed)
    steps = rng.integers(0, max(n // 4, 1), n) if ties else rng.permutation(n)
    t = pd.Series(pd.Timestamp("2024-03-01") + pd.to_timedelta(steps, unit="h"))
    t[rng.random(n) < 0.1] = pd.NaT
    y = np.arange(n, dtype=float)
    y[rng.random(n) < 0.15] = np.nan
    text = np.array([[str(i), "junk", None, f"{i}.5"][i % 4] for i in range(n)], dtype=object)
    pdf = pd.DataFrame({"t": t, "y": y, "y_text": text, "other": rng.normal(size=n)})
    if order != "unsorted":
        pdf = pdf.sort_values("t", kind="mergesort", ascending=order == "sorted", na_position="first")
    pdf.index = pd.RangeIndex(n) * 2
    return pdf


def in_memory_series(computed, time_col, target):
    """time_axis.cpp and lags.cpp: sort by the axis, coerce, drop missing."""
    ts_df = computed.sort_index() if time_col is None else computed.sort_values(time_col).set_index(time_col)
    return pd.to_numeric(ts_df[target], errors="coerce").dropna()


def stable_tail(computed, target, points):
    """The `points` most recent points as decided: by time, equal times by
    frame position, missing times after all (a stable sort placing the later
    rows last)."""
    frame = pd.DataFrame(
        {
            "t": computed["t"].to_numpy(),
            "pos": np.arange(len(computed)),
            "v": pd.to_numeric(computed[target], errors="coerce").to_numpy(),
        }
    )
    frame = frame.sort_values(["t", "pos"], kind="mergesort", na_position="last").dropna(subset=["v"])
    return frame.tail(points)


def pairs(times, values):
    return Counter(zip(pd.DatetimeIndex(times).asi8.tolist(), np.asarray(values, dtype=float).tolist(), strict=True))


@pytest.mark.parametrize("points", [1, 5, 20, 50, 80])
@pytest.mark.parametrize("order", ["unsorted", "sorted", "reversed"])
@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
def test_ts_series(sync, monkeypatch, layout, order, points, partition_reads, count_executions, frame_of, scanned):
    # 80 rows: far past the sizes pandas' quicksort sorts by insertion, so
    # with every row kept the order of equal times is its own.
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", str(points))
    pdf = ts_frame(80, order)
    ddf = frame_of(pdf, layout)
    tables = scanned(ddf)
    with count_executions() as executions:
        sample_pass(add_ts_series, ddf, tables, ["y", "y_text", "t"], "t")
    assert executions.count == 1
    assert all(count == 1 for count in partition_reads.values())
    computed = ddf.compute()
    for target in ["y", "y_text"]:
        got = tables.ts_series[target]
        whole = in_memory_series(computed, "t", target)
        assert tables.sample_notes["time_series"][target] == {
            "rows_used": min(points, len(whole)),
            "rows_total": len(whole),
        }
        if points >= len(pdf):
            pdt.assert_series_equal(got, whole)
            continue
        # In time order, missing times last, the in-memory tail's times.
        pdt.assert_index_equal(got.index, whole.index[-points:])
        assert got.dtype == whole.dtype
        # The rows: those the documented rule picks at a cut through ties.
        tail = stable_tail(computed, target, points)
        assert pairs(got.index, got.to_numpy()) == pairs(tail["t"], tail["v"])
    # The time column as a target: the in-memory diagnostics skip it.
    assert tables.ts_series["t"] is None and "t" not in tables.sample_notes["time_series"]


@pytest.mark.parametrize(
    "times, values, points, expected_times, expected_values",
    [
        # Equal times at the cut: the later rows in the frame are kept.
        ([5, 3, 3, 3, 1], [0, 1, 2, 3, 4], 3, [3, 3, 5], [2, 3, 0]),
        ([3, 3, 3, 3], [0, 1, 2, 3], 2, [3, 3], [2, 3]),
        # Rows without a time come last in memory: the most recent of all.
        ([None, 5, None, 1, 3], [0, 1, 2, 3, 4], 3, [5, None, None], [1, 0, 2]),
        ([None, 5, None, 1], [0, 1, 2, 3], 1, [None], [2]),
        # Missing values do not count as points.
        ([1, 2, 3, 4, 5], [0, 1, None, None, None], 2, [1, 2], [0, 1]),
    ],
)
@pytest.mark.parametrize("layout", [[1.0], [0.4, 0.0, 0.6], [0.2] * 5], ids=["1", "2+empty", "5"])
def test_ts_series_at_the_cut(
    sync, monkeypatch, layout, times, values, points, expected_times, expected_values, frame_of, scanned
):
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", str(points))
    day = pd.Timestamp("2024-01-01")
    stamp = [pd.NaT if t is None else day + pd.Timedelta(days=t) for t in times]
    pdf = pd.DataFrame({"t": pd.Series(stamp, dtype="datetime64[ns]"), "y": pd.array(values, dtype="Float64")})
    tables = scanned(ddf := frame_of(pdf, layout))
    sample_pass(add_ts_series, ddf, tables, ["y"], "t")
    index = pd.DatetimeIndex(
        [pd.NaT if t is None else day + pd.Timedelta(days=t) for t in expected_times], dtype="datetime64[ns]", name="t"
    )
    expected = pd.Series(pd.array(expected_values, dtype="Float64"), index=index, name="y")
    pdt.assert_series_equal(tables.ts_series["y"], expected)


def _nanosecond_frame(order):
    # Stamps one nanosecond apart near 2024 (about 1.7e18 ns, far above
    # 2**53): as float64 they would all be one time.
    stamps = pd.Timestamp("2024-06-01").value + np.arange(40)
    pdf = pd.DataFrame({"t": pd.to_datetime(stamps, unit="ns"), "y": np.arange(40.0)})
    return pdf.iloc[::-1] if order == "reversed" else pdf


@pytest.mark.parametrize(
    "pdf, time_col",
    [
        (_nanosecond_frame("reversed"), "t"),
        (_nanosecond_frame("sorted"), "t"),
        (_nanosecond_frame("reversed").assign(t=lambda f: f.t.dt.tz_localize("Europe/Paris")), "t"),
        (_nanosecond_frame("reversed").assign(t=lambda f: f.t.astype("int64")), "t"),
        (_nanosecond_frame("reversed").set_index("t"), None),
        (_nanosecond_frame("reversed").assign(t=lambda f: f.t.astype("timestamp[ns, tz=UTC][pyarrow]")), "t"),
        (_nanosecond_frame("reversed").assign(t=lambda f: f.t.dt.to_period("ns")), "t"),
        # Ordered as sort_values orders them: ranks that only the rows joined together share.
        (_nanosecond_frame("reversed").assign(t=lambda f: f.y.map("t{:03.0f}".format)), "t"),
        (_nanosecond_frame("reversed").assign(t=lambda f: pd.Categorical(f.y.map("t{:03.0f}".format))), "t"),
    ],
    ids=[
        "ns-reversed",
        "ns-sorted",
        "tz-aware",
        "int64-time",
        "datetime-index",
        "arrow-stamps",
        "periods",
        "text",
        "category",
    ],
)
@pytest.mark.parametrize("points", [3, 40])
def test_ts_series_orders_by_exact_time(sync, monkeypatch, pdf, time_col, points, frame_of, scanned):
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", str(points))
    ddf = frame_of(pdf, LAYOUTS["3"])
    tables = scanned(ddf)
    sample_pass(add_ts_series, ddf, tables, ["y"], time_col)
    expected = in_memory_series(ddf.compute(), time_col, "y")
    # No equal times: the tail of the in-memory series exactly.
    pdt.assert_series_equal(tables.ts_series["y"], expected.iloc[-points:])
    assert tables.ts_series["y"].tolist() == list(range(40 - points, 40))


# ---------------------------------------------------------------------------
# On a cluster
# ---------------------------------------------------------------------------


def test_the_samples_on_a_cluster(monkeypatch, partition_reads, local_cluster, frame_of):
    monkeypatch.setenv("PROFILON_DASK_CORR_ROWS", "30")
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", "25")
    pdf = wide_frame(9100).assign(t=ts_frame(9100, "unsorted")["t"].to_numpy())
    ddf = frame_of(pdf, LAYOUTS["7"])
    cluster = local_cluster(2)
    client = distributed.Client(cluster, set_as_default=False)
    try:
        tables = scan(ddf, scheduler=client.get)
        for add, args in [
            (add_mi_sample, (["x", "k", "k_na", "y"],)),
            (add_corr_sample, (["x", "k"],)),
            (add_ts_series, (["y"], "t")),
        ]:
            partition_reads.clear()
            sample_pass(add, ddf, tables, *args, scheduler=client.get)
            assert partition_reads == {i: 1 for i in range(7)}
    finally:
        client.close()
        cluster.close()
    computed = pdf
    mi_rows = pd.Series(np.arange(9100)).sample(8000, random_state=0).to_numpy()
    pdt.assert_frame_equal(tables.mi_sample, computed.iloc[mi_rows][["x", "k", "k_na", "y"]])
    pdt.assert_frame_equal(tables.corr_sample, computed.iloc[corr_positions(9100, 30)][["x", "k"]])
    got = tables.ts_series["y"]
    pdt.assert_index_equal(got.index, in_memory_series(computed, "t", "y").index[-25:])
    tail = stable_tail(computed, "y", 25)
    assert pairs(got.index, got.to_numpy()) == pairs(tail["t"], tail["v"])


@pytest.mark.parametrize(
    "local, length",
    [([], 0), ([], 10), ([0], 1), ([3, 9], 10), (list(range(0, 1000, 3)), 1000), ([5], 10**6)],
    ids=["empty-partition", "none", "one", "sparse", "dense", "one-of-a-million"],
)
def test_positions_travel_packed_and_come_back(kernels, local, length):
    local = np.asarray(local, dtype=np.int64)
    (packed,), inverse, counts = kernels.rows_plan(local, [0], [length])
    assert inverse is None and counts.tolist() == [len(local)]
    assert packed[1].nbytes <= max(len(local) * 4, (length + 7) // 8)
    assert np.array_equal(kernels.rows_unpack(packed), local)
