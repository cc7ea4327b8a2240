"""The HTML timeline: trace files drawn as lanes of nested scope bars, in one
self-contained page that needs no network and no other file.

    write_view(["vorn_logs"], "trace.html")  # => 3, the page draws 3 threads

The page is a fixed skeleton (view_page.html), its style and script
(view_page.css, view_page.js) and the traces as one JSON document, all
inlined. The JSON sits in a non-executed script element; the script reads it,
builds the labels and headers with DOM calls (texts in with textContent
only) and paints the bars and marks on a canvas.

Each lane's scopes and records go out as columns (see _lane): numbers
in JSON arrays, times as nanosecond steps, texts as indices into one string
table, a column whose rows all agree as one number. A million scopes make
a page of about 38 MB. The native reader builds each lane's columns in one
pass over its file, and the page is written a piece at a time.

Spans written by vorn.span are drawn as bars in lanes of their own, one per
asyncio task, under the thread that began them.

Within a process the main thread comes first, then the threads in the
order they first did something, so the threads of a server that starts one
per request follow each other as the requests came. Each lane carries the
first and last moment it shows anything ("active"): the page gathers the
lanes with nothing in view into one row without scanning their bars, and
groups the threads of one pool ("worker-1", "worker-2": the same name but
for its number; Python's whole names, "ThreadPoolExecutor-0_3") under one
header ("pool").

A scope that raised (its last record says so, vorn.reading.scope_outcome) carries
the exception, so the page can draw it apart from the scopes that closed.

Times are the display times of vorn.reading.display_times: measured, to the
nanosecond, where the trace file has a companion of precise times; each
row says which of its times are measured, and the page says where a time
only shows order.

A browser still holds every scope of the page in memory, about 170 bytes
each once decoded and indexed. Past `limit` scopes and records (counted in
the files before anything is parsed) no page is written; a time range
(`window`) draws the part of the timeline that overlaps it and counts what
lies outside.
"""

from __future__ import annotations

import base64
import hashlib
import json
import math
import os
import re
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import Any, Final

from vorn.outputs.output_file import written_output
from vorn.reading import _native
from vorn.reading.scope_outcome import raised_by_record
from vorn.reading.trace_archive import opened_sources
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_identity import read_identity
from vorn.reading.trace_reader import Instant, Span, format_error, native_source, pair_spans
from vorn.reading.trace_timeline import Timeline, thread_name, timeline_of

__all__ = ["DEFAULT_LIMIT", "LIMIT_VARIABLE", "PageTooLarge", "event_count", "render_parts", "render_view",
           "write_view"]

# The page keeps about 38 bytes a scope and paints only what the view
# shows: headless Chromium opens 2 000 000 scopes with 1 000 000 records
# (75 MB) in about 8 s, zooming in 50 ms. Past that the page takes longer
# to open than a time range takes to cut.
DEFAULT_LIMIT: Final = 3_000_000
LIMIT_VARIABLE: Final = "VORN_VIEW_LIMIT"

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

    def all(self, texts: Sequence[str]) -> list[int]:
        """The indices of `texts`, no two alike, interned in their order."""
        fresh = [text for text in texts if text not in self._index]
        self._index.update(zip(fresh, range(len(self.table), len(self.table) + len(fresh))))
        self.table += fresh
        return list(map(self._index.__getitem__, texts))


def event_count(path: str | os.PathLike[str]) -> int:
    """How many scopes and records the trace file at `path` holds, whole or
    cut short, read at the speed of the disk."""
    total = 0
    before = b""
    with open(path, "rb") as stream:
        while chunk := stream.read(1 << 22):
            total += chunk.count(_SCOPE_BYTES) + chunk.count(_RECORD_BYTES)
            # A marker cut by the chunks' border: the border's bytes are too
            # few on either side to hold a whole one.
            for marker in (_SCOPE_BYTES, _RECORD_BYTES):
                total += (before[-(len(marker) - 1) :] + chunk[: len(marker) - 1]).count(marker)
            before = chunk
    return total


