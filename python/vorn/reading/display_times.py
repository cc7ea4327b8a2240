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

Positions inside a millisecond show order, not measured time, for the
events without a precise time. Where the trace file has a companion of
precise times (vorn.reading.precise_times), an event is placed at its measured time
instead, to the nanosecond; only the events it does not cover (a file
without one, the records past its end) are spread, in the part of their
millisecond between their measured neighbours.

Times are first made non-decreasing in file order (a wall clock set back
while a program ran can give a scope an exit before its enter, or a child
that starts before its parent): each event is placed no earlier than the
one before it. A scope that never closed ends at its thread's last moment,
after every event of the file, inner scopes before outer ones.

With ``exact`` the spreading is left out: every event keeps its precise
time or its millisecond (made non-decreasing as above).

place() works on a file's whole tree, as read_trace_events gives it;
place_events() gives the same times to the events of iter_trace as they
stream, holding one millisecond's events at a time.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Final, NamedTuple

from vorn.reading.precise_times import NS_PER_MS
from vorn.reading.trace_reader import ENTER, EXIT, Instant, Scope, TraceEvent

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
    precise: list[int | None] = []  # their precise times, ns, where known
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
                    precise.append(scope.ts_exit_ns)
            continue
        start = len(ticks)
        if isinstance(item, Instant):
            ticks.append(item.ts)
            precise.append(item.ts_ns)
            entries.append((item, parent, depth, start, [start]))
            continue
        ticks.append(item.ts_enter)
        precise.append(item.ts_enter_ns)
        box: list[int | None] = [None]
        entries.append((item, parent, depth, start, box))
        stack.append((iter(item.events), len(entries) - 1, depth + 1, box))
    # Scopes that never closed end after everything else, innermost first
    # (the order their children ran out in).
    for box in never_closed:
        box[0] = len(ticks)
        ticks.append(ticks[-1])
        precise.append(None)
    times = _spread(ticks, precise, exact)
    placed = []
    for item, parent, depth, start, box in entries:
        end = box[0]
        assert end is not None
        placed.append(Placed(item, parent, depth, times[start], times[end]))
    return placed, (times[-1] if times else None)


def _spread(ticks: Sequence[int], precise: Sequence[int | None], exact: bool) -> list[float]:
    """The display time of each tick: non-decreasing in order; a precise
    time where there is one, and unless `exact`, the other ticks of one
    millisecond spread inside it."""
    monotonic: list[int] = []
    latest: int | None = None
    for tick in ticks:
        latest = tick if latest is None or tick > latest else latest
        monotonic.append(latest)
    times: list[float] = []
    last = -math.inf
    run_start = 0
    while run_start < len(monotonic):
        millisecond = monotonic[run_start]
        run_end = run_start
        while run_end < len(monotonic) and monotonic[run_end] == millisecond:
            run_end += 1
        times += _run_times(millisecond, precise[run_start:run_end], last, exact)
        last = times[-1]
        run_start = run_end
    return times


# Events with precise times that fall on the same nanosecond (or that a
# clock set back would put before their predecessor) are kept apart by this
# much, so that every event still has a time of its own: 1 ns.
_APART: Final = 1e-6


def _run_times(millisecond: int, precise: Sequence[int | None], last: float, exact: bool) -> list[float]:
    """The display times of the events of one millisecond, in file order,
    given each one's precise time in ns (None where unknown) and the time
    of the event before them (-inf for none).

    An event with a precise time is placed at it. The others are spread
    evenly, in file order, over the part of the millisecond between their
    neighbours: the k-th of n events is at m + k/n ms when none of the
    millisecond has a precise time; after an event at time a and before one
    at time b (or the millisecond's end), the k-th of n is at
    a + (b - a)(k + 1)/(n + 1). With `exact`, they keep the millisecond."""
    count = len(precise)
    if all(ns is None for ns in precise) and last < millisecond:
        # The same arithmetic as before precise times existed, to the float.
        return [float(millisecond) if exact else millisecond + k / count for k in range(count)]
    times: list[float] = []
    index = 0
    while index < count:
        ns = precise[index]
        if ns is not None:
            time = ns / NS_PER_MS
            last = max(time, last) if exact else max(time, last + _APART)
            times.append(last)
            index += 1
            continue
        stretch = index
        while stretch < count and precise[stretch] is None:
            stretch += 1
        n = stretch - index
        if exact:
            last = max(float(millisecond), last)
            times += [last] * n
        else:
            following = precise[stretch] if stretch < count else None
            high = millisecond + 1.0 if following is None else following / NS_PER_MS
            if last < millisecond:  # the first of the millisecond: at its start, as without precise times
                low, first = float(millisecond), 0
            else:
                low, first = last, 1
            high = max(high, low + _APART * (n + 1))
            times += [low + (high - low) * (k + first) / (n + first) for k in range(n)]
            last = times[-1]
        index = stretch
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
    held until the file moves past it, since the place of those without a
    precise time depends on the others; nothing else is kept but the start
    times of the scopes open."""
    starts: list[float] = []  # of the scopes open, innermost last
    run: list[TraceEvent] = []  # the events of `millisecond` not yet placed
    precise: list[int | None] = []  # their precise times
    millisecond: int | None = None
    last = [-math.inf]  # the display time of the last event placed
    for event in events:
        kind, _, item = event
        if kind == EXIT:
            assert isinstance(item, Scope)
            # A scope that never closed ends at the last moment so far: the
            # reader gives those exits after every other event.
            tick = item.ts_exit if item.ts_exit is not None else millisecond
            ns = item.ts_exit_ns
        elif kind == ENTER:
            assert isinstance(item, Scope)
            tick, ns = item.ts_enter, item.ts_enter_ns
        else:
            assert isinstance(item, Instant)
            tick, ns = item.ts, item.ts_ns
        assert tick is not None
        if millisecond is None or tick > millisecond:
            if run:
                yield from _placed_run(run, precise, millisecond, starts, last, exact)
                run.clear()
                precise.clear()
            millisecond = tick
        run.append(event)
        precise.append(ns)
    if run:
        yield from _placed_run(run, precise, millisecond, starts, last, exact)


def _placed_run(run: Sequence[TraceEvent], precise: Sequence[int | None], millisecond: int | None,
                starts: list[float], last: list[float], exact: bool) -> Iterator[PlacedEvent]:  # fmt: skip
    """The events of one millisecond placed as _spread places them."""
    assert millisecond is not None
    times = _run_times(millisecond, precise, last[0], exact)
    last[0] = times[-1]
    for (kind, depth, item), time in zip(run, times):
        if kind == ENTER:
            starts.append(time)
            yield PlacedEvent(kind, depth, item, time, time)
        elif kind == EXIT:
            yield PlacedEvent(kind, depth, item, time, starts.pop())
        else:
            yield PlacedEvent(kind, depth, item, time, time)
