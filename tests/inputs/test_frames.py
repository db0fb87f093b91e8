"""Frames beyond pandas: the report of a Polars, PyArrow or DuckDB frame, or
of any Arrow C stream, is the report of the pandas frame its own library
converts it to; any other object is refused as before."""

import numpy as np
import pandas as pd
import pytest

import profilon

pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")


class ArrowStream:
    """Only the Arrow PyCapsule stream interface, nothing else."""

    def __init__(self, table):
        self._table = table

    def __arrow_c_stream__(self, requested_schema=None):
        return self._table.__arrow_c_stream__(requested_schema)


def test_polars_frames_give_the_report_of_their_pandas_conversion(report_of, case):
    df, kwargs = case
    frame = pl.from_pandas(df)
    want = report_of(frame.to_pandas(), kwargs)
    assert report_of(frame, kwargs) == want
    assert report_of(frame.lazy(), kwargs) == want


def test_arrow_tables_give_the_report_of_their_pandas_conversion(report_of, case):
    df, kwargs = case
    table = pa.Table.from_pandas(df)
    want = report_of(table.to_pandas(), kwargs)
    assert report_of(table, kwargs) == want
    assert report_of(table.to_reader(max_chunksize=50), kwargs) == want
    assert report_of(ArrowStream(table), kwargs) == want


def test_duckdb_relations_give_the_report_of_their_pandas_conversion(report_of, named):
    duckdb = pytest.importorskip("duckdb")
    df, kwargs = named("hourly time column")
    con = duckdb.connect()
    con.register("frame", df)
    relation = con.sql("select * from frame")
    assert report_of(relation, kwargs) == report_of(relation.df(), kwargs)


def test_every_entry_point_takes_them(eda, named):
    df, kwargs = named("mixed, two targets")
    frame = pl.from_pandas(df)
    np.random.seed(0)
    want = eda.eda_md(frame.to_pandas(), **kwargs)
    np.random.seed(0)
    assert eda.eda_md(frame, **kwargs) == want
    np.random.seed(0)
    assert eda.eda(frame, **kwargs).to_markdown() == want
    # The page's figures come along: the frame is pandas by then.
    assert len(eda.eda(pa.Table.from_pandas(df), **kwargs).detail["columns"]) == df.shape[1]


class ColumnStream:
    """An Arrow stream of one column's values, not of records."""

    def __arrow_c_stream__(self, requested_schema=None):
        return pa.chunked_array([[1.0, 2.0]]).__arrow_c_stream__(requested_schema)


@pytest.mark.parametrize(
    "other",
    [None, [1, 2], np.zeros((3, 2)), pd.Series([1.0, 2.0]), pd.Index([1, 2]), {"a": [1]}, "frame"]
    + [pl.Series([1.0, 2.0]), pa.chunked_array([[1.0]]), pa.array([1.0]), ColumnStream()],
)
def test_other_objects_get_the_same_error_as_before(eda, other):
    with pytest.raises(AssertionError) as caught:
        eda.eda_report_and_score(other)
    assert caught.value.args == ()


def test_a_failing_conversion_propagates_its_error(eda):
    class Broken:
        def __arrow_c_stream__(self, requested_schema=None):
            raise RuntimeError("no stream today")

    with pytest.raises(RuntimeError, match="no stream today"):
        eda.eda_report_and_score(Broken())


def test_a_parquet_folder_and_glob_are_one_dataset(tmp_path, named):
    import os
    import subprocess
    import sys
    from pathlib import Path

    import pyarrow.dataset as ds

    df, _ = named("mixed, two targets")
    folder = tmp_path / "parts"
    (folder / "deeper").mkdir(parents=True)
    df.iloc[:150].to_parquet(folder / "a.parquet", index=False)
    df.iloc[150:300].to_parquet(folder / "b.parquet", index=False)
    df.iloc[300:].to_parquet(folder / "deeper" / "c.parquet", index=False)
    (folder / "notes.txt").write_text("not data")
    whole = tmp_path / "whole.parquet"
    parts = sorted(str(p) for p in folder.rglob("*.parquet"))
    ds.dataset(parts).to_table().to_pandas().to_parquet(whole, index=False)
    src = Path(__file__).resolve().parents[2] / "src"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(profilon.__file__), str(src)]))

    def run(data):
        cmd = [sys.executable, "-m", "profilon_cli", str(data), "--target", "y", "--format", "json"]
        return subprocess.run(cmd, capture_output=True, check=True, env=env, timeout=300).stdout

    want = run(whole)
    assert run(folder) == want
    assert run(f"{folder}/**/*.parquet") == want
    assert run(f"{folder}/*.parquet") != want  # the pattern decides: two of the three parts
