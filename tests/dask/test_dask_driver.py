"""The Dask driver (`_profilon_dask`): recognition, settings, the pass runner
and the first pass's counts, against pandas on the same data.

Most tests run on Dask's synchronous scheduler; the cluster-specific ones
share one 2-worker LocalCluster whose workers are threads of this process
(processes=False: it starts in a fraction of a second, and the counters of
`counted_partitions` are the ones the tasks increment). The cluster lives as
long as this module's tests (the `cluster` fixture of this folder).
"""

import concurrent.futures
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pandas.testing as pdt
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

from lone_passes import scan  # noqa: E402

import _profilon_dask as driver  # noqa: E402
from _profilon_dask.passes import Pass, pinned_scheduler  # noqa: E402
from _profilon_dask.settings import MI_SAMPLE_ROWS, read_settings  # noqa: E402


def awkward_frame(n=23):
    rng = np.random.default_rng(7)
    x = rng.normal(size=n)
    x[::4] = np.nan
    text = np.array([f"t{i % 5}" for i in range(n)], dtype=object)
    text[1::6] = None
    text[2::6] = np.nan
    cat = pd.Categorical([["a", "b", None][i % 3] for i in range(n)], categories=["a", "b", "unused"])
    when = pd.Series(pd.date_range("2024-01-01", periods=n, freq="D"))
    when[::5] = pd.NaT
    return pd.DataFrame(
        {
            "x": x,
            "text": text,
            "mixed": [[1, "1", None, np.nan, "a"][i % 5] for i in range(n)],
            "int_na": pd.array([None if i % 7 == 3 else i for i in range(n)], dtype="Int64"),
            "bool_na": pd.array([None if i % 4 == 1 else i % 2 == 0 for i in range(n)], dtype="boolean"),
            "cat": cat,
            "when": when,
            "all_nan": np.full(n, np.nan),
            "all_none": np.full(n, None, dtype=object),
            "full": np.arange(n),
        }
    )


def expected_counts(pdf):
    mask = pdf.isna()
    return {
        "n_rows": len(pdf),
        "missing": mask.sum(),
        "any": int(mask.any(axis=1).sum()),
        "miss_by_col": mask.mean(),
        "has_missing": mask.any().tolist(),
    }


def check_tables(tables, pdf, parts):
    """`tables` against pandas on the whole frame `pdf` and on its
    partitions `parts` (pandas frames, in order)."""
    expected = expected_counts(pdf)
    assert tables.n_rows == expected["n_rows"]
    assert tables.n_cols == pdf.shape[1]
    pdt.assert_series_equal(tables.missing_counts, expected["missing"], check_names=False)
    assert tables.rows_with_any_missing == expected["any"]
    pdt.assert_series_equal(tables.miss_by_col, expected["miss_by_col"], check_exact=True, check_names=False)
    assert tables.col_has_missing == expected["has_missing"]
    if len(pdf):
        assert tables.miss_total == np.mean(pdf.isna().values)
        assert tables.rows_with_any_na == pdf.isna().any(axis=1).mean()
    lengths = [len(p) for p in parts]
    assert tables.partition_lengths.tolist() == lengths
    assert tables.partition_offsets.tolist() == np.concatenate([[0], np.cumsum(lengths)[:-1]]).tolist()


# ---------------------------------------------------------------------------
# Where the module lives, and what it imports
# ---------------------------------------------------------------------------


def test_driver_is_the_package_beside_the_build_under_test(expected_location):
    assert Path(driver.__file__).resolve().parent.parent == expected_location()