@dataclass
class _Lane:
    """A thread's lane: what the page gets of it (`meta`, its columns as
    JSON text) and what ordering and the header need to know."""

    meta: dict[str, Any]
    scopes: str
    instants: str
    scope_count: int
    record_count: int
    first: float | None  # the earliest time it draws, None for nothing
    last: float | None  # the latest, None when a scope never closed
    low: float | None  # the earliest and latest time written in it
    high: float | None
    measured: int  # scopes and records with all their times measured
    # The private thread of vorn.span: one scope that never closes and
    # nothing else, whose lane would only be a bar across the whole timeline.
    span_thread: bool


SpanTimes = dict[tuple[str, tuple[int, ...]], float]
# The span records of the files read, each with its file and position.
SpanRecords = list[tuple[Instant, tuple[str, tuple[int, ...]]]]


def _lane(trace: TraceFile, strings: _Strings, timeline: Timeline, exact: bool = False,
          window: Window | None = None, span_times: SpanTimes | None = None,
          span_records: SpanRecords | None = None) -> _Lane:  # fmt: skip
    """One thread's scopes and records, read from its file in one pass by
    the native reader, their display times (vorn.reading.display_times:
    the events of one millisecond spread inside it in file order, unless
    `exact`) moved onto the timeline. With `window`, only the scopes and
    records that overlap it; meta["outside"] counts the others. The display
    time of each span record goes into `span_times`, by file and position
    as pair_spans names them, and the record itself into `span_records`.
    A scope raised when its last event is a record saying so
    (vorn.reading.scope_outcome). Holds the columns and the scopes open,
    never the file's tree.

    Its scopes and records go out as JSON objects of equal-length columns
    (or one number standing for a whole column):

    scopes:  parent (row less its parent's row, 0 at the top level), depth,
             enter (ns, each less the previous enter), length (exit less
             enter in ns, -1: never closed), invoker, file, line, args
             (each less the previous row's), measured (1 precise enter, 2
             precise exit), raised (1 + the exception's text, 0 for none)
    records: parent (1 + the scope row, 0 at the top level), time (ns, each
             less the previous record's), invoker, file, line, args (each
             less the previous row's), measured (1 precise)
    Texts are indices into the string table; messages are mostly new
    texts, appended to it in file order, so their steps are short.

    The lane's texts come in the order it first used them; interned here in
    that order, they take the places in the page's table they would take
    one at a time. A record naming an exception whose type goes beyond
    ASCII is judged here, by scope_outcome's rules."""
    low, high = window if window is not None else (-math.inf, math.inf)
    source = native_source(trace.path, trace)
    built, error = _native.page_lane(source.fd, source.companion_fd, source.entries, source.warn,
                                     timeline.offset(trace), exact, low, high)  # fmt: skip
    if error is not None:
        raise format_error(trace.path, error)
    assert built is not None
    texts, judged = built.texts()
    if judged:
        page_index = []
        to_judge = set(judged)
        for at, text in enumerate(texts):
            if at not in to_judge:
                page_index.append(strings(text))
                continue
            raised = raised_by_record(Instant(0, "", "", 0, text))
            page_index.append(-1 if raised is None else strings(str(raised)))
    else:
        page_index = strings.all(texts)
    scopes, instants = built.encoded(page_index)
    (scope_count, record_count, first, high_time, last, measured, depth, outside, last_time,
     span_thread) = built.extent()  # fmt: skip
    name = os.fspath(trace.path)
    for position, time, ts, invoker, file, line, args, ts_ns in built.span_records():
        if span_times is not None:
            span_times[(name, position)] = time
        if span_records is not None:
            span_records.append((Instant(ts, invoker, file, line, args, ts_ns), (name, position)))
    meta = {
        "host": trace.host,
        "thread": trace.thread,
        "name": thread_name(trace),  # the page draws the "(not aligned)" mark apart
        "main": trace.pid is not None and trace.thread == str(trace.pid),
        "aligned": timeline.aligned(trace),
        "path": str(trace.path),
        "depth": depth,
        "outside": list(outside),
        "last": last_time,
        "tasks": [],
    }
    return _Lane(meta, scopes, instants, scope_count, record_count, first, last, first, high_time, measured,
                 span_thread)


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


