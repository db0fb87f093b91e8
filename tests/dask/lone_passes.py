"""Passes of the Dask driver run on their own, outside an analysis: the
tests drive one figure's passes and read the tables they fill."""

from _profilon_dask.passes import Pass, pinned_scheduler
from _profilon_dask.scan import add_scan
from _profilon_dask.summaries import add_summary_moments, add_summary_scan, add_summary_sums


def scan(ddf, scheduler=None):
    """Pass 1 over `ddf`: row counts, partition positions and missing cells."""
    first = Pass(pinned_scheduler(ddf) if scheduler is None else scheduler)
    fill = add_scan(first, ddf)
    return fill(first.run())


def column_summaries(ddf, columns=None, targets=(), settings=None, scheduler=None):
    """The summaries' three passes (pass 1 with the scan): the tables with
    `column_summaries` (and the target fields) filled."""
    if scheduler is None:
        scheduler = pinned_scheduler(ddf)
    first = Pass(scheduler)
    fill_scan = add_scan(first, ddf)
    fill1 = add_summary_scan(first, ddf, columns, targets, settings)
    results = first.run()
    tables = fill_scan(results)
    fill1(results, tables)
    for add in (add_summary_sums, add_summary_moments):
        p = Pass(scheduler)
        fill = add(p, ddf, tables)
        fill(p.run(), tables)
    return tables


def sample_pass(add, ddf, tables, *args, scheduler=None, **kwargs):
    """Runs `add(p, ddf, tables, *args, **kwargs)` on a pass of its own, then
    its fill; returns `tables`."""
    p = Pass(pinned_scheduler(ddf) if scheduler is None else scheduler)
    fill = add(p, ddf, tables, *args, **kwargs)
    fill(p.run(), tables)
    return tables
