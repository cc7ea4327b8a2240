"""Trace files as one Perfetto trace (trace.pftrace).

Perfetto's own format is a sequence of protobuf TracePackets, which Perfetto
UI and trace_processor read directly. It is written here without any
protobuf library: the few messages used are encoded by hand (varints and
length-delimited fields), one packet at a time as the files are read, so a
trace of any size is written holding one file's open scopes, its interning
tables and the spans.

    packet { trusted_packet_sequence_id  sequence_flags: INCREMENTAL_STATE_CLEARED
             trace_packet_defaults { track_event_defaults { track_uuid } }
             interned_data { event_categories debug_annotation_names } }
    packet { track_descriptor { uuid process { pid process_name } } }   (a process's first file)
    packet { track_descriptor { uuid parent_uuid thread { pid tid thread_name } } }
    packet { timestamp  track_event { type: SLICE_BEGIN  name_iid  category_iids
                                      source_location_iid }
             interned_data { event_names source_locations } }   (when new)
    packet { timestamp  track_event { type: INSTANT  name_iid  category_iids
                                      debug_annotations: message invoker file line } }
    packet { timestamp  track_event { type: SLICE_END } }

Processes and threads are numbered as in the Trace Event export: processes
1, 2, 3, ... named "<command line> (pid <pid>) on <host>" (files without
identity: one process per host, named after it); a process's main thread
takes its process's number as tid, Perfetto's sign of a main thread, and the
other threads numbers after the last process's, so that no two threads
share a tid. Their names carry the real thread name and id.

Each trace file is a packet sequence of its own, with the thread's track as
the sequence's default track and its own interning of event names and
source locations (a scope's invoker, file and line). Its scopes are slice
begin and end events in file order, so a child's begin and end always come
between its parent's, also where times are equal; a scope that never closed
ends at its thread's last moment, its end event carrying the debug
annotation never_closed (its name stays: it is written at the begin, before
the file shows the scope never closes). Its ``log`` records are instant events
carrying their message, invoker, file and line as debug annotations. The
native reader writes these packets, one pass over the file per thread;
the few packets around them (sequences, track descriptors, spans) are
made here. Spans (vorn.span) come last, on a sequence of their own: an async track per task
and lane under their process ("task Task-3", "task Task-3 (2)" for spans
that cross others, "outside tasks"), as vorn.reading.span_events pairs and lays
them out; the span logger's own thread is left out.

Times are nanoseconds on the Trace Event export's timeline (the same
placement, offsets and shift): an event's precise time where the trace file
has one, otherwise its display time, and never earlier than the event
before it in the file.
"""

from __future__ import annotations

import io
import os
from collections.abc import Callable, Iterable, Sequence
from typing import IO, Final

from vorn.outputs.thread_streams import ThreadStream, thread_streams
from vorn.outputs.output_file import written_output
from vorn.reading import _native
from vorn.reading.span_events import SpanCollector, holds_span_logger
from vorn.reading.trace_archive import opened_sources
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_reader import format_error, native_source

__all__ = ["perfetto_bytes", "write_perfetto", "write_perfetto_export"]

# Wire types.
_VARINT: Final = 0
_LENGTH: Final = 2

