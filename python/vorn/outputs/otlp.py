# The OpenTelemetry packages are optional, and protobuf's have no types: the
# type checker finds them or not, and takes what it cannot check as Any.
# mypy: disable-error-code="import-untyped, import-not-found, no-untyped-call"
"""python -m vorn otlp: send trace files to an OpenTelemetry backend.

    python -m vorn otlp vorn_logs                                # OTLP/HTTP, localhost:4318
    python -m vorn otlp vorn_logs --endpoint http://tempo:4318
    python -m vorn otlp vorn_logs -o traces.otlp.json            # OTLP/JSON file instead
    python -m vorn otlp --follow vorn_logs                       # keep shipping (vorn.outputs.otlp_follow)

The spans are built as the OpenTelemetry SDK's own ReadableSpans, with the
ids, times and parents vorn.outputs.otlp_mapping derives from the files, and sent by the
SDK's OTLP/HTTP exporter, so that retries, compression, TLS and the
OTEL_EXPORTER_OTLP_* settings (headers, certificates) behave as in any
OpenTelemetry program. The JSON file holds the very request the exporter
would POST, in the OTLP/JSON encoding, written by vorn.outputs.otlp_json straight
from vorn's spans (the SDK's encoder takes ages where protobuf is pure
Python); request_json is the encoder's way, which the tests hold it to.

One-shot, the files are read as a stream (vorn.outputs.otlp_stream), and
the spans are POSTed BATCH at a time, or written into the JSON, as they
come: memory holds a top-level scope's spans and what pairs a process's
async spans, not the run. A file that cannot be read ends the command
where it is met; the batches sent before it stay sent.

OpenTelemetry is an optional dependency: vorn imports without it, and this
command says which packages to install when they are missing.
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import importlib
import importlib.util
import itertools
import json
import sys
from collections import Counter
from collections.abc import Iterator, Sequence
from decimal import Decimal, InvalidOperation
from typing import IO, Any, Final

from vorn.reading.terminal_text import count, printable
from vorn.outputs.otlp_mapping import NANOS_PER_MS, SourceFile, files_without_origin, process_groups, resource_of
from vorn.outputs.otlp_sdk import exporter_messages, sdk_spans
from vorn.outputs.otlp_stream import process_spans

__all__ = ["add_parser", "main", "request_json"]

DEFAULT_ENDPOINT: Final = "http://localhost:4318"
TRACES_PATH: Final = "/v1/traces"
# Spans per POST: well below the exporter's 64 MiB request limit even with
# long messages, and few enough requests for a large trace root.
BATCH: Final = 2000
MISSING: Final = ("OpenTelemetry is not installed: install the Debian packages python3-opentelemetry-sdk "
                  "and python3-opentelemetry-exporter-otlp-proto-http, or pip install 'py-vorn[otlp]'")  # fmt: skip
_ID_FIELDS: Final = ("traceId", "spanId", "parentSpanId")
EXPORTER: Final = "opentelemetry.exporter.otlp.proto.http.trace_exporter"
SDK: Final = "opentelemetry.sdk.trace"


def add_parser(subcommands: Any) -> argparse.ArgumentParser:
    """Adds the otlp command to `subcommands` (an argparse subparsers object)."""
    parser: argparse.ArgumentParser = subcommands.add_parser(
        "otlp",
        help="send the traces to an OpenTelemetry backend (OTLP/HTTP), or write OTLP/JSON",
        description="Send the traces to an OpenTelemetry collector or backend (Jaeger, Tempo, "
        "Zipkin, ...) over OTLP/HTTP with protobuf, or write the same request as OTLP/JSON. "
        "Each scope is a span, each log record an event of its scope's span, each vorn.span a span of its own.",
        epilog="Example: python -m vorn otlp vorn_logs --endpoint http://localhost:4318",
    )
    _add_arguments(parser)
    return parser


def _add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH",
                        help="trace files, directories searched for *.log files, or archives made by pack")
    parser.add_argument("--endpoint", default=DEFAULT_ENDPOINT, metavar="URL",
                        help=f"the OTLP/HTTP endpoint; spans are POSTed to URL{TRACES_PATH} "
                        f"(default: {DEFAULT_ENDPOINT})")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help='write the request as OTLP/JSON to FILE ("-": standard output) instead of sending it')
    parser.add_argument("--service-name", metavar="NAME",
                        help="the service.name of every process (default: the process's name, "
                        'such as "app.py -v")')
    parser.add_argument("--trace-per", choices=("scope", "process"), default="scope",
                        help="one trace per top-level scope (default), or one per process")
    parser.add_argument("--assume-origin", type=_unix_seconds, metavar="UNIX_SECONDS",
                        help="the Unix time that the times of files without a clock origin count from "
                        "(such files are refused otherwise)")
    parser.add_argument("--timeout", type=float, default=10.0, metavar="SECONDS",
                        help="how long to keep trying one request, retries included (default: 10)")
    parser.add_argument("--run", metavar="RUN",
                        help='which run to send: "all", a run number as "runs" lists it, or a pid (a number '
                        "larger than the number of runs, or pid:N); default: the latest. Not with --follow, "
                        "which sends every run")
    parser.add_argument("--follow", action="store_true",
                        help="keep watching the directories, sending each top-level scope once it closes "
                        "(the open scopes of a process that ended on this host, in this pid namespace: "
                        "as never closed), "
                        "once only, also across restarts; Ctrl-C ends after the batch being sent")
    parser.add_argument("--interval", type=float, default=1.0, metavar="SECONDS",
                        help="with --follow: how often to look for new scopes (default: 1)")
    parser.add_argument("--state", metavar="FILE",
                        help="with --follow: where to keep what was sent (default: "
                        ".vorn-otlp-state.json in the first PATH)")  # fmt: skip


def _unix_seconds(text: str) -> int:
    """UNIX_SECONDS as whole nanoseconds, parsed as a decimal so that
    1765200000.123 is exactly ...123 ms (a float is not, at that size)."""
    try:
        value = Decimal(text)
    except InvalidOperation:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text}") from None
    if not value.is_finite() or value < 0:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text}")
    return int(value * 1_000_000_000)


def request_json(request: Any) -> str:
    """An ExportTraceServiceRequest in the OTLP/JSON encoding: protobuf's
    JSON mapping with lowerCamelCase names and enums as numbers, except
    that trace and span ids are hex, not base64."""
    from google.protobuf import json_format

    value = json_format.MessageToDict(request, use_integers_for_enums=True)
    for resource_spans in value.get("resourceSpans", []):
        for scope_spans in resource_spans.get("scopeSpans", []):
            for span in scope_spans.get("spans", []):
                for key in _ID_FIELDS:
                    if key in span:
                        span[key] = base64.b64decode(span[key]).hex()
    return json.dumps(value, ensure_ascii=False, indent=1) + "\n"


@contextlib.contextmanager
def _opened(paths: Sequence[str], assumed_origin_ns: int | None,
            run: str | None = "all") -> Iterator[tuple[list[SourceFile], set[tuple[int, int]]]]:  # fmt: skip
    """The trace files of the run `run` (as runs.select_run takes it) under
    `paths` (archives unpacked until the block ends) with their full
    identities, and the keys of the files read, which no output may
    replace. The identity comes from the attribute the writer stored (the
    archive's header for a packed file): it alone holds the thread id and
    the command line."""
    from vorn.reading.runs import take_run
    from vorn.reading.trace_archive import opened_trace_sources
    from vorn.reading.trace_identity import parse_identity

    with opened_trace_sources(paths) as (found, inputs):
        if run != "all":
            kept = set(take_run([entry.trace for entry in found], run, "otlp"))
            found = [entry for entry in found if entry.trace in kept]
        sources = []
        for entry in found:
            identity = None if entry.attribute is None else parse_identity(entry.attribute)
            origin = entry.trace.clock_origin_ms
            origin_ns = assumed_origin_ns if origin is None else origin * NANOS_PER_MS
            sources.append(SourceFile(entry.trace, identity, origin_ns))
        yield sources, inputs


def _installed(sending: bool) -> bool:
    """Whether OpenTelemetry is there. To send, its exporter is imported;
    to write -o, which needs none of it, it is only looked for: the import
    alone (protobuf, the HTTP client) takes a quarter of a second."""
    try:
        if sending:
            importlib.import_module(EXPORTER)
            importlib.import_module(SDK)
            return True
        return importlib.util.find_spec(EXPORTER) is not None and importlib.util.find_spec(SDK) is not None
    except ImportError:  # a package on the way is missing, or blocked
        return False


def run(arguments: argparse.Namespace) -> int:
    if not _installed(sending=arguments.output is None):
        print(f"python -m vorn otlp: {MISSING}", file=sys.stderr)
        return 2
    from vorn.outputs.output_file import MissingOutputDirectory, written_output

    url = arguments.endpoint.rstrip("/") + TRACES_PATH
    if arguments.follow:
        if arguments.output is not None:
            print("python -m vorn otlp: --follow sends to an endpoint; it takes no -o", file=sys.stderr)
            return 2
        if arguments.run is not None:
            print("python -m vorn otlp: --follow sends every run as it is written; it takes no --run",
                  file=sys.stderr)  # fmt: skip
            return 2
        from vorn.outputs.otlp_follow import follow

        try:
            return follow(arguments, url, BATCH)
        except (OSError, ValueError) as error:
            print(f"python -m vorn otlp: {printable(str(error))}", file=sys.stderr)
            return 1
    try:
        with _opened(arguments.paths, arguments.assume_origin, arguments.run) as (sources, inputs):
            missing = files_without_origin(sources)
            if missing:
                named = ", ".join(printable(str(source.trace.path)) for source in missing)
                print(f"python -m vorn otlp: no clock origin in {named} (copied without its extended "
                      "attributes, or older); give --assume-origin UNIX_SECONDS to send it anyway",
                      file=sys.stderr)  # fmt: skip
                return 1
            groups = process_groups(sources)
            per_process = arguments.trace_per == "process"
            if arguments.output is None:
                return _send(url, arguments.timeout, groups, arguments.service_name, per_process)
            with written_output(arguments.output, inputs) as stream:
                written = _write_json(stream, groups, arguments.service_name, per_process)
            if arguments.output != "-":
                print(f"wrote {written} spans of {count(len(sources), 'trace file')} to "
                      f"{printable(arguments.output)}")  # fmt: skip
            return 0
    except MissingOutputDirectory as error:
        print(f"python -m vorn otlp: {printable(str(error))}", file=sys.stderr)
        return 2
    except (OSError, ValueError) as error:
        print(f"python -m vorn otlp: {printable(str(error))}", file=sys.stderr)
        return 1


def _write_json(stream: IO[str], groups: list[list[SourceFile]], service_name: str | None, per_process: bool) -> int:
    """Writes the OTLP/JSON request of the processes `groups` to `stream`
    as their spans are read, settling each resource once no later process
    can have it; returns how many spans it wrote."""
    from vorn.outputs.otlp_json import RequestWriter, resource_key

    writer = RequestWriter(stream)
    keys = [{resource_key(resource_of(source, service_name)) for source in group} for group in groups]
    left = Counter(key for group_keys in keys for key in group_keys)
    for group, group_keys in zip(groups, keys):
        for span in process_spans(group, service_name, per_process):
            writer.add(span)
        for key in group_keys:
            left[key] -= 1
            if not left[key]:
                writer.settle(key)
    writer.close()
    return writer.count


def _send(url: str, timeout: float, groups: list[list[SourceFile]], service_name: str | None,
          per_process: bool) -> int:  # fmt: skip
    """Sends the spans of the processes `groups` in batches of BATCH as they
    are read; a batch the endpoint does not take ends the send."""
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
    from opentelemetry.sdk.trace.export import SpanExportResult

    spans = (span for group in groups for span in process_spans(group, service_name, per_process))
    exporter = OTLPSpanExporter(endpoint=url, timeout=timeout)
    sent = 0
    try:
        for batch in itertools.batched(spans, BATCH):
            with exporter_messages() as messages:
                taken = exporter.export(sdk_spans(batch)) is SpanExportResult.SUCCESS
            if not taken:
                reason = f": {printable(messages[-1])}" if messages else ""
                print(f"python -m vorn otlp: {printable(url)} did not take the spans ({sent} sent){reason}",
                      file=sys.stderr)  # fmt: skip
                return 1
            sent += len(batch)
    except (OSError, ValueError) as error:
        before = f" ({sent} spans sent before)" if sent else ""
        print(f"python -m vorn otlp: {printable(str(error))}{before}", file=sys.stderr)
        return 1
    finally:
        exporter.shutdown()
    files = sum(len(group) for group in groups)
    print(f"sent {sent} spans of {count(files, 'trace file')} to {printable(url)}")
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m vorn otlp", description="Send vorn traces over OTLP.")
    _add_arguments(parser)
    return run(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
