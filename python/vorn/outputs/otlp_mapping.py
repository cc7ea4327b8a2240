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
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from json.encoder import encode_basestring_ascii
from typing import Final

from vorn.reading.scope_outcome import Raised, raised_of
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_identity import TraceIdentity
from vorn.reading.trace_identity import process_key as identity_process_key
from vorn.reading.trace_reader import ENTER, RECORD, Instant, ReadPoint, Scope, iter_trace_from, pair_spans, read_trace_events
from vorn.reading.trace_reader import Span as SpanRecords

__all__ = [
    "AsyncSpan",
    "FilePoint",
    "ProcessTraces",
    "SourceFile",
    "Span",
    "SpanEvent",
    "file_key",
    "files_without_origin",
    "process_groups",
    "process_key",
    "spans_of",
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


@dataclass(frozen=True)
class SpanEvent:
    name: str
    time_ns: int
    attributes: Attributes


@dataclass
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


class _FileView:
    """One file read once: its items in document order with their depths
    and positions, and each position's index in that order (which ids hash).
    Read from `start` on, it holds only what follows that point: positions
    count from there, `top` and `base` say how many top-level items and
    items precede it, and `points` are the places a later read can start
    from, with what precedes each."""

    def __init__(self, source: SourceFile, start: FilePoint | None = None) -> None:
        if source.origin_ns is None:
            raise ValueError(f"{source.trace.path}: the trace file has no clock origin")
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
        self.key = file_key(source)
        # A scope that never closed lasted, as far as anyone can tell, until
        # the last moment its thread wrote anything (ns after the origin).
        self.last = max((_latest(item) for _, _, item in self.ordered), default=0)
        if start is not None:
            self.last = max(self.last, start.last)
        # The ids' keys as text up to the index, which alone differs from
        # item to item.
        self._span_key = _open_key(["span", *self.key])
        self._trace_key = _open_key(["trace", *self.key])

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

    def span_id(self, index: int) -> bytes:
        """The id of the span of item `index`: the hash of ["span", *key, index]."""
        return _hashed(f"{self._span_key}{index}]", 8)

    def trace_id(self, index: int) -> bytes:
        return _hashed(f"{self._trace_key}{index}]", 16)


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
        self.process_trace = _trace_id(process_key(sources[0])) if trace_per_process and sources else None
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
        source = view.source
        limit = len(view.items)
        if closed_only:
            limit = next((index for index, item in enumerate(view.items)
                          if isinstance(item, Scope) and item.ts_exit is None and not _is_span_thread(item)),
                         limit)  # fmt: skip
        limit += view.top
        resource = _resource(source, self.service_name)
        thread = _thread_attributes(source)
        origin = view.origin
        items = view.items
        # The top-level items sent: in the range asked for, and not the span
        # thread's scope.
        sent = [skip <= view.top + top < limit and not _is_span_thread(item) for top, item in enumerate(items)]
        base = view.base

        spans: list[Span] = []
        open_spans: list[Span] = []  # the spans of the enclosing scopes, innermost last
        raised: dict[int, tuple[Instant, Raised]] = {}  # id(): the "raised" records of the scopes open
        trace_id = self.process_trace
        for index, (depth, position, item) in enumerate(view.ordered):
            if not sent[position[0]]:
                continue
            del open_spans[depth:]
            index += base
            if depth == 0:
                trace_id = self.process_trace or view.trace_id(index)
            assert trace_id is not None
            if type(item) is Instant:
                if item.invoker == SPAN_INVOKER and item.file == SPAN_FILE:
                    continue  # a vorn.span's record: the span is sent of its own
                time_ns = origin + (item.ts_ns if item.ts_ns is not None else item.ts * NANOS_PER_MS)
                found = raised.pop(id(item), None) if raised else None
                if found is not None and found[0] is item:
                    open_spans[-1].events.append(_exception_event(found[1], time_ns))
                    continue
                event = SpanEvent(item.args, time_ns, _code_attributes(item))
                if open_spans:
                    open_spans[-1].events.append(event)
                    continue
                # Nothing to hang it on: a span of its own, at its moment.
                spans.append(Span(trace_id, view.span_id(index), None, item.args, time_ns, time_ns,
                                  {**_code_attributes(item), **thread}, resource))  # fmt: skip
                continue
            assert isinstance(item, Scope)
            exit_ms = item.ts_exit
            never_closed = exit_ms is None
            attributes = {**_code_attributes(item), **thread}
            error = None
            if exit_ms is None:
                attributes["vorn.never_closed"] = True
                end, error = view.last, NEVER_CLOSED
            else:
                end = item.ts_exit_ns if item.ts_exit_ns is not None else exit_ms * NANOS_PER_MS
                outcome = _scope_raise(item)
                if outcome is not None:
                    raised[id(outcome[0])] = outcome
                    error = outcome[0].args
            enter = item.ts_enter_ns if item.ts_enter_ns is not None else item.ts_enter * NANOS_PER_MS
            span = Span(trace_id, view.span_id(index), open_spans[-1].span_id if open_spans else None, item.args,
                        origin + enter, origin + end, attributes, resource, never_closed=never_closed,
                        error=error)  # fmt: skip
            spans.append(span)
            open_spans.append(span)
        return spans, limit

    def async_spans(self) -> list[AsyncSpan]:
        """The async spans whose begin record the files held, in the order
        of their begin records; one whose end record is not there (yet) ends
        at the process's last moment, never closed."""
        by_name = {os.fspath(view.source.trace.path): view for view in self.files}
        last = max((view.origin + view.last for view in self.files), default=0)
        # One resource and thread attributes per file, shared by its spans.
        resources = {id(view): _resource(view.source, self.service_name) for view in self.files}
        threads = {id(view): _thread_attributes(view.source) for view in self.files}
        async_keys = {id(view): _open_key(["span", "async", *process_key(view.source)]) for view in self.files}
        found = []
        for record in self.records:
            view = by_name[record.begin[0]]
            start = view.origin + _ns(record, "ts_begin")
            end_view = None if record.end is None else by_name[record.end[0]]
            ended = end_view is not None
            attributes: Attributes = {**threads[id(view)], "vorn.span.id": record.id}
            if record.task is not None:
                attributes["vorn.task"] = record.task
            span = Span(
                trace_id=self._trace_of(view, record.begin[1], record.id),
                # The hash of ["span", "async", *process_key(view.source), record.id].
                span_id=_hashed(f"{async_keys[id(view)]}{encode_basestring_ascii(record.id)}]", 8),
                parent_id=self._parent_of(view, record.begin[1]),
                name=record.message,
                start_ns=start,
                end_ns=max(start, last),
                attributes=attributes,
                resource=resources[id(view)],
            )
            if ended:
                assert end_view is not None and record.ts_end is not None
                span.end_ns = end_view.origin + _ns(record, "ts_end")
                if record.raised:
                    # "KeyError: 'k'", or "KeyError" alone: a type name holds no ": ".
                    kind, _, message = record.raised.partition(": ")
                    span.error = f"raised {record.raised}"
                    span.events.append(_exception_event(Raised(kind, message), span.end_ns))
            else:
                span.never_closed, span.error = True, NEVER_CLOSED
                span.attributes["vorn.never_closed"] = True
            found.append(AsyncSpan(record.id, span, ended))
        return found

    def _trace_of(self, view: _FileView, position: Position, span_id: str) -> bytes:
        """The trace of the top-level scope the span began in; a span begun
        outside any scope starts a trace of its own."""
        if self.process_trace is not None:
            return self.process_trace
        if len(position) > 1:
            return view.trace_id(view.index_of[position[:1]])
        return _trace_id(["async", *process_key(view.source), span_id])

    def _parent_of(self, view: _FileView, position: Position) -> bytes | None:
        if len(position) == 1:
            return None
        return view.span_id(view.index_of[position[:-1]])


def _span_records(views: Sequence[_FileView]) -> list[SpanRecords]:
    """The vorn.span records of `views` paired as read_spans pairs them, in
    the order of their begin records (by file, then in document order); an
    end may be in any of the files."""
    return pair_spans((item, (os.fspath(view.source.trace.path), position))
                      for view in views for _, position, item in view.ordered if isinstance(item, Instant))


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


def _scope_raise(scope: Scope) -> tuple[Instant, Raised] | None:
    """The record that says an exception left `scope`, and that exception:
    its last record, in the form scope_outcome reads, written by the
    scope's own logger (the scope's invoker, file and line), as
    vorn.traced and vorn.scope write it."""
    outcome = raised_of(scope)
    if outcome is None:
        return None
    record = scope.events[-1]
    assert isinstance(record, Instant)
    if (record.invoker, record.file, record.line) != (scope.invoker, scope.file, scope.line):
        return None
    return record, outcome


def _exception_event(raised: Raised, time_ns: int) -> SpanEvent:
    """The `exception` event of a span that `raised` left; no
    exception.message when the record gave none."""
    attributes: Attributes = {"exception.type": raised.type}
    if raised.message:
        attributes["exception.message"] = raised.message
    return SpanEvent("exception", time_ns, attributes)


def _is_span_thread(item: Scope | Instant) -> bool:
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


def _thread_attributes(source: SourceFile) -> Attributes:
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


def _resource(source: SourceFile, service_name: str | None) -> Attributes:
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
    id means "no id" to OpenTelemetry)."""
    data = text.encode()
    for salt in range(256):
        value = hashlib.blake2b(data, digest_size=size, salt=bytes([salt]) * 16).digest()
        if any(value):
            return value
    raise AssertionError("unreachable: 256 all-zero hashes")  # pragma: no cover
