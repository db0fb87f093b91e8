"""The time-series sample narrowed by pass 1's summary (`add_ts_summary`),
side by side with the sample taken without it (every partition sorting all
its rows with a value), on frames small enough to cut at every size."""

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

dask = pytest.importorskip("dask")

from lone_passes import sample_pass  # noqa: E402
from test_dask_samples import LAYOUTS, ts_frame  # noqa: E402

import _profilon_dask as driver  # noqa: E402
from _profilon_dask import samples  # noqa: E402
from _profilon_dask.passes import Pass  # noqa: E402
from _profilon_dask.samples import add_ts_series  # noqa: E402


def assert_both_roads_agree(ddf, targets, time_col, monkeypatch, scanned):
    """Returns the rows handed to the recent-points kernel without and with
    the summary (a partition's rows with a value, a join's candidates)."""
    sorted_rows = []
    plain = samples.kernels.recent_rows

    def counted(key, missing, valid, *rest):
        sorted_rows.append(len(key) if valid is None else int(np.count_nonzero(valid)))
        return plain(key, missing, valid, *rest)

    monkeypatch.setattr(samples.kernels, "recent_rows", counted)
    first = Pass(dask.get)
    at = samples.add_ts_summary(first, ddf, targets, time_col)
    roads = []
    for summary in (None, first.run()[at]):
        tables = scanned(ddf)
        sorted_rows.clear()
        sample_pass(add_ts_series, ddf, tables, targets, time_col, summary=summary)
        roads.append((tables.ts_series, tables.sample_notes["time_series"], sum(sorted_rows)))
    (today, today_notes, today_sorted), (narrowed, notes, narrowed_sorted) = roads
    for target in targets:
        # The index's frequency and type too: which rows travel together must not show.
        pdt.assert_series_equal(narrowed[target], today[target], check_index_type=True, check_freq=True)
    assert notes == today_notes
    return today_sorted, narrowed_sorted


def _arrow_float_time(pdf):
    pa = pytest.importorskip("pyarrow")
    seconds = (pdf.t - pd.Timestamp("2024")).dt.total_seconds().to_numpy()
    # Arrow holds NaN apart from its missing cells: a time that sorts after
    # every number, before the missing times.
    values = np.where(np.arange(len(pdf)) % 7 == 3, np.nan, seconds)
    return pdf.assign(t=pd.arrays.ArrowExtensionArray(pa.array(values, mask=np.isnan(seconds))))


AXES = {
    "column": lambda pdf: pdf,
    "datetime-index": lambda pdf: pdf.set_index("t"),
    # An index with a frequency: the summary steps aside.
    "index-with-frequency": lambda pdf: pdf.set_index(pd.date_range("2024", periods=len(pdf), freq="h")).drop(
        columns="t"
    ),
    "tz-aware": lambda pdf: pdf.assign(t=pdf.t.dt.tz_localize("Europe/Paris")),
    "int64-time": lambda pdf: pdf.assign(t=pdf.t.astype("int64").where(pdf.t.notna(), -5)),
    "arrow-float-with-nan": _arrow_float_time,
    "arrow-stamps": lambda pdf: pdf.assign(t=pdf.t.astype("timestamp[ms, tz=UTC][pyarrow]")),
    "arrow-dates": lambda pdf: pdf.assign(t=pdf.t.dt.floor("D").astype("date32[pyarrow]")),
    "periods": lambda pdf: pdf.assign(t=pdf.t.dt.to_period("h")),
}


@pytest.mark.parametrize("points", [1, 8, 20, 79])
@pytest.mark.parametrize("order", ["unsorted", "sorted", "reversed"])
@pytest.mark.parametrize("layout", ["1", "3", "7", "empties"])
@pytest.mark.parametrize("axis", AXES.keys())
def test_the_summary_changes_no_series(sync, monkeypatch, axis, layout, order, points, frame_of, scanned):
    # Ties at every cut, 10% missing times (8: fewer and more than some
    # sizes), missing values, text that converts to int64 in some partitions
    # but float64 over the column, and a second numeric target.
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", str(points))
    rng = np.random.default_rng(points)
    pdf = ts_frame(80, order, seed=points).assign(y2=np.where(rng.random(80) < 0.3, np.nan, rng.normal(size=80)))
    pdf = AXES[axis](pdf)
    ddf = frame_of(pdf, LAYOUTS[layout])
    today, narrowed = assert_both_roads_agree(
        ddf, ["y", "y_text", "y2"], "t" if "t" in pdf else None, monkeypatch, scanned
    )
    assert narrowed <= today
    if axis == "column" and order == "sorted" and layout == "7" and points <= 8:
        # Sorted by time, the earlier partitions hold no recent row.
        assert narrowed < today


