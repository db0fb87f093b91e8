"""The contract between the driver and the native steps: every name the
steps read off the driver's tables is a field (or property) of `Tables`, and
every field they read is filled for a frame that has each kind of figure."""

import dataclasses

import numpy as np
import pandas as pd
import pytest

import profilon

dd = pytest.importorskip("dask.dataframe")


class _Recorder:
    """Forwards attribute reads to the tables and remembers their names."""

    def __init__(self, tables, read):
        object.__setattr__(self, "_tables", tables)
        object.__setattr__(self, "_read", read)

    def __getattr__(self, name):
        self._read.add(name)
        return getattr(self._tables, name)

    def __setattr__(self, name, value):
        setattr(self._tables, name, value)


def _every_kind_of_figure(n=400):
    rng = np.random.default_rng(3)
    x = rng.normal(size=n)
    return pd.DataFrame(
        {
            "date": pd.date_range("2024-01-01", periods=n, freq="D"),
            "x": x,
            "x_copy": x,
            "z": rng.integers(0, 5, size=n).astype(float),
            "city": rng.choice(["a", "b", "c"], size=n),
            "flag": rng.random(n) < 0.3,
            "y": 2 * x + rng.normal(size=n),
        }
    )


@pytest.mark.usefixtures("sync")
def test_the_steps_read_only_filled_fields_of_the_tables(monkeypatch):
    import _profilon_dask
    from _profilon_dask.tables import Tables

    read: set[str] = set()
    filled: dict[str, bool] = {}
    analyse = _profilon_dask.analyse

    def recording(ddf, request, *args, **kwargs):
        tables = analyse(ddf, request, *args, **kwargs)
        filled.update({f.name: getattr(tables, f.name) is not None for f in dataclasses.fields(tables)})
        return _Recorder(tables, read)

    monkeypatch.setattr(_profilon_dask, "analyse", recording)
    df = _every_kind_of_figure()
    np.random.seed(0)
    report = profilon.EDA().eda_report_and_score(dd.from_pandas(df, npartitions=3), target="y", datetime_col="date")
    np.random.seed(0)
    assert report.to_dict() == profilon.EDA().eda_report_and_score(df, target="y", datetime_col="date").to_dict()

    fields = {f.name for f in dataclasses.fields(Tables)}
    properties = {k for k, v in vars(Tables).items() if isinstance(v, property)}
    assert read, "the native steps read nothing through the recorder"
    assert read - fields - properties == set()
    assert sorted(name for name in read & fields if not filled[name]) == []
