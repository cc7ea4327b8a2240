"""Trace files as OpenTelemetry spans, before any OpenTelemetry code runs.

Every scope becomes a span named after its message, from its enter to its
exit time, child of the scope it was opened in; every ``log`` record an
event of the span of its scope. A file's times count milliseconds from its
clock origin, so a record's wall-clock time is exact in Unix nanoseconds:
(clock_origin_ms + ts) * 1_000_000; where the file's companion gave the
reader the record's nanoseconds, clock_origin_ms * 1_000_000 + those.

A ``vorn.span`` is two records, its begin and its end, possibly in two
files of its process (paired as read_spans pairs them). It becomes a span of its own,
child of the scope open where it began, and its two records are not also
events. The private thread that writes those records holds one scope,
"vorn spans", open for the life of the process; it stands for nothing the
program did, so it sends nothing.

A scope that raised ends with the record vorn.traced and vorn.scope log
then, "raised <type>" (or "raised <type>: <message>"), as
vorn.reading.scope_outcome reads it for the page and the summary; its span gets
status ERROR with that text, and the record becomes its `exception` event,
as the exception that left a vorn.span does. The record must be the
scope's own (its invoker, file and line): one that another logger wrote
into the scope is an event like any other. A program's own
``log("raised ...")`` as a scope's last record reads as raised too: nothing
in the file tells them apart.

Ids are hashes, never random: the same file sent twice gives the same ids
(a backend that receives a span again keeps one), and files of different
threads, processes or hosts never share one. A span id hashes the file's
identity (its process, thread and file id) with the scope's index in
document order, which appending to a file never changes, so a file that
grew since it was last sent keeps the ids of what it held. The file id is
random per file and stays with it when a thread id that came back has the
file renamed to a sibling name; files written before file ids existed are
told apart by their sibling number instead. An async span's id hashes its
process's identity with the id the process gave it, which is unique in the
process.

This module knows nothing of OpenTelemetry's packages, so it imports
where they are missing; vorn.outputs.otlp turns its spans into the SDK's.
"""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from json.encoder import encode_basestring_ascii
from typing import Any, Final

from vorn.reading.scope_outcome import Raised, raised_by_record
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_identity import TraceIdentity
from vorn.reading.trace_identity import process_key as identity_process_key
from vorn.reading.trace_reader import ENTER, EXIT, RECORD, Instant, ReadPoint, Scope, iter_trace_from, pair_spans, read_trace_events
from vorn.reading.trace_reader import Span as SpanRecords

__all__ = [
    "AsyncSpan",
    "FileIds",
    "FilePoint",
    "ProcessTraces",
    "SourceFile",
    "Span",
    "SpanBuilder",
    "SpanEvent",
    "async_key",
    "async_span",
    "async_trace_id",
    "file_key",
    "files_without_origin",
    "is_span_thread",
    "process_groups",
    "process_key",
    "process_trace_id",
    "resource_of",
    "spans_of",
    "thread_attributes",
]

Attributes = dict[str, str | int | bool]
Position = tuple[int, ...]  # indexes from a file's top-level list down through scopes' events

NANOS_PER_MS: Final = 1_000_000
NEVER_CLOSED: Final = "never closed"
# How vorn.span's records and its private thread's scope are told apart:
# its logger's invoker and file, which no user scope has (vorn.program.spans
# imports the native module, so they are not taken from there).
SPAN_INVOKER: Final = "span"
SPAN_FILE: Final = "<vorn.span>"


@dataclass(frozen=True)
class SourceFile:
    """A trace file and its full identity (None when it carries none);
    `origin_ns` is the Unix time in nanoseconds its times count from (None:
    unknown, and no origin was assumed)."""

    trace: TraceFile
    identity: TraceIdentity | None
    origin_ns: int | None


@dataclass(frozen=True, slots=True)
class SpanEvent:
    name: str
    time_ns: int
    attributes: Attributes


@dataclass(slots=True)
class Span:
    trace_id: bytes  # 16 bytes
    span_id: bytes  # 8 bytes
    parent_id: bytes | None
    name: str
    start_ns: int
    end_ns: int
    attributes: Attributes
    resource: Attributes
    events: list[SpanEvent] = field(default_factory=list)
    never_closed: bool = False
    error: str | None = None  # the status message of a span that failed (never closed: NEVER_CLOSED)


