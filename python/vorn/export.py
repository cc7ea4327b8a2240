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

Each host is a process and each trace file a thread of it. A closed scope
is a complete event ("X"), a scope that never closed a begin event ("B")
with no end, a ``log`` record a thread-scoped instant event ("i", "s": "t").
Times are microseconds: the trace's milliseconds times 1000.

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

from vorn.trace_files import TraceFile, require_trace_files
from vorn.trace_reader import Instant, Scope, read_trace_events

__all__ = ["export_events", "trace_event_object", "write_export"]

MICROSECONDS_PER_TICK: Final = 1000  # the trace counts milliseconds


def trace_event_object(files: Sequence[TraceFile]) -> dict[str, Any]:
    """The whole Trace Event Format object for `files`."""
    return {"displayTimeUnit": "ms", "traceEvents": list(export_events(files))}


def export_events(files: Sequence[TraceFile]) -> Iterator[dict[str, Any]]:
    """The trace events of `files`, file by file: the metadata events naming
    each host and thread first, then the thread's scopes and records in file
    order (a parent before its children)."""
    process_ids: dict[str, int] = {}
    thread_ids: dict[int, set[int]] = {}
    for trace in files:
        pid = process_ids.get(trace.host)
        if pid is None:
            pid = process_ids[trace.host] = len(process_ids) + 1
            thread_ids[pid] = set()
            yield _metadata("process_name", pid, 0, trace.host)
        tid = _thread_id(trace.thread, thread_ids[pid])
        yield _metadata("thread_name", pid, tid, f"thread {trace.thread}")
        yield from _item_events(read_trace_events(trace.path), pid, tid)


def write_export(paths: Iterable[str | os.PathLike[str]], output: str | os.PathLike[str]) -> int:
    """Exports the trace files found under `paths` into `output` ("-" for
    standard output). Returns the number of trace files exported; raises
    ValueError when there are none, FileNotFoundError for a missing path and
    TraceFormatError for a file that is not a trace."""
    files = require_trace_files(paths)
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


def _write_object(files: Sequence[TraceFile], stream: IO[str]) -> None:
    """One event per line, so the output streams and diffs well."""
    stream.write('{"displayTimeUnit": "ms", "traceEvents": [')
    separator = "\n"
    for event in export_events(files):
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


def _item_events(items: Sequence[Scope | Instant], pid: int, tid: int) -> Iterator[dict[str, Any]]:
    """Events of `items` and everything below them, iteratively. `low` and
    `high` bound the times an item may have: after its earlier siblings and
    inside its parent (None: no bound)."""
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
            yield _event(item.args or item.invoker, "log", "i", ts, pid, tid, item) | {"s": "t"}
            continue
        start = _clamp(item.ts_enter, low, high)
        if item.ts_exit is None:
            low_box[0] = start
            yield _event(item.args or item.invoker, "scope", "B", start, pid, tid, item)
            stack.append((iter(item.events), [start], high))
            continue
        end = _clamp(item.ts_exit, start, high)
        low_box[0] = end
        yield _event(item.args or item.invoker, "scope", "X", start, pid, tid, item, end - start)
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
