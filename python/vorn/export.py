"""Trace files as one Trace Event Format file.

The output is the format's JSON Object form, which Perfetto UI, Chrome's
chrome://tracing and speedscope open:

    {"displayTimeUnit": "ms", "traceEvents": [
    {"name": "process_name", "ph": "M", "pid": 1, "tid": 0, "args": {"name": "build01"}},
    {"name": "thread_name", "ph": "M", "pid": 1, "tid": 28068, "args": {"name": "thread 28068"}},
    {"name": "load config", "cat": "scope", "ph": "X", "ts": 0, "dur": 3000, "pid": 1, ...},
    {"name": "3 keys", "cat": "log", "ph": "i", "s": "t", "ts": 1000, "pid": 1, ...},
    ...
    ]}

Each process is a process of the format, with a small number of its own
as "pid" (the real pid is in its name, "app.py -v (pid 4242)", followed
by " on <host>" when the files come from several hosts); files without identity are one process per host,
named after the host. Each trace file is a thread, named by its system name
and id ("worker 4243"). A closed scope is a complete event ("X"), a scope
that never closed a begin event ("B") with no end, a ``log`` record a
thread-scoped instant event ("i", "s": "t"). Times are microseconds: the
trace's milliseconds times 1000, placed on one timeline where the files
carry their clock origins; "otherData" then names the timeline's zero in
ISO 8601 UTC, and files without origin among them are marked
"(not aligned)" in their names.

Viewers nest complete events of one thread by their times, so the times are
made consistent with the nesting read from the file: a wall clock set back
while a program ran can give a scope an exit before its enter, or a child
that starts before its parent. Each event is kept within its parent and
after its earlier siblings, and every duration is at least 0.
"""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any, Final

from vorn.trace_archive import opened_trace_files
from vorn.trace_files import TraceFile
from vorn.trace_reader import Instant, Scope, read_trace_events
from vorn.trace_timeline import Timeline, timeline_of

__all__ = ["export_events", "trace_event_object", "write_export"]

MICROSECONDS_PER_TICK: Final = 1000  # the trace counts milliseconds


def trace_event_object(files: Sequence[TraceFile]) -> dict[str, Any]:
    """The whole Trace Event Format object for `files`."""
    timeline = timeline_of(files)
    return _header(timeline) | {"traceEvents": list(export_events(files, timeline))}


def export_events(files: Sequence[TraceFile], timeline: Timeline | None = None) -> Iterator[dict[str, Any]]:
    """The trace events of `files`, process by process and thread by thread:
    the metadata events naming each process and thread first, then the
    thread's scopes and records in file order (a parent before its children)."""
    timeline = timeline or timeline_of(files)
    several_hosts = len(timeline.hosts) > 1
    for pid, process in enumerate(timeline.processes, start=1):
        name = timeline.process_label(process)
        if several_hosts and process.pid is not None:
            name += f" on {process.host}"
        yield _metadata("process_name", pid, 0, name)
        taken: set[int] = set()
        for trace in process.threads:
            tid = _thread_id(trace.thread, taken)
            yield _metadata("thread_name", pid, tid, timeline.thread_label(trace))
            events = read_trace_events(trace.path)
            yield from _item_events(events, pid, tid, timeline.offset(trace))


def write_export(paths: Iterable[str | os.PathLike[str]], output: str | os.PathLike[str]) -> int:
    """Exports the trace files found under `paths` into `output` ("-" for
    standard output). Returns the number of trace files exported; raises
    ValueError when there are none, FileNotFoundError for a missing path and
    TraceFormatError for a file that is not a trace."""
    with opened_trace_files(paths) as files:
        if os.fspath(output) == "-":
            _write_object(files, sys.stdout)
        else:
            # Written to a neighbour first, so a failure leaves no half file.
            partial = f"{os.fspath(output)}.partial"
            try:
                with open(partial, "w", encoding="utf-8") as stream:
                    _write_object(files, stream)
                os.replace(partial, output)
            finally:
                if os.path.exists(partial):
                    os.remove(partial)
        return len(files)