@dataclass(frozen=True)
class AsyncSpan:
    """A vorn.span as an OpenTelemetry span; `ended` is False while its end
    record is not there (`span` then ends at its process's last moment)."""

    id: str  # the id its process gave it, "1f.4711"
    span: Span
    ended: bool


@dataclass(frozen=True)
class FilePoint:
    """Where a read of a growing file starts again: a point at its top
    level, and what the file holds before it: how many top-level items, how
    many items in document order (the indexes ids hash), and its latest
    time (ns after its origin), which the scopes it leaves open end at."""

    read: ReadPoint = ReadPoint()
    top: int = 0
    index: int = 0
    last: int = 0


def files_without_origin(sources: Iterable[SourceFile]) -> list[SourceFile]:
    return [source for source in sources if source.origin_ns is None]


def spans_of(sources: Sequence[SourceFile], service_name: str | None = None,
             trace_per_process: bool = False) -> list[Span]:  # fmt: skip
    """The spans of every scope and async span in `sources` (each with its
    origin), process by process, file by file in document order. A record
    outside any scope (``log`` on a thread with no scope open) becomes a
    span of no duration of its own."""
    spans: list[Span] = []
    for group in process_groups(sources):
        process = ProcessTraces(group, service_name, trace_per_process)
        for number in range(len(process.files)):
            spans += process.file_spans(number)[0]
        spans += [found.span for found in process.async_spans()]
    return spans


def process_groups(sources: Iterable[SourceFile]) -> list[list[SourceFile]]:
    """`sources` grouped by the process that wrote them, in the order of
    each process's first file."""
    groups: dict[str, list[SourceFile]] = {}
    for source in sources:
        groups.setdefault(json.dumps(process_key(source), separators=(",", ":")), []).append(source)
    return list(groups.values())


class FileIds:
    """The ids of one file's spans: hashes of the file's key with an item's
    index in document order."""

    def __init__(self, source: SourceFile) -> None:
        if source.origin_ns is None:
            raise ValueError(f"{source.trace.path}: the trace file has no clock origin")
        self.key = file_key(source)
        # The ids' keys as text up to the index, which alone differs from
        # item to item.
        self._span_key = _open_key(["span", *self.key])
        self._trace_key = _open_key(["trace", *self.key])

    def span_id(self, index: int) -> bytes:
        """The id of the span of item `index`: the hash of ["span", *key, index]."""
        # _hashed's first try inline: its retries are for the one hash in
        # 2**64 that is all zero.
        text = f"{self._span_key}{index}]"
        value = _blake2b(text.encode(), digest_size=8).digest()
        return value if value != _ZERO_SPAN else _hashed(text, 8)

    def trace_id(self, index: int) -> bytes:
        return _hashed(f"{self._trace_key}{index}]", 16)


