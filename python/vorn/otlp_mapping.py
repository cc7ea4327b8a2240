"""Trace files as OpenTelemetry spans, before any OpenTelemetry code runs.

Every scope becomes a span named after its message, from its enter to its
exit time, child of the scope it was opened in; every ``log`` record an
event of the span of its scope. A file's times count milliseconds from its
clock origin, so a record's wall-clock time is exact in Unix nanoseconds:
(clock_origin_ms + ts) * 1_000_000.

Ids are hashes, never random: the same file sent twice gives the same ids
(a backend that receives a span again keeps one), and files of different
threads, processes or hosts never share one. A span id hashes the file's
identity (host, pid, process start, thread, sibling number) with the
scope's index in document order, which appending to a file never changes,
so a file that grew since it was last sent keeps the ids of what it held.

This module knows nothing of OpenTelemetry's packages, so it imports
where they are missing; vorn.otlp turns its spans into the SDK's.
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Final

from vorn.trace_files import TraceFile
from vorn.trace_identity import TraceIdentity
from vorn.trace_reader import Instant, Scope, read_trace_events, walk

__all__ = ["SourceFile", "Span", "SpanEvent", "file_key", "file_spans", "files_without_origin", "spans_of"]

Attributes = dict[str, str | int | bool]

NANOS_PER_MS: Final = 1_000_000
NEVER_CLOSED: Final = "never closed"


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


def files_without_origin(sources: Iterable[SourceFile]) -> list[SourceFile]:
    return [source for source in sources if source.origin_ns is None]


def spans_of(sources: Sequence[SourceFile], service_name: str | None = None,
             trace_per_process: bool = False) -> list[Span]:  # fmt: skip
    """The spans of every scope in `sources` (each with its origin), file by
    file in document order. A record outside any scope (``log`` on a thread
    with no scope open) becomes a span of no duration of its own."""
    spans: list[Span] = []
    for source in sources:
        spans += file_spans(source, service_name, trace_per_process)[0]
    return spans


def file_spans(source: SourceFile, service_name: str | None, trace_per_process: bool,
               skip: int = 0, closed_only: bool = False) -> tuple[list[Span], int]:  # fmt: skip
    """The spans of one file, leaving out its first `skip` top-level
    scopes and records; with `closed_only`, only those of the top-level
    scopes that have closed. Returns them and how many top-level items the
    file holds (with `closed_only`: how many before the first open one)."""
    if source.origin_ns is None:
        raise ValueError(f"{source.trace.path}: the trace file has no clock origin")
    origin = source.origin_ns
    items = read_trace_events(source.trace.path)
    limit = len(items)
    if closed_only:
        limit = next((number for number, item in enumerate(items) if isinstance(item, Scope) and item.ts_exit is None),
                     limit)  # fmt: skip
    key = file_key(source)
    resource = _resource(source, service_name)
    thread = _thread_attributes(source)
    process_trace = _trace_id(_process_key(source)) if trace_per_process else None

    ordered = list(walk(items))
    # A scope that never closed lasted, as far as anyone can tell, until
    # the last moment its thread wrote anything.
    last = max((_latest(item) for _, item in ordered), default=0)

    spans: list[Span] = []
    open_spans: list[Span] = []  # the spans of the enclosing scopes, innermost last
    trace_id = process_trace
    top = -1  # the number of the top-level item being read
    for index, (depth, item) in enumerate(ordered):
        del open_spans[depth:]
        if depth == 0:
            top += 1
            trace_id = process_trace or _trace_id(key + [index])
        if not skip <= top < limit:
            continue
        assert trace_id is not None
        if isinstance(item, Instant):
            event = SpanEvent(item.args, origin + item.ts * NANOS_PER_MS, _code_attributes(item))
            if open_spans:
                open_spans[-1].events.append(event)
                continue
            # Nothing to hang it on: a span of its own, at its moment.
            spans.append(Span(trace_id, _span_id(key + [index]), None, item.args, event.time_ns,
                              event.time_ns, {**_code_attributes(item), **thread}, resource))  # fmt: skip
            continue
        never_closed = item.ts_exit is None
        end = last if item.ts_exit is None else item.ts_exit
        attributes = {**_code_attributes(item), **thread}
        if never_closed:
            attributes["vorn.never_closed"] = True
        span = Span(
            trace_id=trace_id,
            span_id=_span_id(key + [index]),
            parent_id=open_spans[-1].span_id if open_spans else None,
            name=item.args,
            start_ns=origin + item.ts_enter * NANOS_PER_MS,
            end_ns=origin + end * NANOS_PER_MS,
            attributes=attributes,
            resource=resource,
            never_closed=never_closed,
        )
        spans.append(span)
        open_spans.append(span)
    return spans, limit


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


def _process_key(source: SourceFile) -> list[object]:
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
