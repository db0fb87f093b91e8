"""The native kernels side by side with the library calls they stand in
for, on the internal module that exposes them on NumPy buffers (the root
conftest's `kernels` fixture, which the Dask and comparison tests share)."""

import os

import pytest


@pytest.fixture(scope="session")
def prompt():
    """The seconds a test allows for `seconds` of promptness (an interrupt
    taking effect, say), times PROFILON_TEST_TIME_SCALE: the race detector's
    build runs the kernels many times slower, and its run sets the scale."""
    scale = float(os.environ.get("PROFILON_TEST_TIME_SCALE", "1"))
    return lambda seconds: seconds * scale