class _FileView(FileIds):
    """One file read once: its items in document order with their depths
    and positions, and each position's index in that order (which ids hash).
    Read from `start` on, it holds only what follows that point: positions
    count from there, `top` and `base` say how many top-level items and
    items precede it, and `points` are the places a later read can start
    from, with what precedes each."""

    def __init__(self, source: SourceFile, start: FilePoint | None = None) -> None:
        super().__init__(source)
        assert source.origin_ns is not None  # FileIds refuses a file without one
        self.source = source
        self.origin: int = source.origin_ns
        self.points: list[FilePoint] = []
        # The companion of precise times is checked against the identity the
        # file was sent with (an archive's, for an unpacked file).
        identity = source.identity or source.trace
        if start is None:
            self.items = read_trace_events(source.trace.path, identity)
            self.top = self.base = 0
        else:
            self.items = self._read_from(identity, start)
            self.top, self.base = start.top, start.index
        self.ordered = list(_positions(self.items))
        self.index_of = {position: self.base + index for index, (_, position, _) in enumerate(self.ordered)}
        # A scope that never closed lasted, as far as anyone can tell, until
        # the last moment its thread wrote anything (ns after the origin).
        self.last = max((_latest(item) for _, _, item in self.ordered), default=0)
        if start is not None:
            self.last = max(self.last, start.last)

    def _read_from(self, identity: object, start: FilePoint) -> list[Scope | Instant]:
        """The items after `start`, as read_trace_events builds them, noting
        the points on the way."""
        top: list[Scope | Instant] = []
        lists: list[list[Scope | Instant]] = [top]
        index, last = start.index, start.last
        for event in iter_trace_from(self.source.trace.path, identity, start.read):
            if isinstance(event, ReadPoint):
                self.points.append(FilePoint(event, start.top + len(top), index, last))
                continue
            kind, _, item = event
            if kind == RECORD:
                lists[-1].append(item)
                index, last = index + 1, max(last, _ns(item, "ts"))
            elif kind == ENTER:
                assert isinstance(item, Scope)
                lists[-1].append(item)
                lists.append(item.events)
                index, last = index + 1, max(last, _ns(item, "ts_enter"))
            else:
                lists.pop()
                if isinstance(item, Scope) and item.ts_exit is not None:
                    last = max(last, _ns(item, "ts_exit"))
        return top


class ProcessTraces:
    """The files of one process, each read once, and the async spans
    recorded in them. With `skip_unreadable`, a file that cannot be read
    (gone meanwhile, not a trace) is left out and named in `errors`;
    otherwise it raises OSError or ValueError."""

    def __init__(self, sources: Sequence[SourceFile], service_name: str | None, trace_per_process: bool,
                 skip_unreadable: bool = False, starts: Sequence[FilePoint | None] = ()) -> None:  # fmt: skip
        """`starts`: where to read each source from (None or missing: all of it)."""
        self.errors: list[str] = []
        self.files: list[_FileView] = []
        for number, source in enumerate(sources):
            try:
                self.files.append(_FileView(source, starts[number] if number < len(starts) else None))
            except (OSError, ValueError) as error:
                if not skip_unreadable:
                    raise
                self.errors.append(str(error))
        self.service_name = service_name
        self.process_trace = process_trace_id(sources[0]) if trace_per_process and sources else None
        # Paired from what the files held when read, not read again: a
        # span's records are those of the scopes sent with them.
        self.records = _span_records(self.files)

    def file_spans(self, number: int, skip: int = 0, closed_only: bool = False) -> tuple[list[Span], int]:
        """The spans of the scopes and records of file `number`, leaving
        out its first `skip` top-level items; with `closed_only`, only those
        of the top-level scopes that have closed. Returns them and how many
        top-level items the file holds (with `closed_only`: how many before
        the first open one). Counts include the items before the point the
        view was read from."""
        view = self.files[number]
        limit = len(view.items)
        if closed_only:
            limit = next((index for index, item in enumerate(view.items)
                          if isinstance(item, Scope) and item.ts_exit is None and not is_span_thread(item)),
                         limit)  # fmt: skip
        limit += view.top
        # The top-level items sent: in the range asked for, and not the span
        # thread's scope.
        sent = [skip <= view.top + top < limit and not is_span_thread(item) for top, item in enumerate(view.items)]
        builder = SpanBuilder(view, view.source, self.service_name, self.process_trace,
                              lambda top, _: sent[top - view.top], top=view.top, index=view.base, last=view.last)  # fmt: skip
        spans: list[Span] = []
        for kind, item in _tree_events(view.items):
            builder.feed(kind, item)
            if builder.ready:
                spans += builder.take()
        spans += builder.finish()
        return spans, limit

    def async_spans(self) -> list[AsyncSpan]:
        """The async spans whose begin record the files held, in the order
        of their begin records; one whose end record is not there (yet) ends
        at the process's last moment, never closed."""
        by_name = {os.fspath(view.source.trace.path): view for view in self.files}
        last = max((view.origin + view.last for view in self.files), default=0)
        # One resource and thread attributes per file, shared by its spans.
        resources = {id(view): resource_of(view.source, self.service_name) for view in self.files}
        threads = {id(view): thread_attributes(view.source) for view in self.files}
        async_keys = {id(view): async_key(view.source) for view in self.files}
        found = []
        for record in self.records:
            view = by_name[record.begin[0]]
            end_view = None if record.end is None else by_name[record.end[0]]
            end = None if end_view is None else end_view.origin + _ns(record, "ts_end")
            span = async_span(record.id, record.message, record.task, view.origin + _ns(record, "ts_begin"), end,
                              record.raised, last, trace_id=self._trace_of(view, record.begin[1], record.id),
                              parent_id=self._parent_of(view, record.begin[1]), thread=threads[id(view)],
                              resource=resources[id(view)], key=async_keys[id(view)])  # fmt: skip
            found.append(AsyncSpan(record.id, span, end is not None))
        return found

    def _trace_of(self, view: _FileView, position: Position, span_id: str) -> bytes:
        """The trace of the top-level scope the span began in; a span begun
        outside any scope starts a trace of its own."""
        if self.process_trace is not None:
            return self.process_trace
        if len(position) > 1:
            return view.trace_id(view.index_of[position[:1]])
        return async_trace_id(view.source, span_id)

    def _parent_of(self, view: _FileView, position: Position) -> bytes | None:
        if len(position) == 1:
            return None
        return view.span_id(view.index_of[position[:-1]])


