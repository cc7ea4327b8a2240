"""Trace files in speedscope's own file format.

    {"$schema": "https://www.speedscope.app/file-format-schema.json",
     "shared": {"frames": [{"name": "load config", "file": "app.py", "line": 12}, ...]},
     "profiles": [{"type": "evented", "name": "MainThread 28068", "unit": "microseconds",
                   "startValue": 1000, "endValue": 4000,
                   "events": [{"type": "O", "frame": 0, "at": 1000}, ..., {"type": "C", "frame": 0, "at": 4000}]}],
     "name": "...", "activeProfileIndex": 0, "exporter": "python -m vorn"}

One evented profile per thread, named as the Trace Event export names it,
on the same microsecond timeline (display times, nothing at 0). A frame is
a scope's message (its invoker when the message is empty), file and line.
Every opened frame is closed, innermost first, at non-decreasing times; a
scope that never closed is closed at its thread's last moment. Records are
left out: speedscope has no instants.
"""

from __future__ import annotations

import json
from collections.abc import Sequence
from typing import IO, Any, Final

from vorn.export import microseconds, placed_threads, time_shift
from vorn.trace_files import TraceFile
from vorn.trace_reader import Scope

__all__ = ["speedscope_object", "write_speedscope"]

SCHEMA: Final = "https://www.speedscope.app/file-format-schema.json"


def speedscope_object(files: Sequence[TraceFile], exact: bool = False) -> dict[str, Any]:
    threads = placed_threads(files, exact=exact)
    shift = time_shift(threads)
    frames: list[dict[str, Any]] = []
    frame_index: dict[tuple[str, str, int], int] = {}
    profiles = []
    for thread in threads:
        moved = thread.offset + shift
        events: list[dict[str, Any]] = []
        # (index in thread.placed, frame, close time) of the scopes open, innermost last
        open_ends: list[tuple[int, int, int | float]] = []
        for index, entry in enumerate(thread.placed):
            item = entry.item
            if not isinstance(item, Scope):
                continue
            start = microseconds(entry.start + moved)
            # The scopes that are not its ancestors ended before it began.
            while open_ends and open_ends[-1][0] != entry.parent:
                _, frame, at = open_ends.pop()
                events.append({"type": "C", "frame": frame, "at": at})
            key = (item.args or item.invoker, item.file, item.line)
            if key not in frame_index:
                frame_index[key] = len(frames)
                frames.append({"name": key[0], "file": key[1], "line": key[2]})
            frame = frame_index[key]
            events.append({"type": "O", "frame": frame, "at": start})
            # Nested inside the scope still open, so it never ends after it.
            end = microseconds(entry.end + moved)
            if open_ends and end > open_ends[-1][2]:
                end = open_ends[-1][2]
            open_ends.append((index, frame, end))
        while open_ends:
            _, frame, at = open_ends.pop()
            events.append({"type": "C", "frame": frame, "at": at})
        first = events[0]["at"] if events else 0
        last = events[-1]["at"] if events else 0
        profiles.append({"type": "evented", "name": thread.thread_name, "unit": "microseconds",
                         "startValue": first, "endValue": last, "events": events})  # fmt: skip
    names = sorted({thread.process_name for thread in threads})
    return {"$schema": SCHEMA, "shared": {"frames": frames}, "profiles": profiles,
            "name": ", ".join(names), "activeProfileIndex": 0, "exporter": "python -m vorn"}  # fmt: skip


def write_speedscope(files: Sequence[TraceFile], stream: IO[str], exact: bool = False) -> None:
    json.dump(speedscope_object(files, exact), stream, ensure_ascii=False, separators=(",", ":"))
    stream.write("\n")
