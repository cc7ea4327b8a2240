"""Trace files as one Trace Event Format file.

The output is the format's JSON Object form, which Perfetto UI, Chrome
DevTools (Performance panel) and chrome://tracing open:

    {"displayTimeUnit": "ms", "traceEvents": [
    {"name": "process_name", "cat": "__metadata", "ph": "M", "ts": 1000, "pid": 1, "tid": 0, ...},
    {"name": "thread_name", "cat": "__metadata", "ph": "M", "ts": 1000, "pid": 1, "tid": 1, ...},
    {"name": "load config", "cat": "scope", "ph": "X", "ts": 1000, "dur": 3000, "pid": 1, "tid": 1, ...},
    {"name": "3 keys", "cat": "log", "ph": "I", "s": "t", "ts": 1500, "pid": 1, "tid": 1, ...},
    ...
    ]}

Each process is a process of the format, numbered 1, 2, 3, ... (the real
pid and its host are in its name, "app.py -v (pid 4242) on build01");
files without identity are one process per host, named after the host. Each trace file is a thread, numbered 1, 2,
3, ... in its process and named by its system name and id ("worker 4243").

Every scope is a complete event ("X"), one style of duration events per
thread, written when the scope exits (a scope's children before it, since
its duration is known only then: the file is read once, holding one
millisecond's events and the scopes open, whatever its size; viewers order
events by their times); a scope that never closed runs to its thread's last moment, its
name ends in " (never closed)" and its args say "never_closed": true. A
``log`` record is a thread-scoped instant event of phase "I" (DevTools
draws no other instant phase). Metadata events carry a time and the
"__metadata" category, which some readers require.

Times are microseconds, the display times of vorn.reading.display_times: the
measured times where the trace file has a companion of precise times
(to the nanosecond, as fractions of a microsecond); otherwise the events
of a thread that share a millisecond spread inside it in file order, so
that viewers nest them as the file does. They are placed on one timeline
where the files carry their clock origins, and moved so that no event is
at 0, which DevTools takes for "no time". The file's own milliseconds stay
in each event's args ("ts_ms", "ts_enter_ms", "ts_exit_ms"). "otherData"
names the timeline's zero in ISO 8601 UTC; files without origin among
aligned ones are marked "(not aligned)" in their names.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any, Final

from vorn.outputs.output_file import written_output
from vorn.reading import _native
from vorn.reading.span_events import SpanCollector, with_span_events
from vorn.reading.trace_archive import opened_sources
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_reader import ENTER, Instant, Scope, format_error, native_source
from vorn.reading.trace_timeline import Timeline, timeline_of
from vorn.outputs.thread_streams import microseconds, thread_streams
from vorn.outputs.speedscope_export import write_speedscope

__all__ = [
    "export_events",
    "trace_event_object",
    "write_export",
]

NEVER_CLOSED: Final = " (never closed)"


def trace_event_object(files: Sequence[TraceFile], exact: bool = False) -> dict[str, Any]:
    """The whole Trace Event Format object for `files`."""
    timeline = timeline_of(files)
    return _header(timeline) | {"traceEvents": list(with_span_events(export_events(files, timeline, exact)))}


def export_events(files: Sequence[TraceFile], timeline: Timeline | None = None,
                  exact: bool = False) -> Iterator[dict[str, Any]]:  # fmt: skip
    """The trace events of `files`, process by process and thread by thread:
    the metadata events naming each process and thread first, then the
    thread's records as they come and its scopes as they exit (a scope's
    children before it), reading each file as the events are taken."""
    threads = thread_streams(files, timeline, exact)
    starts = [thread.first + thread.moved - thread.offset for thread in threads if thread.first is not None]
    first = microseconds(min(starts, default=1))
    named: set[int] = set()
    for thread in threads:
        if thread.pid not in named:
            named.add(thread.pid)
            yield _metadata("process_name", thread.pid, 0, thread.process_name, first)
        yield _metadata("thread_name", thread.pid, thread.tid, thread.thread_name, first)
        for kind, _, item, time, start in thread.events():
            if kind != ENTER:
                yield _event(item, start, time, thread.pid, thread.tid, thread.moved)


def write_export(paths: Iterable[str | os.PathLike[str]], output: str | os.PathLike[str],
                 exact: bool = False, speedscope: bool = False, run: str | None = "all") -> int:  # fmt: skip
    """Exports the trace files found under `paths` into `output` ("-" for
    standard output), as Trace Event Format or with `speedscope` in
    speedscope's own format. Returns the number of trace files exported;
    raises ValueError when there are none or when `output` is one of the
    inputs, FileNotFoundError for a missing path and TraceFormatError for a
    file that is not a trace."""
    with opened_sources(paths, run, "export") as (files, inputs):
        with written_output(output, inputs) as stream:
            if speedscope:
                write_speedscope(files, stream, exact)
            else:
                _write_object(files, stream, exact)
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


def _write_object(files: Sequence[TraceFile], stream: IO[str], exact: bool) -> None:
    """One event per line, so the output streams and diffs well: the lines
    of export_events through with_span_events, each thread's events
    written by the native reader in one pass over its file."""
    timeline = timeline_of(files)
    header = json.dumps(_header(timeline), ensure_ascii=False)
    stream.write(header[:-1] + ', "traceEvents": [')
    raw = getattr(stream, "buffer", None)
    write: Callable[[bytes], object] = raw.write if raw is not None else lambda data: stream.write(data.decode())
    threads = thread_streams(files, timeline, exact)
    starts = [thread.first + thread.moved - thread.offset for thread in threads if thread.first is not None]
    first = microseconds(min(starts, default=1))
    collector = SpanCollector()
    unused_names: list[dict[str, Any]] = []  # of threads without events: written after every event
    separator = "\n"
    for thread in threads:
        if thread.pid not in collector.process_names:
            event = _metadata("process_name", thread.pid, 0, thread.process_name, first)
            collector.note(event)
            stream.write(separator + json.dumps(event, ensure_ascii=False))
            separator = ",\n"
        name = _metadata("thread_name", thread.pid, thread.tid, thread.thread_name, first)
        stream.flush()
        source = native_source(thread.trace.path, thread.trace)
        result, error = _native.export_thread(source.fd, source.companion_fd, source.entries, source.warn,
                                              thread.pid, thread.tid, thread.moved, exact,
                                              (",\n" + json.dumps(name, ensure_ascii=False)).encode(), write)  # fmt: skip
        if error is not None:
            raise format_error(thread.trace.path, error)
        assert result is not None
        status, last, span_records = result
        if status == "empty":
            unused_names.append(name)
        if last is not None and status == "written":
            collector.reach(thread.pid, last)
        for ts, message, ms in span_records:
            collector.record(thread.pid, thread.tid, ts, message, ms)
    for event in [*unused_names, *collector.trace_events()]:
        stream.write(",\n" + json.dumps(event, ensure_ascii=False))
    stream.write("\n]}\n")


def _metadata(name: str, pid: int, tid: int, value: str, ts: int | float) -> dict[str, Any]:
    return {"name": name, "cat": "__metadata", "ph": "M", "ts": ts, "pid": pid, "tid": tid,
            "args": {"name": value}}  # fmt: skip


def _event(item: Scope | Instant, start_ms: float, end_ms: float, pid: int, tid: int,
           moved: float) -> dict[str, Any]:  # fmt: skip
    """The event of one scope or record from its display times; `moved` ms
    place it on the timeline (a scope that never closed already ends at its
    thread's last moment)."""
    args: dict[str, Any] = {"message": item.args, "invoker": item.invoker, "file": item.file, "line": item.line}
    name = item.args or item.invoker
    start = microseconds(start_ms + moved)
    if not isinstance(item, Scope):
        args["ts_ms"] = item.ts
        return {"name": name, "cat": "log", "ph": "I", "s": "t", "ts": start, "pid": pid, "tid": tid, "args": args}
    args["ts_enter_ms"] = item.ts_enter
    if item.ts_exit is None:
        name += NEVER_CLOSED
        args["never_closed"] = True
    else:
        args["ts_exit_ms"] = item.ts_exit
    duration = microseconds(end_ms + moved) - start
    if isinstance(duration, float):
        duration = round(duration, 3)
    return {"name": name, "cat": "scope", "ph": "X", "ts": start, "dur": duration, "pid": pid, "tid": tid,
            "args": args}  # fmt: skip
