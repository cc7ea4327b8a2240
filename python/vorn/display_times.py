"""Display times: a thread's events placed on a time axis in file order.

A trace counts whole milliseconds, and most Python scopes last less than
one: thousands of enters, exits and records of a thread can carry the same
time. Viewers nest events by their times, so at equal times they guess,
and guess wrong (a scope drawn under its earlier sibling, a frame ended
before it began). The file's order is what really happened; only its
clock is coarse. So the events of one thread that share a millisecond are
spread inside that millisecond in file order: the k-th of n events in
millisecond m (k from 0) is placed at m + k/n ms. Every enter, exit and
record then has its own, strictly increasing time, a scope that entered
and exited within one millisecond has a width, and nesting by time is the
file's nesting. An event alone in its millisecond keeps its exact time.

Positions inside a millisecond show order, not measured time.

Times are first made non-decreasing in file order (a wall clock set back
while a program ran can give a scope an exit before its enter, or a child
that starts before its parent): each event is placed no earlier than the
one before it. A scope that never closed ends at its thread's last moment,
after every event of the file, inner scopes before outer ones.

With ``exact`` the spreading is left out: every event keeps its
millisecond (made non-decreasing as above).

place() works on a file's whole tree, as read_trace_events gives it;
place_events() gives the same times to the events of iter_trace as they
stream, holding one millisecond's events at a time.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import NamedTuple

from vorn.trace_reader import ENTER, EXIT, Instant, Scope, TraceEvent

__all__ = ["Placed", "PlacedEvent", "place", "place_events"]


@dataclass(frozen=True, slots=True)
class Placed:
    """One scope or record of a thread, in file order (a parent before its
    children), with its display times in milliseconds on the file's own
    clock. `end` is the scope's exit, the thread's last moment for a scope
    that never closed, and `start` for a record."""

    item: Scope | Instant
    parent: int  # index of the enclosing scope's Placed, -1 at the top level
    depth: int
    start: float
    end: float

    @property
    def closed(self) -> bool:
        return not isinstance(self.item, Scope) or self.item.ts_exit is not None


def place(items: Sequence[Scope | Instant], exact: bool = False) -> tuple[list[Placed], float | None]:
    """The scopes and records below `items` in file order with their display
    times, and the thread's last moment (None for a file without events)."""
    ticks: list[int] = []  # the file's milliseconds, one per enter, exit and record
    # Per entry: parent, depth, tick of its start, tick of its end (None until known).
    entries: list[tuple[Scope | Instant, int, int, int, list[int | None]]] = []
    never_closed: list[list[int | None]] = []
    stack: list[tuple[Iterator[Scope | Instant], int, int, list[int | None] | None]] = [
        (iter(items), -1, 0, None)
    ]
    while stack:
        children, parent, depth, end_box = stack[-1]
        item = next(children, None)
        if item is None:
            stack.pop()
            if end_box is not None:
                scope = entries[parent][0]
                assert isinstance(scope, Scope)
                if scope.ts_exit is None:
                    never_closed.append(end_box)
                else:
                    end_box[0] = len(ticks)
                    ticks.append(scope.ts_exit)
            continue
        start = len(ticks)
        if isinstance(item, Instant):
            ticks.append(item.ts)
            entries.append((item, parent, depth, start, [start]))
            continue
        ticks.append(item.ts_enter)
        box: list[int | None] = [None]
        entries.append((item, parent, depth, start, box))
        stack.append((iter(item.events), len(entries) - 1, depth + 1, box))
    # Scopes that never closed end after everything else, innermost first
    # (the order their children ran out in).
    for box in never_closed:
        box[0] = len(ticks)
        ticks.append(ticks[-1])
    times = _spread(ticks, exact)
    placed = []
    for item, parent, depth, start, box in entries:
        end = box[0]
        assert end is not None
        placed.append(Placed(item, parent, depth, times[start], times[end]))
    return placed, (times[-1] if times else None)


def _spread(ticks: Sequence[int], exact: bool) -> list[float]:
    """The display time of each tick: non-decreasing in order, and unless
    `exact`, the ticks of one millisecond spread evenly inside it."""
    monotonic: list[int] = []
    latest: int | None = None
    for tick in ticks:
        latest = tick if latest is None or tick > latest else latest
        monotonic.append(latest)
    if exact:
        return [float(tick) for tick in monotonic]
    times: list[float] = []
    run_start = 0
    while run_start < len(monotonic):
        millisecond = monotonic[run_start]
        run_end = run_start
        while run_end < len(monotonic) and monotonic[run_end] == millisecond:
            run_end += 1
        count = run_end - run_start
        times += [millisecond + k / count for k in range(count)]
        run_start = run_end
    return times


class PlacedEvent(NamedTuple):
    """One event of iter_trace with its display time in milliseconds on the
    file's own clock: `time` is the enter's, the record's or the exit's
    (the thread's last moments for a scope that never closed); `start` is
    the enter's time for an exit, and `time` otherwise."""

    kind: str
    depth: int
    item: Scope | Instant
    time: float
    start: float


def place_events(events: Iterable[TraceEvent], exact: bool = False) -> Iterator[PlacedEvent]:
    """The events of one file (from iter_trace) in the same order, each with
    the display time place() gives it. The events of one millisecond are
    held until the file moves past it, since each one's place inside it
    depends on how many there are; nothing else is kept but the start times
    of the scopes open."""
    starts: list[float] = []  # of the scopes open, innermost last
    run: list[TraceEvent] = []  # the events of `millisecond` not yet placed
    millisecond: int | None = None
    for event in events:
        kind, _, item = event
        if kind == EXIT:
            assert isinstance(item, Scope)
            # A scope that never closed ends at the last moment so far: the
            # reader gives those exits after every other event.
            tick = item.ts_exit if item.ts_exit is not None else millisecond
        elif kind == ENTER:
            assert isinstance(item, Scope)
            tick = item.ts_enter
        else:
            assert isinstance(item, Instant)
            tick = item.ts
        assert tick is not None
        if millisecond is None or tick > millisecond:
            if run:
                yield from _placed_run(run, millisecond, starts, exact)
                run.clear()
            millisecond = tick
        run.append(event)
    if run:
        assert millisecond is not None
        yield from _placed_run(run, millisecond, starts, exact)


def _placed_run(run: Sequence[TraceEvent], millisecond: int | None, starts: list[float],
                exact: bool) -> Iterator[PlacedEvent]:  # fmt: skip
    """The events of one millisecond spread inside it as _spread does."""
    assert millisecond is not None
    count = len(run)
    for k, (kind, depth, item) in enumerate(run):
        # The same arithmetic as _spread, so that both give equal floats.
        time = float(millisecond) if exact else millisecond + k / count
        if kind == ENTER:
            starts.append(time)
            yield PlacedEvent(kind, depth, item, time, time)
        elif kind == EXIT:
            yield PlacedEvent(kind, depth, item, time, starts.pop())
        else:
            yield PlacedEvent(kind, depth, item, time, time)