def test_recognition_and_pandas_analysis_without_dask(expected_location):
    # In a fresh process: recognition must not import Dask when it is
    # installed, and nothing must need it when its import is blocked.
    script = textwrap.dedent(
        """
        import sys
        import pandas as pd
        import _profilon_dask as driver
        import profilon
        from _profilon_dask.settings import read_settings

        pdf = pd.DataFrame({"x": [1.0, 2.0, None], "y": [1.0, 2.0, 3.0]})
        assert not driver.is_dask_frame(pdf)
        assert not driver.is_dask_frame(object())
        assert "dask" not in sys.modules, "recognition imported dask"

        sys.modules["dask"] = None
        assert not driver.is_dask_frame(pdf)
        assert read_settings({}).corr_rows == 1_000_000
        report = profilon.EDA().eda_report_and_score(pdf, target="y")
        assert report.schema["n_rows"] == 3
        assert sys.modules["dask"] is None
        assert "dask.dataframe" not in sys.modules
        print("ok")
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=_child_env(expected_location()), timeout=120
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def _child_env(build):
    import os

    env = dict(os.environ)
    env["PYTHONPATH"] = str(build)
    return env


# ---------------------------------------------------------------------------
# Recognition
# ---------------------------------------------------------------------------


def test_recognition_is_exact_about_the_class():
    pdf = pd.DataFrame({"a": [1, 2, 3]})
    ddf = dd.from_pandas(pdf, npartitions=2)

    class Frame(type(ddf)):
        pass

    assert driver.is_dask_frame(ddf)
    assert driver.is_dask_frame(Frame(ddf.expr))
    others = [ddf.a, ddf.index, ddf.a.sum(), ddf._meta, pdf, type(ddf), ddf.to_delayed()[0], None, "a"]
    assert [driver.is_dask_frame(o) for o in others] == [False] * len(others)


# ---------------------------------------------------------------------------
# Settings
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "environ, expected",
    [
        ({}, (1_000_000, 1_000_000, 4_000_000)),
        ({"PROFILON_DASK_CORR_ROWS": "5000"}, (5000, 1_000_000, 4_000_000)),
        ({"PROFILON_DASK_TS_POINTS": " 12 ", "PROFILON_DASK_BUCKET_CAP": "1"}, (1_000_000, 12, 1)),
        ({"PROFILON_DASK_CORR_ROWS": "", "PROFILON_DASK_TS_POINTS": "  "}, (1_000_000, 1_000_000, 4_000_000)),
    ],
)
def test_settings(environ, expected):
    settings = read_settings(environ)
    assert (settings.corr_rows, settings.ts_points, settings.bucket_cap) == expected
    assert MI_SAMPLE_ROWS == 8000


@pytest.mark.parametrize("value", ["0", "-5", "1e6", "1.5", "1_000", "+3", "ten", "\u0661\u0662", "12 rows"])
@pytest.mark.parametrize("name", ["PROFILON_DASK_CORR_ROWS", "PROFILON_DASK_TS_POINTS", "PROFILON_DASK_BUCKET_CAP"])
def test_settings_refuse_anything_but_a_positive_integer(monkeypatch, name, value):
    monkeypatch.setenv(name, value)
    with pytest.raises(ValueError) as info:
        read_settings()
    assert str(info.value) == f"{name} must be a positive integer, not {value!r}"


# ---------------------------------------------------------------------------
# The pass runner
# ---------------------------------------------------------------------------


def test_a_pass_is_one_execution_that_reads_each_partition_once(sync, partition_reads, count_executions, counted_frame):
    pieces = [pd.DataFrame({"x": np.arange(i, i + 4, dtype=float), "y": -1.0}) for i in range(3)]
    ddf = counted_frame(pieces)
    one = Pass(pinned_scheduler(ddf))
    parts = one.partitions(ddf)
    assert one.partitions(ddf) is parts
    sizes = one.add([dask.delayed(len)(p) for p in parts])
    sums = [dask.delayed(lambda p: p.x.sum())(p) for p in one.partitions(ddf)]
    total = one.add(dask.delayed(sum)(sums))
    with count_executions() as executions:
        results = one.run()
    assert executions.count == 1
    assert partition_reads == {0: 1, 1: 1, 2: 1}
    assert results[sizes] == [4, 4, 4]
    assert results[total] == sum(p.x.sum() for p in pieces)
    with pytest.raises(RuntimeError, match="has run already"):
        one.run()
    with pytest.raises(RuntimeError, match="has run already"):
        one.add(parts[0])


@pytest.mark.parametrize(
    "first, second",
    [
        (lambda ddf: ddf.x.sum(), lambda ddf: ddf.to_delayed()[0]),
        (lambda ddf: [ddf.to_delayed()[0]], lambda ddf: {"m": ddf.x.max()}),
        (lambda ddf: (1, ddf.x.sum()), lambda ddf: [2, [dask.delayed(len)(ddf.to_delayed()[0])]]),
    ],
)
def test_a_pass_refuses_to_mix_collections_and_delayed_objects(sync, first, second, counted_frame):
    # Mixed, Dask reads the data once for each kind.
    ddf = counted_frame([pd.DataFrame({"x": [1.0, 2.0]})] * 2)
    one = Pass(dask.get)
    one.add(first(ddf))
    with pytest.raises(TypeError, match="cannot mix DataFrame collections with delayed objects"):
        one.add(second(ddf))
    assert len(one.run()) == 1


def test_an_empty_pass_executes_nothing(sync, count_executions):
    with count_executions() as executions:
        assert Pass(dask.get).run() == []
    assert executions.count == 0


@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_the_first_pass_reads_each_partition_once(
    sync, n_parts, partition_reads, count_executions, counted_frame, split
):
    pdf = awkward_frame()
    pieces = split(pdf, n_parts)
    ddf = counted_frame(pieces)
    with count_executions() as executions:
        tables = scan(ddf)
    assert executions.count == 1
    assert partition_reads == {i: 1 for i in range(n_parts)}
    check_tables(tables, pdf, pieces)


# ---------------------------------------------------------------------------
# The first pass's counts
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("convert_string", [True, False], ids=["convert-string", "object-text"])
@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_counts_equal_pandas(sync, n_parts, convert_string):
    pdf = awkward_frame()
    with dask.config.set({"dataframe.convert-string": convert_string}):
        ddf = dd.from_pandas(pdf, npartitions=n_parts)
    computed = ddf.compute()
    # Dask's string conversion turns None and NaN into <NA>: missing either
    # way, so the counts are those of the original frame too.
    if convert_string:
        assert computed["text"].dtype != object
    else:
        # pandas 3 infers its own text dtype for the frame already.
        assert computed["text"].dtype == pdf["text"].dtype
    parts = [ddf.get_partition(i).compute() for i in range(ddf.npartitions)]
    tables = scan(ddf)
    check_tables(tables, computed, parts)
    check_tables(tables, pdf, parts)


@pytest.mark.parametrize(
    "layout",
    [
        [0, 5, 0, 0, 7, 0],
        [0, 0, 0],
        [4],
        [1, 0, 1, 0, 1, 0, 1],
    ],
    ids=["empty-between", "all-empty", "one", "alternating"],
)
def test_counts_with_empty_partitions(sync, layout, counted_frame):
    pdf = awkward_frame(sum(layout)) if sum(layout) else awkward_frame().iloc[:0]
    bounds = np.concatenate([[0], np.cumsum(layout)])
    pieces = [pdf.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]
    tables = scan(counted_frame(pieces, meta=pdf.iloc[:0]))
    check_tables(tables, pdf, pieces)
    if not len(pdf):
        assert tables.miss_by_col.isna().all() and np.isnan(tables.miss_total) and np.isnan(tables.rows_with_any_na)


def test_a_partition_that_contradicts_the_metadata_is_refused(sync, counted_frame):
    good = pd.DataFrame({"a": [1.0], "b": [2.0]})
    ddf = counted_frame([good, good[["b", "a"]]], meta=good.iloc[:0])
    with pytest.raises(ValueError, match=r"partition 1 of the Dask DataFrame has the columns \['b', 'a'\]"):
        scan(ddf)


# ---------------------------------------------------------------------------
# On a cluster
# ---------------------------------------------------------------------------


def test_the_default_client_is_the_pinned_scheduler(client):
    ddf = dd.from_pandas(pd.DataFrame({"a": [1]}), npartitions=1)
    with client.as_current():
        assert pinned_scheduler(ddf) == client.get


@pytest.mark.parametrize("n_parts", [1, 3, 7])
def test_counts_on_a_cluster(client, n_parts, partition_reads, counted_frame, split):
    pdf = awkward_frame(40)
    pieces = split(pdf, n_parts)
    tables = scan(counted_frame(pieces), scheduler=client.get)
    assert partition_reads == {i: 1 for i in range(n_parts)}
    check_tables(tables, pdf, pieces)


def test_a_closed_client_is_the_one_clear_error(cluster):
    ddf = dd.from_pandas(pd.DataFrame({"a": [1.0, None]}), npartitions=2)
    closed = distributed.Client(cluster, set_as_default=False)
    closed.close()
    with pytest.raises(RuntimeError) as info:
        scan(ddf, scheduler=closed.get)
    assert str(info.value).startswith("the Dask cluster could not be reached: ClosedClientError: ")
    assert isinstance(info.value.__cause__, distributed.client.ClosedClientError)


SLOW_STARTED = threading.Event()
SLOW_CLUSTER = []


def _slow_load(index):
    # Returns only once the cluster has begun to close (which waits for this
    # task), so the result can never reach the client first.
    SLOW_STARTED.set()
    deadline = time.monotonic() + 10
    while SLOW_CLUSTER[0].status == distributed.core.Status.running and time.monotonic() < deadline:
        time.sleep(0.01)
    time.sleep(0.1)
    return pd.DataFrame({"a": [float(index)]})


def test_a_cluster_that_goes_away_during_a_pass_is_the_one_clear_error(local_cluster):
    # A cluster of its own, closed while its one worker reads a partition.
    cluster = local_cluster(1)
    client = distributed.Client(cluster, set_as_default=False)
    SLOW_CLUSTER[:] = [cluster]
    SLOW_STARTED.clear()
    try:
        ddf = dd.from_map(_slow_load, [0, 1], meta=pd.DataFrame({"a": [1.0]}).iloc[:0], enforce_metadata=False)
        closer = threading.Thread(target=lambda: SLOW_STARTED.wait(30) and cluster.close())
        closer.start()
        started = time.monotonic()
        with pytest.raises(RuntimeError, match="^the Dask cluster could not be reached: ") as info:
            scan(ddf, scheduler=client.get)
        assert time.monotonic() - started < 10
        closer.join()
        # The client sees its futures cancelled as the scheduler closes.
        assert isinstance(info.value.__cause__, (concurrent.futures.CancelledError, OSError))
    finally:
        client.close()
        cluster.close()


@pytest.mark.parametrize("on_cluster", [False, True], ids=["sync", "cluster"])
def test_a_task_failure_propagates_unchanged(request, on_cluster, counted_frame):
    # A data source's own OSError is no sign of a lost cluster.
    scheduler = request.getfixturevalue("client").get if on_cluster else dask.get
    missing = FileNotFoundError(2, "No such file", "part-1.parquet")
    ddf = counted_frame([pd.DataFrame({"a": [1.0]}), missing], meta=pd.DataFrame({"a": [1.0]}).iloc[:0])
    with pytest.raises(FileNotFoundError) as info:
        scan(ddf, scheduler=scheduler)
    assert info.value.filename == "part-1.parquet"
    assert info.value.__cause__ is None


def test_ctrl_c_in_a_pass_propagates(sync, counted_frame):
    ddf = counted_frame([pd.DataFrame({"a": [1.0]}), KeyboardInterrupt()], meta=pd.DataFrame({"a": [1.0]}).iloc[:0])
    with pytest.raises(KeyboardInterrupt):
        scan(ddf)
