"""python -m vorn otlp --follow: ship traces while they are being written.

The trace directories are read again every --interval seconds; each
top-level scope is sent once it has closed (and with it everything inside
it), each top-level record as soon as it is there. A state file records,
for each trace file (by its identity, not its name, which a later process
may reuse), how many of its top-level items have been sent; it is replaced
whole after every batch the endpoint took, so a restarted shipper goes on
where the last one stopped. Should a shipper die between the endpoint
taking a batch and the state file being replaced, its successor sends that
batch again with the very same ids, which backends keep once.

A batch the endpoint does not take (after the exporter's own retries) is
tried again after 1, 2, 4 ... up to 60 seconds. Ctrl-C (or SIGTERM) ends
the shipper once the batch being sent is done.
"""

# mypy: disable-error-code="import-untyped, import-not-found, no-untyped-call"

from __future__ import annotations

import argparse
import json
import signal
import sys
import threading
from pathlib import Path
from typing import Any, Final

from vorn.otlp_mapping import NANOS_PER_MS, SourceFile, Span, file_key, file_spans
from vorn.output_file import written_output
from vorn.trace_files import find_trace_files
from vorn.trace_identity import read_identity

__all__ = ["follow"]

STATE_NAME: Final = ".vorn-otlp-state.json"
MAX_BACKOFF: Final = 60.0


def follow(arguments: argparse.Namespace, url: str, batch_size: int) -> int:
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
    from opentelemetry.sdk.trace.export import SpanExportResult

    from vorn.otlp import sdk_spans

    state_path = Path(arguments.state) if arguments.state else Path(arguments.paths[0]) / STATE_NAME
    state = _load(state_path)
    stop = threading.Event()
    previous = {number: signal.signal(number, lambda *_: stop.set()) for number in (signal.SIGINT, signal.SIGTERM)}
    exporter = OTLPSpanExporter(endpoint=url, timeout=arguments.timeout)
    warned: set[str] = set()
    backoff = 0.0
    try:
        while not stop.is_set():
            spans, counts, more = _collect(arguments, state, warned, batch_size)
            if spans:
                if exporter.export(sdk_spans(spans)) is not SpanExportResult.SUCCESS:
                    backoff = min(max(1.0, backoff * 2), MAX_BACKOFF)
                    print(f"python -m vorn otlp: {url} did not take {len(spans)} spans; "
                          f"trying again in {backoff:g} s", file=sys.stderr, flush=True)  # fmt: skip
                    stop.wait(backoff)
                    continue
                backoff = 0.0
                state.update(counts)
                _save(state_path, state)
                print(f"sent {len(spans)} spans to {url}", flush=True)
            if not more:
                stop.wait(arguments.interval)
    finally:
        exporter.shutdown()
        for number, handler in previous.items():
            signal.signal(number, handler)
    return 0


def _collect(arguments: argparse.Namespace, state: dict[str, int], warned: set[str],
             batch_size: int) -> tuple[list[Span], dict[str, int], bool]:  # fmt: skip
    """The spans not sent yet of the top-level items complete now, about
    `batch_size` of them at most; the counts the state takes once they are
    sent; and whether more are waiting."""
    spans: list[Span] = []
    counts: dict[str, int] = {}
    for trace in find_trace_files(arguments.paths, skip_non_traces=True):
        identity = read_identity(trace.path)
        origin = identity.clock_origin_ms * NANOS_PER_MS if identity is not None else arguments.assume_origin
        if origin is None:
            _warn(warned, f"{trace.path}: no clock origin; give --assume-origin UNIX_SECONDS to send it")
            continue
        source = SourceFile(trace, identity, origin)
        key = json.dumps(file_key(source), separators=(",", ":"))
        sent = state.get(key, 0)
        try:
            found, complete = file_spans(source, arguments.service_name, arguments.trace_per == "process",
                                         skip=sent, closed_only=True)  # fmt: skip
        except (OSError, ValueError) as error:  # gone meanwhile, or not a trace
            _warn(warned, str(error))
            continue
        if complete <= sent:
            continue
        if spans and len(spans) + len(found) > batch_size:
            return spans, counts, True
        spans += found
        counts[key] = complete
    return spans, counts, False


def _warn(warned: set[str], message: str) -> None:
    if message not in warned:
        warned.add(message)
        print(f"python -m vorn otlp: {message}", file=sys.stderr, flush=True)


def _load(path: Path) -> dict[str, int]:
    try:
        value: Any = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return {}
    except ValueError:
        raise ValueError(f"{path}: not a state file of python -m vorn otlp --follow") from None
    if not isinstance(value, dict) or not all(type(count) is int for count in value.values()):
        raise ValueError(f"{path}: not a state file of python -m vorn otlp --follow")
    return value


def _save(path: Path, state: dict[str, int]) -> None:
    """Replaces the state file whole: a shipper killed while writing it
    leaves the previous one."""
    with written_output(path, set()) as stream:
        json.dump(state, stream, separators=(",", ":"))