class _Open:
    """A scope open at the point read: its span (None where its top-level
    item is not sent), its index, and its last item so far where that is a
    record (the one that may say it raised)."""

    __slots__ = ("index", "last", "span")

    def __init__(self, span: Span | None, index: int) -> None:
        self.span, self.index = span, index
        self.last: Instant | None = None


class SpanBuilder:
    """The spans of one file's scopes and records, built from its events in
    file order (`feed`) and handed out in document order (`ready`, `take`,
    `finish`), as a read of the whole file lists them. A scope's span is
    whole only once the scope has closed (its end, its status, its last
    events), so the spans of a top-level scope wait until it closes; those
    of a scope that never closed, and everything after them, wait for the
    file's end, whose latest time they end at. What it holds is one
    top-level scope's spans, whatever the size of the file.

    `wanted(top, item)` says whether top-level item number `top` is sent.
    `on_span_record(record, top, scope)` is told of every record of
    vorn.span's logger, sent or not, with the indexes of its top-level
    scope and of its innermost scope (None for a record outside any scope).
    `top`, `index` and `last`: how many top-level items and items precede
    the first event, and the latest time before it (ns after the origin)."""

    def __init__(self, ids: FileIds, source: SourceFile, service_name: str | None, process_trace: bytes | None,
                 wanted: Callable[[int, Scope | Instant], bool], *, top: int = 0, index: int = 0, last: int = 0,
                 on_span_record: Callable[[Instant, int | None, int | None], None] | None = None) -> None:  # fmt: skip
        assert source.origin_ns is not None  # FileIds refuses a file without one
        self.ids = ids
        self.origin: int = source.origin_ns
        self.resource = resource_of(source, service_name)
        self.thread = thread_attributes(source)
        self.process_trace = process_trace
        self.wanted = wanted
        self.on_span_record = on_span_record
        self.top, self.index, self.last = top, index, last
        self.ready: list[Span] = []
        self._open: list[_Open] = []
        self._held: list[Span] = []
        self._never_closed: list[Span] = []  # held, with everything after them, until the end
        self._sending = False
        self._top_index = 0
        self._trace_id = process_trace
        # What `feed` calls for each kind of event: looked up, not tested
        # for, as it runs for every scope and record of the file.
        self._handlers: dict[str, Callable[[Any], None]] = {RECORD: self._record, ENTER: self._enter,
                                                            EXIT: self._exit}  # fmt: skip

    def feed(self, kind: str, item: Scope | Instant) -> None:
        """Takes the next event of the file: a scope's enter or exit, or a record."""
        self._handlers[kind](item)

    def handlers(self) -> dict[str, Callable[[Any], None]]:
        """What feed calls for each kind of event (ENTER, RECORD, EXIT), for
        a caller that feeds a file's events in a loop of its own."""
        return self._handlers

    def take(self) -> list[Span]:
        """The spans made whole since the last call, in document order."""
        spans, self.ready = self.ready, []
        return spans

    def finish(self) -> list[Span]:
        """The spans left once the file's events are all fed."""
        for span in self._never_closed:
            span.end_ns = self.origin + self.last
        self._never_closed = []
        self._release()
        return self.take()

    def _top_level(self, index: int, item: Scope | Instant) -> None:
        self._sending = self.wanted(self.top, item)
        self.top += 1
        self._top_index = index
        if self._sending:
            self._trace_id = self.process_trace or self.ids.trace_id(index)

    # _enter and _record count their item as the next in document order:
    # its index is the one ids hash, and its time (ns after the origin) may
    # be the latest yet. Inline rather than shared, as they run per item.

    def _enter(self, scope: Scope) -> None:
        enter = scope.ts_enter_ns if scope.ts_enter_ns is not None else scope.ts_enter * NANOS_PER_MS
        index = self.index
        self.index = index + 1
        if enter > self.last:
            self.last = enter
        scopes = self._open
        if scopes:
            scopes[-1].last = None
        else:
            self._top_level(index, scope)
        span = None
        if self._sending:
            assert self._trace_id is not None
            parent = scopes[-1].span.span_id if scopes and scopes[-1].span is not None else None
            attributes: Attributes = {"code.function.name": scope.invoker, "code.file.path": scope.file,
                                      "code.line.number": scope.line, **self.thread}  # fmt: skip
            span = Span(self._trace_id, self.ids.span_id(index), parent, scope.args, self.origin + enter, 0,
                        attributes, self.resource)  # fmt: skip
            self._held.append(span)
        scopes.append(_Open(span, index))

    def _record(self, record: Instant) -> None:
        time = record.ts_ns if record.ts_ns is not None else record.ts * NANOS_PER_MS
        index = self.index
        self.index = index + 1
        if time > self.last:
            self.last = time
        scopes = self._open
        if scopes:
            scopes[-1].last = record
        else:
            self._top_level(index, record)
        if record.invoker == SPAN_INVOKER:
            if self.on_span_record is not None:
                self.on_span_record(record, self._top_index if scopes else None, scopes[-1].index if scopes else None)
            if record.file == SPAN_FILE:
                return  # a vorn.span's record: the span is sent of its own
        if not self._sending:
            return
        time += self.origin
        if scopes:
            span = scopes[-1].span
            assert span is not None
            span.events.append(SpanEvent(record.args, time, _code_attributes(record)))
            return
        # Nothing to hang it on: a span of its own, at its moment.
        assert self._trace_id is not None
        self._held.append(Span(self._trace_id, self.ids.span_id(index), None, record.args, time, time,
                               {**_code_attributes(record), **self.thread}, self.resource))  # fmt: skip
        self._release()

    def _exit(self, scope: Scope) -> None:
        entry = self._open.pop()
        span = entry.span
        if scope.ts_exit is None:
            if span is not None:
                span.never_closed, span.error = True, NEVER_CLOSED
                span.attributes["vorn.never_closed"] = True
                self._never_closed.append(span)
        else:
            end = scope.ts_exit_ns if scope.ts_exit_ns is not None else scope.ts_exit * NANOS_PER_MS
            if end > self.last:
                self.last = end
            if span is not None:
                span.end_ns = self.origin + end
                _note_raised(span, scope, entry.last)
        if not self._open:
            self._release()

    def _release(self) -> None:
        if not self._never_closed:
            self.ready += self._held
            self._held = []