# TracePacket (and Trace, whose field 1 holds the packets).
_TRACE_PACKET: Final = 1
_TIMESTAMP: Final = 8
_SEQUENCE_ID: Final = 10  # trusted_packet_sequence_id
_TRACK_EVENT: Final = 11
_INTERNED_DATA: Final = 12
_SEQUENCE_FLAGS: Final = 13
_PACKET_DEFAULTS: Final = 59  # trace_packet_defaults
_TRACK_DESCRIPTOR: Final = 60
_INCREMENTAL_STATE_CLEARED: Final = 1
_NEEDS_INCREMENTAL_STATE: Final = 2
# TracePacketDefaults, TrackEventDefaults.
_TRACK_EVENT_DEFAULTS: Final = 11
_DEFAULT_TRACK_UUID: Final = 11
# TrackDescriptor, ProcessDescriptor, ThreadDescriptor.
_UUID: Final = 1
_TRACK_NAME: Final = 2
_PROCESS: Final = 3
_THREAD: Final = 4
_PARENT_UUID: Final = 5
_PID: Final = 1
_PROCESS_NAME: Final = 6
_TID: Final = 2
_THREAD_NAME: Final = 5
# TrackEvent.
_CATEGORY_IIDS: Final = 3
_DEBUG_ANNOTATIONS: Final = 4
_TYPE: Final = 9
_NAME_IID: Final = 10
_TRACK_UUID: Final = 11
_SLICE_BEGIN: Final = 1
_SLICE_END: Final = 2
# DebugAnnotation.
_ANNOTATION_NAME_IID: Final = 1
_BOOL_VALUE: Final = 2
_STRING_VALUE: Final = 6
# InternedData; EventCategory, EventName and DebugAnnotationName all
# begin with iid = 1, name = 2.
_EVENT_CATEGORIES: Final = 1
_EVENT_NAMES: Final = 2
_ANNOTATION_NAMES: Final = 3
_IID: Final = 1
_INTERNED_NAME: Final = 2

# The categories and debug annotation names of a thread's sequence, and of
# the spans' sequence, by their iids (fixed: they are interned up front;
# the native writer of a thread's packets refers to them by these iids).
_THREAD_CATEGORIES: Final = ("scope", "log")
_THREAD_ANNOTATIONS: Final = ("message", "invoker", "file", "line", "never_closed")
_SPAN_CATEGORIES: Final = ("span",)
_SPAN_ANNOTATIONS: Final = ("task", "span", "raised", "never_closed")
_SPAN_CATEGORY = 1
_TASK, _SPAN_ID, _RAISED, _SPAN_NEVER_CLOSED = 1, 2, 3, 4

# A sequence's interning tables are dropped, and the sequence's incremental
# state cleared, once they hold this many entries, so that a thread of
# millions of distinct messages is written in bounded memory.
INTERNING_LIMIT = 1 << 16
# Output is handed to the stream in pieces of about this size.
_CHUNK: Final = 1 << 16


def _varint(value: int) -> bytes:
    """An unsigned value as a protobuf varint."""
    out = bytearray()
    while value > 0x7F:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def _key(field: int, wire_type: int) -> bytes:
    return _varint(field << 3 | wire_type)


def _uint(field: int, value: int) -> bytes:
    return _key(field, _VARINT) + _varint(value)


def _message(field: int, payload: bytes) -> bytes:
    """A length-delimited field: a string's UTF-8, or an embedded message."""
    return _key(field, _LENGTH) + _varint(len(payload)) + payload


def _text(field: int, text: str) -> bytes:
    # Surrogates (from undecodable file names) would not encode as UTF-8.
    return _message(field, text.encode("utf-8", "backslashreplace"))


def _string_annotation(name_iid: int, value: str) -> bytes:
    return _message(_DEBUG_ANNOTATIONS, _uint(_ANNOTATION_NAME_IID, name_iid) + _text(_STRING_VALUE, value))


def _true_annotation(name_iid: int) -> bytes:
    return _message(_DEBUG_ANNOTATIONS, _uint(_ANNOTATION_NAME_IID, name_iid) + _uint(_BOOL_VALUE, 1))


def _packet(body: bytes) -> bytes:
    return _message(_TRACE_PACKET, body)


def _interned_entries(field: int, names: Iterable[str]) -> bytes:
    """Interned names (EventCategory, DebugAnnotationName), iids from 1."""
    return b"".join(_message(field, _uint(_IID, iid) + _text(_INTERNED_NAME, name))
                    for iid, name in enumerate(names, start=1))  # fmt: skip