def _active(lane: _Lane) -> list[float | None] | None:
    """The first and last moment `lane` and its task lanes draw anything,
    None when they draw nothing; the last is None when a scope that never
    closed runs on to the end of the timeline."""
    spans = [row for task in lane.meta["tasks"] for row in task["spans"]]
    starts = [time for time in (lane.first, *(row[1] for row in spans)) if time is not None]
    if not starts:
        return None
    if lane.first is not None and lane.last is None:
        return [min(starts), None]
    ends = [time for time in (lane.last, *(row[2] for row in spans)) if time is not None]
    return [min(starts), max(ends)]


# A thread's name: its stem, the number that tells the threads of a pool
# apart (the last one outside a closing "(...)"), and that "(...)":
# "ThreadPoolExecutor-0_3", "Thread-7 (process_request_thread)",
# "request-handler-000123".
_NUMBERED: Final = re.compile(r"(?P<stem>.*?)(?P<number>\d+)(?P<suffix>(?:\s*\(.*\))?)", re.DOTALL)
# A name the system cut to 15 bytes may have lost the end of its "(...)".
_CUT_NUMBERED: Final = re.compile(r"(?P<stem>.*?)(?P<number>\d+)(?P<suffix>(?:\s*\(.*)?)", re.DOTALL)
_NAME_BYTES: Final = 15


def _pools(lanes: Sequence[dict[str, Any]], names: Sequence[str | None],
           cut: Sequence[bool] | None = None) -> list[str | None]:  # fmt: skip
    """For each lane, the name of its pool ("worker-N", "Thread-N (work)",
    "ThreadPoolExecutor-0_N"), or None: threads of one pool share their
    name but for its number, and threads named alike share one. Where
    `cut` says a name is the system's, cut to 15 bytes, it belongs with
    the longer names it begins ("Thread-100 (wor" with "Thread-1 (work)").
    A pool has two threads at least; a main thread is in none."""
    keys: dict[int, tuple[str, str, bool]] = {}  # by lane: stem, suffix, maybe cut
    for index, (lane, name) in enumerate(zip(lanes, names)):
        if lane["main"] or not name:
            continue
        maybe_cut = bool(cut and cut[index]) and len(name.encode()) == _NAME_BYTES
        match = (_CUT_NUMBERED if maybe_cut else _NUMBERED).fullmatch(name)
        stem, suffix = (match["stem"] + "N", match["suffix"]) if match else (name, "")
        keys[index] = (stem, suffix, maybe_cut)
    # The longest suffixes first, so that a cut one finds the pool of a
    # name it begins.
    pools: dict[tuple[str, str], list[int]] = {}
    for index in sorted(keys, key=lambda i: -len(keys[i][1])):
        stem, suffix, maybe_cut = keys[index]
        home = (next((key for key in pools if key[0] == stem and key[1].startswith(suffix)), None)
                if maybe_cut else None)  # fmt: skip
        pools.setdefault(home or (stem, suffix), []).append(index)
    named: list[str | None] = [None] * len(lanes)
    for (stem, suffix), members in pools.items():
        for index in members if len(members) > 1 else ():
            named[index] = stem + suffix
    return named


def _system_named(trace: TraceFile) -> bool:
    """Whether the thread's name is the system's (at most 15 bytes, maybe
    cut) rather than Python's whole name."""
    identity = read_identity(trace.path)
    return identity is None or identity.system_thread_name in (None, identity.thread_name)


