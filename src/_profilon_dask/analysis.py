"""The whole reading of a Dask frame for one analysis: every figure the
native steps take from the data, in three passes over it (what each pass
computes, and why three: docs/distributed.md, "How the frame is read").

A pass with nothing to compute runs nothing, and pass 3 reads only the
columns its figures ask for (`_Figures.reads`), so a Parquet source decodes
nothing else.
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
from .samples import add_corr_sample, add_mi_sample, add_ts_series, add_ts_summary
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
    # The features the relevance sample and the leakage correlation take: the
    # non-target columns of a NumPy number dtype (booleans are none).
    numeric_features: Sequence[Hashable] = ()
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


# A group's step in one pass: (p, tables, kept) -> the fill of the pass's
# results, whose return value is the `kept` of the group's next step.
Step = Callable[[Pass, Any, Any], Callable[[list[Any], Tables], Any]]
# The columns a pass reads for a group: (number, tables, kept) -> None for all.
Reads = Callable[[int, Any, Any], set[Hashable] | None]


class _Figures:
    """One group of figures over the three passes, given as its steps by
    pass number (`Step`): each adds its work to pass `number`, built from
    what the group's fill of the pass before kept (`tables` is None before
    pass 1). A pass without a step reads no column for the group; `reads`
    tells the columns of a pass with one (asked before its step; after the
    previous pass's fill)."""

    def __init__(self, steps: dict[int, Step], reads: Reads | None = None) -> None:
        self.steps, self._reads, self.kept = steps, reads, None

    def add(self, number: int, p: Pass, tables: Tables | None) -> None:
        step = self.steps.get(number)
        self._fill = None if step is None else step(p, tables, self.kept)

    def fill(self, number: int, results: list[Any], tables: Tables) -> None:
        if self._fill is not None:
            self.kept = self._fill(results, tables)

    def reads(self, number: int, tables: Tables | None) -> set[Hashable] | None:
        if number not in self.steps:
            return set()
        return None if self._reads is None else self._reads(number, tables, self.kept)


def _staged(figures: Any, last: int) -> _Figures:
    """The group of a class whose add_first(p), add_second(p, results) and
    add_third(p, results) take the results of the pass before, and whose
    fill(results, tables) takes those of its `last` pass."""
    adds = [
        lambda p, _: figures.add_first(p),
        getattr(figures, "add_second", None),
        getattr(figures, "add_third", None),
    ]

    def step(number: int) -> Step:
        def add(p: Pass, tables: Any, previous: Any) -> Callable[[list[Any], Tables], Any]:
            adds[number - 1](p, previous)
            return lambda results, tables: figures.fill(results, tables) if number == last else results

        return add

    third = getattr(figures, "reads_third", None)
    reads = None if third is None else lambda number, tables, kept: third(tables) if number == 3 else None
    return _Figures({number: step(number) for number in range(1, last + 1)}, reads)


def _levels(ddf: Any, request: Request) -> _Figures:
    return _Figures(
        {1: lambda p, tables, kept: add_distinct_counts(p, ddf, exact=request.categorical, levels=request.levels)}
    )


def _duplicates(ddf: Any) -> _Figures:
    def reads(number: int, tables: Any, plan: Any) -> set[Hashable] | None:
        return None if number == 2 else {ddf.columns[j] for pair in plan.pairs for j in pair}

    steps: dict[int, Step] = {
        2: lambda p, tables, kept: add_duplicate_candidates(p, ddf, tables),
        3: lambda p, tables, plan: add_duplicate_confirm(p, ddf, plan),
    }
    return _Figures(steps, reads)


def _summaries(ddf: Any, request: Request, targets: list[Hashable]) -> _Figures:
    steps: dict[int, Step] = {
        1: lambda p, tables, kept: add_summary_scan(p, ddf, list(request.numeric), targets, request.settings),
        2: lambda p, tables, kept: add_summary_sums(p, ddf, tables),
        3: lambda p, tables, kept: add_summary_moments(p, ddf, tables),
    }

    def reads(number: int, tables: Any, kept: Any) -> set[Hashable] | None:
        return None if number < 3 else {label for label, _ in tables.summary_work.entries}

    return _Figures(steps, reads)


def _samples(ddf: Any, request: Request, targets: list[Hashable]) -> _Figures:
    """The samples, taken in pass 2 (the time-series sample narrowed by its
    summary of pass 1)."""
    recent = bool(targets) and request.has_axis

    def first(p: Pass, tables: Any, kept: Any) -> Callable[[list[Any], Tables], Any]:
        at = add_ts_summary(p, ddf, targets, request.time_col) if recent else None
        return lambda results, tables: None if at is None else results[at]

    def second(p: Pass, tables: Tables, summary: Any) -> Callable[[list[Any], Tables], None]:
        fills = []
        if request.numeric_features and request.numeric_targets:
            relevance = [*request.numeric_features, *dict.fromkeys(request.numeric_targets)]
            fills.append(add_mi_sample(p, ddf, tables, relevance))
        if len(request.numeric) >= 2:
            fills.append(add_corr_sample(p, ddf, tables, list(request.numeric), request.settings))
        if recent:
            fills.append(add_ts_series(p, ddf, tables, targets, request.time_col, request.settings, summary))

        def fill_all(results: list[Any], tables: Tables) -> None:
            for fill in fills:
                fill(results, tables)

        return fill_all

    return _Figures({1: first, 2: second})


def _figure_groups(ddf: Any, request: Request, targets: list[Hashable]) -> list[_Figures]:
    """The groups with something to compute for this request: the table of
    which figures each pass computes, and from which columns."""
    groups: list[_Figures] = [_levels(ddf, request), _duplicates(ddf)]
    if request.numeric or targets:
        groups.append(_summaries(ddf, request, targets))
    ratios = CorrelationRatios(ddf, list(request.numeric_targets), list(request.levels))
    if ratios.pairs:
        groups.append(_staged(ratios, last=3))
    if targets:
        checks = LeakageChecks(ddf, targets, request.numeric_features, request.numeric_targets)
        groups.append(_staged(checks, last=2))
    if request.has_axis:
        axis = TimeAxis(ddf, request.time_col, request.freq)
        groups.append(_staged(axis, last=1 if axis.gathers_column else 3))
    # Then the page: it reads the summaries' page figures at pass 3.
    page = PageFigures(ddf, request, targets)
    groups.append(_Figures({1: page.first, 2: page.second, 3: page.third}, page.reads))
    groups.append(_samples(ddf, request, targets))
    return groups


def analyse(ddf: Any, request: Request, scheduler: Callable[..., Any] | None = None) -> Tables:
    """Reads `ddf` for one analysis; returns the filled `Tables`."""
    if scheduler is None:
        scheduler = pinned_scheduler(ddf)
    targets = list(dict.fromkeys(request.targets))
    groups = _figure_groups(ddf, request, targets)
    tables: Tables | None = None
    for number in (1, 2, 3):
        p = Pass(scheduler, _positions(ddf, [group.reads(number, tables) for group in groups]))
        make_tables = add_scan(p, ddf) if number == 1 else None
        for group in groups:
            group.add(number, p, tables)
        results = p.run()
        if make_tables:
            tables = make_tables(results)
        for group in groups:
            group.fill(number, results, tables)
    return tables


def _positions(ddf: Any, reads: list[set[Hashable] | None]) -> list[int] | None:
    """The positions of the columns a pass reads; None for all of them (or
    when the labels do not name single columns)."""
    if any(r is None for r in reads) or not ddf.columns.is_unique:
        return None
    return sorted(ddf.columns.get_loc(label) for label in set().union(*reads))
