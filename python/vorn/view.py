"""The HTML timeline: trace files drawn as lanes of nested scope bars, in one
self-contained page that needs no network and no other file.

    write_view(["vorn_logs"], "trace.html")  # => 3, the page draws 3 threads

The page is a fixed skeleton (view_page.html), its style and script
(view_page.css, view_page.js) and the traces as one JSON document, all
inlined. The JSON sits in a non-executed script element; the script reads it
and builds the lanes with DOM calls, putting texts in with textContent only.
"""

from __future__ import annotations

import base64
import hashlib
import json
import os
from collections.abc import Iterable, Sequence
from importlib import resources
from typing import Any

from vorn.display_times import place
from vorn.output_file import written_output
from vorn.trace_archive import opened_sources
from vorn.trace_files import TraceFile
from vorn.trace_reader import Instant, Scope, read_trace_events
from vorn.trace_timeline import Timeline, thread_name, timeline_of

__all__ = ["render_view", "write_view"]

# Markers in view_page.html, replaced in this order; the data goes last and
# never contains "<", so no marker can come out of a trace.
_STYLE_MARK = "/*vorn:style*/"
_SCRIPT_MARK = "/*vorn:script*/"
_CSP_MARK = "vorn:csp"
_DATA_MARK = "/*vorn:data*/"


class _Strings:
    """Interns texts into one table: invokers and file names repeat on every
    record, so each is stored once and records refer to it by index."""

    def __init__(self) -> None:
        self.table: list[str] = []
        self._index: dict[str, int] = {}

    def __call__(self, text: str) -> int:
        index = self._index.get(text)
        if index is None:
            index = self._index[text] = len(self.table)
            self.table.append(text)
        return index


def _lane(trace: TraceFile, events: Sequence[Scope | Instant], strings: _Strings,
          timeline: Timeline, exact: bool = False) -> dict[str, Any]:  # fmt: skip
    """One thread's records, flattened in file order, their display times
    (vorn.display_times: the events of one millisecond spread inside it in
    file order, unless `exact`) moved onto the timeline.

    Scope row:   [parent, depth, ts_enter, ts_exit or None, invoker, file, line, args]
    Instant row: [parent, ts, invoker, file, line, args]
    parent is the index of the enclosing scope row, -1 at the top level (a
    record logged while no scope was open on the thread); texts are indices
    into the string table.
    """
    scope_rows: list[list[Any]] = []
    instant_rows: list[list[Any]] = []
    depth_count = 0
    offset = timeline.offset(trace)
    placed, _ = place(events, exact)
    row_of: dict[int, int] = {}  # index in `placed` => index of its scope row
    for index, entry in enumerate(placed):
        event = entry.item
        parent = row_of.get(entry.parent, -1)
        if isinstance(event, Instant):
            instant_rows.append([parent, entry.start + offset, strings(event.invoker),
                                 strings(event.file), event.line, strings(event.args)])
            continue
        exit = entry.end + offset if entry.closed else None
        row_of[index] = len(scope_rows)
        scope_rows.append([parent, entry.depth, entry.start + offset, exit,
                           strings(event.invoker), strings(event.file), event.line,
                           strings(event.args)])
        depth_count = max(depth_count, entry.depth + 1)
    return {
        "host": trace.host,
        "thread": trace.thread,
        "name": thread_name(trace),  # the page draws the "(not aligned)" mark apart
        "aligned": timeline.aligned(trace),
        "path": str(trace.path),
        "depth": depth_count,
        "scopes": scope_rows,
        "instants": instant_rows,
    }


def _time_range(lanes: Sequence[dict[str, Any]]) -> tuple[int, int]:
    """The earliest and latest time written in any lane; (0, 0) without any."""
    times = [t for lane in lanes for row in lane["scopes"] for t in (row[2], row[3]) if t is not None]
    times += [row[1] for lane in lanes for row in lane["instants"]]
    return (min(times), max(times)) if times else (0, 0)


def _embedded_json(document: Any) -> str:
    """JSON that can stand inside a script element: every non-ASCII character,
    U+2028 and lone surrogates included, is a \\u escape, and so are "<", ">"
    and "&", which JSON allows only inside strings. No "</script>" or "<!--"
    can then occur, whatever the traces hold."""
    text = json.dumps(document, ensure_ascii=True, allow_nan=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _asset(name: str) -> str:
    return resources.files("vorn").joinpath(name).read_text(encoding="utf-8")


def _csp_hash(text: str) -> str:
    digest = hashlib.sha256(text.encode("utf-8")).digest()
    return "'sha256-" + base64.b64encode(digest).decode("ascii") + "'"


def render_view(files: Sequence[TraceFile], exact: bool = False) -> str:
    """The whole HTML page drawing `files`, one lane per file, grouped by host
    in the order the hosts first appear, then by process (main thread
    first), on one timeline where the files carry their clock origins. A
    file that is not a trace raises TraceFormatError, naming the file and
    line."""
    strings = _Strings()
    timeline = timeline_of(files)
    hosts = []
    lanes = []
    for host, processes in timeline.hosts:
        entries = []
        for process in processes:
            process_lanes = [_lane(trace, read_trace_events(trace.path), strings, timeline, exact)
                             for trace in process.threads]  # fmt: skip
            for lane in process_lanes:
                lane["process"] = process.label if process.pid is not None else None
            lanes += process_lanes
            entries.append({"name": process.label, "pid": process.pid, "ppid": process.ppid,
                            "aligned": timeline.process_aligned(process),
                            "lanes": process_lanes})  # fmt: skip
        hosts.append({"name": host, "processes": entries})
    start, end = _time_range(lanes)
    document = {
        "unit": "ms",
        "start": start,
        "end": end,
        "origin": timeline.start_time,  # the timeline's zero, ISO 8601 UTC; None without origins
        "strings": strings.table,
        "hosts": hosts,
    }
    style, script = _asset("view_page.css"), _asset("view_page.js")
    # Only these two inline blocks may run or apply: anything a trace text
    # could smuggle into the page would fail the hash check, and with
    # default-src 'none' nothing can be fetched.
    csp = (f"default-src 'none'; script-src {_csp_hash(script)}; "
           f"style-src {_csp_hash(style)}; base-uri 'none'; form-action 'none'")
    page = _asset("view_page.html")
    for mark, value in ((_STYLE_MARK, style), (_SCRIPT_MARK, script), (_CSP_MARK, csp),
                        (_DATA_MARK, _embedded_json(document))):
        if page.count(mark) != 1:
            raise RuntimeError(f"view_page.html must hold {mark!r} exactly once")
        page = page.replace(mark, value)
    return page


def write_view(paths: Iterable[str | os.PathLike[str]], output: str | os.PathLike[str],
               exact: bool = False) -> int:  # fmt: skip
    """Finds the trace files under `paths` (files, or directories searched
    recursively for *.log), writes their timeline page to `output` and returns
    how many trace files it draws. Raises FileNotFoundError for a missing
    path, ValueError when there is no trace file at all or `output` is one of
    them, TraceFormatError for a file that is not a trace. The page is
    written whole or not at all (vorn.output_file)."""
    with opened_sources(paths) as (files, inputs):
        page = render_view(files, exact)
        with written_output(output, inputs) as stream:
            stream.write(page)
    return len(files)
