"""Trace files as OpenTelemetry spans, before any OpenTelemetry code runs.

Every scope becomes a span named after its message, from its enter to its
exit time, child of the scope it was opened in; every ``log`` record an
event of the span of its scope. A file's times count milliseconds from its
clock origin, so a record's wall-clock time is exact in Unix nanoseconds:
(clock_origin_ms + ts) * 1_000_000.

A ``vorn.span`` is two records, its begin and its end, possibly in two
files of its process (read_spans pairs them). It becomes a span of its own,
child of the scope open where it began, and its two records are not also
events. The private thread that writes those records holds one scope,
"vorn spans", open for the life of the process; it stands for nothing the
program did, so it sends nothing.

Ids are hashes, never random: the same file sent twice gives the same ids
(a backend that receives a span again keeps one), and files of different
threads, processes or hosts never share one. A span id hashes the file's
identity (host, pid, process start, thread, sibling number) with the
scope's index in document order, which appending to a file never changes,
so a file that grew since it was last sent keeps the ids of what it held.
An async span's id hashes its process's identity with the id the process
gave it, which is unique in the process.

This module knows nothing of OpenTelemetry's packages, so it imports
where they are missing; vorn.otlp turns its spans into the SDK's.
"""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Final

from vorn.trace_files import TraceFile
from vorn.trace_identity import TraceIdentity
from vorn.trace_reader import Instant, Scope, read_spans, read_trace_events
from vorn.trace_reader import Span as SpanRecords

