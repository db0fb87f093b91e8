"""The kernel floor: thread count, the fork-join loop, interrupts, and the
internal module that exposes kernels to the side-by-side tests."""

import os
import shutil
import subprocess
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import _profilon_kernels


def test_internal_module_is_the_build_under_test(expected_location):
    assert Path(_profilon_kernels.__file__).resolve().parent == expected_location()


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_internal_module_exports_only_its_entry_symbol():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", _profilon_kernels.__file__], capture_output=True, text=True, check=True
    )
    assert {line.split()[-1] for line in out.stdout.splitlines() if line.strip()} == {"PyInit__profilon_kernels"}


def test_test_entries_module_is_the_build_under_test(expected_location, test_entries):
    # A stale copy beside another build would test other code than the build's.
    assert Path(test_entries.__file__).resolve().parent == expected_location()


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_test_entries_module_exports_only_its_entry_symbol(test_entries):
    out = subprocess.run(
        ["nm", "-D", "--defined-only", test_entries.__file__], capture_output=True, text=True, check=True
    )
    assert {line.split()[-1] for line in out.stdout.splitlines() if line.strip()} == {"PyInit__profilon_test_entries"}


@pytest.mark.parametrize(
    ("value", "expected"),
    [
        ("1", 1),
        ("2", lambda n: min(2, n)),
        ("1000000", lambda n: n),
        ("0", lambda n: n),
        ("-3", lambda n: n),
        ("two", lambda n: n),
        ("", lambda n: n),
        (None, lambda n: n),
    ],
)
def test_thread_count_follows_the_environment_cap(monkeypatch, test_entries, value, expected):
    machine = os.cpu_count() or 1
    if value is None:
        monkeypatch.delenv("PROFILON_NUM_THREADS", raising=False)
    else:
        monkeypatch.setenv("PROFILON_NUM_THREADS", value)
    want = expected(machine) if callable(expected) else expected
    assert test_entries.thread_count() == want


@pytest.mark.parametrize("threads", ["1", "2", "7"])
@pytest.mark.parametrize("tasks", [0, 1, 5, 64])
def test_every_task_runs_once_whatever_the_thread_count(monkeypatch, test_entries, threads, tasks):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    assert test_entries.spin(tasks, 0) == tuple(range(tasks))


@pytest.mark.parametrize("threads", ["1", "2"])
def test_ctrl_c_ends_the_loop_promptly(monkeypatch, test_entries, threads, prompt):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    timer = threading.Timer(0.2, lambda: __import__("_thread").interrupt_main())
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            test_entries.spin(50, 200)  # ten seconds of work on two threads
    finally:
        timer.cancel()
    assert time.monotonic() - start < prompt(2.0)


@pytest.mark.parametrize("threads", ["1", "2", "3"])
def test_work_beside_the_interpreter_is_helped_by_its_waiter(monkeypatch, test_entries, threads):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    finished, by_caller = test_entries.spin_beside(40, 5)
    assert finished == tuple(range(40))
    if threads == "1":
        # Nothing runs beside: the caller runs the whole loop itself.
        assert by_caller == 40
    else:
        # The loop leaves the caller's core to it, and the caller, waiting,
        # takes tasks of its own.
        assert 0 < by_caller < 40


@pytest.mark.parametrize("threads", ["1", "2"])
def test_ctrl_c_ends_a_loop_its_waiter_helps(monkeypatch, test_entries, threads, prompt):
    monkeypatch.setenv("PROFILON_NUM_THREADS", threads)
    timer = threading.Timer(0.2, lambda: __import__("_thread").interrupt_main())
    start = time.monotonic()
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            test_entries.spin_beside(50, 200)
    finally:
        timer.cancel()
    assert time.monotonic() - start < prompt(2.0)


def test_bad_arguments_raise_ordinary_errors(test_entries):
    with pytest.raises(TypeError):
        test_entries.spin(1)
    with pytest.raises(TypeError):
        test_entries.spin("x", 1)


# NumPy's float64 summation, which every kernel that reproduces a NumPy
# reduction builds on: the probe must recognise how the running NumPy sums
# (whole array or buffer-sized pieces, under any buffer size), and the sum
# must then match add.reduce to the bit on lengths around every cut.
@pytest.mark.parametrize("bufsize", [8192, 16384, 1024])
def test_the_sum_probe_tells_how_numpy_sums(kernels, bufsize):
    rng = np.random.default_rng(bufsize)
    old = np.setbufsize(bufsize)
    try:
        block = kernels.numpy_sum_block()
        assert block in (0, bufsize)
        # The driver's partition sums in the mode the probe names are NumPy's.
        x = rng.standard_normal(3 * bufsize + 5) * 10.0 ** rng.uniform(-8, 8, 3 * bufsize + 5)
        partials = [kernels.pairwise_partial(x[s:e], s, len(x), block) for s, e in [(0, 1000), (1000, len(x))]]
        assert kernels.pairwise_combine(partials, len(x), block) == np.add.reduce(x)
    finally:
        np.setbufsize(old)


@pytest.mark.parametrize("bufsize", [8192, 16384, 1024])
def test_numpy_sum_matches_add_reduce(kernels, test_entries, bufsize):
    rng = np.random.default_rng(bufsize)
    old = np.setbufsize(bufsize)
    try:
        block = kernels.numpy_sum_block()
        for n in [0, 1, 7, 8, 9, 127, 128, 129, 1000, bufsize - 1, bufsize, bufsize + 1, 3 * bufsize + 5, 100_003]:
            x = rng.standard_normal(n) * 10.0 ** rng.uniform(-8, 8, n)
            assert test_entries.numpy_sum(x, block) == np.add.reduce(x), n
        assert np.signbit(test_entries.numpy_sum(np.full(9, -0.0), block)) == np.signbit(
            np.add.reduce(np.full(9, -0.0))
        )
    finally:
        np.setbufsize(old)


