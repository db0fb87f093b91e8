"""The native kernels side by side with the library calls they stand in
for, on the internal module that exposes them on NumPy buffers."""

import pytest

import _profilon_kernels


@pytest.fixture
def kernels():
    """The internal module exposing the native kernels on NumPy buffers."""
    return _profilon_kernels