def _note_raised(span: Span, scope: Scope, record: Instant | None) -> None:
    """Makes `span` an error when the last item of `scope` is a record
    saying it raised, in the form scope_outcome reads, written by the
    scope's own logger (its invoker, file and line), as vorn.traced and
    vorn.scope write it; the record's event becomes its `exception`
    event."""
    if record is None or (record.invoker, record.file, record.line) != (scope.invoker, scope.file, scope.line):
        return
    raised = raised_by_record(record)
    if raised is None:
        return
    span.error = record.args
    if not (record.invoker == SPAN_INVOKER and record.file == SPAN_FILE):  # such a record is no event
        span.events[-1] = _exception_event(raised, span.events[-1].time_ns)


def _span_records(views: Sequence[_FileView]) -> list[SpanRecords]:
    """The vorn.span records of `views` paired as read_spans pairs them, in
    the order of their begin records (by file, then in document order); an
    end may be in any of the files."""
    return pair_spans((item, (os.fspath(view.source.trace.path), position))
                      for view in views for _, position, item in view.ordered if isinstance(item, Instant))


def process_trace_id(source: SourceFile) -> bytes:
    """The one trace of the process of `source` when a process is sent as one."""
    return _trace_id(process_key(source))


def async_key(source: SourceFile) -> str:
    """What the ids of the async spans of the process of `source` hash, as
    text up to the span's own id: ["span", "async", *process_key(source), id]."""
    return _open_key(["span", "async", *process_key(source)])


