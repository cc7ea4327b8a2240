"""The HTML timeline: trace files drawn as lanes of nested scope bars, in one
self-contained page that needs no network and no other file.

    write_view(["vorn_logs"], "trace.html")  # => 3, the page draws 3 threads

The page is a fixed skeleton (view_page.html), its style and script
(view_page.css, view_page.js) and the traces as one JSON document, all
inlined. The JSON sits in a non-executed script element; the script reads it
and builds the lanes with DOM calls, putting texts in with textContent only.

Spans written by vorn.span are drawn as bars in lanes of their own, one per
asyncio task, under the thread that began them.

Within a process the main thread comes first, then the threads in the
order they first did something, so the threads of a server that starts one
per request follow each other as the requests came. Each lane carries the
first and last moment it shows anything ("active"): the page gathers the
lanes with nothing in view into one row without scanning their bars, and
groups the threads of one pool ("worker-1", "worker-2": the same name but
for its number) under one header ("pool").

A scope that raised (its last record says so, vorn.reading.scope_outcome) carries
the exception, so the page can draw it apart from the scopes that closed.

Times are the display times of vorn.reading.display_times: measured, to the
nanosecond, where the trace file has a companion of precise times; each
row says which of its times are measured, and the page says where a time
only shows order.

A browser keeps several hundred bytes per drawn element, so a page of tens of
millions of scopes would need gigabytes before it showed anything. Past
`limit` scopes and records (counted in the files before anything is parsed)
no page is written; a time range (`window`) draws the part of the timeline
that overlaps it and counts what lies outside.
"""

from __future__ import annotations

import base64
import hashlib
import json
import math
import os
import re
from collections.abc import Iterable, Sequence
from importlib import resources
from typing import Any, Final

from vorn.reading.display_times import place
from vorn.outputs.output_file import written_output
from vorn.reading.scope_outcome import raised_of
from vorn.program.spans import SPAN_INVOKER
from vorn.reading.trace_archive import opened_sources
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_reader import Instant, Scope, Span, read_spans, read_trace_events
from vorn.reading.trace_timeline import Timeline, thread_name, timeline_of

__all__ = ["DEFAULT_LIMIT", "LIMIT_VARIABLE", "PageTooLarge", "event_count", "render_view", "write_view"]

# Headless Chromium draws 600 000 scopes with 300 000 records in about 23 s,
# and its renderer dies on 1 000 000 scopes with 500 000 records: past a
# million elements a page takes longer to open than to cut the trace.
DEFAULT_LIMIT: Final = 1_000_000
LIMIT_VARIABLE: Final = "VORN_VIEW_LIMIT"

# The private thread of vorn.span holds one scope that never closes and
# nothing else; its lane would only be a bar across the whole timeline.
_SPAN_THREAD_FILE: Final = "<vorn.span>"

# What begins each scope's enter record and each instant record in a trace
# file. Inside a string the writer escapes every quote, so neither can occur
# in a text: counting them counts the scopes and records without parsing.
_SCOPE_BYTES: Final = b'"ts_enter": '
_RECORD_BYTES: Final = b'{ "ts": '

Window = tuple[float, float]  # from and to, in ms on the timeline


class PageTooLarge(ValueError):
    """More scopes and records than one page should draw."""

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


def event_count(path: str | os.PathLike[str]) -> int:
    """How many scopes and records the trace file at `path` holds, whole or
    cut short, read at the speed of the disk."""
    longest = max(len(_SCOPE_BYTES), len(_RECORD_BYTES))
    total = 0
    tail = b""
    with open(path, "rb") as stream:
        while chunk := stream.read(1 << 22):
            # A marker cut by the chunk's end is found whole in the next one;
            # the kept tail is too short to hold a whole one twice.
            text = tail + chunk
            total += text.count(_SCOPE_BYTES) + text.count(_RECORD_BYTES)
            tail = text[-(longest - 1) :]
    return total


