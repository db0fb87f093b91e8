"""The analysis of a Dask DataFrame: the passes over the data that the native
analysis steps read their figures from (internal; no stable interface; its
passes, files and settings: docs/distributed.md).

profilon imports this module only after it has recognised a Dask frame, and
this module imports Dask only when a pass runs: a pandas analysis never
loads Dask, installed or not.
"""

from __future__ import annotations

import sys

# What the native analysis calls; the passes and figures are in the
# submodules (tests import them from there).
from .analysis import Request, analyse

__all__ = ["Request", "analyse", "is_dask_frame"]


def is_dask_frame(obj: object) -> bool:
    """Whether `obj` is a Dask DataFrame (not a Dask Series, Index or scalar).

    Never imports Dask: such a frame cannot exist unless `dask.dataframe` has
    been imported already, so an absent module means the answer is no.
    """
    module = sys.modules.get("dask.dataframe")
    # None also stands for an import that was blocked on purpose; a module
    # still being imported may not have its DataFrame yet.
    frame_class = getattr(module, "DataFrame", None) if module is not None else None
    if not isinstance(frame_class, type):
        return False
    return isinstance(obj, frame_class)
