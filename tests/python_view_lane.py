"""The Python builder of one thread's lane of the HTML page that the native
one replaced, kept as the reference the native one is held to
(test_vorn_view.py): the same page bytes."""

from __future__ import annotations

import math
import os
from array import array
from collections.abc import Iterable, Sequence

from vorn.outputs.view import SpanRecords, SpanTimes, Window, _Lane, _Strings
from vorn.program.spans import SPAN_INVOKER
from vorn.reading.display_times import place_events
from vorn.reading.scope_outcome import raised_by_record
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_reader import ENTER, EXIT, Instant, Scope, iter_trace, read_trace_events
from vorn.reading.trace_timeline import Timeline, thread_name

_SPAN_THREAD_FILE = "<vorn.span>"


class _LaneColumns:
    """One thread's scopes and records as columns, filled while its file
    streams by, in file order (a scope's row is made at its enter)."""

    def __init__(self) -> None:
        self.parent, self.depth, self.invoker, self.file = array("q"), array("q"), array("q"), array("q")
        self.line, self.args, self.measured, self.raised = array("q"), array("q"), array("q"), array("q")
        self.enter, self.exit = array("d"), array("d")  # ms on the timeline; exit NaN: never closed
        self.outside = array("b")  # 1 for a scope that lies outside the window
        self.record_parent, self.record_invoker, self.record_file = array("q"), array("q"), array("q")
        self.record_line, self.record_args, self.record_measured = array("q"), array("q"), array("q")
        self.record_time = array("d")


def _ints(values: Sequence[int]) -> str:
    """A column as JSON: one number where every row holds it (most rows of
    a trace share their file, line or measured flag), else the list."""
    if values and values.count(values[0]) == len(values):
        return str(values[0])
    return "[" + ",".join(map(str, values)) + "]"


def _ns(times: Iterable[float]) -> list[int]:
    return [round(time * 1e6) for time in times]


def _deltas(values: Sequence[int]) -> list[int]:
    """Each value less the one before it: times in file order rarely go
    back, nor do the indices of new texts, so the steps are short numbers
    where the values are long ones."""
    return [value - before for value, before in zip(values, [0, *values[:-1]])]


def _encoded(columns: _LaneColumns) -> tuple[str, str]:
    c = columns
    enter = _ns(c.enter)
    length = [-1 if math.isnan(exit) else ns - begin for exit, ns, begin in zip(c.exit, _ns(
        0.0 if math.isnan(exit) else exit for exit in c.exit), enter)]  # fmt: skip
    scopes = {
        "count": str(len(c.depth)),
        "parent": _ints([row - parent if parent >= 0 else 0 for row, parent in enumerate(c.parent)]),
        "depth": _ints(c.depth), "enter": _ints(_deltas(enter)), "length": _ints(length),
        "invoker": _ints(c.invoker), "file": _ints(c.file), "line": _ints(c.line), "args": _ints(_deltas(c.args)),
        "measured": _ints(c.measured), "raised": _ints([raised + 1 for raised in c.raised]),
    }  # fmt: skip
    records = {
        "count": str(len(c.record_time)), "parent": _ints([parent + 1 for parent in c.record_parent]),
        "time": _ints(_deltas(_ns(c.record_time))), "invoker": _ints(c.record_invoker),
        "file": _ints(c.record_file), "line": _ints(c.record_line), "args": _ints(_deltas(c.record_args)),
        "measured": _ints(c.record_measured),
    }  # fmt: skip
    return tuple("{" + ",".join(f'"{key}":{value}' for key, value in table.items()) + "}"
                 for table in (scopes, records))  # type: ignore[return-value]


def _kept(columns: _LaneColumns) -> _LaneColumns:
    """`columns` without the scopes outside the window; parents renumbered
    (a kept scope's parent and a kept record's scope overlap the window too)."""
    kept = _LaneColumns()
    renumbered: dict[int, int] = {-1: -1}
    for row, outside in enumerate(columns.outside):
        if outside:
            continue
        renumbered[row] = len(kept.depth)
        kept.parent.append(renumbered[columns.parent[row]])
        for name in ("depth", "invoker", "file", "line", "args", "measured", "raised", "enter", "exit"):
            getattr(kept, name).append(getattr(columns, name)[row])
        kept.outside.append(0)
    for name in ("invoker", "file", "line", "args", "measured", "time"):
        setattr(kept, f"record_{name}", getattr(columns, f"record_{name}"))
    kept.record_parent = array("q", (renumbered[parent] for parent in columns.record_parent))
    return kept