def _is_span_thread(events: Sequence[Scope | Instant]) -> bool:
    if len(events) != 1 or not isinstance(events[0], Scope):
        return False
    scope = events[0]
    return (scope.invoker == SPAN_INVOKER and scope.file == _SPAN_THREAD_FILE and scope.ts_exit is None
            and not scope.events)  # fmt: skip


SpanTimes = dict[tuple[str, tuple[int, ...]], float]


def _lane(trace: TraceFile, events: Sequence[Scope | Instant], strings: _Strings,
          timeline: Timeline, exact: bool = False, window: Window | None = None,
          span_times: SpanTimes | None = None) -> dict[str, Any]:  # fmt: skip
    """One thread's records, flattened in file order, their display times
    (vorn.reading.display_times: the events of one millisecond spread inside it in
    file order, unless `exact`) moved onto the timeline. With `window`,
    only the scopes and records that overlap it; "outside" counts the others.
    The display time of each span record goes into `span_times`, by file and
    position as read_spans names them.

    Scope row:   [parent, depth, ts_enter, ts_exit or None, invoker, file, line, args, measured,
                  raised or -1]
    Instant row: [parent, ts, invoker, file, line, args, measured]
    parent is the index of the enclosing scope row, -1 at the top level (a
    record logged while no scope was open on the thread); texts are indices
    into the string table; measured says which times are precise (from the
    file's companion) rather than placed in their millisecond to show
    order: for a scope 1 for its enter, 2 for its exit, 3 for both; for a
    record 1 or 0; raised is the exception that left the scope ("ValueError:
    bad input"), from its last record.
    """
    scope_rows: list[list[Any]] = []
    instant_rows: list[list[Any]] = []
    depth_count = 0
    outside = [0, 0]
    offset = timeline.offset(trace)
    placed, last = place(events, exact)
    low, high = window if window is not None else (-math.inf, math.inf)
    name = os.fspath(trace.path)
    row_of: dict[int, int] = {}  # index in `placed` => index of its scope row
    # The place of each entry among its parent's events, to name span records.
    child_index: list[int] = []
    children: dict[int, int] = {}
    for index, entry in enumerate(placed):
        event = entry.item
        child_index.append(children.get(entry.parent, 0))
        children[entry.parent] = child_index[-1] + 1
        if isinstance(event, Instant):
            time = entry.start + offset
            if span_times is not None and event.invoker == SPAN_INVOKER:
                position, at = [], index
                while at >= 0:
                    position.append(child_index[at])
                    at = placed[at].parent
                span_times[(name, tuple(reversed(position)))] = time
            if not low <= time <= high:
                outside[1] += 1
                continue
            # A kept record's scope overlaps the window too: it holds the record.
            instant_rows.append([row_of.get(entry.parent, -1), time, strings(event.invoker),
                                 strings(event.file), event.line, strings(event.args),
                                 int(event.ts_ns is not None)])  # fmt: skip
            continue
        # A scope outside the window has all its events outside it as well.
        if entry.start + offset > high or entry.end + offset < low:
            outside[0] += 1
            continue
        exit = entry.end + offset if entry.closed else None
        row_of[index] = len(scope_rows)
        measured = (event.ts_enter_ns is not None) | (event.ts_exit_ns is not None) << 1
        raised = raised_of(event)
        scope_rows.append([row_of.get(entry.parent, -1), entry.depth, entry.start + offset, exit,
                           strings(event.invoker), strings(event.file), event.line,
                           strings(event.args), measured, -1 if raised is None else strings(str(raised))])
        depth_count = max(depth_count, entry.depth + 1)
    return {
        "host": trace.host,
        "thread": trace.thread,
        "name": thread_name(trace),  # the page draws the "(not aligned)" mark apart
        "main": trace.pid is not None and trace.thread == str(trace.pid),
        "aligned": timeline.aligned(trace),
        "path": str(trace.path),
        "depth": depth_count,
        "scopes": scope_rows,
        "instants": instant_rows,
        "outside": outside,
        "last": None if last is None else last + offset,
        "tasks": [],
    }


