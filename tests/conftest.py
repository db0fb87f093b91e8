"""Test harness: import the profilon build under test, never a stale copy.

Set PROFILON_BUILD_DIR to a CMake build directory to test that build;
otherwise the module installed in the running interpreter is tested.
"""

import math
import os
import signal
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest
from hypothesis import settings

# `pytest --hypothesis-profile=long` runs the property tests that take their
# example count from the profile (tests/reliability/) 5,000 times.
settings.register_profile("long", max_examples=5000)
# CI draws the same examples on every run, so that a landing never depends on
# the luck of the draw; developers' runs keep exploring new ones (and replay
# what failed from .hypothesis/).
settings.register_profile("ci", derandomize=True)
if os.environ.get("CI"):
    settings.load_profile("ci")

_build_dir = os.environ.get("PROFILON_BUILD_DIR")
if _build_dir:
    sys.path.insert(0, str(Path(_build_dir).resolve()))

# A shell starts background jobs with SIGINT ignored, and the interpreter then
# installs no KeyboardInterrupt handler; the Ctrl-C tests send SIGINT to this
# process, so it must raise here however the suite was launched.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

import _profilon_kernels  # noqa: E402
import profilon  # noqa: E402

# pandas 2 makes unitless timedelta64 values of its own (NaT when it
# concatenates frames with missing blocks, in Timedelta(days=...) and in
# to_datetime of an empty column), which NumPy 2.5 deprecates: pandas' calls,
# whichever frame the warning points at.
_PANDAS_OWN_DEPRECATION = "The 'generic' unit for NumPy timedelta is deprecated"


def _pandas_warns_of_its_own_timedeltas() -> bool:
    import pandas as pd

    return int(pd.__version__.split(".")[0]) < 3 and np.lib.NumpyVersion(np.__version__) >= "2.5.0"


def pytest_configure(config):
    if _pandas_warns_of_its_own_timedeltas():
        config.addinivalue_line("filterwarnings", f"ignore:{_PANDAS_OWN_DEPRECATION}:DeprecationWarning")


@pytest.fixture(scope="session")
def pandas_own_deprecation():
    """Whether a caught warning is one pandas gives of its own calls under
    these releases (for tests that record every warning)."""
    own = _pandas_warns_of_its_own_timedeltas()
    return lambda w: own and str(w.message).startswith(_PANDAS_OWN_DEPRECATION)


# The kernel entries only tests call are a module of their own, which
# developer and sanitizer builds hold and release wheels do not: against a
# wheel the tests that need them skip, and the rest of their files run.
try:
    import _profilon_test_entries  # noqa: E402
except ModuleNotFoundError as _absent:
    if _absent.name != "_profilon_test_entries":
        raise
    _profilon_test_entries = None


def _test_entries_configured() -> bool:
    """Whether the CMake build under test was configured to build the
    test-only module (an installed build leaves no such record)."""
    if not _build_dir:
        return False
    cache = Path(_build_dir) / "CMakeCache.txt"
    if not cache.is_file():
        return False
    for line in cache.read_text().splitlines():
        if line.startswith("PROFILON_TEST_ENTRIES:"):
            return line.split("=", 1)[1].upper() in ("ON", "1", "TRUE", "YES")
    return False


def _expected_location() -> Path:
    if _build_dir:
        return Path(_build_dir).resolve()
    return Path(sysconfig.get_paths()["platlib"]).resolve()


@pytest.fixture
def kernels():
    """The internal module exposing the native kernels on NumPy buffers."""
    return _profilon_kernels


@pytest.fixture(scope="session")
def test_entries():
    """The internal module of the kernel entries only tests call (the
    whole-array forms of the mergeable kernels, thread and release probes).
    Tests that need it skip where it is not built, as against a wheel; a
    build configured to hold it and lacking it fails them instead."""
    if _profilon_test_entries is None:
        if _test_entries_configured():
            pytest.fail(
                f"{_build_dir} was configured with PROFILON_TEST_ENTRIES=ON but holds no _profilon_test_entries"
            )
        pytest.skip("_profilon_test_entries is not built here (PROFILON_TEST_ENTRIES=OFF, as in a release wheel)")
    return _profilon_test_entries


@pytest.fixture
def eda():
    return profilon.EDA()


def _frame_fingerprint(df):
    """Everything about a frame that an analysis must leave untouched."""
    return (
        df.copy(deep=True),
        df.dtypes.copy(),
        df.columns.copy(),
        df.index.copy(),
    )


def _assert_unchanged(df, fingerprint):
    import pandas.testing as pdt

    values, dtypes, columns, index = fingerprint
    pdt.assert_frame_equal(df, values, check_exact=True)
    pdt.assert_series_equal(df.dtypes, dtypes)
    pdt.assert_index_equal(df.columns, columns, exact=True)
    pdt.assert_index_equal(df.index, index, exact=True)


@pytest.fixture
def analyse(eda):
    """Runs eda_report_and_score and checks that the frame was not modified."""

    def run(df, **kwargs):
        fp = _frame_fingerprint(df)
        report = eda.eda_report_and_score(df, **kwargs)
        _assert_unchanged(df, fp)
        return report

    return run


def _json_values(value):
    """What standard JSON makes of a report value: NaN and infinities null,
    NumPy scalars plain numbers, tuples lists, keys text."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {str(k): _json_values(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_values(v) for v in value]
    if isinstance(value, np.generic):
        return _json_values(value.item())
    return value


# Helpers reach the test files as fixtures: a test folder's own conftest
# would shadow an import from this one.
@pytest.fixture(scope="session")
def expected_location():
    """() -> the directory the build under test was imported from."""
    return _expected_location


@pytest.fixture(scope="session")
def frame_fingerprint():
    """df -> what an analysis must leave untouched of it."""
    return _frame_fingerprint


@pytest.fixture(scope="session")
def assert_unchanged():
    """(df, fingerprint) -> asserts df still matches the fingerprint."""
    return _assert_unchanged


@pytest.fixture(scope="session")
def json_values():
    """value -> what standard JSON makes of that report value."""
    return _json_values


@pytest.fixture(scope="session")
def bench_frames():
    """name -> (frame, keyword arguments) as bench/bench.py builds them."""
    bench_dir = Path(__file__).resolve().parents[1] / "bench"
    # The sdist carries the tests but not the benchmarks.
    if not (bench_dir / "bench.py").is_file():
        pytest.skip("the benchmark frames are not beside these tests (an sdist)")
    sys.path.insert(0, str(bench_dir))
    try:
        import bench
    finally:
        sys.path.remove(str(bench_dir))
    return bench.FRAMES