def reference_lane(trace: TraceFile, strings: _Strings, timeline: Timeline, exact: bool = False,
          window: Window | None = None, span_times: SpanTimes | None = None,
          span_records: SpanRecords | None = None) -> _Lane:  # fmt: skip
    """One thread's scopes and records, streamed from its file, their
    display times (vorn.reading.display_times: the events of one
    millisecond spread inside it in file order, unless `exact`) moved onto
    the timeline. With `window`, only the scopes and records that overlap
    it; meta["outside"] counts the others. The display time of each span
    record goes into `span_times`, by file and position as read_spans
    names them. A scope raised when its last event is a record saying so
    (vorn.reading.scope_outcome). Holds the columns and the scopes open,
    never the file's tree."""
    columns = _LaneColumns()
    known = len(span_times or ())
    offset = timeline.offset(trace)
    low, high = window if window is not None else (-math.inf, math.inf)
    name = os.fspath(trace.path)
    outside = [0, 0]
    last_time: float | None = None
    open_rows: list[int] = []  # the scopes open, innermost last
    last_record: list[Instant | None] = []  # each open scope's last event, where that is a record
    # The place of the next event among its parent's events, for the
    # top level and each open scope, and each open scope's own place.
    children = [0]
    position: list[int] = []
    first_scope: Scope | None = None
    for kind, depth, item, time, _ in place_events(iter_trace(trace.path, trace), exact):
        time += offset
        last_time = time if last_time is None else max(last_time, time)
        if kind == ENTER:
            assert isinstance(item, Scope)
            first_scope = first_scope or item
            if last_record:
                last_record[-1] = None
            columns.parent.append(open_rows[-1] if open_rows else -1)
            open_rows.append(len(columns.depth))
            last_record.append(None)
            position.append(children[-1])
            children[-1] += 1
            children.append(0)
            for column, value in ((columns.depth, depth), (columns.invoker, strings(item.invoker)),
                                  (columns.file, strings(item.file)), (columns.line, item.line),
                                  (columns.args, strings(item.args)), (columns.measured, 0),
                                  (columns.raised, -1), (columns.outside, 0)):  # fmt: skip
                column.append(value)
            columns.enter.append(time)
            columns.exit.append(math.nan)
        elif kind == EXIT:
            assert isinstance(item, Scope)
            row = open_rows.pop()
            record = last_record.pop()
            children.pop()
            position.pop()
            if item.ts_exit is not None:
                columns.exit[row] = time
            columns.measured[row] = (item.ts_enter_ns is not None) | (item.ts_exit_ns is not None) << 1
            raised = raised_by_record(record) if record is not None else None
            if raised is not None:
                columns.raised[row] = strings(str(raised))
            # A scope outside the window has all its events outside it as well.
            if columns.enter[row] > high or time < low:
                columns.outside[row] = 1
                outside[0] += 1
        else:
            assert isinstance(item, Instant)
            if last_record:
                last_record[-1] = item
            if span_times is not None and item.invoker == SPAN_INVOKER:
                span_times[(name, (*position, children[-1]))] = time
            children[-1] += 1
            if not low <= time <= high:
                outside[1] += 1
                continue
            for column, value in ((columns.record_parent, open_rows[-1] if open_rows else -1),
                                  (columns.record_invoker, strings(item.invoker)),
                                  (columns.record_file, strings(item.file)), (columns.record_line, item.line),
                                  (columns.record_args, strings(item.args)),
                                  (columns.record_measured, int(item.ts_ns is not None))):  # fmt: skip
                column.append(value)
            columns.record_time.append(time)
    if span_records is not None and len(span_times or ()) > known:
        span_records += _span_records(name)
    total_scopes = len(columns.depth)
    span_thread = (total_scopes == 1 and not columns.record_time and not outside[1] and first_scope is not None
                   and first_scope.invoker == SPAN_INVOKER and first_scope.file == _SPAN_THREAD_FILE
                   and first_scope.ts_exit is None)  # fmt: skip
    if outside[0]:
        columns = _kept(columns)
    enters, exits, records = columns.enter, columns.exit, columns.record_time
    closed = [exit for exit in exits if not math.isnan(exit)]
    lows = [min(times) for times in (enters, records) if times]
    highs = [max(times) for times in (enters, closed, records) if times]
    measured = sum(flags == 3 or (flags == 1 and math.isnan(exit)) for flags, exit in zip(columns.measured, exits))
    scopes, instants = _encoded(columns)
    meta = {
        "host": trace.host,
        "thread": trace.thread,
        "name": thread_name(trace),  # the page draws the "(not aligned)" mark apart
        "main": trace.pid is not None and trace.thread == str(trace.pid),
        "aligned": timeline.aligned(trace),
        "path": str(trace.path),
        "depth": max(columns.depth, default=-1) + 1,
        "outside": outside,
        "last": last_time,
        "tasks": [],
    }
    return _Lane(meta, scopes, instants, len(enters), len(records),
                 min(lows, default=None), None if len(closed) < len(exits) else max(highs, default=None),
                 min(lows, default=None), max(highs, default=None),
                 measured + sum(columns.record_measured), span_thread)  # fmt: skip


def _span_records(name: str) -> SpanRecords:
    """The file's span records in file order, by position, as the page once
    read them in a second pass."""
    found = []
    stack: list[tuple[tuple[int, ...], list[Scope | Instant]]] = [((), read_trace_events(name))]
    while stack:
        where, items = stack.pop()
        for index, item in enumerate(items):
            if isinstance(item, Scope):
                stack.append(((*where, index), item.events))
            elif item.invoker == "span":
                found.append((item, (name, (*where, index))))
    found.sort(key=lambda entry: entry[1][1])
    return found
