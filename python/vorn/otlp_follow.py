"""python -m vorn otlp --follow: ship traces while they are being written.

The trace directories are read again every --interval seconds; each
top-level scope is sent once it has closed (and with it everything inside
it), each top-level record as soon as it is there, and each async span
(vorn.span) once both its records are there. A state file records, for
each trace file (by its identity, not its name, which a later process may
reuse), how many of its top-level items have been sent, and for each
process the ids of the async spans sent; it is replaced whole after every
batch the endpoint took, so a restarted shipper goes on where the last one
stopped. Should a shipper die between the endpoint taking a batch and the
state file being replaced, its successor sends that batch again with the
very same ids, which backends keep once.

A process that has ended leaves its open scopes and unended spans as they
are for good: they are sent then, once, as never closed. A process has
ended when no process with its pid and start time (field 22 of
/proc/<pid>/stat, which its identity records) lives on this host. That can
only be judged for files written on this host, under this host name and in
this pid namespace, in this boot: the open scopes of files of another host
(copied here, or on a shared directory) or of another pid namespace (a
sidecar container with the same host name), whose pids /proc here does not
show, are never judged ended by this rule, and wait. Until then a live
process's open scopes wait too. A file whose identity predates the pid
namespace and boot id is judged by host name alone.

A batch the endpoint does not take (after the exporter's own retries) is
reported on one line on standard error and tried again after 1, 2, 4 ... up
to 60 seconds. Ctrl-C (or SIGTERM) ends the shipper once the batch being
sent is done.

For tests, _VORN_OTLP_DIE_AFTER_SEND=1 makes the shipper kill itself with
SIGKILL right after the endpoint took a batch and before the state file is
replaced: the one moment a batch can be sent twice.
"""

# mypy: disable-error-code="import-untyped, import-not-found, no-untyped-call"

from __future__ import annotations

import argparse
import json
import os
import signal
import socket
import sys
import threading
from pathlib import Path
from typing import Any, Final

from vorn.otlp_mapping import NANOS_PER_MS, ProcessTraces, SourceFile, Span, file_key, process_groups, process_key
from vorn.output_file import written_output
from vorn.terminal_text import printable
from vorn.trace_files import find_trace_files
from vorn.trace_identity import TraceIdentity, read_identity

__all__ = ["follow", "process_ended"]

STATE_NAME: Final = ".vorn-otlp-state.json"
MAX_BACKOFF: Final = 60.0
DIE_AFTER_SEND: Final = "_VORN_OTLP_DIE_AFTER_SEND"

# A file's entry counts its top-level items sent; a process's, the ids of
# its async spans sent.
State = dict[str, int | list[str]]


def follow(arguments: argparse.Namespace, url: str, batch_size: int) -> int:
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
    from opentelemetry.sdk.trace.export import SpanExportResult

    from vorn.otlp import exporter_messages, sdk_spans

    state_path = Path(arguments.state) if arguments.state else Path(arguments.paths[0]) / STATE_NAME
    state = _load(state_path)
    stop = threading.Event()
    previous = {number: signal.signal(number, lambda *_: stop.set()) for number in (signal.SIGINT, signal.SIGTERM)}
    exporter = OTLPSpanExporter(endpoint=url, timeout=arguments.timeout)
    die_after_send = os.environ.get(DIE_AFTER_SEND) == "1"
    warned: set[str] = set()
    backoff = 0.0
    try:
        while not stop.is_set():
            spans, updates, more = _collect(arguments, state, warned, batch_size)
            if spans:
                with exporter_messages() as messages:
                    taken = exporter.export(sdk_spans(spans)) is SpanExportResult.SUCCESS
                if not taken:
                    backoff = min(max(1.0, backoff * 2), MAX_BACKOFF)
                    reason = f" ({printable(messages[-1])})" if messages else ""
                    print(f"python -m vorn otlp: {printable(url)} did not take {len(spans)} spans{reason}; "
                          f"trying again in {backoff:g} s", file=sys.stderr, flush=True)  # fmt: skip
                    stop.wait(backoff)
                    continue
                if die_after_send:
                    os.kill(os.getpid(), signal.SIGKILL)
                backoff = 0.0
                state.update(updates)
                _save(state_path, state)
                print(f"sent {len(spans)} spans to {printable(url)}", flush=True)
            if not more:
                stop.wait(arguments.interval)
    finally:
        exporter.shutdown()
        for number, handler in previous.items():
            signal.signal(number, handler)
    return 0


