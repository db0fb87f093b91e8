"""Random frames, leaks, interrupts and threads: what the analysis must
survive. `pytest --hypothesis-profile=long` draws 5,000 frames instead of 100."""
