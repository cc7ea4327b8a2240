"""One scope with one record, against what other Python tracing and logging
libraries take for the same, all timed in one interleaved group.

- OpenTelemetry's SDK: a span with one event, (a) through a
  BatchSpanProcessor to an exporter that drops what it is given (the spans
  wait in RAM and leave in batches on the processor's thread, the usual
  setup), and (b) through a SimpleSpanProcessor to the SDK's
  ConsoleSpanExporter writing to a file, which flushes after every span.
- structlog rendering JSON through its WriteLogger, which flushes every
  record, and picologging's FileHandler: three records each (enter,
  message, exit), as the logging rows of the Python section.
"""

import os
from collections.abc import Sequence

import _py_vorn
import picologging
import structlog
from opentelemetry.sdk.trace import ReadableSpan, TracerProvider
from opentelemetry.sdk.trace.export import (
    BatchSpanProcessor,
    ConsoleSpanExporter,
    SimpleSpanProcessor,
    SpanExporter,
    SpanExportResult,
)

from timing import measure, row_from_samples

StlLogger = _py_vorn.StlLogger


class DroppingExporter(SpanExporter):
    """Takes every batch and keeps nothing, so that the batch rows time the
    SDK's span and processor, not a transport."""

    def export(self, spans: Sequence[ReadableSpan]) -> SpanExportResult:
        return SpanExportResult.SUCCESS


def structlog_logger(stream):
    # The time and calling function, as the logging rows write them.
    return structlog.wrap_logger(
        structlog.WriteLogger(stream),
        processors=[
            structlog.processors.TimeStamper(fmt="iso"),
            structlog.processors.CallsiteParameterAdder([structlog.processors.CallsiteParameter.FUNC_NAME]),
            structlog.processors.JSONRenderer(),
        ],
        wrapper_class=structlog.make_filtering_bound_logger(20),
        cache_logger_on_first_use=True,
    )


def picologging_logger(directory):
    handler = picologging.FileHandler(str(directory / "picologging.log"), encoding="utf-8")
    handler.setFormatter(picologging.Formatter("%(asctime)s %(funcName)s %(message)s"))
    log = picologging.getLogger("vorn-bench-peers")
    log.handlers[:] = [handler]
    log.setLevel(picologging.INFO)
    log.propagate = False
    return log, handler


def run(directory, settings):
    """The rows of this section. The calling thread's trace file goes under
    `directory` unless an earlier section opened it already."""
    os.environ.setdefault("VORN_LOG_DIR", str(directory / "trace"))
    batch_provider = TracerProvider()
    batch_provider.add_span_processor(BatchSpanProcessor(DroppingExporter()))
    batch_tracer = batch_provider.get_tracer("vorn-bench")
    span_file = open(directory / "otel-spans.jsonl", "w", encoding="utf-8")  # noqa: SIM115
    file_provider = TracerProvider()
    file_provider.add_span_processor(SimpleSpanProcessor(ConsoleSpanExporter(out=span_file)))
    file_tracer = file_provider.get_tracer("vorn-bench")
    structlog_file = open(directory / "structlog.jsonl", "w", encoding="utf-8")  # noqa: SIM115
    slog = structlog_logger(structlog_file)
    plog, phandler = picologging_logger(directory)

    def stl_scope(n):
        for _ in range(n):
            with StlLogger("load") as scope:
                scope.log("x")

    def otel_batched(n):
        for _ in range(n):
            with batch_tracer.start_as_current_span("load") as span:
                span.add_event("x")

    def otel_to_file(n):
        for _ in range(n):
            with file_tracer.start_as_current_span("load") as span:
                span.add_event("x")

    def structlog_three_records(n):
        for _ in range(n):
            slog.info("load")
            slog.info("x")
            slog.info("load done")

    def picologging_three_records(n):
        for _ in range(n):
            plog.info("load")
            plog.info("x")
            plog.info("load done")

    try:
        samples = measure(
            {"ours": stl_scope, "otel batch": otel_batched, "otel file": otel_to_file,
             "structlog": structlog_three_records, "picologging": picologging_three_records},
            settings,
        )  # fmt: skip
    finally:
        batch_provider.shutdown()
        file_provider.shutdown()
        span_file.close()
        structlog_file.close()
        phandler.close()
    labels = {
        "ours": "StlLogger scope + 1 log (Python)",
        "otel batch": "OpenTelemetry SDK span + 1 event, BatchSpanProcessor, dropping exporter",
        "otel file": "OpenTelemetry SDK span + 1 event, SimpleSpanProcessor, ConsoleSpanExporter to a file",
        "structlog": "structlog JSON to a file, flushed per record, 3 records",
        "picologging": "picologging.FileHandler, 3 records",
    }
    section = "Peers, from Python"
    return [row_from_samples(section, samples, "ours", peer, labels=labels)
            for peer in ("otel batch", "otel file", "structlog", "picologging")]  # fmt: skip
