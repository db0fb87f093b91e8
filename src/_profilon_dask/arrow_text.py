"""Arrow-backed text of a partition read in place: the chunks' buffers for
the native kernels, and its distinct texts coded in first-seen order
(`text_codes`), which stands for a dictionary encoding or value_counts
without a Python object per row."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd


def arrow_text(s: pd.Series) -> Any | None:
    """The pyarrow ChunkedArray of a Series of Arrow-backed text (string or
    large_string chunks), else None."""
    dtype = s.dtype
    arrow_backed = isinstance(dtype, pd.StringDtype) and dtype.storage != "python"
    if not arrow_backed and isinstance(dtype, pd.ArrowDtype):
        arrow_backed = True
    if not arrow_backed:
        return None
    import pyarrow as pa

    data = getattr(s.array, "_pa_array", None)
    if data is None:
        data = s.array.__arrow_array__()
    if isinstance(data, pa.Array):
        data = pa.chunked_array([data])
    if not (pa.types.is_string(data.type) or pa.types.is_large_string(data.type)):
        return None
    return data


def text_chunks(data: Any) -> list[tuple[np.ndarray, np.ndarray, np.ndarray | None]]:
    """(offsets, data, missing) of each chunk, the buffers read in place."""
    import pyarrow as pa

    width = np.int64 if pa.types.is_large_string(data.type) else np.int32
    out = []
    for chunk in data.chunks:
        buffers = chunk.buffers()
        n = len(chunk)
        offsets = np.frombuffer(buffers[1], dtype=width, count=n + 1, offset=chunk.offset * np.dtype(width).itemsize)
        raw = np.frombuffer(buffers[2], dtype=np.uint8) if buffers[2] is not None else np.zeros(0, np.uint8)
        missing = chunk.is_null().to_numpy(zero_copy_only=False) if chunk.null_count else None
        out.append((offsets, raw, missing))
    return out


@dataclass
class TextCodes:
    codes: np.ndarray | None  # int64 per row, -1 where missing (when asked for)
    first: np.ndarray  # per code, the row it first occurs at
    counts: np.ndarray  # per code
    missing: int
    hashes: np.ndarray | None  # pandas' hash of each distinct text


def text_codes(s: pd.Series, codes: bool = True, hashes: bool = False) -> TextCodes | None:
    """The distinct texts of Arrow-backed text `s` in first-seen order (as
    a dictionary encoding numbers them), None for any other Series. Arrow
    text is UTF-8, so two texts are equal exactly where the str objects
    pandas would build from them are."""
    data = arrow_text(s)
    if data is None:
        return None
    import _profilon_kernels

    return TextCodes(*_profilon_kernels.text_codes(text_chunks(data), codes, hashes))
