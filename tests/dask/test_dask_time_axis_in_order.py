"""The time axis of a frame stored in time order, reduced partition by
partition, side by side with the road that routes its stamps to value
ranges and sorts them."""

import importlib

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

from test_dask_time_axis import KINDS, check, expected, stamps  # noqa: E402
from test_dask_time_axis import run as run_axis  # noqa: E402

module = importlib.import_module("_profilon_dask.time_axis")
from _profilon_dask.time_axis import GATHER_CAP, ROWS_PER_RANGE  # noqa: E402


@pytest.fixture(autouse=True)
def sync():
    with dask.config.set(scheduler="sync"):
        yield


def run(ddf, column, scheduler=None, **options):
    """The axis facts and whether pass 2 took the in-order road."""
    facts, group = run_axis(ddf, column, scheduler=scheduler, **options)
    return facts, group.in_order


def same(fast, routed):
    assert fast.keys() == routed.keys()
    for key, value in routed.items():
        got = fast[key]
        assert type(got) is type(value), key
        if value is pd.NaT:
            continue
        if isinstance(value, pd.Index):
            pd.testing.assert_index_equal(got, value, exact=True)
            continue
        assert got == value, (key, got, value)
        if isinstance(value, (pd.Timestamp, pd.Timedelta)):
            assert got.unit == value.unit, key
            assert getattr(got, "tz", None) == getattr(value, "tz", None), key


def side_by_side(ddf, column, scheduler=None, **options):
    fast, in_order = run(ddf, column, scheduler, **options)
    routed, routed_in_order = run(ddf, column, scheduler, in_order_road=False, **options)
    assert routed_in_order is False
    same(fast, routed)
    check(fast, expected(ddf.compute(), column))
    return in_order


def ordered(kind):
    values = stamps(kind)
    valid = values.dropna()
    if not valid.is_monotonic_increasing:
        values = values.sort_values(ignore_index=True)
    return pd.DataFrame({"t": values, "x": np.arange(len(values))})


ROADS = [(0, 37), (GATHER_CAP, 37), (0, ROWS_PER_RANGE)]


@pytest.mark.parametrize("kind", [*KINDS, "spring-DST", "fall-DST-minutes"])
@pytest.mark.parametrize("n_parts", [1, 3, 7])
@pytest.mark.parametrize(("gather_cap", "rows_per_range"), ROADS)
def test_ordered_column_axis(kind, n_parts, gather_cap, rows_per_range):
    pdf = ordered(kind) if kind in KINDS else pd.DataFrame({"t": extra(kind)}).assign(x=1)
    ddf = dd.from_pandas(pdf, npartitions=n_parts, sort=False)
    assert side_by_side(ddf, "t", gather_cap=gather_cap, rows_per_range=rows_per_range)


def extra(kind):
    if kind == "spring-DST":
        return pd.Series(pd.date_range("2024-03-09", periods=90, freq="h", tz="US/Eastern"))
    # Minutes apart across the fall-back hour, where the wall clock steps back.
    steps = np.random.default_rng(5).integers(1, 4, 200)
    return pd.Series(
        pd.Timestamp("2024-10-27 00:00", tz="UTC") + pd.to_timedelta(np.cumsum(steps), unit="min")
    ).dt.tz_convert("Europe/Berlin")


def pieces_of(kind, cuts):
    """The ordered axis of `kind` cut at the row positions `cuts`."""
    pdf = ordered(kind)
    bounds = [0, *cuts, len(pdf)]
    return [pdf.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]


@pytest.mark.parametrize(
    ("kind", "cuts"),
    [
        # Cuts inside runs of a repeated stamp, one next to an empty piece.
        ("duplicates", [1, 1, 40, 41, 100]),
        ("duplicates", [2, 5, 5, 8, 239]),
        # NaT at the ends of pieces, a piece of NaT only.
        ("NaT", [3, 60, 61, 200]),
        ("all-NaT", [2, 2]),
        ("hourly-DST", [25, 26, 27, 150]),
        ("seconds-unit", [0, 120]),
        ("two", [1]),
    ],
)
@pytest.mark.parametrize("gather_cap", [0, GATHER_CAP])
@pytest.mark.parametrize("on_index", [False, True])
def test_ordered_pieces_and_empty_partitions(kind, cuts, gather_cap, on_index, counted_frame):
    pieces = pieces_of(kind, cuts)
    if kind == "NaT":
        # NaT of the axis' own dtype (a bare NaT would make nanoseconds).
        nat_only = pieces[0].iloc[:2].assign(t=pd.Series(pd.NaT, index=pieces[0].index[:2], dtype=pieces[0]["t"].dtype))
        pieces = [pieces[0], nat_only, *pieces[1:]]
    pieces = [pieces[0].iloc[:0], *pieces, pieces[0].iloc[:0]]
    if on_index:
        pieces = [p.set_index("t") for p in pieces]
    ddf = counted_frame(pieces, key="in-order-pieces")
    assert side_by_side(ddf, None if on_index else "t", gather_cap=gather_cap, rows_per_range=50)


