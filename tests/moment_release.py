"""What the running releases make of a sum and of SciPy's moments, for the
summary and moment kernel tests and the Dask driver's moment figures (beside
the root conftest, so every test folder imports it). The moment kernel's own
reading of the releases is a test-only entry; the moment kernel tests hold
it to this one, so tests that run against a wheel can rely on this alone."""

import numpy as np
import scipy


def sum_block():
    """How the running NumPy splits a reduction (pieces of its buffer size,
    or the whole array), asked of NumPy as the adapter asks it."""
    import _profilon_kernels

    block = _profilon_kernels.numpy_sum_block()
    assert block is not None
    return block


def expected_formula():
    """The moment kernel's formula for the running SciPy, read from its
    sources: repeated squaring in 1.13 to 1.17, NumPy's power ufunc in 1.18
    (NumPy 2 only), on every CPU."""
    release = tuple(int(p) for p in scipy.__version__.split(".")[:2])
    if (1, 13) <= release <= (1, 17):
        return "squares"
    if release == (1, 18) and not np.__version__.startswith("1."):
        return "powers"
    return "none"