def _task_lanes(spans: Sequence[Span], lanes: dict[str, dict[str, Any]], span_times: SpanTimes,
                strings: _Strings, window: Window | None) -> None:  # fmt: skip
    """Puts each span into a lane of the thread that began it, one lane per
    asyncio task (spans outside a task share one, task None), in the order
    the tasks first began one. Inside a lane, a span lies on the first level
    free at its begin, so nested and overlapping spans of a task stack up.
    A span that never ended (or whose end is in a file not drawn) runs to
    its thread's last moment.

    Span row: [level, begin, end, message, open, raised or -1, id, measured]
    (measured: 1 for a precise begin, 2 for a precise end, 3 for both)
    """
    low, high = window if window is not None else (-math.inf, math.inf)
    by_lane: dict[str, dict[str | None, list[tuple[float, float, Span]]]] = {}
    for span in spans:
        lane = lanes.get(span.begin[0])
        begin = span_times.get(span.begin)
        if lane is None or begin is None:
            continue
        end = span_times.get(span.end) if span.end is not None else None
        end = max(begin, lane["last"] if end is None else end)
        if begin > high or end < low:
            continue
        by_lane.setdefault(span.begin[0], {}).setdefault(span.task, []).append((begin, end, span))
    for path, tasks in by_lane.items():
        for task, entries in tasks.items():
            entries.sort(key=lambda entry: entry[0])
            level_ends: list[float] = []
            rows = []
            for begin, end, span in entries:
                level = next((i for i, free in enumerate(level_ends) if free <= begin), len(level_ends))
                if level == len(level_ends):
                    level_ends.append(end)
                level_ends[level] = end
                measured = (span.ts_begin_ns is not None) | (span.ts_end_ns is not None) << 1
                rows.append([level, begin, end, strings(span.message), span.end is None,
                             -1 if span.raised is None else strings(span.raised), strings(span.id),
                             measured])  # fmt: skip
            lanes[path]["tasks"].append({"task": task, "depth": len(level_ends), "spans": rows})


def _active(lane: dict[str, Any]) -> list[float | None] | None:
    """The first and last moment `lane` and its task lanes draw anything,
    None when they draw nothing; the last is None when a scope that never
    closed runs on to the end of the timeline."""
    scopes: list[list[Any]] = lane["scopes"]
    starts = [row[2] for row in scopes] + [row[1] for row in lane["instants"]]
    ends = [row[1] for row in lane["instants"]]
    for task in lane["tasks"]:
        starts += [row[1] for row in task["spans"]]
        ends += [row[2] for row in task["spans"]]
    if not starts:
        return None
    if any(row[3] is None for row in scopes):
        return [min(starts), None]
    return [min(starts), max(ends + [max(row[3], row[2]) for row in scopes])]


# A thread's name as the system keeps it (15 bytes at most): the text before
# its first number, the number, and whatever follows ("Thread-12 (work)").
_NUMBERED: Final = re.compile(r"(?P<stem>\D+)(?P<number>\d+)(?P<suffix>.*)", re.DOTALL)
_NAME_BYTES: Final = 15


