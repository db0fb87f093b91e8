"""The analysis of Dask frames: the driver's passes, its samples and the
report, against the pandas analysis of the same rows."""

import pytest


@pytest.fixture
def sync():
    """Dask's synchronous scheduler for the test (Dask imported only here)."""
    import dask

    with dask.config.set(scheduler="sync"):
        yield


def _cluster(n_workers):
    """A cluster whose scheduler and workers are threads of this process.

    Without a profiler: the sampling thread it starts lives as long as
    distributed's event loop, i.e. past the cluster's close, and its
    allocations would count in the memory-growth tests of later files (for
    the same reason the shared cluster is closed with its module, not with
    the session). Every scheduler serves HTTP; on a port of its own, since a
    second cluster asking for the default one, in use by the first, warns.
    """
    import dask
    import distributed

    with dask.config.set({"distributed.worker.profile.enabled": False}):
        return distributed.LocalCluster(
            n_workers=n_workers, threads_per_worker=1, processes=False, dashboard_address=":0", silence_logs=50
        )


@pytest.fixture(scope="session")
def local_cluster():
    """Starts a cluster of `n_workers` threads (the caller closes it)."""
    pytest.importorskip("distributed")
    return _cluster


@pytest.fixture(scope="module")
def cluster(local_cluster):
    """A 2-worker cluster shared by the tests of one module."""
    cluster = local_cluster(2)
    yield cluster
    cluster.close()


@pytest.fixture(scope="module")
def client(cluster):
    """A client of `cluster`; not the default client, so that the
    synchronous tests of the module never run on it."""
    import distributed

    client = distributed.Client(cluster, set_as_default=False)
    yield client
    client.close()


@pytest.fixture
def counted_frame():
    """Makes a Dask frame of pandas pieces whose reads `partition_reads`
    counts, per partition (each frame made starts the count again)."""
    from counted_partitions import READS, counted_frame

    READS.clear()
    return counted_frame


@pytest.fixture
def partition_reads():
    """The reads of the partitions of the last frame `counted_frame` made."""
    from counted_partitions import READS

    return READS


@pytest.fixture
def partition_pieces():
    """The pieces behind the frames `counted_frame` made, by key: a test may
    change one to play a partition that changed between passes."""
    from counted_partitions import PIECES

    return PIECES


@pytest.fixture
def count_executions():
    """A context manager counting the graph executions within it (`.count`)."""
    from counted_partitions import Executions

    return Executions


def _split(pdf, n_parts):
    """`pdf` in `n_parts` consecutive pieces of nearly equal length."""
    import numpy as np

    bounds = np.linspace(0, len(pdf), n_parts + 1).astype(int)
    return [pdf.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]


@pytest.fixture
def split():
    """Cuts a pandas frame into n consecutive pieces of nearly equal length."""
    return _split


def _pieces_of(pdf, layout):
    """`pdf` cut into consecutive pieces of the given shares (zero shares
    make empty partitions)."""
    import numpy as np

    bounds = np.round(np.cumsum([0.0, *layout]) * len(pdf)).astype(int)
    bounds[-1] = len(pdf)
    return [pdf.iloc[a:b] for a, b in zip(bounds[:-1], bounds[1:], strict=True)]


@pytest.fixture
def pieces_of():
    """Cuts a pandas frame into consecutive pieces of the given shares."""
    return _pieces_of


@pytest.fixture
def frame_of(counted_frame):
    """A counted Dask frame of `pdf` in pieces of the given shares."""
    return lambda pdf, layout: counted_frame(_pieces_of(pdf, layout), meta=pdf.iloc[:0])


@pytest.fixture
def scanned(partition_reads):
    """Pass 1's tables of a frame, with the read counts then cleared for
    what the test does next."""
    from lone_passes import scan as first_pass

    def scan(ddf):
        tables = first_pass(ddf)
        partition_reads.clear()
        return tables

    return scan