def _header(timeline: Timeline) -> dict[str, Any]:
    """The members before the events: the unit, and where the files carry
    clock origins, the timeline's zero."""
    header: dict[str, Any] = {"displayTimeUnit": "ms"}
    if timeline.origin_ms is not None:
        header["otherData"] = {
            "start_time": timeline.start_time,
            "clock_origin_ms": timeline.origin_ms,
            "aligned": all(timeline.aligned(trace) for process in timeline.processes
                           for trace in process.threads),
        }  # fmt: skip
    return header


def _write_object(files: Sequence[TraceFile], stream: IO[str]) -> None:
    """One event per line, so the output streams and diffs well."""
    timeline = timeline_of(files)
    header = json.dumps(_header(timeline), ensure_ascii=False)
    stream.write(header[:-1] + ', "traceEvents": [')
    separator = "\n"
    for event in export_events(files, timeline):
        stream.write(separator)
        stream.write(json.dumps(event, ensure_ascii=False))
        separator = ",\n"
    stream.write("\n]}\n")


def _metadata(name: str, pid: int, tid: int, value: str) -> dict[str, Any]:
    return {"name": name, "ph": "M", "pid": pid, "tid": tid, "args": {"name": value}}


def _thread_id(thread: str, taken: set[int]) -> int:
    """The thread's own id where it is one and still free in its process,
    else the next free number: two files of one host can carry the same
    digits (two prefixes, or two trace roots)."""
    tid = int(thread) if thread.isascii() and thread.isdecimal() else 0
    if tid <= 0 or tid in taken:
        tid = max(taken, default=0) + 1
    taken.add(tid)
    return tid


def _item_events(
    items: Sequence[Scope | Instant], pid: int, tid: int, offset: int = 0
) -> Iterator[dict[str, Any]]:
    """Events of `items` and everything below them, iteratively, their
    times moved by `offset` ms onto the timeline. `low` and `high` bound the
    times an item may have: after its earlier siblings and inside its parent
    (None: no bound)."""
    stack: list[tuple[Iterator[Scope | Instant], list[int | None], int | None]] = [
        (iter(items), [None], None)
    ]
    while stack:
        children, low_box, high = stack[-1]
        item = next(children, None)
        if item is None:
            stack.pop()
            continue
        low = low_box[0]
        if isinstance(item, Instant):
            ts = _clamp(item.ts, low, high)
            low_box[0] = ts
            yield _event(item.args or item.invoker, "log", "i", ts + offset, pid, tid, item) | {"s": "t"}
            continue
        start = _clamp(item.ts_enter, low, high)
        if item.ts_exit is None:
            low_box[0] = start
            yield _event(item.args or item.invoker, "scope", "B", start + offset, pid, tid, item)
            stack.append((iter(item.events), [start], high))
            continue
        end = _clamp(item.ts_exit, start, high)
        low_box[0] = end
        yield _event(item.args or item.invoker, "scope", "X", start + offset, pid, tid, item, end - start)
        stack.append((iter(item.events), [start], end))


def _clamp(value: int, low: int | None, high: int | None) -> int:
    if low is not None and value < low:
        value = low
    if high is not None and value > high:
        value = high
    return value


def _event(
    name: str,
    category: str,
    phase: str,
    ts: int,
    pid: int,
    tid: int,
    item: Scope | Instant,
    duration: int | None = None,
) -> dict[str, Any]:
    event: dict[str, Any] = {"name": name, "cat": category, "ph": phase}
    event["ts"] = ts * MICROSECONDS_PER_TICK
    if duration is not None:
        event["dur"] = duration * MICROSECONDS_PER_TICK
    return event | {
        "pid": pid,
        "tid": tid,
        "args": {"message": item.args, "invoker": item.invoker, "file": item.file, "line": item.line},
    }