# Row hashes of plain numeric columns: the duplicate-column scan compares
# these with the hashes pandas makes of other columns, so they must be
# pandas' own, in every dtype and on strided views; the block-wise digest
# must equal the digest of the whole array.
HASHED_DTYPES = ["float64", "float32", "int8", "int16", "int32", "int64", "uint8", "uint64", "bool", "M8[ns]", "m8[s]"]


def hashed_columns(dtype):
    """(buffer, floating, canonical_floats, pandas' hashes) of a column of
    `dtype` and of a strided view of it."""
    import pandas as pd

    rng = np.random.default_rng(7)
    raw = rng.integers(-50, 50, 9001)
    if dtype.startswith("float"):
        values = (raw / 7).astype(dtype)
        values[:4] = [0.0, -0.0, np.inf, -np.inf]
    elif dtype == "bool":
        values = raw > 0
    else:
        values = raw.astype("int64").astype(dtype)
    canonical = bool(
        pd.util.hash_pandas_object(pd.Series([-0.0]), index=False).iloc[0]
        == pd.util.hash_pandas_object(pd.Series([0.0]), index=False).iloc[0]
    )
    for arr in (values, values[::3]):
        expected = pd.util.hash_pandas_object(pd.Series(arr), index=False).to_numpy()
        view = arr.view(f"u{arr.dtype.itemsize}") if arr.dtype.kind in "Mm" else arr
        yield view, arr.dtype.kind == "f", canonical, expected


@pytest.mark.parametrize("dtype", HASHED_DTYPES)
def test_row_hashes_are_pandas_hashes(kernels, dtype):
    for view, floating, canonical, expected in hashed_columns(dtype):
        got = np.frombuffer(kernels.row_hashes(view, floating, canonical), dtype=np.uint64)
        np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("dtype", HASHED_DTYPES)
def test_the_block_wise_digest_is_the_whole_arrays(kernels, test_entries, dtype):
    for view, floating, canonical, expected in hashed_columns(dtype):
        assert test_entries.row_hash_digest(view, floating, canonical) == test_entries.fnv_digest(
            np.ascontiguousarray(expected)
        )


def _release(version):
    import types

    return types.SimpleNamespace(__version__=version)


# Which releases each fast path was written from; everything else keeps the
# library's own call. A change here is a change of what was read.
@pytest.mark.parametrize(
    ("window", "covered", "not_covered"),
    [
        ("pandas_distinct_counts", ["2.2.0", "2.3.3", "3.0.0", "3.1.2"], ["2.1.4", "3.2.0", "4.0.0"]),
        ("pandas_row_hashes", ["2.2.3", "2.3.3", "3.0.0", "3.0.6", "3.1.2"], ["2.1.4", "3.2.0"]),
        ("pandas_hashes_zero_as_positive", ["3.1.2"], ["2.2.3", "3.0.0", "3.0.6"]),
        ("pandas_spearman", ["2.2.0", "3.0.1", "3.1.2"], ["2.1.4", "3.2.0"]),
        ("pandas_pearson", ["2.2.3", "3.0.0", "3.0.6", "3.1.2"], ["2.1.4", "3.2.0"]),
        ("pandas_pearson_clipped", ["3.0.0", "3.0.6", "3.1.0"], ["2.2.3", "2.3.3", "3.2.0"]),
        ("pandas_leakage_screen", ["2.2.3", "2.3.3", "3.0.0", "3.0.6", "3.1.2"], ["2.1.4", "2.4.0", "3.2.0"]),
        ("pandas_group_means", ["2.2.3", "2.3.3", "3.0.0", "3.0.6", "3.1.2"], ["2.1.4", "2.4.0", "3.2.0"]),
        ("numpy_summaries", ["1.26.4", "2.0.0", "2.1.3", "2.2.6", "2.3.5", "2.4.1", "2.5.5"], ["1.25.2", "2.6.0"]),
        ("scipy_moments_by_squares", ["1.13.1", "1.14.1", "1.15.3", "1.16.3", "1.17.1"], ["1.12.0", "1.18.1"]),
        ("scipy_zero_variance_by_resolution", ["1.13.0", "1.12.0"], ["1.14.0", "1.18.1"]),
        ("sklearn_mutual_info", ["1.5.0", "1.6.1", "1.7.2", "1.8.0", "1.9.1"], ["1.4.2", "1.10.0", "2.0.0"]),
        ("pandas_csv_floats_exact", ["3.1.0", "3.1.2", "4.0.0"], ["2.2.3", "2.3.3", "3.0.6"]),
        ("pandas_json_dates_as_written", ["3.1.0", "3.2.0"], ["2.2.3", "3.0.6"]),
    ],
)
def test_release_windows(window, covered, not_covered):
    assert [_profilon_kernels.release_window(window, _release(v)) for v in covered] == [True] * len(covered)
    assert [_profilon_kernels.release_window(window, _release(v)) for v in not_covered] == [False] * len(not_covered)


def test_release_windows_refuse_unknown_names_and_unreadable_versions():
    with pytest.raises(ValueError, match="no release window named"):
        _profilon_kernels.release_window("pandas_everything", _release("2.2.3"))
    # An unreadable version is no release any window covers.
    assert not _profilon_kernels.release_window("pandas_spearman", _release("dev"))
