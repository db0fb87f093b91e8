"""Tests of the dataset comparison (a package, so that its conftest is not the
root conftest that other test modules import from)."""
