"""Each trace file as one thread of the exported timeline, numbered and named
process by process, with the display times of its events: what every
export (Trace Event, speedscope, Perfetto) lays out the same way."""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Final

from vorn.reading.display_times import PlacedEvent, place_events
from vorn.reading.precise_times import NS_PER_MS
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_reader import ENTER, Instant, Scope, iter_trace
from vorn.reading.trace_timeline import Timeline, timeline_of

__all__ = ["ThreadStream", "microseconds", "thread_streams"]

MICROSECONDS_PER_MS: Final = 1000


def _numbered_threads(timeline: Timeline) -> Iterator[tuple[int, int, str, TraceFile]]:
    """Each trace file of the timeline, process by process, with its
    process's number, its own number in the process and its process's name
    followed by " on <host>": a pid and a command line tell processes apart
    only on one host. (Files without identity are named after their host.)"""
    for pid, process in enumerate(timeline.processes, start=1):
        name = timeline.process_label(process)
        if process.pid is not None:
            name += f" on {process.host}"
        for tid, trace in enumerate(process.threads, start=1):
            yield pid, tid, name, trace


def _shift(starts: Sequence[float]) -> int:
    earliest = min(starts, default=1)
    return 0 if earliest >= 1 else 1 - int(earliest // 1)


@dataclass
class ThreadStream:
    """One trace file on the timeline, its events read as they are needed:
    `first` is the display time of its first event (its earliest, on the
    timeline; None for a file without events) and `moved` the milliseconds
    that place the file's display times on the exported timeline, nothing
    at 0."""

    pid: int  # 1, 2, 3, ... per process
    tid: int  # 1, 2, 3, ... per thread of its process
    process_name: str
    thread_name: str
    trace: TraceFile
    first: float | None
    offset: int  # ms added to the file's times to place them on the timeline
    moved: int  # the offset, and the shift that keeps every time off 0
    exact: bool = False

    def events(self) -> Iterator[PlacedEvent]:
        """The file's events with their display times, read from the file
        anew on each call."""
        return place_events(iter_trace(self.trace.path, self.trace), self.exact)


def thread_streams(files: Sequence[TraceFile], timeline: Timeline | None = None,
                   exact: bool = False) -> list[ThreadStream]:  # fmt: skip
    """The threads of `files`, process by process, numbered and
    named, without reading more of each file than its first event."""
    timeline = timeline or timeline_of(files)
    threads = []
    for pid, tid, name, trace in _numbered_threads(timeline):
        first = _first_time(trace)
        offset = timeline.offset(trace)
        threads.append(ThreadStream(pid, tid, name, timeline.thread_label(trace), trace,
                                    None if first is None else first + offset, offset, offset, exact))  # fmt: skip
    shift = _shift([thread.first for thread in threads if thread.first is not None])
    for thread in threads:
        thread.moved += shift
    return threads


def _first_time(trace: TraceFile) -> float | None:
    """The display time of the file's first event: its precise time, or its
    own millisecond, since the first of a millisecond is placed at its
    start."""
    events = iter_trace(trace.path, trace)
    try:
        for kind, _, item in events:
            if kind == ENTER:
                assert isinstance(item, Scope)
                ms, ns = item.ts_enter, item.ts_enter_ns
            else:
                assert isinstance(item, Instant)  # an exit comes after its enter
                ms, ns = item.ts, item.ts_ns
            return ms if ns is None else ns / NS_PER_MS
        return None
    finally:
        events.close()  # the file, now rather than when collected


def microseconds(ms: float) -> int | float:
    """`ms` in microseconds, to the nanosecond; whole numbers as integers."""
    value = round(ms * MICROSECONDS_PER_MS, 3)
    return int(value) if value.is_integer() else value