def _cleared_packet(sequence: int, categories: Sequence[str], annotations: Sequence[str],
                    track_uuid: int | None = None) -> bytes:  # fmt: skip
    """The packet that starts a sequence, or starts it afresh: its default
    track, and its categories and annotation names interned."""
    body = _uint(_SEQUENCE_ID, sequence) + _uint(_SEQUENCE_FLAGS, _INCREMENTAL_STATE_CLEARED)
    if track_uuid is not None:
        defaults = _message(_TRACK_EVENT_DEFAULTS, _uint(_DEFAULT_TRACK_UUID, track_uuid))
        body += _message(_PACKET_DEFAULTS, defaults)
    interned = _interned_entries(_EVENT_CATEGORIES, categories) + _interned_entries(_ANNOTATION_NAMES, annotations)
    return _packet(body + _message(_INTERNED_DATA, interned))


def _descriptor(sequence: int, uuid: int, *fields: bytes) -> bytes:
    return _packet(_uint(_SEQUENCE_ID, sequence)
                   + _message(_TRACK_DESCRIPTOR, _uint(_UUID, uuid) + b"".join(fields)))  # fmt: skip


_SPAN_BEGIN: Final = _uint(_TYPE, _SLICE_BEGIN) + _uint(_CATEGORY_IIDS, _SPAN_CATEGORY)


class _Output:
    """Packets gathered into chunks for the stream."""

    def __init__(self, stream: IO[bytes]) -> None:
        self.stream = stream
        self.buffer = bytearray()

    def add(self, packet: bytes) -> None:
        self.buffer += packet
        if len(self.buffer) >= _CHUNK:
            self.flush()

    def flush(self) -> None:
        if self.buffer:
            self.stream.write(self.buffer)
            self.buffer.clear()


class _Ids:
    """Track uuids, sequence ids and thread ids, each unique in the trace."""

    def __init__(self, threads: Sequence[ThreadStream]) -> None:
        self.uuid = 0
        self.sequence = 0
        self.tid = max((thread.pid for thread in threads), default=0)
        self.main_named: set[int] = set()

    def next_uuid(self) -> int:
        self.uuid += 1
        return self.uuid

    def next_sequence(self) -> int:
        self.sequence += 1
        return self.sequence

    def thread_id(self, thread: ThreadStream) -> int:
        """The process's number for its main thread's (first) file, and
        numbers after the last process's for every other file."""
        trace = thread.trace
        if trace.pid is not None and trace.tid == trace.pid and thread.pid not in self.main_named:
            self.main_named.add(thread.pid)
            return thread.pid
        self.tid += 1
        return self.tid


def write_perfetto(files: Sequence[TraceFile], stream: IO[bytes], exact: bool = False) -> None:
    """The Perfetto trace of `files`, written to the binary `stream`."""
    threads = [thread for thread in thread_streams(files, exact=exact) if not holds_span_logger(thread.events())]
    out = _Output(stream)
    ids = _Ids(threads)
    process_uuids: dict[int, int] = {}
    spans = SpanCollector()
    for thread in threads:
        sequence, track_uuid = ids.next_sequence(), ids.next_uuid()
        cleared = _cleared_packet(sequence, _THREAD_CATEGORIES, _THREAD_ANNOTATIONS, track_uuid)
        out.add(cleared)
        process_uuid = process_uuids.get(thread.pid)
        if process_uuid is None:
            process_uuid = process_uuids[thread.pid] = ids.next_uuid()
            out.add(_descriptor(sequence, process_uuid, _message(_PROCESS, _uint(_PID, thread.pid)
                                                                 + _text(_PROCESS_NAME, thread.process_name))))
        out.add(_descriptor(sequence, track_uuid, _uint(_PARENT_UUID, process_uuid),
                            _message(_THREAD, _uint(_PID, thread.pid) + _uint(_TID, ids.thread_id(thread))
                                     + _text(_THREAD_NAME, thread.thread_name))))  # fmt: skip
        spans.process_names.setdefault(thread.pid, thread.process_name)
        out.flush()
        last = _write_thread(out.stream.write, thread, sequence, cleared, spans)
        if last is not None:
            spans.reach(thread.pid, last)
    _write_spans(out.add, spans, ids, process_uuids)
    out.flush()


