"""The analysis of a Dask DataFrame: the passes over the data that the native
analysis steps read their figures from (internal; no stable interface).

profilon imports this module only after it has recognised a Dask frame, and
this module imports Dask only when a pass runs: a pandas analysis never
loads Dask, installed or not.

The analysis reads the data in a few passes, each one graph execution (one
`dask.compute`), so that a frame whose partitions are read from storage is
read once per pass. Every figure of a pass is computed inside the pass's own
per-partition functions; shortcuts such as `len(ddf)` take a path of their
own through the data and would read it again.

Settings, read from the environment at each analysis (a positive integer
each; unset or empty means the default):

    PROFILON_DASK_CORR_ROWS    rows of the uniform sample the correlation
                               matrix is computed on (default 1,000,000;
                               smaller frames use every row)
    PROFILON_DASK_TS_POINTS    most recent points of each target that the
                               stationarity and autocorrelation figures use
                               (default 1,000,000)
    PROFILON_DASK_BUCKET_CAP   values one partition may return for one
                               quantile bucket before the bucket is refined
                               instead (default 4,000,000)

One file per concern: `analysis` (`analyse`: the passes of one analysis,
in order), `settings` (the settings above), `passes` (the pass runner),
`tables` (what the passes found, as the native steps read it) and
one file per group of figures (`scan`: pass 1's lengths and missing cells;
`distinct`: distinct counts and rare-level shares, in any pass;
`duplicates`: duplicate columns, candidates in pass 2 and their exact
comparison in pass 3; `association`: the correlation ratios; `leakage`: the
leakage checks' data; `summaries`: the numeric columns' summaries and the
targets' moments, over all three passes; `samples`: the mutual-information,
correlation and time-series samples, taken in pass 2; `time_axis`: the
frequency, gaps and extent of the time axis, in passes 1 to 3).
A figure's file offers a function that adds its per-partition work to a
given `Pass` and returns the function that, given the pass's results, fills
its fields of the `Tables`, so that the figures of one pass share one read
of the data.

The mutual-information sample is the in-memory analysis's own 8,000 rows,
drawn by the same call; it is not a setting, since any other size would give
figures the pandas report does not have.
"""

from __future__ import annotations

import sys

from .analysis import Request, analyse
from .association import CorrelationRatios
from .distinct import add_distinct_counts
from .duplicates import DuplicatePlan, add_duplicate_candidates, add_duplicate_confirm
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
    order_like_memory,
    sample_pass,
)
from .scan import add_scan, scan
from .settings import MI_SAMPLE_ROWS, Settings, read_settings
from .summaries import add_summary_moments, add_summary_scan, add_summary_sums, column_summaries
from .tables import Tables
from .time_axis import TimeAxis, missing_ts_share, time_axis, timeline_length

__all__ = [
    "Request",
    "analyse",
    "CorrelationRatios",
    "LeakageChecks",
    "MI_SAMPLE_ROWS",
    "Pass",
    "Settings",
    "Tables",
    "TimeAxis",
    "is_dask_frame",
    "missing_ts_share",
    "pinned_scheduler",
    "read_settings",
    "add_corr_sample",
    "add_mi_sample",
    "add_rows",
    "add_ts_series",
    "corr_positions",
    "mi_columns",
    "mi_positions",
    "order_like_memory",
    "sample_pass",
    "add_scan",
    "add_summary_moments",
    "add_summary_scan",
    "add_summary_sums",
    "column_summaries",
    "DuplicatePlan",
    "add_distinct_counts",
    "add_duplicate_candidates",
    "add_duplicate_confirm",
    "scan",
    "time_axis",
    "timeline_length",
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