def async_trace_id(source: SourceFile, span_id: str) -> bytes:
    """The trace of an async span begun outside any scope: one of its own."""
    return _trace_id(["async", *process_key(source), span_id])


def async_span(span_id: str, message: str, task: str | None, start: int, end: int | None, raised: str | None,
               last: int, *, trace_id: bytes, parent_id: bytes | None, thread: Attributes, resource: Attributes,
               key: str) -> Span:  # fmt: skip
    """The span of the vorn.span `span_id` begun at `start` and ended at
    `end` (Unix ns; None: not ended, so it ends at its process's `last`
    moment, never closed), `raised` the exception that left it; `key` is
    async_key of its process."""
    attributes: Attributes = {**thread, "vorn.span.id": span_id}
    if task is not None:
        attributes["vorn.task"] = task
    span = Span(trace_id, _hashed(f"{key}{encode_basestring_ascii(span_id)}]", 8), parent_id, message, start,
                max(start, last) if end is None else end, attributes, resource)  # fmt: skip
    if end is None:
        span.never_closed, span.error = True, NEVER_CLOSED
        attributes["vorn.never_closed"] = True
    elif raised:
        # "KeyError: 'k'", or "KeyError" alone: a type name holds no ": ".
        kind, _, text = raised.partition(": ")
        span.error = f"raised {raised}"
        span.events.append(_exception_event(Raised(kind, text), end))
    return span


def _tree_events(items: list[Scope | Instant]) -> Iterator[tuple[str, Scope | Instant]]:
    """The events of a file read whole, as iter_trace gives them in file
    order (without their depths): a scope's enter, what it holds, its exit."""
    stack: list[Iterator[Scope | Instant]] = [iter(items)]
    scopes: list[Scope] = []
    while stack:
        item = next(stack[-1], None)
        if item is None:
            stack.pop()
            if scopes:
                yield EXIT, scopes.pop()
        elif isinstance(item, Scope):
            yield ENTER, item
            stack.append(iter(item.events))
            scopes.append(item)
        else:
            yield RECORD, item


def _positions(items: list[Scope | Instant]) -> Iterator[tuple[int, Position, Scope | Instant]]:
    """Every scope and record below `items` in document order (the order
    of trace_reader.walk), with its depth and position. Iterative, so that
    deeply nested traces do not exhaust the recursion limit."""
    stack: list[tuple[Position, Iterator[tuple[int, Scope | Instant]]]] = [((), iter(enumerate(items)))]
    while stack:
        where, children = stack[-1]
        entry = next(children, None)
        if entry is None:
            stack.pop()
            continue
        index, item = entry
        position = (*where, index)
        yield len(where), position, item
        if isinstance(item, Scope):
            stack.append((position, iter(enumerate(item.events))))


def _exception_event(raised: Raised, time_ns: int) -> SpanEvent:
    """The `exception` event of a span that `raised` left; no
    exception.message when the record gave none."""
    attributes: Attributes = {"exception.type": raised.type}
    if raised.message:
        attributes["exception.message"] = raised.message
    return SpanEvent("exception", time_ns, attributes)


def is_span_thread(item: Scope | Instant) -> bool:
    """The one scope of vorn.span's private thread, open until its process ends."""
    return isinstance(item, Scope) and item.invoker == SPAN_INVOKER and item.file == SPAN_FILE