def _write_thread(write: Callable[[bytes], object], thread: ThreadStream, sequence: int, cleared: bytes,
                  spans: SpanCollector) -> int | None:  # fmt: skip
    """The packets of one trace file's scopes and records, on its own
    sequence, which `cleared` began (and begins afresh when the interning
    tables are dropped), written by the native reader in one pass over the
    file; notes its span records in `spans`. Returns the time of its last
    event (None for a file without events)."""
    source = native_source(thread.trace.path, thread.trace)
    result, error = _native.perfetto_thread(source.fd, source.companion_fd, source.entries, source.warn, sequence,
                                            thread.moved, thread.exact, cleared, INTERNING_LIMIT, write)  # fmt: skip
    if error is not None:
        raise format_error(thread.trace.path, error)
    assert result is not None
    last, span_records = result
    for ns, message, ms in span_records:
        spans.record(thread.pid, thread.tid, ns, message, ms)
    return last


def _write_spans(add: Callable[[bytes], None], spans: SpanCollector, ids: _Ids,
                 process_uuids: dict[int, int]) -> None:  # fmt: skip
    """The spans on a sequence of their own: a track per task and lane
    under its process, described before its first span, and each span's
    begin and end in the order its lane's stack opens and closes them."""
    events = spans.trace_events()
    first = next(events, None)
    if first is None:
        return
    sequence = ids.next_sequence()
    add(_cleared_packet(sequence, _SPAN_CATEGORIES, _SPAN_ANNOTATIONS))
    sequence_fields = _uint(_SEQUENCE_ID, sequence) + _uint(_SEQUENCE_FLAGS, _NEEDS_INCREMENTAL_STATE)
    tracks: dict[tuple[int, str], int] = {}
    names: dict[str, int] = {}
    for event in (first, *events):
        track = (event["pid"], event["id2"]["local"])
        uuid = tracks.get(track)
        if uuid is None:
            uuid = tracks[track] = ids.next_uuid()
            add(_descriptor(sequence, uuid, _text(_TRACK_NAME, track[1]),
                            _uint(_PARENT_UUID, process_uuids[track[0]])))
        fields = _uint(_TRACK_UUID, uuid)
        interned = b""
        if event["ph"] == "b":
            name_iid = names.get(event["name"])
            if name_iid is None:
                name_iid = names[event["name"]] = len(names) + 1
                interned = _message(_INTERNED_DATA, _message(_EVENT_NAMES, _uint(_IID, name_iid)
                                                             + _text(_INTERNED_NAME, event["name"])))  # fmt: skip
            args = event["args"]
            fields += _SPAN_BEGIN + _uint(_NAME_IID, name_iid) + _string_annotation(_TASK, args["task"])
            fields += _string_annotation(_SPAN_ID, args["span"])
            if args.get("raised") is not None:
                fields += _string_annotation(_RAISED, args["raised"])
            if args.get("never_closed"):
                fields += _true_annotation(_SPAN_NEVER_CLOSED)
        else:
            fields += _uint(_TYPE, _SLICE_END)
        add(_packet(_uint(_TIMESTAMP, event["ts"]) + sequence_fields + interned + _message(_TRACK_EVENT, fields)))


def perfetto_bytes(files: Sequence[TraceFile], exact: bool = False) -> bytes:
    """The trace write_perfetto writes, as bytes."""
    stream = io.BytesIO()
    write_perfetto(files, stream, exact)
    return stream.getvalue()


def write_perfetto_export(paths: Iterable[str | os.PathLike[str]], output: str | os.PathLike[str],
                          exact: bool = False, run: str | None = "all") -> int:  # fmt: skip
    """Exports the trace files found under `paths` into `output` ("-" for
    standard output) as a Perfetto trace. Returns the number of trace files
    exported; raises as vorn.outputs.export.write_export does."""
    with opened_sources(paths, run, "export") as (files, inputs):
        with written_output(output, inputs, binary=True) as stream:
            write_perfetto(files, stream, exact)
        return len(files)
