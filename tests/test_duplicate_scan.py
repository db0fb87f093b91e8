"""The duplicate-column scan keeps one digest per column, not its row hashes:
at most the new column's hashes and one earlier column's are alive at once,
and the pairs found are the ones a comparison of all hashes finds."""

import weakref

import numpy as np
import pandas as pd
import pytest


@pytest.fixture
def live_hashes(monkeypatch):
    """Wraps pandas' row hashing; records how many earlier hash arrays are
    still alive whenever a column is hashed."""
    original = pd.util.hash_pandas_object
    alive = set()
    seen = []

    def tracked(obj, *args, **kwargs):
        seen.append((obj.name, len(alive)))
        arr = original(obj, *args, **kwargs).to_numpy().copy()
        key = id(arr)
        alive.add(key)
        weakref.finalize(arr, alive.discard, key)
        return pd.Series(arr, copy=False)

    monkeypatch.setattr(pd.util, "hash_pandas_object", tracked)
    return seen


def test_one_earlier_column_alive_at_most(analyse, live_hashes):
    rng = np.random.default_rng(0)
    base = rng.normal(size=50)
    df = pd.DataFrame({f"u{i}": rng.normal(size=50) for i in range(4)})
    df["a"] = base
    df["b"] = base.copy()
    df["c"] = base.copy()
    assert analyse(df).schema["duplicate_cols_examples"] == [("b", "a"), ("c", "a")]
    scan = [entry for entry in live_hashes if entry[0] in df.columns]
    assert max(count for _, count in scan) <= 1
    # Every column is hashed once; an earlier one again only to confirm a match.
    assert [name for name, _ in scan] == ["u0", "u1", "u2", "u3", "a", "b", "a", "c", "a"]


@pytest.mark.parametrize(
    "columns, expected",
    [
        # equal contents, different dtypes: the float copy of integers differs
        # in its hashes, the nullable copy with missing cells hashes as objects
        (
            {
                "i": [1, 2, 3, 4],
                "f": [1.0, 2.0, 3.0, 4.0],
                "n": pd.array([1, 2, 3, 4], dtype="Int64"),
                "f2": [1.0, 2.0, 3.0, 4.0],
            },
            [("n", "i"), ("f2", "f")],
        ),
        (
            {
                "m": pd.array([1, None, 3, 4], dtype="Int64"),
                "g": [1.0, np.nan, 3.0, 4.0],
                "m2": pd.array([1, None, 3, 4], dtype="Int64"),
                "g2": [1.0, np.nan, 3.0, 4.0],
            },
            [("m2", "m"), ("g2", "g")],
        ),
    ],
)
def test_pairs_across_dtypes_and_missing_cells(analyse, columns, expected):
    df = pd.DataFrame(columns)
    pairs = analyse(df).schema["duplicate_cols_examples"]
    assert pairs == expected