def _ordered(lanes: list[_Lane], names: list[str | None], cut: list[bool]) -> None:
    """Puts a process's lanes in the order a reader follows them: the main
    thread first, then the threads by their first activity, the idle ones
    last; notes each lane's activity and pool. Under its pool's header a
    thread is named without what the header says ("Thread-12 4711" under
    "Thread-N (work)")."""
    metas = [lane.meta for lane in lanes]
    for lane in lanes:
        lane.meta["active"] = _active(lane)
    for meta, name, pool, maybe_cut in zip(metas, names, _pools(metas, names, cut), cut):
        meta["pool"] = pool
        match = (_CUT_NUMBERED if maybe_cut else _NUMBERED).fullmatch(name or "")
        meta["member"] = f"{match['stem']}{match['number']} {meta['thread']}" if pool and match else None
    lanes.sort(key=lambda lane: (not lane.meta["main"], lane.meta["active"] is None,
                                 lane.meta["active"][0] if lane.meta["active"] else 0))  # fmt: skip


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


def _lanes_json(lanes: Sequence[_Lane]) -> Iterator[str]:
    for index, lane in enumerate(lanes):
        yield ("," if index else "") + _embedded_json(lane.meta)[:-1]
        yield f',"scopes":{lane.scopes},"instants":{lane.instants}}}'


def _data_json(document: dict[str, Any], hosts: list[dict[str, Any]], strings: list[str]) -> Iterator[str]:
    """The page's data as JSON text in pieces: the lanes' columns are JSON
    already, and the string table goes out a slice at a time, so the whole
    document is never one string."""
    yield _embedded_json(document)[:-1] + ',"hosts":['
    for h, host in enumerate(hosts):
        yield ("," if h else "") + _embedded_json({"name": host["name"]})[:-1] + ',"processes":['
        for p, process in enumerate(host["processes"]):
            meta = {key: value for key, value in process.items() if key != "lanes"}
            yield ("," if p else "") + _embedded_json(meta)[:-1] + ',"lanes":['
            yield from _lanes_json(process["lanes"])
            yield "]}"
        yield "]}"
    yield '],"strings":['
    for at in range(0, len(strings), 10_000):
        yield ("," if at else "") + _embedded_json(strings[at : at + 10_000])[1:-1]
    yield "]}"


def _counted(files: Sequence[TraceFile], limit: int) -> None:
    total = sum(event_count(trace.path) for trace in files)
    if total > limit:
        raise PageTooLarge(
            f"{total:,} scopes and records in {len(files):,} trace files are more than one page draws "
            f"(limit {limit:,}, {LIMIT_VARIABLE}); draw a part of the timeline with --from MS --to MS"
        )


