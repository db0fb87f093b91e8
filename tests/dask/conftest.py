"""The analysis of Dask frames: the driver's passes, its samples and the
report, against the pandas analysis of the same rows."""

import pytest


@pytest.fixture
def sync():
    """Dask's synchronous scheduler for the test (Dask imported only here)."""
    import dask

    with dask.config.set(scheduler="sync"):
        yield
