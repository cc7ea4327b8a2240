"""The OTLP/JSON text of vorn's spans, written straight from them.

`python -m vorn otlp -o` writes the request the OTLP exporter would POST,
in the OTLP/JSON encoding. Building it through the SDK's encoder and
protobuf's JSON mapping costs hundreds of microseconds a span where
protobuf runs as pure Python, so the text is written here directly, in
exactly the form that path gives: protobuf's JSON mapping (lowerCamelCase
names, fields in field-number order, fields at their default value left
out, 64-bit integers as strings, enums as numbers), ids in hex, indented
by one space as json.dumps(indent=1, ensure_ascii=False) lays it out.
Spans are grouped by resource in the order each first appears, as the
SDK's encoder groups them, all under the one instrumentation scope "vorn".
"""

from __future__ import annotations

import io
import shutil
import tempfile
from collections.abc import Iterable
from json.encoder import encode_basestring
from typing import IO, Final

from vorn.outputs.otlp_mapping import Attributes, Span, SpanEvent

__all__ = ["RequestWriter", "ResourceKey", "request_text", "resource_key"]

# Span.SpanKind.SPAN_KIND_INTERNAL, and the flags the SDK's encoder gives
# every span with a local parent or none (SPAN_FLAGS_CONTEXT_HAS_IS_REMOTE_MASK).
_KIND_INTERNAL: Final = 1
_FLAGS: Final = 256
_STATUS_ERROR: Final = 2
# The levels of one-space indentation where a resource's attributes, a
# span's members and an event's attributes sit (the span's text below is
# written out at its own levels: 6 for the span, 7 for its members).
_RESOURCE_ATTRIBUTE: Final = 5
_SPAN_MEMBER: Final = 7
_EVENT_ATTRIBUTE: Final = 10


ResourceKey = tuple[tuple[str, object], ...]
# Text gathered before it is written (a span is a piece or two: some
# hundred kilobytes, which join and encode faster than megabytes do), and
# the most a group kept aside holds in memory before it goes to a temporary
# file.
_FLUSH_PIECES: Final = 256
_SPOOL_BYTES: Final = 1 << 20
# Attribute lists whose text is kept for reuse: the code locations repeat,
# but an async span's list (its id) never does.
_KEPT_LISTS: Final = 4096


def resource_key(resource: Attributes) -> ResourceKey:
    """What equal resources share: the encoder groups spans by it."""
    return tuple(sorted(resource.items()))


def request_text(spans: Iterable[Span]) -> str:
    """The ExportTraceServiceRequest of `spans` as OTLP/JSON, ending with a
    line end."""
    out = io.StringIO()
    writer = RequestWriter(out)
    for span in spans:
        writer.add(span)
    writer.close()
    return out.getvalue()


class _Group:
    """The spans of one resource: written to the output while it is the
    first group not yet finished, else kept aside until it is."""

    def __init__(self, number: int, resource: Attributes, aside: bool) -> None:
        self.number = number
        self.resource = resource
        self.aside: IO[str] | None = None
        if aside:
            self.aside = tempfile.SpooledTemporaryFile(_SPOOL_BYTES, "w+", encoding="utf-8", newline="")
        self.spans = 0
        self.settled = False


class RequestWriter:
    """Writes the request of a stream of spans to `out` as they come
    (`add`), byte for byte as request_text of them all. Spans are grouped
    by equal resources, in the order each resource first appears: the first
    group not finished is written straight out; the spans of a group that
    appears while it is open are kept aside until it is finished. A group
    is finished once `settle` says no more of its spans will come, or at
    `close`, so a caller that settles each resource after its last span
    keeps nothing aside unless resources interleave."""

    def __init__(self, out: IO[str]) -> None:
        self.out = out
        self.count = 0  # spans written
        self._writer = _Writer()
        self._groups: dict[ResourceKey, _Group] = {}  # every group, in the order of first appearance
        self._of: dict[int, tuple[Attributes, _Group]] = {}  # by the resource dict's identity (held, so it lasts)
        self._waiting: list[_Group] = []  # the groups not finished, the one being written first
        self._pieces: list[str] = []  # text of the group being written, not yet written

    def add(self, span: Span) -> None:
        found = self._of.get(id(span.resource))
        if found is None:
            key = resource_key(span.resource)
            group = self._groups.get(key)
            if group is None:
                group = self._groups[key] = _Group(len(self._groups), span.resource, aside=bool(self._waiting))
                if not self._waiting:
                    self._begin(group, self._pieces)
                self._waiting.append(group)
            found = self._of[id(span.resource)] = (span.resource, group)
        group = found[1]
        if group.settled:
            raise RuntimeError(f"a span of a resource settled before: {group.resource}")
        pieces = self._pieces if group.aside is None else []
        self._writer.span(span, pieces, ",\n" if group.spans else "")
        group.spans += 1
        self.count += 1
        if group.aside is not None:
            group.aside.write("".join(pieces))
        elif len(pieces) > _FLUSH_PIECES:
            self._flush()

    def settle(self, key: ResourceKey) -> None:
        """No more spans of the resource `key` will come."""
        group = self._groups.get(key)
        if group is not None:
            group.settled = True
            self._advance()

    def close(self) -> None:
        """Writes what is left: every group, and the end of the request."""
        for group in self._waiting:
            group.settled = True
        self._advance()
        self._pieces.append("\n ]\n}\n" if self._groups else "{}\n")
        self._flush()

    def _advance(self) -> None:
        """Finishes the groups at the head that are settled; the next one
        not finished is then written out, what was kept aside of it first."""
        while self._waiting and self._waiting[0].settled:
            self._pieces.append("\n     ]\n    }\n   ]\n  }")
            self._waiting.pop(0)
            if not self._waiting:
                break
            group = self._waiting[0]
            self._begin(group, self._pieces)
            self._flush()
            assert group.aside is not None
            group.aside.seek(0)
            shutil.copyfileobj(group.aside, self.out)
            group.aside.close()
            group.aside = None
        self._flush()

    def _begin(self, group: _Group, out: list[str]) -> None:
        if group.number == 0:
            out.append('{\n "resourceSpans": [\n  {\n')
        else:
            out.append(",\n  {\n")
        if group.resource:
            attributes = self._writer.attributes(group.resource, _RESOURCE_ATTRIBUTE)
            out.append(f'   "resource": {{\n    "attributes": {attributes}\n   }},\n')
        else:
            out.append('   "resource": {},\n')
        out.append('   "scopeSpans": [\n    {\n     "scope": {\n      "name": "vorn"\n     },\n     "spans": [\n')

    def _flush(self) -> None:
        if self._pieces:
            self.out.write("".join(self._pieces))
            self._pieces = []


