"""A partition's columns read into kernel inputs (`native_hashes.read` and
`Inputs`), against the pandas conversion each in-memory step makes."""

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("dask")

from _profilon_dask.native_hashes import Inputs, read  # noqa: E402

N = 9
COLUMNS = {
    "float64": lambda: pd.Series([1.5, np.nan, -0.0, np.inf, 2.0, 3.0, np.nan, 4.0, -1.0]),
    "float32": lambda: pd.Series(np.linspace(-1, 1, N, dtype=np.float32)),
    "int64": lambda: pd.Series(np.arange(N) - 4),
    "Int64": lambda: pd.Series(pd.array([1, None, 3, 4, None, 6, 7, 8, 9], dtype="Int64")),
    "bool": lambda: pd.Series(np.arange(N) % 2 == 0),
    "boolean": lambda: pd.Series(pd.array([True, None, False] * 3, dtype="boolean")),
    "Float64": lambda: pd.Series(pd.array([0.5, None, 1.0] * 3, dtype="Float64")),
}
# Conversions only the target diagnostics make: texts and objects.
TARGET_ONLY = {
    "text": lambda: pd.Series(["1", "x", "2.5", None, "-3", "1e3", "", "nan", "7"], dtype=object),
    "objects": lambda: pd.Series([1, 2.5, "3", None, True, "y", 4, 5, 6], dtype=object),
}

WANT = {
    "column": lambda s: s.astype(float).to_numpy(),
    "target": lambda s: pd.to_numeric(s, errors="coerce").to_numpy(dtype="float64", na_value=np.nan),
    "float": lambda s: s.to_numpy(dtype=np.float64, na_value=np.nan),
}


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize(
    "name, how", [(name, how) for name in COLUMNS for how in WANT] + [(name, "target") for name in TARGET_ONLY]
)
def test_a_column_reads_as_its_step_converts_it(name, how):
    s = {**COLUMNS, **TARGET_ONLY}[name]()
    got = read(s, how)
    assert got.dtype == np.float64 and got.flags.c_contiguous
    assert np.array_equal(bits(got), bits(WANT[how](s)))
    if s.dtype == np.float64 and how == "column":
        # The distribution step's read of a float64 column is in place.
        assert np.shares_memory(got, s.to_numpy())


@pytest.mark.parametrize("tz", [None, "UTC", "Europe/Berlin"])
def test_stamps_are_utc_nanoseconds_with_nat_the_least(tz):
    stamps = pd.Series(pd.to_datetime(["2024-03-31 00:30", None, "2021-01-01 00:00"]).tz_localize(tz))
    got = read(stamps, "stamps")
    assert got.dtype == np.int64
    assert got.tolist() == pd.DatetimeIndex(stamps).as_unit("ns").asi8.tolist()
    assert got[1] == np.iinfo(np.int64).min
    assert read(pd.DatetimeIndex(stamps), "stamps").tolist() == got.tolist()


def test_inputs_read_each_conversion_of_a_column_once():
    part = pd.DataFrame({"a": [1, 3], "b": ["2", "x"]})
    inputs = Inputs(part)
    assert inputs("a", "float") is inputs("a", "float")
    assert inputs("b", "target").tolist()[0] == 2.0 and np.isnan(inputs("b", "target")[1])
    assert inputs("a", "target") is not inputs("a", "float")
    assert inputs("a", "column").tolist() == [1.0, 3.0]
