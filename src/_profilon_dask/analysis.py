"""The whole reading of a Dask frame for one analysis: every figure the
native steps take from the data, in three passes over it.

    pass 1   lengths and missing cells; distinct and level counts (in
             full for the categorical columns, up to two for the others); the
             numeric columns' counts, extrema and quantile buckets; the
             correlation ratios' group counts; the leakage checks' pair sums;
             the time axis' counts and range boundaries; per partition,
             each target's rows with a value and their time range; the
             page's ranges and level counts
    pass 2   duplicate-column candidates (they need pass 1's missing flags);
             the numeric sums and gathered quantile values; the ratios'
             pairwise partial sums; the leakage checks' centred products; the
             time axis' sorted ranges (distinct stamps, gaps); and the
             samples (the mutual-information rows, the correlation rows and
             each target's most recent points), which need only pass 1's
             partition lengths to address their rows (the recent points
             also its time ranges, to sort only the rows that can be among
             them); the page's histograms, period counts and series
    pass 3   the exact comparison of duplicate candidates; the centred sums,
             refined quantiles and outlier counts; the ratios' total sums of
             squares; a long day-spaced time axis gathered for pandas'
             frequency inference

A pass with nothing to compute runs nothing, so a frame without numeric
columns, duplicate candidates or targets is read fewer times. Each pass
reads every partition once, so the samples cost no read of their own. Pass
3 reads only the columns its work needs (the numeric columns, the targets,
the duplicate candidates, the correlation ratios' columns with missing
cells, the time column): a Parquet source decodes nothing else.
"""

from __future__ import annotations

from collections.abc import Callable, Hashable, Sequence
from dataclasses import dataclass, field
from typing import Any

from .association import CorrelationRatios
from .distinct import add_distinct_counts
from .duplicates import add_duplicate_candidates, add_duplicate_confirm
from .leakage import LeakageChecks
from .page import PageFigures
from .passes import Pass, pinned_scheduler
from .samples import add_corr_sample, add_mi_sample, add_ts_series, add_ts_summary, mi_columns
from .scan import add_scan
from .settings import Settings, read_settings
from .summaries import add_summary_moments, add_summary_scan, add_summary_sums
from .tables import Tables
from .time_axis import TimeAxis


@dataclass(frozen=True)
class Request:
    """What the analysis asks of the data, from its typing of the frame's
    metadata: the columns of each kind (in frame order) and the targets in
    the caller's order, repeats kept."""

    targets: Sequence[Hashable] = ()
    numeric: Sequence[Hashable] = ()
    # The categorical columns the rare levels and correlation ratios take
    # (the first max_cat_features of them).
    levels: Sequence[Hashable] = ()
    # Every categorical column: the cardinality score reads their distinct
    # counts. Of the other columns only whether they are constant is asked.
    # None: count every column in full.
    categorical: Sequence[Hashable] | None = None
    # The numeric targets, for which the correlation ratios are computed.
    numeric_targets: Sequence[Hashable] = ()
    # The time axis: a column, or None for the frame's own DatetimeIndex;
    # `has_axis` False when there is none at all.
    time_col: Hashable | None = None
    has_axis: bool = False
    # The caller's frequency (the analysis' `freq`), if any.
    freq: Any = None
    # The time and boolean columns, for the page's figures.
    datetime: Sequence[Hashable] = ()
    boolean: Sequence[Hashable] = ()
    settings: Settings = field(default_factory=read_settings)


class _Figures:
    """One group of figures over the three passes: `add(number, p, previous,
    tables)` adds its work to pass `number` (1 to 3), built from the
    previous pass's results (None and None before pass 1), and
    `fill(number, results, tables)` takes that pass's results."""

    def add(self, number: int, p: Pass, previous: list[Any] | None, tables: Tables | None) -> None:
        pass

    def fill(self, number: int, results: list[Any], tables: Tables) -> None:
        pass

    def reads(self, number: int, tables: Tables | None) -> set[Hashable] | None:
        """The columns pass `number` reads for this group (asked before its
        `add`; after the previous pass's `fill`): None for every column."""
        return None


class _Levels(_Figures):
    def __init__(self, ddf: Any, levels: Sequence[Hashable], categorical: Sequence[Hashable] | None) -> None:
        self.ddf, self.levels, self.categorical = ddf, list(levels), categorical

    def add(self, number, p, previous, tables):
        if number == 1:
            self._fill = add_distinct_counts(p, self.ddf, exact=self.categorical)

    def fill(self, number, results, tables):
        if number == 1:
            self._fill(results, tables, self.levels)

    def reads(self, number, tables):
        return None if number == 1 else set()


class _Duplicates(_Figures):
    def __init__(self, ddf: Any) -> None:
        self.ddf = ddf

    def add(self, number, p, previous, tables):
        if number == 2:
            self._fill = add_duplicate_candidates(p, self.ddf, tables)
        elif number == 3:
            self._fill = add_duplicate_confirm(p, self.ddf, self._plan)

    def fill(self, number, results, tables):
        if number == 2:
            self._plan = self._fill(results, tables)
        elif number == 3:
            self._fill(results, tables)

    def reads(self, number, tables):
        if number < 3:
            return None if number == 2 else set()
        return {self.ddf.columns[j] for pair in self._plan.pairs for j in pair}