@pytest.mark.parametrize(
    ("kind", "layout"),
    [
        # In order within each piece, not across.
        ("min", [(100, 240), (0, 100)]),
        ("irregular", [(0, 80), (160, 240), (80, 160)]),
        # Pieces that overlap by one stamp, one of them past an empty piece.
        ("h", [(0, 120), (119, 119), (118, 240)]),
        ("hourly-DST", [(0, 30), (28, 240)]),
        # A piece that goes back to an earlier stamp after one that repeats
        # its predecessor's last (which alone would be in order).
        ("s", [(0, 100), (100, 200), (200, 240), (239, 240), (200, 201)]),
    ],
)
# Also with the first or the last piece shuffled inside.
@pytest.mark.parametrize("shuffled", [None, 0, -1])
def test_out_of_order_keeps_the_routed_road(kind, layout, shuffled, counted_frame):
    pdf = ordered(kind)
    pieces = [pdf.iloc[a:b] for a, b in layout]
    if shuffled is not None:
        pieces[shuffled] = pieces[shuffled].sample(frac=1.0, random_state=1)
    ddf = counted_frame(pieces, key="out-of-order")
    assert side_by_side(ddf, "t", gather_cap=0, rows_per_range=40) is False


@pytest.mark.parametrize(("kind", "gather_cap", "reads"), [("min", 0, 2), ("D", 10_000, 2), ("D", 0, 3), ("NaT", 0, 2)])
def test_passes_in_order(kind, gather_cap, reads, partition_reads, counted_frame, split):
    ddf = counted_frame(split(ordered(kind), 4), key="in-order-passes")
    facts, in_order = run(ddf, "t", rows_per_range=40, gather_cap=gather_cap)
    assert in_order is True
    assert partition_reads == {i: reads for i in range(4)}
    check(facts, expected(ddf.compute(), "t"))


def test_module_switch_turns_the_road_off(monkeypatch):
    ddf = dd.from_pandas(ordered("h"), npartitions=3, sort=False)
    monkeypatch.setattr(module, "IN_ORDER_ROAD", False)
    assert run(ddf, "t", gather_cap=0)[1] is False
    assert run(ddf, "t", gather_cap=0, in_order_road=True)[1] is True


@pytest.mark.parametrize("tz", [None, "US/Eastern", "Europe/Berlin", "Australia/Lord_Howe"])
@pytest.mark.parametrize("unit", ["ns", "s"])
@pytest.mark.parametrize("step", ["minutes", "hours", "days"])
def test_partition_reduction_is_the_range_reduction(tz, unit, step):
    # The summary and gap buckets of one partition, in place, against those
    # of the same stamps routed to a range: duplicates, NaT and DST changes
    # (Lord Howe moves by half an hour) included.
    rng = np.random.default_rng(len(step) + (7 if tz else 0))
    seconds = {"minutes": 60, "hours": 3600, "days": 86400}[step]
    steps = rng.choice([0, 1, 1, 1, 2, 5], size=3000) * seconds
    values = pd.Timestamp("2024-01-01", tz="UTC") + pd.to_timedelta(np.cumsum(steps), unit="s")
    values = pd.Series(values.as_unit(unit))
    values = values.dt.tz_convert(tz) if tz else values.dt.tz_localize(None)
    values = values.mask(rng.random(len(values)) < 0.05)
    part = pd.DataFrame({"t": values})
    dtype = part["t"].dtype
    valid = module._as_int64(part, "t", dtype)
    valid = valid[valid != module._NAT]
    fast_summary, fast_buckets = module._reduce_in_order(part, "t", dtype, None, 3, True)
    summary, buckets = module._reduce_range([valid], dtype, 3, True)
    assert fast_summary.keys() == summary.keys()
    for key, value in summary.items():
        np.testing.assert_array_equal(fast_summary[key], value, err_msg=key)
    for (keys, counts), (want_keys, want_counts) in zip(fast_buckets, buckets, strict=True):
        np.testing.assert_array_equal(keys, want_keys)
        np.testing.assert_array_equal(counts, want_counts)
    # Given a predecessor that ends on its first stamp, that stamp is no
    # longer distinct; a predecessor past it means the data changed.
    repeated, _ = module._reduce_in_order(part, "t", dtype, int(valid[0]), 3, False)
    assert repeated["distinct"] == summary["distinct"] - 1
    with pytest.raises(RuntimeError, match="changed"):
        module._reduce_in_order(part, "t", dtype, int(valid[0]) + 1, 3, False)


@pytest.mark.parametrize(("kind", "gather_cap"), [("hourly-DST", 0), ("duplicates", 0), ("D", 0), ("NaT", GATHER_CAP)])
def test_on_a_local_cluster(client, kind, gather_cap, counted_frame):  # noqa: F811 (the fixture imported above)
    ddf = counted_frame(pieces_of(kind, [0, 50, 50, 121]), key="in-order-cluster")
    assert side_by_side(ddf, "t", client.get, gather_cap=gather_cap, rows_per_range=40)
