"""Settings of a Dask analysis, read from the environment at each analysis."""

from __future__ import annotations

import os
import re
from collections.abc import Mapping
from dataclasses import dataclass

import _profilon_kernels

# The rows the in-memory analysis samples for mutual information, and the seed of the draw.
MI_SAMPLE_ROWS = _profilon_kernels.rules()["relevance_sample_rows"]
MI_SAMPLE_SEED = _profilon_kernels.rules()["relevance_sample_seed"]

_SETTINGS = {
    "corr_rows": ("PROFILON_DASK_CORR_ROWS", 1_000_000),
    "ts_points": ("PROFILON_DASK_TS_POINTS", 1_000_000),
    "bucket_cap": ("PROFILON_DASK_BUCKET_CAP", 4_000_000),
}

# ASCII digits only: int() would also take "+5", "1_000" and other scripts'
# digits, which a reader of the environment would not expect to work.
_POSITIVE_INTEGER = re.compile(r"[0-9]+")


@dataclass(frozen=True)
class Settings:
    corr_rows: int
    ts_points: int
    bucket_cap: int


def _setting(environ: Mapping[str, str], name: str, default: int) -> int:
    raw = environ.get(name)
    if raw is None or not raw.strip():
        return default
    text = raw.strip()
    if _POSITIVE_INTEGER.fullmatch(text) and int(text) > 0:
        return int(text)
    raise ValueError(f"{name} must be a positive integer, not {raw!r}")


def read_settings(environ: Mapping[str, str] | None = None) -> Settings:
    """The settings of one analysis, from `environ` (default os.environ)."""
    env = os.environ if environ is None else environ
    return Settings(**{field: _setting(env, name, default) for field, (name, default) in _SETTINGS.items()})