def process_ended(identity: TraceIdentity | None) -> bool:
    """Whether the process of `identity` is known to have ended: it was
    written on this host, in this pid namespace and boot (where its
    identity records them), and no live process has its pid and start time
    (a zombie, killed and not yet waited for, has ended). Without an
    identity, for another host, namespace or boot, or for a live pid whose
    start time the writer could not read (0), nothing is known: False."""
    if identity is None or identity.host != socket.gethostname():
        return False
    if identity.pidns is not None and identity.pidns != _our_pid_namespace():
        return False
    if identity.boot_id is not None and identity.boot_id != _our_boot_id():
        return False
    try:
        text = Path(f"/proc/{identity.pid}/stat").read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return True
    except OSError:
        return False
    # "pid (comm) state ppid ...": comm may hold spaces and parentheses.
    fields = text[text.rfind(")") + 1 :].split()
    if len(fields) < 20 or not fields[19].isdecimal():
        return False
    if fields[0] in ("Z", "X"):
        return True
    return identity.start != 0 and int(fields[19]) != identity.start


def _our_pid_namespace() -> int | None:
    try:
        return os.stat("/proc/self/ns/pid").st_ino
    except OSError:
        return None


def _our_boot_id() -> str | None:
    try:
        return Path("/proc/sys/kernel/random/boot_id").read_text(encoding="ascii").strip()
    except (OSError, ValueError):
        return None


def _collect(arguments: argparse.Namespace, state: State, warned: set[str],
             batch_size: int) -> tuple[list[Span], State, bool]:  # fmt: skip
    """The spans not sent yet of what is complete now, about `batch_size`
    of them at most (a process's spans go in one batch); the entries the
    state takes once they are sent; and whether more are waiting."""
    sources = []
    for trace in find_trace_files(arguments.paths, skip_non_traces=True):
        identity = read_identity(trace.path)
        origin = identity.clock_origin_ms * NANOS_PER_MS if identity is not None else arguments.assume_origin
        if origin is None:
            _warn(warned, f"{printable(str(trace.path))}: no clock origin; give --assume-origin UNIX_SECONDS "
                  "to send it")
            continue
        sources.append(SourceFile(trace, identity, origin))

    spans: list[Span] = []
    updates: State = {}
    for group in process_groups(sources):
        ended = process_ended(group[0].identity)
        process = ProcessTraces(group, arguments.service_name, arguments.trace_per == "process", skip_unreadable=True)
        for error in process.errors:  # gone meanwhile, or not a trace
            _warn(warned, printable(error))
        found: list[Span] = []
        entries: State = {}
        for number, view in enumerate(process.files):
            key = _key(file_key(view.source))
            sent = state.get(key, 0)
            sent = sent if isinstance(sent, int) else 0
            file_found, complete = process.file_spans(number, skip=sent, closed_only=not ended)
            if complete > sent:
                found += file_found
                entries[key] = complete
        spans_key = _key(["async spans", *process_key(group[0])])
        sent_ids = state.get(spans_key, [])
        done = set(sent_ids) if isinstance(sent_ids, list) else set()
        new = [entry for entry in process.async_spans() if entry.id not in done and (entry.ended or ended)]
        if new:
            found += [entry.span for entry in new]
            entries[spans_key] = sorted(done | {entry.id for entry in new})
        if not entries:
            continue
        if spans and len(spans) + len(found) > batch_size:
            return spans, updates, True
        spans += found
        updates.update(entries)
    return spans, updates, False


def _key(value: list[object]) -> str:
    return json.dumps(value, separators=(",", ":"))


def _warn(warned: set[str], message: str) -> None:
    if message not in warned:
        warned.add(message)
        print(f"python -m vorn otlp: {message}", file=sys.stderr, flush=True)


def _load(path: Path) -> State:
    wrong = f"{printable(str(path))}: not a state file of python -m vorn otlp --follow"
    try:
        value: Any = json.loads(path.read_text(encoding="utf-8"))
    except FileNotFoundError:
        return {}
    except (ValueError, RecursionError):  # RecursionError: thousands of nested brackets
        raise ValueError(wrong) from None
    if not isinstance(value, dict) or not all(_entry(entry) for entry in value.values()):
        raise ValueError(wrong)
    return value


def _entry(value: object) -> bool:
    if isinstance(value, list):
        return all(isinstance(item, str) for item in value)
    return type(value) is int


def _save(path: Path, state: State) -> None:
    """Replaces the state file whole: a shipper killed while writing it
    leaves the previous one."""
    with written_output(path, set()) as stream:
        json.dump(state, stream, separators=(",", ":"))