class _Summaries(_Figures):
    def __init__(self, ddf: Any, numeric: Sequence[Hashable], targets: list[Hashable], settings: Settings) -> None:
        self.ddf, self.numeric, self.targets, self.settings = ddf, list(numeric), targets, settings

    def add(self, number, p, previous, tables):
        if number == 1:
            self._fill = add_summary_scan(p, self.ddf, self.numeric, self.targets, self.settings)
        else:
            self._fill = (add_summary_sums if number == 2 else add_summary_moments)(p, self.ddf, tables)

    def fill(self, number, results, tables):
        self._fill(results, tables)

    def reads(self, number, tables):
        return None if number < 3 else {label for label, _ in tables.summary_work.entries}


class _Staged(_Figures):
    """A group whose class has add_first/add_second/add_third and a fill of
    the results of its last pass."""

    def __init__(self, figures: Any, last: int) -> None:
        self.figures, self.last = figures, last

    def add(self, number, p, previous, tables):
        if number == 1:
            self.figures.add_first(p)
        elif number == 2:
            self.figures.add_second(p, previous)
        elif number <= self.last:
            self.figures.add_third(p, previous)

    def fill(self, number, results, tables):
        if number == self.last:
            self.figures.fill(results, tables)

    def reads(self, number, tables):
        if number > self.last:
            return set()
        third = getattr(self.figures, "reads_third", None)
        return third(tables) if number == 3 and third is not None else None


def _figure_groups(ddf: Any, request: Request, targets: list[Hashable]) -> list[_Figures]:
    """The groups with something to compute for this request."""
    groups: list[_Figures] = [_Levels(ddf, request.levels, request.categorical), _Duplicates(ddf)]
    if request.numeric or targets:
        groups.append(_Summaries(ddf, request.numeric, targets, request.settings))
    ratios = CorrelationRatios(ddf, list(request.numeric_targets), list(request.levels))
    if ratios.pairs:
        groups.append(_Staged(ratios, last=3))
    if targets:
        groups.append(_Staged(LeakageChecks(ddf, targets), last=2))
    if request.has_axis:
        groups.append(_Staged(TimeAxis(ddf, request.time_col, request.freq), last=3))
    # Last: it reads the summaries' page figures at pass 3.
    groups.append(PageFigures(ddf, request, targets))
    return groups


def analyse(ddf: Any, request: Request, scheduler: Callable[..., Any] | None = None) -> Tables:
    """Reads `ddf` for one analysis; returns the filled `Tables`."""
    if scheduler is None:
        scheduler = pinned_scheduler(ddf)
    targets = list(dict.fromkeys(request.targets))
    groups = _figure_groups(ddf, request, targets)
    tables: Tables | None = None
    results: list[Any] | None = None
    sample_fills: list[Callable[[list[Any], Tables], None]] = []
    for number in (1, 2, 3):
        p = Pass(scheduler, _positions(ddf, [group.reads(number, tables) for group in groups]))
        make_tables = add_scan(p, ddf) if number == 1 else None
        if number == 1:
            recent = add_ts_summary(p, ddf, targets, request.time_col) if targets and request.has_axis else None
        for group in groups:
            group.add(number, p, results, tables)
        if number == 2:
            summary = None if recent is None else results[recent]
            sample_fills = [add(p) for add in _samples(ddf, tables, request, targets, summary)]
        results = p.run()
        if make_tables:
            tables = make_tables(results)
        for group in groups:
            group.fill(number, results, tables)
        if number == 2:
            for fill in sample_fills:
                fill(results, tables)
    if tables.cat_corr_ratio is None:
        tables.cat_corr_ratio = {}
    if not request.has_axis:
        tables.time_axis = {"axis": None}
    return tables


def _positions(ddf: Any, reads: list[set[Hashable] | None]) -> list[int] | None:
    """The positions of the columns a pass reads; None for all of them (or
    when the labels do not name single columns)."""
    if any(r is None for r in reads) or not ddf.columns.is_unique:
        return None
    return sorted(ddf.columns.get_loc(label) for label in set().union(*reads))


def _samples(
    ddf: Any, tables: Tables, request: Request, targets: list[Hashable], ts_summary: Any = None
) -> list[Callable[[Pass], Any]]:
    """The samples the analysis needs, each as a function adding its work to
    a pass and returning the fill of its results (`ts_summary`: pass 1's
    `add_ts_summary` result)."""
    passes: list[Callable[[Pass], Any]] = []
    if mi_columns(ddf._meta, targets):
        passes.append(lambda p: add_mi_sample(p, ddf, tables, targets))
    if len(request.numeric) >= 2:
        passes.append(lambda p: add_corr_sample(p, ddf, tables, list(request.numeric), request.settings))
    if targets and request.has_axis:
        passes.append(lambda p: add_ts_series(p, ddf, tables, targets, request.time_col, request.settings, ts_summary))
    return passes
