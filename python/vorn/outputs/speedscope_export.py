"""Trace files in speedscope's own file format.

    {"$schema": "https://www.speedscope.app/file-format-schema.json",
     "profiles": [{"type": "evented", "name": "MainThread 28068", "unit": "microseconds",
                   "events": [{"type": "O", "frame": 0, "at": 1000}, ..., {"type": "C", "frame": 0, "at": 4000}],
                   "startValue": 1000, "endValue": 4000}],
     "shared": {"frames": [{"name": "load config", "file": "app.py", "line": 12}, ...]},
     "name": "...", "activeProfileIndex": 0, "exporter": "python -m vorn"}

One evented profile per thread, named as the Trace Event export names it
(followed by " in <process>", whose name holds its pid and host, when the
files come from several processes), on the same microsecond timeline (display times, nothing at 0). A frame is
a scope's message (its invoker when the message is empty), file and line.
Every opened frame is closed, innermost first, at non-decreasing times; a
scope that never closed is closed at its thread's last moment. Records are
left out: speedscope has no instants.

The document is written as the files are read, one event per line: the
profiles come before the frames they share and each profile's events
before its start and end values, which are known only at its end (JSON
members have no order; speedscope reads the whole document first).
"""

from __future__ import annotations

import io
import json
from collections.abc import Iterable, Sequence
from typing import IO, Any, Final

from vorn.outputs.thread_streams import microseconds, thread_streams
from vorn.reading.span_events import SpanCollector, holds_span_logger, noting_spans, task_profiles
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_reader import ENTER, EXIT, Scope

__all__ = ["SpeedscopeWriter", "speedscope_object", "write_speedscope"]

SCHEMA: Final = "https://www.speedscope.app/file-format-schema.json"


class SpeedscopeWriter:
    """Writes one speedscope document to `stream`: profile() for each
    profile, in order, then close(). Frames are shared by all profiles;
    frame() gives the index of one, adding it on first use."""

    def __init__(self, stream: IO[str]) -> None:
        self.stream = stream
        self.frames: list[dict[str, Any]] = []
        self._index: dict[tuple[str, str | None, int | None], int] = {}
        self._profiles = 0
        stream.write('{"$schema":' + json.dumps(SCHEMA) + ',"profiles":[')

    def frame(self, name: str, file: str | None = None, line: int | None = None) -> int:
        """The index of the frame named `name` (at `file` and `line`, when
        given)."""
        key = (name, file, line)
        index = self._index.get(key)
        if index is None:
            index = self._index[key] = len(self.frames)
            frame: dict[str, Any] = {"name": name}
            if file is not None:
                frame["file"] = file
            if line is not None:
                frame["line"] = line
            self.frames.append(frame)
        return index

    def profile(self, name: str, events: Iterable[tuple[str, int, int | float]]) -> None:
        """An evented profile of these ("O" or "C", frame, microseconds)
        events, which must open and close frames in nesting order at
        non-decreasing times."""
        write = self.stream.write
        write(("," if self._profiles else "") + '\n{"type":"evented","name":'
              + json.dumps(name, ensure_ascii=False) + ',"unit":"microseconds","events":[')  # fmt: skip
        self._profiles += 1
        first: int | float = 0
        last: int | float = 0
        separator = "\n"
        for kind, frame, at in events:
            if separator == "\n":
                first = at
            last = at
            write(f'{separator}{{"type":"{kind}","frame":{frame},"at":{at}}}')
            separator = ",\n"
        write(f'],"startValue":{first},"endValue":{last}}}')

    def close(self, name: str) -> None:
        """Ends the document, which is named `name`."""
        frames = json.dumps(self.frames, ensure_ascii=False, separators=(",", ":"))
        self.stream.write(f'\n],"shared":{{"frames":{frames}}},"name":{json.dumps(name, ensure_ascii=False)},'
                          '"activeProfileIndex":0,"exporter":"python -m vorn"}\n')  # fmt: skip


def write_speedscope(files: Sequence[TraceFile], stream: IO[str], exact: bool = False) -> None:
    """The speedscope document of `files`, one profile per thread."""
    threads = [thread for thread in thread_streams(files, exact=exact) if not holds_span_logger(thread.events())]
    writer = SpeedscopeWriter(stream)
    spans = SpanCollector()
    several = len({thread.pid for thread in threads}) > 1
    for thread in threads:
        events = noting_spans(spans, thread, thread.events(), lambda ms: microseconds(ms + thread.moved))
        name = f"{thread.thread_name} in {thread.process_name}" if several else thread.thread_name
        writer.profile(name, _frame_events(writer, events, thread.moved))
    for name, task_events in task_profiles(spans, writer.frame):
        writer.profile(name, task_events)
    writer.close(", ".join(sorted({thread.process_name for thread in threads})))


def _frame_events(writer: SpeedscopeWriter, events: Iterable[tuple[str, int, Any, float, float]],
                  moved: int) -> Iterable[tuple[str, int, int | float]]:  # fmt: skip
    """A thread's scopes as frames opened at their enter and closed at their
    exit, in file order: the display times are non-decreasing in file
    order, so a frame never closes after the one around it."""
    frames: list[int] = []  # of the scopes open, innermost last
    for kind, _, item, time, _ in events:
        if kind == ENTER:
            assert isinstance(item, Scope)
            frame = writer.frame(item.args or item.invoker, item.file, item.line)
            frames.append(frame)
            yield "O", frame, microseconds(time + moved)
        elif kind == EXIT:
            yield "C", frames.pop(), microseconds(time + moved)


def speedscope_object(files: Sequence[TraceFile], exact: bool = False) -> dict[str, Any]:
    """The document write_speedscope writes, as Python objects."""
    text = io.StringIO()
    write_speedscope(files, text, exact)
    document: dict[str, Any] = json.loads(text.getvalue())
    return document