def _latest(item: Scope | Instant) -> int:
    if isinstance(item, Instant):
        return _ns(item, "ts")
    enter = _ns(item, "ts_enter")
    return enter if item.ts_exit is None else max(enter, _ns(item, "ts_exit"))


def _ns(item: object, name: str) -> int:
    """The time `name` of a scope, record or span in nanoseconds after its
    file's clock origin: the precise one where the reader has it (from the
    file's companion), else the file's millisecond."""
    precise = getattr(item, name + "_ns", None)
    if type(precise) is int:
        return precise
    milliseconds = getattr(item, name)
    assert isinstance(milliseconds, int)
    return milliseconds * NANOS_PER_MS


def _code_attributes(item: Scope | Instant) -> Attributes:
    return {"code.function.name": item.invoker, "code.file.path": item.file, "code.line.number": item.line}


def thread_attributes(source: SourceFile) -> Attributes:
    attributes: Attributes = {}
    tid = source.identity.tid if source.identity is not None else None
    if tid is None and source.trace.thread.isdecimal():
        tid = int(source.trace.thread)
    if tid is not None:
        attributes["thread.id"] = tid
    name = source.identity.thread_name if source.identity is not None else source.trace.thread_name
    if name:
        attributes["thread.name"] = name
    return attributes


def resource_of(source: SourceFile, service_name: str | None) -> Attributes:
    """The OpenTelemetry resource of the process that wrote `source`."""
    identity = source.identity
    name = service_name or (identity.process if identity is not None else "") or "unknown_service"
    resource: Attributes = {"service.name": name, "host.name": identity.host if identity else source.trace.host}
    if identity is not None:
        resource["process.pid"] = identity.pid
        resource["process.command_line"] = " ".join(identity.cmdline)
        resource["process.parent_pid"] = identity.ppid
    return resource


def file_key(source: SourceFile) -> list[object]:
    """What tells this file apart from every other: its process, thread and
    file id, which stays with the file whatever its name becomes. A file
    without a file id (older) has its sibling number instead, and one
    without identity only its host, thread and the origin assumed for it."""
    trace = source.trace
    identity = source.identity
    if identity is None:
        return ["file", trace.host, trace.thread, trace.sibling, None, source.origin_ns]
    which: object = trace.sibling if identity.file_id is None else identity.file_id
    return ["file", *identity_process_key(identity), identity.tid, which]


def process_key(source: SourceFile) -> list[object]:
    """What tells the process that wrote this file apart: host, pid and
    start time (a pid is reused, a pid and start time on a host are not),
    and its pid namespace and boot where recorded (vorn.reading.trace_identity)."""
    identity = source.identity
    if identity is None:
        return ["process", source.trace.host, None, source.origin_ns]
    return ["process", *identity_process_key(identity)]


def _trace_id(key: list[object]) -> bytes:
    return _digest(["trace", *key], 16)


def _digest(key: list[object], size: int) -> bytes:
    return _hashed(json.dumps(key, separators=(",", ":")), size)


def _open_key(key: list[object]) -> str:
    """The JSON text of `key` + [n] up to n: what _digest hashes for it."""
    return json.dumps(key, separators=(",", ":"))[:-1] + ","


def _hashed(text: str, size: int) -> bytes:
    """A hash of `text` of `size` bytes that is not all zero (an all-zero
    id means "no id" to OpenTelemetry): unsalted, else salted with the
    first of the bytes 1, 2, ... (16 times over) that gives one. blake2b's
    default salt is all zero, so the unsalted hash is the one salted with 0."""
    data = text.encode()
    value = _blake2b(data, digest_size=size).digest()
    if value.count(0) != size:
        return value
    for salt in _SALTS:
        value = _blake2b(data, digest_size=size, salt=salt).digest()
        if value.count(0) != size:
            return value
    raise AssertionError("unreachable: 256 all-zero hashes")  # pragma: no cover


_blake2b: Final = hashlib.blake2b
_SALTS: Final = [bytes([salt]) * 16 for salt in range(1, 256)]
_ZERO_SPAN: Final = bytes(8)
