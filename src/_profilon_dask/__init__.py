"""The analysis of a Dask DataFrame: the passes over the data that the native
analysis steps read their figures from (internal; no stable interface; its
passes, files and settings: docs/distributed.md).

profilon imports this module only after it has recognised a Dask frame, and
this module imports Dask only when a pass runs: a pandas analysis never
loads Dask, installed or not.
"""

from __future__ import annotations

import sys

from .analysis import Request, analyse
from .association import CorrelationRatios
from .distinct import add_distinct_counts
from .duplicates import add_duplicate_candidates, add_duplicate_confirm
from .leakage import LeakageChecks
from .passes import Pass, pinned_scheduler
from .samples import (
    add_corr_sample,
    add_mi_sample,
    add_rows,
    add_ts_series,
    corr_positions,
    mi_columns,
    mi_positions,
    sample_pass,
)
from .scan import add_scan, scan
from .settings import Settings, read_settings
from .summaries import add_summary_moments, add_summary_scan, add_summary_sums, column_summaries
from .tables import Tables
from .time_axis import TimeAxis

__all__ = [
    "Request",
    "analyse",
    "CorrelationRatios",
    "LeakageChecks",
    "Pass",
    "Settings",
    "Tables",
    "TimeAxis",
    "is_dask_frame",
    "pinned_scheduler",
    "read_settings",
    "add_corr_sample",
    "add_mi_sample",
    "add_rows",
    "add_ts_series",
    "corr_positions",
    "mi_columns",
    "mi_positions",
    "sample_pass",
    "add_scan",
    "add_summary_moments",
    "add_summary_scan",
    "add_summary_sums",
    "column_summaries",
    "add_distinct_counts",
    "add_duplicate_candidates",
    "add_duplicate_confirm",
    "scan",
]


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
