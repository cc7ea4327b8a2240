"""The spans of a run read as a stream, for a one-shot send or -o: the
same spans, in the same order, as vorn.outputs.otlp_mapping's spans_of
gives them, in memory that does not grow with the trace.

Each file is read once, event by event (iter_trace), and its spans leave
as soon as their top-level scope has closed (SpanBuilder). What only the
whole of a process can tell is kept aside until its last file is read:

- an async span (vorn.span) has its begin and its end record anywhere in
  the process's files, and its spans follow those of all the files. A span
  whose two records were both read is written to a temporary file (its
  begin-order number says where it goes); one still waiting for its other
  record stays in memory, and one that never ended ends at the process's
  last moment, known once every file is read;
- the ids of the spans begun or ended, so that a second record of an id
  is passed over as a whole read passes it over.

Parents never cross files (a scope's parent is in its own file), and a
trace id hashes the file and the index of its top-level item, so neither
needs more than the file being read.
"""

from __future__ import annotations

import marshal
import os
import tempfile
from array import array
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Final

from vorn.outputs.otlp_mapping import (NANOS_PER_MS, FileIds, SourceFile, Span, SpanBuilder, async_key, async_span,
                                       async_trace_id, is_span_thread, process_groups, process_trace_id, resource_of,
                                       thread_attributes)  # fmt: skip
from vorn.reading.trace_reader import _SPAN_TEXT, Instant, Scope, iter_trace

__all__ = ["iter_spans", "process_spans"]

_PENDING: Final = -1  # the spill offset of a span that waits for its end record


def iter_spans(sources: Sequence[SourceFile], service_name: str | None = None,
               trace_per_process: bool = False) -> Iterator[Span]:  # fmt: skip
    """The spans of `sources` as spans_of lists them, one at a time."""
    for group in process_groups(sources):
        yield from process_spans(group, service_name, trace_per_process)


def process_spans(group: Sequence[SourceFile], service_name: str | None, trace_per_process: bool) -> Iterator[Span]:
    """The spans of the files of one process (a group of process_groups):
    file by file in document order, then its async spans."""
    process_trace = process_trace_id(group[0]) if trace_per_process and group else None
    with _AsyncSpans(group, service_name, process_trace) as pending:
        last = 0
        for number, source in enumerate(group):
            builder = SpanBuilder(FileIds(source), source, service_name, process_trace, _not_span_thread,
                                  on_span_record=pending.recorder(number))  # fmt: skip
            handler = builder.handlers()
            for kind, _, item in iter_trace(source.trace.path, source.identity or source.trace):
                handler[kind](item)
                if builder.ready:
                    yield from builder.take()
            yield from builder.finish()
            last = max(last, builder.origin + builder.last)
        yield from pending.spans(last)


def _not_span_thread(_: int, item: Scope | Instant) -> bool:
    """Every top-level item is sent but the one scope of vorn.span's private thread."""
    return not is_span_thread(item)


class _File:
    """What the async spans begun in one file take from it."""

    def __init__(self, source: SourceFile, service_name: str | None) -> None:
        assert source.origin_ns is not None
        self.source = source
        self.origin: int = source.origin_ns
        self.ids = FileIds(source)
        self.resource = resource_of(source, service_name)
        self.thread = thread_attributes(source)
        self.key = async_key(source)


# A span begun: its id, message, task, start (Unix ns), trace and parent,
# and the number of the file it began in; marshalled with its end.
_Begun = tuple[str, str, str | None, int, bytes, bytes | None, int]
_Ended = tuple[int, str | None]  # its end (Unix ns) and the exception that left it


class _AsyncSpans:
    """The async spans of one process, paired as its records are read, and
    handed out in the order of their begin records once every file is."""

    def __init__(self, group: Sequence[SourceFile], service_name: str | None, process_trace: bytes | None) -> None:
        self._files = [_File(source, service_name) for source in group]
        self._process_trace = process_trace
        self._done: set[str] = set()  # ids whose begin and end were both read
        self._begun: dict[str, tuple[int, _Begun]] = {}  # waiting for an end: begin-order number, begin
        self._ended: dict[str, _Ended] = {}  # waiting for a begin
        # Where each span's text is in the spill, in begin order (_PENDING: waiting).
        self._offsets = array("q")
        self._sizes = array("q")
        self._spill: IO[bytes] | None = None
        self._spilled = 0

    def __enter__(self) -> _AsyncSpans:
        return self

    def __exit__(self, *_: object) -> None:
        if self._spill is not None:
            self._spill.close()

    def recorder(self, number: int) -> Callable[[Instant, int | None, int | None], None]:
        """What SpanBuilder tells of the span records of file `number`."""
        file = self._files[number]

        def record(item: Instant, top: int | None, scope: int | None) -> None:
            match = _SPAN_TEXT.fullmatch(item.args)
            if match is None:
                return
            span_id = match["id"]
            if span_id in self._done:
                return
            time = file.origin + (item.ts_ns if item.ts_ns is not None else item.ts * NANOS_PER_MS)
            if match["kind"] == "end":
                if span_id in self._ended:
                    return
                begun = self._begun.pop(span_id, None)
                if begun is None:
                    self._ended[span_id] = (time, match["raised"])
                else:
                    self._keep(begun[0], begun[1], (time, match["raised"]))
                return
            if span_id in self._begun:
                return
            if self._process_trace is not None:
                trace_id = self._process_trace
            elif top is not None:
                trace_id = file.ids.trace_id(top)
            else:
                trace_id = async_trace_id(file.source, span_id)
            parent = None if scope is None else file.ids.span_id(scope)
            begin: _Begun = (span_id, match["message"], match["task"] or None, time, trace_id, parent, number)
            order = len(self._offsets)
            self._offsets.append(_PENDING)
            self._sizes.append(0)
            ended = self._ended.pop(span_id, None)
            if ended is None:
                self._begun[span_id] = (order, begin)
            else:
                self._keep(order, begin, ended)

        return record

    def _keep(self, order: int, begin: _Begun, ended: _Ended) -> None:
        """Writes a span whose two records were read to the spill."""
        self._done.add(begin[0])
        if self._spill is None:
            self._spill = tempfile.TemporaryFile(prefix="vorn-otlp-")
        data = marshal.dumps((begin, ended))
        self._spill.write(data)
        self._offsets[order] = self._spilled
        self._sizes[order] = len(data)
        self._spilled += len(data)

    def spans(self, last: int) -> Iterator[Span]:
        """The spans in the order of their begin records; one whose end
        record was not read ends at `last`, the process's last moment."""
        if self._spill is not None:
            self._spill.flush()
        waiting = iter(self._begun.values())
        for order, offset in enumerate(self._offsets):
            if offset == _PENDING:
                found, begin = next(waiting)
                assert found == order
                yield self._span(begin, None, last)
            else:
                assert self._spill is not None
                begin, ended = marshal.loads(os.pread(self._spill.fileno(), self._sizes[order], offset))
                yield self._span(begin, ended, last)

    def _span(self, begin: _Begun, ended: _Ended | None, last: int) -> Span:
        span_id, message, task, start, trace_id, parent, number = begin
        file = self._files[number]
        end, raised = (None, None) if ended is None else ended
        return async_span(span_id, message, task, start, end, raised, last, trace_id=trace_id, parent_id=parent,
                          thread=file.thread, resource=file.resource, key=file.key)  # fmt: skip
