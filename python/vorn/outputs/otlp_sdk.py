# The OpenTelemetry packages are optional and have no types: what the type
# checker cannot find it takes as Any.
# mypy: disable-error-code="import-untyped, import-not-found, no-untyped-call"
"""vorn's spans handed to the OpenTelemetry SDK: as its ReadableSpans, and
the exporter's log kept while it sends them (one-shot and --follow alike)."""

from __future__ import annotations

import contextlib
import logging
from collections.abc import Iterator, Sequence
from typing import Any

from vorn.outputs.otlp_mapping import Span

__all__ = ["exporter_messages", "sdk_spans"]


def sdk_spans(spans: Sequence[Span]) -> list[Any]:
    """The SDK's ReadableSpans for `spans`, sharing one Resource per process
    so that the encoder groups each process's spans under it."""
    from opentelemetry.sdk.resources import Resource
    from opentelemetry.sdk.trace import Event, ReadableSpan
    from opentelemetry.sdk.util.instrumentation import InstrumentationScope
    from opentelemetry.trace import SpanContext, SpanKind, Status, StatusCode, TraceFlags

    scope = InstrumentationScope("vorn")
    resources: dict[tuple[tuple[str, object], ...], Any] = {}
    sampled = TraceFlags(TraceFlags.SAMPLED)
    converted = []
    for span in spans:
        key = tuple(sorted(span.resource.items()))
        resource = resources.get(key)
        if resource is None:
            # Resource(...) rather than Resource.create: the SDK's defaults
            # (telemetry.sdk.*) describe this tool, not the traced program.
            resource = resources[key] = Resource(dict(span.resource))
        trace_id = int.from_bytes(span.trace_id)
        context = SpanContext(trace_id, int.from_bytes(span.span_id), is_remote=False, trace_flags=sampled)
        parent = None
        if span.parent_id is not None:
            parent = SpanContext(trace_id, int.from_bytes(span.parent_id), is_remote=False, trace_flags=sampled)
        status = Status(StatusCode.ERROR, span.error) if span.error else Status(StatusCode.UNSET)
        converted.append(ReadableSpan(
            name=span.name, context=context, parent=parent, resource=resource,
            attributes=dict(span.attributes), kind=SpanKind.INTERNAL, status=status,
            start_time=span.start_ns, end_time=span.end_ns, instrumentation_scope=scope,
            events=[Event(event.name, dict(event.attributes), event.time_ns) for event in span.events],
        ))  # fmt: skip
    return converted


class _Kept(logging.Handler):
    def __init__(self, messages: list[str]) -> None:
        super().__init__(logging.WARNING)
        self.messages = messages

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(" ".join(record.getMessage().split()))


@contextlib.contextmanager
def exporter_messages() -> Iterator[list[str]]:
    """What the OTLP exporter logs while the block runs, kept rather than
    printed: it logs each retry and failure on lines of its own, and the
    caller reports a failure on one line, with the exporter's last word."""
    logger = logging.getLogger("opentelemetry.exporter")
    messages: list[str] = []
    handler = _Kept(messages)
    propagate = logger.propagate
    logger.addHandler(handler)
    logger.propagate = False
    try:
        yield messages
    finally:
        logger.removeHandler(handler)
        logger.propagate = propagate