def render_parts(files: Sequence[TraceFile], exact: bool = False, window: Window | None = None,
                 limit: int | None = None) -> Iterator[str]:  # fmt: skip
    """The HTML page drawing `files` (see render_view) in pieces to write
    one after the other. Every file is read before the first piece comes,
    so an error comes before anything is written."""
    if limit is None:
        limit = int(os.environ.get(LIMIT_VARIABLE) or DEFAULT_LIMIT)
    if window is not None and not window[0] < window[1]:
        raise ValueError(f"the time range {window[0]:g} to {window[1]:g} ms is empty")
    if window is None:
        _counted(files, limit)
    strings = _Strings()
    timeline = timeline_of(files)
    span_times: SpanTimes = {}
    span_records: SpanRecords = []
    by_path: dict[str, dict[str, Any]] = {}
    # Each process's lanes with their threads' names, to be ordered once
    # the spans are in.
    to_order: list[tuple[list[_Lane], list[str | None], list[bool]]] = []
    hosts = []
    lanes: list[_Lane] = []
    for host, processes in timeline.hosts:
        entries = []
        for process in processes:
            process_lanes: list[_Lane] = []
            names: list[str | None] = []
            cut: list[bool] = []
            for trace in process.threads:
                lane = _lane(trace, strings, timeline, exact, window, span_times, span_records)
                if lane.span_thread:
                    continue
                lane.meta["process"] = process.label if process.pid is not None else None
                process_lanes.append(lane)
                names.append(trace.thread_name)
                cut.append(trace.thread_name is not None and _system_named(trace))
                by_path[lane.meta["path"]] = lane.meta
            if not process_lanes:
                continue
            lanes += process_lanes
            to_order.append((process_lanes, names, cut))
            entries.append({"name": process.label, "pid": process.pid, "ppid": process.ppid,
                            "aligned": timeline.process_aligned(process),
                            "lanes": process_lanes})  # fmt: skip
        if entries:
            hosts.append({"name": host, "processes": entries})
    if span_records:
        _task_lanes(pair_spans(span_records), by_path, span_times, strings, window)
    for process_lanes, names, cut in to_order:
        _ordered(process_lanes, names, cut)
    drawn = sum(lane.scope_count + lane.record_count for lane in lanes)
    if drawn > limit:
        low, high = window or (0, 0)
        raise PageTooLarge(f"{drawn:,} scopes and records overlap {low:g} to {high:g} ms, more than one page "
                           f"draws (limit {limit:,}, {LIMIT_VARIABLE}); draw a shorter time range")  # fmt: skip
    lows = [lane.low for lane in lanes if lane.low is not None]
    highs = [lane.high for lane in lanes if lane.high is not None]
    start, end = (min(lows), max(highs)) if lows else (0.0, 0.0)
    if window is not None:  # an open side of the range is the trace's own edge
        start, end = (window[0] if math.isfinite(window[0]) else start,
                      window[1] if math.isfinite(window[1]) else end)  # fmt: skip
    document = {
        "unit": "ms",
        # How many scopes and records have precise times, of how many drawn.
        "measured": [sum(lane.measured for lane in lanes), drawn],
        "start": start,
        "end": end,
        "origin": timeline.start_time,  # the timeline's zero, ISO 8601 UTC; None without origins
        "range": None if window is None else [start, end],
    }
    style, script = _asset("view_page.css"), _asset("view_page.js")
    # Only these two inline blocks may run or apply: anything a trace text
    # could smuggle into the page would fail the hash check, and with
    # default-src 'none' nothing can be fetched.
    csp = (f"default-src 'none'; script-src {_csp_hash(script)}; "
           f"style-src {_csp_hash(style)}; base-uri 'none'; form-action 'none'")
    page = _asset("view_page.html")
    for mark, value in ((_STYLE_MARK, style), (_SCRIPT_MARK, script), (_CSP_MARK, csp), (_DATA_MARK, _DATA_MARK)):
        if page.count(mark) != 1:
            raise RuntimeError(f"view_page.html must hold {mark!r} exactly once")
        page = page.replace(mark, value)
    before, after = page.split(_DATA_MARK)
    yield before
    yield from _data_json(document, hosts, strings.table)
    yield after


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
    return "".join(render_parts(files, exact, window, limit))


def write_view(paths: Iterable[str | os.PathLike[str]], output: str | os.PathLike[str],
               exact: bool = False, window: Window | None = None, limit: int | None = None,
               run: str | None = "all") -> int:  # fmt: skip
    """Finds the trace files under `paths` (files, or directories searched
    recursively for *.log), writes their timeline page to `output` and returns
    how many trace files it draws. Raises FileNotFoundError for a missing
    path, ValueError when there is no trace file at all or `output` is one of
    them, TraceFormatError for a file that is not a trace, PageTooLarge
    past `limit` (see render_view). The page is written whole or not at all
    (vorn.outputs.output_file), a piece at a time."""
    with opened_sources(paths, run, "view") as (files, inputs):
        parts = render_parts(files, exact, window, limit)
        first = next(parts)  # every file read: errors come before the output is opened
        with written_output(output, inputs) as stream:
            stream.write(first)
            for part in parts:
                stream.write(part)
    return len(files)