def _pools(lanes: Sequence[dict[str, Any]], names: Sequence[str | None]) -> list[str | None]:
    """For each lane, the name of its pool ("worker-N", "Thread-N (work)"),
    or None: threads of one pool share their name but for its number, and
    threads named alike share one. A name the system cut to 15 bytes
    belongs with the longer names it begins ("Thread-100 (wor" with
    "Thread-1 (work)"). A pool has two threads at least; a main thread is
    in none."""
    keys: dict[int, tuple[str, str, bool]] = {}  # by lane: stem, suffix, maybe cut
    for index, (lane, name) in enumerate(zip(lanes, names)):
        if lane["main"] or not name:
            continue
        match = _NUMBERED.fullmatch(name)
        stem, suffix = (match["stem"] + "N", match["suffix"]) if match else (name, "")
        keys[index] = (stem, suffix, len(name.encode()) >= _NAME_BYTES)
    # The longest suffixes first, so that a cut one finds the pool of a
    # name it begins.
    pools: dict[tuple[str, str], list[int]] = {}
    for index in sorted(keys, key=lambda i: -len(keys[i][1])):
        stem, suffix, cut = keys[index]
        home = next((key for key in pools if key[0] == stem and key[1].startswith(suffix)), None) if cut else None
        pools.setdefault(home or (stem, suffix), []).append(index)
    named: list[str | None] = [None] * len(lanes)
    for (stem, suffix), members in pools.items():
        for index in members if len(members) > 1 else ():
            named[index] = stem + suffix
    return named


def _ordered(lanes: list[dict[str, Any]], names: list[str | None]) -> None:
    """Puts a process's lanes in the order a reader follows them: the main
    thread first, then the threads by their first activity, the idle ones
    last; notes each lane's activity and pool. Under its pool's header a
    thread is named without what the header says ("Thread-12 4711" under
    "Thread-N (work)")."""
    for lane in lanes:
        lane["active"] = _active(lane)
    for lane, name, pool in zip(lanes, names, _pools(lanes, names)):
        lane["pool"] = pool
        match = _NUMBERED.fullmatch(name or "")
        lane["member"] = f"{match['stem']}{match['number']} {lane['thread']}" if pool and match else None
    lanes.sort(key=lambda lane: (not lane["main"], lane["active"] is None,
                                 lane["active"][0] if lane["active"] else 0))  # fmt: skip


def _time_range(lanes: Sequence[dict[str, Any]]) -> tuple[float, float]:
    """The earliest and latest time written in any lane; (0, 0) without any."""
    times = [t for lane in lanes for row in lane["scopes"] for t in (row[2], row[3]) if t is not None]
    times += [row[1] for lane in lanes for row in lane["instants"]]
    return (min(times), max(times)) if times else (0, 0)


def _measured(lane: dict[str, Any]) -> int:
    """How many of a lane's scopes and records have all their times measured."""
    scopes: list[list[Any]] = lane["scopes"]
    instants: list[list[Any]] = lane["instants"]
    return int(sum(row[8] == 3 or (row[8] == 1 and row[3] is None) for row in scopes)
               + sum(row[6] == 1 for row in instants))


