"""The row-sample plan against the NumPy steps the Dask samples took before
it: np.unique's distinct positions and inverse, np.searchsorted's owner of
each row, the packed forms (np.packbits, int32 positions) and the join's
mask of wanted rows (np.flatnonzero)."""

import numpy as np
import pytest


def by_numpy(positions, lengths):
    offsets = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.int64)
    wanted, inverse = np.unique(positions, return_inverse=True)
    owner = np.searchsorted(offsets + lengths, wanted, side="right")
    bounds = np.searchsorted(owner, np.arange(len(lengths) + 1), side="left")
    local = [wanted[bounds[i] : bounds[i + 1]] - offsets[i] for i in range(len(lengths))]
    in_order = len(wanted) == len(positions) and bool(np.all(wanted == positions))
    return offsets, local, None if in_order else inverse


LAYOUTS = {"one": [100], "empties": [0, 30, 0, 0, 70, 0], "many": [7, 13, 1, 40, 39]}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS.keys())
@pytest.mark.parametrize("draw", ["ascending", "shuffled", "repeats", "dense", "none"])
def test_plan_is_the_numpy_plan(kernels, layout, draw):
    rng = np.random.default_rng(len(layout) + len(draw))
    positions = {
        "ascending": np.sort(rng.choice(100, 12, replace=False)),
        "shuffled": rng.permutation(100)[:30],
        "repeats": rng.integers(0, 100, 50),
        "dense": rng.permutation(100),
        "none": np.zeros(0, dtype=np.int64),
    }[draw]
    lengths = np.array(layout, dtype=np.int64)
    offsets, local, inverse = by_numpy(positions, lengths)
    packed, got_inverse, counts = kernels.rows_plan(positions, offsets, lengths)
    assert (got_inverse is None) == (inverse is None)
    if inverse is not None:
        np.testing.assert_array_equal(got_inverse, inverse.reshape(-1))
    np.testing.assert_array_equal(counts, [len(rows) for rows in local])
    # The pieces of the partitions that hold rows, each closed by one more
    # row, joined: each asked position's row among them.
    held = [rows for rows, length in zip(local, layout, strict=True) if length]
    keep = np.concatenate([np.append(np.ones(len(rows), bool), False) for rows in held] or [np.zeros(0, bool)])
    joined = np.flatnonzero(keep)
    want = joined if inverse is None else joined[inverse.reshape(-1)]
    np.testing.assert_array_equal(kernels.rows_join(counts[np.array(layout) > 0], got_inverse), want)
    assert len(packed) == len(layout)
    for piece, rows, length in zip(packed, local, layout, strict=True):
        kind, data, n = piece
        assert n == length
        if kind == "bits":
            bits = np.zeros(length, dtype=bool)
            bits[rows] = True
            np.testing.assert_array_equal(data, np.packbits(bits))
        else:
            assert kind == "at" and data.dtype == np.int32
            np.testing.assert_array_equal(data, rows)
        np.testing.assert_array_equal(kernels.rows_unpack(piece), rows)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda k: k.rows_plan([5], [0], [5]), r"row positions must lie in 0\.\.4"),
        (lambda k: k.rows_plan([-1], [0, 2], [2, 3]), r"row positions must lie in 0\.\.4"),
        (lambda k: k.rows_plan([0], [0, 3], [2, 3]), "partition offsets"),
        (lambda k: k.rows_plan([0], [0], [2, 3]), "one offset per partition"),
        (lambda k: k.rows_unpack(("at", np.array([3, 1], np.int32), 5)), "no partition's plan"),
        (lambda k: k.rows_unpack(("at", np.array([5], np.int32), 5)), "no partition's plan"),
        (lambda k: k.rows_unpack(("bits", np.zeros(2, np.uint8), 20)), "no partition's plan"),
        (lambda k: k.rows_unpack(("all", np.zeros(0, np.uint8), 0)), "bits"),
        (lambda k: k.rows_join([2, -1], None), "negative"),
        (lambda k: k.rows_join([2, 1], [0, 3]), "inverse"),
    ],
    ids=["past-end", "negative", "gap", "lengths", "descending", "outside", "short-mask", "kind", "count", "inverse"],
)
def test_malformed_plans_are_refused(kernels, call, message):
    with pytest.raises(ValueError, match=message):
        call(kernels)


def test_wide_partitions_keep_int64_positions(kernels):
    (piece,), _, _ = kernels.rows_plan([2**31 + 5], [0], [2**31 + 10])
    assert piece[0] == "at" and piece[1].dtype == np.int64 and piece[1].tolist() == [2**31 + 5]
