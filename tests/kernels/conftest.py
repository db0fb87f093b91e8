"""The native kernels side by side with the library calls they stand in
for, on the internal module that exposes them on NumPy buffers (the root
conftest's `kernels` fixture, which the Dask and comparison tests share)."""