__all__ = [
    "AsyncSpan",
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
# its logger's invoker and file, which no user scope has (vorn.spans
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
    and positions, and each position's index in that order (which ids hash)."""

    def __init__(self, source: SourceFile) -> None:
        if source.origin_ns is None:
            raise ValueError(f"{source.trace.path}: the trace file has no clock origin")
        self.source = source
        self.origin: int = source.origin_ns
        self.items = read_trace_events(source.trace.path)
        self.ordered = list(_positions(self.items))
        self.index_of = {position: index for index, (_, position, _) in enumerate(self.ordered)}
        self.key = file_key(source)
        # A scope that never closed lasted, as far as anyone can tell, until
        # the last moment its thread wrote anything.
        self.last = max((_latest(item) for _, _, item in self.ordered), default=0)


class ProcessTraces:
    """The files of one process, each read once, and the async spans
    recorded in them. With `skip_unreadable`, a file that cannot be read
    (gone meanwhile, not a trace) is left out and named in `errors`;
    otherwise it raises OSError or ValueError."""

    def __init__(self, sources: Sequence[SourceFile], service_name: str | None, trace_per_process: bool,
                 skip_unreadable: bool = False) -> None:  # fmt: skip
        self.errors: list[str] = []
        self.files: list[_FileView] = []
        for source in sources:
            try:
                self.files.append(_FileView(source))
            except (OSError, ValueError) as error:
                if not skip_unreadable:
                    raise
                self.errors.append(str(error))
        self.service_name = service_name
        self.process_trace = _trace_id(process_key(sources[0])) if trace_per_process and sources else None
        self.records: list[SpanRecords] = []
        try:
            # Read after the files themselves: whatever it finds beyond what
            # they held then was written meanwhile, and waits for the next read.
            self.records = read_spans(*(view.source.trace.path for view in self.files))
        except (OSError, ValueError) as error:
            if not skip_unreadable:
                raise
            self.errors.append(str(error))

    def file_spans(self, number: int, skip: int = 0, closed_only: bool = False) -> tuple[list[Span], int]:
        """The spans of the scopes and records of file `number`, leaving
        out its first `skip` top-level items; with `closed_only`, only those
        of the top-level scopes that have closed. Returns them and how many
        top-level items the file holds (with `closed_only`: how many before
        the first open one)."""
        view = self.files[number]
        source = view.source
        limit = len(view.items)
        if closed_only:
            limit = next((index for index, item in enumerate(view.items)
                          if isinstance(item, Scope) and item.ts_exit is None and not _is_span_thread(item)),
                         limit)  # fmt: skip
        resource = _resource(source, self.service_name)
        thread = _thread_attributes(source)

        spans: list[Span] = []
        open_spans: list[Span] = []  # the spans of the enclosing scopes, innermost last
        trace_id = self.process_trace
        for index, (depth, position, item) in enumerate(view.ordered):
            del open_spans[depth:]
            top = position[0]
            if depth == 0:
                trace_id = self.process_trace or _trace_id(view.key + [index])
            if not skip <= top < limit or _is_span_thread(view.items[top]) or _is_span_record(item):
                continue
            assert trace_id is not None
            if isinstance(item, Instant):
                event = SpanEvent(item.args, view.origin + item.ts * NANOS_PER_MS, _code_attributes(item))
                if open_spans:
                    open_spans[-1].events.append(event)
                    continue
                # Nothing to hang it on: a span of its own, at its moment.
                spans.append(Span(trace_id, _span_id(view.key + [index]), None, item.args, event.time_ns,
                                  event.time_ns, {**_code_attributes(item), **thread}, resource))  # fmt: skip
                continue
            never_closed = item.ts_exit is None
            end = view.last if item.ts_exit is None else item.ts_exit
            attributes = {**_code_attributes(item), **thread}
            if never_closed:
                attributes["vorn.never_closed"] = True
            span = Span(
                trace_id=trace_id,
                span_id=_span_id(view.key + [index]),
                parent_id=open_spans[-1].span_id if open_spans else None,
                name=item.args,
                start_ns=view.origin + item.ts_enter * NANOS_PER_MS,
                end_ns=view.origin + end * NANOS_PER_MS,
                attributes=attributes,
                resource=resource,
                never_closed=never_closed,
                error=NEVER_CLOSED if never_closed else None,
            )
            spans.append(span)
            open_spans.append(span)
        return spans, limit

    def async_spans(self) -> list[AsyncSpan]:
        """The async spans whose begin record the files held, in the order
        read_spans found them; one whose end record is not there (yet) ends
        at the process's last moment, never closed."""
        by_name = {os.fspath(view.source.trace.path): view for view in self.files}
        last = max((view.origin + view.last * NANOS_PER_MS for view in self.files), default=0)
        found = []
        for record in self.records:
            view = by_name.get(record.begin[0])
            if view is None or record.begin[1] not in view.index_of:
                continue  # written after the file was read
            start = view.origin + record.ts_begin * NANOS_PER_MS
            end_view = None if record.end is None else by_name.get(record.end[0])
            ended = end_view is not None and record.end is not None and record.end[1] in end_view.index_of
            attributes: Attributes = {**_thread_attributes(view.source), "vorn.span.id": record.id}
            if record.task is not None:
                attributes["vorn.task"] = record.task
            span = Span(
                trace_id=self._trace_of(view, record.begin[1], record.id),
                span_id=_span_id(["async", *process_key(view.source), record.id]),
                parent_id=self._parent_of(view, record.begin[1]),
                name=record.message,
                start_ns=start,
                end_ns=max(start, last),
                attributes=attributes,
                resource=_resource(view.source, self.service_name),
            )
            if ended:
                assert end_view is not None and record.ts_end is not None
                span.end_ns = end_view.origin + record.ts_end * NANOS_PER_MS
                if record.raised:
                    span.error = f"raised {record.raised}"
                    span.events.append(SpanEvent("exception", span.end_ns, {"exception.type": record.raised}))
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
            return _trace_id(view.key + [view.index_of[position[:1]]])
        return _trace_id(["async", *process_key(view.source), span_id])

    def _parent_of(self, view: _FileView, position: Position) -> bytes | None:
        if len(position) == 1:
            return None
        return _span_id(view.key + [view.index_of[position[:-1]]])


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


def _is_span_record(item: Scope | Instant) -> bool:
    return isinstance(item, Instant) and item.invoker == SPAN_INVOKER and item.file == SPAN_FILE


def _is_span_thread(item: Scope | Instant) -> bool:
    """The one scope of vorn.span's private thread, open until its process ends."""
    return isinstance(item, Scope) and item.invoker == SPAN_INVOKER and item.file == SPAN_FILE


def _latest(item: Scope | Instant) -> int:
    if isinstance(item, Instant):
        return item.ts
    return item.ts_enter if item.ts_exit is None else max(item.ts_enter, item.ts_exit)


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
    sibling number. A file without identity has only its host, thread and
    the origin assumed for it."""
    trace = source.trace
    identity = source.identity
    if identity is None:
        return ["file", trace.host, trace.thread, trace.sibling, None, source.origin_ns]
    return ["file", identity.host, identity.pid, identity.start, identity.tid, trace.sibling]


def process_key(source: SourceFile) -> list[object]:
    """What tells the process that wrote this file apart: host, pid and
    start time (a pid is reused, a pid and start time on a host are not)."""
    identity = source.identity
    if identity is None:
        return ["process", source.trace.host, None, source.origin_ns]
    return ["process", identity.host, identity.pid, identity.start]


def _trace_id(key: list[object]) -> bytes:
    return _digest(["trace", *key], 16)


def _span_id(key: list[object]) -> bytes:
    return _digest(["span", *key], 8)


def _digest(key: list[object], size: int) -> bytes:
    """A hash of `key` of `size` bytes that is not all zero (an all-zero id
    means "no id" to OpenTelemetry)."""
    text = json.dumps(key, separators=(",", ":")).encode()
    for salt in range(256):
        value = hashlib.blake2b(text, digest_size=size, salt=bytes([salt]) * 16).digest()
        if any(value):
            return value
    raise AssertionError("unreachable: 256 all-zero hashes")  # pragma: no cover