class _Writer:
    """Writes spans, keeping the text of each attribute list it wrote at
    each level: most of them (a record's code location, with the thread)
    repeat from span to span."""

    def __init__(self) -> None:
        self._lists: dict[tuple[object, ...], str] = {}

    def attributes(self, attributes: Attributes, level: int) -> str:
        """A non-empty attribute list whose elements sit at `level`."""
        # The types too: True == 1, but they are written differently.
        key = (level, *attributes.items(), *map(type, attributes.values()))
        text = self._lists.get(key)
        if text is None:
            if len(self._lists) >= _KEPT_LISTS:
                self._lists.clear()
            pad = " " * level
            elements = ",\n".join(_attribute(name, value, pad) for name, value in attributes.items())
            text = self._lists[key] = f"[\n{elements}\n{pad[1:]}]"
        return text

    def span(self, span: Span, out: list[str], before: str = "") -> None:
        """Appends `before` and the text of `span` to `out`, as one piece: a
        span is written a hundred thousand times, so each member costs."""
        parent = "" if span.parent_id is None else f'       "parentSpanId": "{span.parent_id.hex()}",\n'
        name = f'       "name": {encode_basestring(span.name)},\n' if span.name else ""
        start = f'       "startTimeUnixNano": "{span.start_ns}",\n' if span.start_ns else ""
        end = f'       "endTimeUnixNano": "{span.end_ns}",\n' if span.end_ns else ""
        attributes = ""
        if span.attributes:
            attributes = f'       "attributes": {self.attributes(span.attributes, _SPAN_MEMBER + 1)},\n'
        events = ""
        if span.events:
            listed = span.events
            text = self._event(listed[0]) if len(listed) == 1 else ",\n".join(map(self._event, listed))
            events = f'       "events": [\n{text}\n       ],\n'
        if span.error:
            status = (f'       "status": {{\n        "message": {encode_basestring(span.error)},\n'
                      f'        "code": {_STATUS_ERROR}\n       }},\n')  # fmt: skip
        else:
            status = '       "status": {},\n'
        out.append(f'{before}      {{\n       "traceId": "{span.trace_id.hex()}",\n'
                   f'       "spanId": "{span.span_id.hex()}",\n{parent}{name}       "kind": {_KIND_INTERNAL},\n'
                   f'{start}{end}{attributes}{events}{status}'
                   f'       "flags": {_FLAGS}\n      }}')  # fmt: skip

    def _event(self, event: SpanEvent) -> str:
        time = f'         "timeUnixNano": "{event.time_ns}"' if event.time_ns else ""
        name = f'         "name": {encode_basestring(event.name)}' if event.name else ""
        if time and name and event.attributes:  # as a record's event always is
            attributes = self.attributes(event.attributes, _EVENT_ATTRIBUTE)
            return f'        {{\n{time},\n{name},\n         "attributes": {attributes}\n        }}'
        members = [member for member in (time, name) if member]
        if event.attributes:
            members.append(f'         "attributes": {self.attributes(event.attributes, _EVENT_ATTRIBUTE)}')
        return "        {\n" + ",\n".join(members) + "\n        }" if members else "        {}"


def _attribute(key: str, value: object, pad: str) -> str:
    """One KeyValue: its AnyValue holds a string, a bool or an int64 (a
    string in JSON); a oneof member is written even at its default."""
    if isinstance(value, bool):
        kind, text = "boolValue", "true" if value else "false"
    elif isinstance(value, int):
        kind, text = "intValue", f'"{value}"'
    else:
        kind, text = "stringValue", encode_basestring(str(value))
    return (f'{pad}{{\n{pad} "key": {encode_basestring(key)},\n{pad} "value": {{\n{pad}  "{kind}": {text}\n'
            f"{pad} }}\n{pad}}}")  # fmt: skip