@pytest.mark.parametrize(
    "pieces",
    [
        [[1, 2, 3, 3], [3, 3, 3, 4], [3, 5, 0, 3]],
        [[3, 3], [3, 3], [3, 3, 3]],
        # Enough missing times (None) leave out every timed row.
        [[None, 1, 2], [3, None, 4], [None, None, 6]],
    ],
    ids=["ties", "one-time", "missing-times"],
)
@pytest.mark.parametrize("points", [1, 2, 3, 4, 5, 7])
def test_ties_and_missing_times_at_the_bound(sync, monkeypatch, pieces, points, counted_frame, scanned):
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", str(points))
    day = pd.Timestamp("2024-01-01")
    frames = [
        pd.DataFrame(
            {
                "t": pd.Series([pd.NaT if t is None else day + pd.Timedelta(days=t) for t in times], dtype="M8[ns]"),
                "y": [10.0 * k + i for i in range(len(times))],
            }
        )
        for k, times in enumerate(pieces)
    ]
    assert_both_roads_agree(counted_frame(frames), ["y"], "t", monkeypatch, scanned)


@pytest.mark.parametrize(
    "second, narrowed",
    [
        (pd.DataFrame({"t": pd.date_range("2024-02", periods=4), "y": [0.5, 1.5, 2.5, 3.5]}), True),
        # The partitions disagree on a dtype, so which of them reach the join
        # would decide the joined one: nothing is left out.
        (pd.DataFrame({"t": pd.date_range("2024-02", periods=4), "y": [1, 2, 3, 4]}), False),
        (pd.DataFrame({"t": pd.date_range("2024-02", periods=4, unit="s"), "y": [0.5, 1.5, 2.5, 3.5]}), False),
        # A partition without values has no say in the dtypes.
        (pd.DataFrame({"t": pd.date_range("2024-02", periods=4, unit="s"), "y": [np.nan] * 4}), True),
    ],
    ids=["uniform", "int-and-float", "ns-and-s", "no-values"],
)
def test_plans_only_where_the_partitions_agree(sync, monkeypatch, second, narrowed, counted_frame, scanned):
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", "2")
    first = pd.DataFrame({"t": pd.date_range("2024-01", periods=4), "y": [0.0, 1.0, 2.0, 3.0]})
    later = pd.DataFrame({"t": pd.date_range("2024-03", periods=4), "y": [9.0, 8.0, 7.0, 6.0]})
    ddf = counted_frame([first, second, later])
    p = Pass(dask.get)
    at = samples.add_ts_summary(p, ddf, ["y"], "t")
    summary = p.run()[at]
    plans, counted = samples._recent_plans(summary, scanned(ddf).partition_lengths, ["y"], 2)
    kinds = ["none" if bound is False else bound and "from" for (bound,) in plans]
    assert kinds == (["none", "none", "from"] if narrowed else [None] * 3)
    assert counted[0][0] == 8 + second.y.notna().sum()
    assert_both_roads_agree(ddf, ["y"], "t", monkeypatch, scanned)


def test_an_unusable_summary_is_no_plan():
    lengths = np.array([3, 4])
    facts = samples._Facts(valid=3, untimed=0, low=1, high=3, dtype=np.dtype("f8"), layout=("a", "b"))
    good = [(3, np.dtype("i8"), {"y": facts}), (4, np.dtype("i8"), {"y": facts._replace(low=5, high=9)})]
    # Partition 0's rows are all older than partition 1's two most recent.
    assert samples._recent_plans(good, lengths, ["y"], 2) == ([[False], [(False, 5)]], [(6, np.dtype("f8"))])
    for bad in ([good[0], None], good[:1], [good[0], (5, *good[1][1:])], [good[0], (4, np.dtype("i8"), {})]):
        assert samples._recent_plans(bad, lengths, ["y"], 2) is None


def test_the_analysis_hands_pass_1_summary_to_the_sample(sync, monkeypatch, frame_of):
    monkeypatch.setenv("PROFILON_DASK_TS_POINTS", "5")
    pdf = ts_frame(80, "sorted", seed=2, ties=False).dropna(subset=["t"])
    seen = []
    plain = samples._ts_candidates

    def recording(part, index, *args):
        seen.append((index, args[-1][0]))
        return plain(part, index, *args)

    monkeypatch.setattr(samples, "_ts_candidates", recording)
    request = driver.Request(targets=["y"], numeric=["y", "other"], time_col="t", has_axis=True)
    tables = driver.analyse(frame_of(pdf, LAYOUTS["7"]), request)
    # Sorted by time: only the last partition holds recent rows, and only it is sought in.
    assert [(index, bound not in (None, False)) for index, bound in seen] == [(6, True)]
    whole = pd.to_numeric(pdf.sort_values("t")["y"], errors="coerce").dropna()
    assert tables.ts_series["y"].tolist() == whole.iloc[-5:].tolist()