def _embedded_json(document: Any) -> str:
    """JSON that can stand inside a script element: every non-ASCII character,
    U+2028 and lone surrogates included, is a \\u escape, and so are "<", ">"
    and "&", which JSON allows only inside strings. No "</script>" or "<!--"
    can then occur, whatever the traces hold."""
    text = json.dumps(document, ensure_ascii=True, allow_nan=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def _asset(name: str) -> str:
    return resources.files("vorn.outputs").joinpath(name).read_text(encoding="utf-8")


def _csp_hash(text: str) -> str:
    digest = hashlib.sha256(text.encode("utf-8")).digest()
    return "'sha256-" + base64.b64encode(digest).decode("ascii") + "'"


def render_view(files: Sequence[TraceFile], exact: bool = False, window: Window | None = None,
                limit: int | None = None) -> str:  # fmt: skip
    """The whole HTML page drawing `files`, one lane per file, grouped by host
    in the order the hosts first appear, then by process (main thread
    first), on one timeline where the files carry their clock origins. A
    file that is not a trace raises TraceFormatError, naming the file and
    line. With `window` (from, to in ms on the timeline) only what overlaps
    it is drawn. More than `limit` scopes and records (default: the
    VORN_VIEW_LIMIT environment variable, else DEFAULT_LIMIT) raise
    PageTooLarge, before any file is parsed when there is no window."""
    if limit is None:
        limit = int(os.environ.get(LIMIT_VARIABLE) or DEFAULT_LIMIT)
    if window is not None and not window[0] < window[1]:
        raise ValueError(f"the time range {window[0]:g} to {window[1]:g} ms is empty")
    if window is None:
        total = sum(event_count(trace.path) for trace in files)
        if total > limit:
            raise PageTooLarge(
                f"{total:,} scopes and records in {len(files):,} trace files are more than one page draws "
                f"(limit {limit:,}, {LIMIT_VARIABLE}); draw a part of the timeline with --from MS --to MS"
            )
    strings = _Strings()
    timeline = timeline_of(files)
    span_times: SpanTimes = {}
    by_path: dict[str, dict[str, Any]] = {}
    span_files: list[str] = []
    # Each process's lanes with their threads' system names, to be ordered
    # once the spans are in.
    to_order: list[tuple[list[dict[str, Any]], list[str | None]]] = []
    hosts = []
    lanes = []
    for host, processes in timeline.hosts:
        entries = []
        for process in processes:
            process_lanes = []
            names: list[str | None] = []
            for trace in process.threads:
                events = read_trace_events(trace.path, trace)
                if _is_span_thread(events):
                    continue
                known = len(span_times)
                lane = _lane(trace, events, strings, timeline, exact, window, span_times)
                lane["process"] = process.label if process.pid is not None else None
                process_lanes.append(lane)
                names.append(trace.thread_name)
                by_path[lane["path"]] = lane
                if len(span_times) > known:  # the file holds span records
                    span_files.append(lane["path"])
            if not process_lanes:
                continue
            lanes += process_lanes
            to_order.append((process_lanes, names))
            entries.append({"name": process.label, "pid": process.pid, "ppid": process.ppid,
                            "aligned": timeline.process_aligned(process),
                            "lanes": process_lanes})  # fmt: skip
        if entries:
            hosts.append({"name": host, "processes": entries})
    if span_files:
        _task_lanes(read_spans(*span_files), by_path, span_times, strings, window)
    for process_lanes, names in to_order:
        _ordered(process_lanes, names)
    drawn = sum(len(lane["scopes"]) + len(lane["instants"]) for lane in lanes)
    if drawn > limit:
        low, high = window or (0, 0)
        raise PageTooLarge(f"{drawn:,} scopes and records overlap {low:g} to {high:g} ms, more than one page "
                           f"draws (limit {limit:,}, {LIMIT_VARIABLE}); draw a shorter time range")  # fmt: skip
    start: float
    end: float
    start, end = _time_range(lanes)
    if window is not None:  # an open side of the range is the trace's own edge
        start, end = (window[0] if math.isfinite(window[0]) else start,
                      window[1] if math.isfinite(window[1]) else end)  # fmt: skip
    document = {
        "unit": "ms",
        # How many scopes and records have precise times, of how many drawn.
        "measured": [sum(_measured(lane) for lane in lanes), drawn],
        "start": start,
        "end": end,
        "origin": timeline.start_time,  # the timeline's zero, ISO 8601 UTC; None without origins
        "range": None if window is None else [start, end],
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
               exact: bool = False, window: Window | None = None, limit: int | None = None,
               run: str | None = "all") -> int:  # fmt: skip
    """Finds the trace files under `paths` (files, or directories searched
    recursively for *.log), writes their timeline page to `output` and returns
    how many trace files it draws. Raises FileNotFoundError for a missing
    path, ValueError when there is no trace file at all or `output` is one of
    them, TraceFormatError for a file that is not a trace, PageTooLarge
    past `limit` (see render_view). The page is written whole or not at all
    (vorn.outputs.output_file)."""
    with opened_sources(paths, run, "view") as (files, inputs):
        page = render_view(files, exact, window, limit)
        with written_output(output, inputs) as stream:
            stream.write(page)
    return len(files)
