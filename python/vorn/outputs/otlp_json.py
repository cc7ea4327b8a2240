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

from collections.abc import Sequence
from json.encoder import encode_basestring
from typing import Final

from vorn.outputs.otlp_mapping import Attributes, Span

__all__ = ["request_text"]

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


def request_text(spans: Sequence[Span]) -> str:
    """The ExportTraceServiceRequest of `spans` as OTLP/JSON, ending with a
    line end."""
    if not spans:
        return "{}\n"
    # Grouped as the encoder groups them: by equal resources. The spans of
    # one file share one resource dict, so its identity finds it first.
    groups: dict[tuple[tuple[str, object], ...], tuple[Attributes, list[Span]]] = {}
    by_identity: dict[int, list[Span]] = {}
    for span in spans:
        members = by_identity.get(id(span.resource))
        if members is None:
            key = tuple(sorted(span.resource.items()))
            group = groups.get(key)
            if group is None:
                group = groups[key] = (span.resource, [])
            members = by_identity[id(span.resource)] = group[1]
        members.append(span)
    writer = _Writer()
    out = ['{\n "resourceSpans": [\n']
    for number, (resource, members) in enumerate(groups.values()):
        out.append(",\n  {\n" if number else "  {\n")
        if resource:
            out.append(f'   "resource": {{\n    "attributes": {writer.attributes(resource, _RESOURCE_ATTRIBUTE)}\n   }},\n')
        else:
            out.append('   "resource": {},\n')
        out.append('   "scopeSpans": [\n    {\n     "scope": {\n      "name": "vorn"\n     },\n     "spans": [\n')
        for index, span in enumerate(members):
            if index:
                out.append(",\n")
            writer.span(span, out)
        out.append("\n     ]\n    }\n   ]\n  }")
    out.append("\n ]\n}\n")
    return "".join(out)


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
            pad = " " * level
            elements = ",\n".join(_attribute(name, value, pad) for name, value in attributes.items())
            text = self._lists[key] = f"[\n{elements}\n{pad[1:]}]"
        return text

    def span(self, span: Span, out: list[str]) -> None:
        """Appends the text of `span` to `out`."""
        parent = "" if span.parent_id is None else f'       "parentSpanId": "{span.parent_id.hex()}",\n'
        name = f'       "name": {encode_basestring(span.name)},\n' if span.name else ""
        out.append(f'      {{\n       "traceId": "{span.trace_id.hex()}",\n       "spanId": "{span.span_id.hex()}",\n'
                   f'{parent}{name}       "kind": {_KIND_INTERNAL},\n')  # fmt: skip
        if span.start_ns:
            out.append(f'       "startTimeUnixNano": "{span.start_ns}",\n')
        if span.end_ns:
            out.append(f'       "endTimeUnixNano": "{span.end_ns}",\n')
        if span.attributes:
            out.append(f'       "attributes": {self.attributes(span.attributes, _SPAN_MEMBER + 1)},\n')
        if span.events:
            out.append('       "events": [\n')
            for index, event in enumerate(span.events):
                members = []
                if event.time_ns:
                    members.append(f'         "timeUnixNano": "{event.time_ns}"')
                if event.name:
                    members.append(f'         "name": {encode_basestring(event.name)}')
                if event.attributes:
                    members.append(f'         "attributes": {self.attributes(event.attributes, _EVENT_ATTRIBUTE)}')
                separator = ",\n" if index else ""
                if members:
                    out.append(separator + "        {\n" + ",\n".join(members) + "\n        }")
                else:
                    out.append(separator + "        {}")
            out.append("\n       ],\n")
        if span.error:
            out.append(f'       "status": {{\n        "message": {encode_basestring(span.error)},\n'
                       f'        "code": {_STATUS_ERROR}\n       }},\n')  # fmt: skip
        else:
            out.append('       "status": {},\n')
        out.append(f'       "flags": {_FLAGS}\n      }}')


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
