"""python -m vorn otlp --follow: ship traces while they are being written.

The trace directories are looked at every --interval seconds, and each
file is read only from where the last read left off (Progress), once it has
grown: a file replaced or cut shorter is read from its start again. Each
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
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final

from vorn.outputs.otlp_mapping import (NANOS_PER_MS, FilePoint, ProcessTraces, SourceFile, Span, file_key, process_groups,
                               process_key)  # fmt: skip
from vorn.outputs.output_file import written_output
from vorn.reading.terminal_text import printable
from vorn.reading.trace_files import TraceFile, _begins_like_a_trace, _order, find_trace_files
from vorn.reading.trace_identity import TraceIdentity, read_identity

__all__ = ["Progress", "follow", "process_ended"]

STATE_NAME: Final = ".vorn-otlp-state.json"
MAX_BACKOFF: Final = 60.0
DIE_AFTER_SEND: Final = "_VORN_OTLP_DIE_AFTER_SEND"

# A file's entry counts its top-level items sent; a process's, the ids of
# its async spans sent.
State = dict[str, int | list[str]]


def follow(arguments: argparse.Namespace, url: str, batch_size: int) -> int:
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
    from opentelemetry.sdk.trace.export import SpanExportResult

    from vorn.outputs.otlp_sdk import exporter_messages, sdk_spans

    state_path = Path(arguments.state) if arguments.state else Path(arguments.paths[0]) / STATE_NAME
    state = _load(state_path)
    stop = threading.Event()
    previous = {number: signal.signal(number, lambda *_: stop.set()) for number in (signal.SIGINT, signal.SIGTERM)}
    exporter = OTLPSpanExporter(endpoint=url, timeout=arguments.timeout)
    die_after_send = os.environ.get(DIE_AFTER_SEND) == "1"
    warned: set[str] = set()
    progress = Progress()
    backoff = 0.0
    try:
        while not stop.is_set():
            spans, updates, more, parsed = _collect(arguments, state, warned, batch_size, progress)
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
            progress.settle(parsed, state)
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


class Progress:
    """What the shipper keeps in memory between intervals, so that it reads
    each file once: for each file (by its key) where its next read starts and
    what the file was (device, inode, size, modification) when last read;
    for each process the files' state when nothing of it was left to send
    (nothing is read again until that changes); the processes known to have
    ended; and the directory entries of ended processes whose everything
    was sent, which are passed over unread."""

    def __init__(self) -> None:
        self.starts: dict[str, tuple[tuple[int, ...], FilePoint]] = {}
        self.settled: dict[str, object] = {}
        self.ended: set[str] = set()
        self.forgotten: set[tuple[str, int]] = set()
        # A directory entry (path, inode) seen: its real path and file, or None: not a trace.
        self.entries: dict[tuple[str, int], tuple[str, TraceFile] | None] = {}
        self.entry_of: dict[Path, tuple[str, int]] = {}

    def listed(self, paths: list[str], warned: set[str]) -> list[TraceFile]:
        """find_trace_files(paths, skip_non_traces=True), but without
        looking again at what is known (a directory entry is known by its
        name and inode, which readdir gives without a stat)."""
        found: dict[str, TraceFile] = {}
        for given in paths:
            if not os.path.isdir(given):
                for trace in find_trace_files([given], skip_non_traces=True):
                    found.setdefault(os.path.realpath(trace.path), trace)
                continue
            for entry in _log_entries(given):
                where = (entry.path, entry.inode())
                if where in self.forgotten:
                    continue
                if where not in self.entries:
                    if not entry.is_file():
                        continue
                    known = None
                    if _begins_like_a_trace(Path(entry.path)):
                        trace = TraceFile.of(entry.path)
                        known = (os.path.realpath(entry.path), trace)
                        self.entry_of[trace.path] = where
                    else:
                        _warn(warned, f"skipping {printable(entry.path)}: not a trace file")
                    self.entries[where] = known
                known = self.entries[where]
                if known is not None:
                    found.setdefault(*known)
        return sorted(found.values(), key=_order)

    def start_of(self, key: str, stamp: tuple[int, ...] | None) -> FilePoint:
        """Where to read the file `key` from: where the last read left off,
        unless the file was replaced or cut shorter since."""
        kept = self.starts.get(key)
        if kept is None or stamp is None or kept[0][:2] != stamp[:2] or stamp[2] < kept[1].read.offset:
            return FilePoint()
        return kept[1]

    def settle(self, parsed: list[_Parsed], state: State) -> None:
        """Moves each file's start past what `state` says was sent (but never
        past a record of an async span not sent, which a later read must
        pair), and remembers each process as it was read: until its files
        or its having ended change, there is nothing more to send. Files of
        an ended process are then forgotten."""
        for group in parsed:
            sent_spans = state.get(group.spans_key, [])
            done = set(sent_spans) if isinstance(sent_spans, list) else set()
            unsent = [record for record in group.process.records if record.id not in done]
            for view, key, stamp, start in group.files:
                sent = state.get(key, 0)
                name = os.fspath(view.source.trace.path)
                hold = min((view.index_of[where[1]] for record in unsent for where in (record.begin, record.end)
                            if where is not None and where[0] == name), default=sys.maxsize)  # fmt: skip
                for point in view.points:
                    if not (isinstance(sent, int) and point.top <= sent and point.index <= hold):
                        break
                    start = point
                if stamp is not None:
                    self.starts[key] = (stamp, start)
            if group.ended:
                self.settled.pop(group.key, None)
                for source in group.sources:
                    self.starts.pop(_key(file_key(source)), None)
                    where = self.entry_of.pop(source.trace.path, None)
                    if where is not None:
                        self.forgotten.add(where)
                        self.entries.pop(where, None)
            else:
                self.settled[group.key] = group.signature


@dataclass
class _Parsed:
    """A process read in one interval: what Progress.settle needs once what
    it had to send was sent."""

    key: str
    spans_key: str
    signature: object
    ended: bool
    sources: list[SourceFile]
    process: ProcessTraces
    files: list[tuple[Any, str, tuple[int, ...] | None, FilePoint]]  # view, key, stamp, where it was read from


def _stamp(path: Path) -> tuple[int, ...] | None:
    try:
        found = os.stat(path)
    except OSError:
        return None
    return (found.st_dev, found.st_ino, found.st_size, found.st_mtime_ns)


def _log_entries(root: str) -> Iterator[os.DirEntry[str]]:
    """The *.log entries below the directory `root`, as Path.rglob finds
    them (symbolic links to directories are not followed)."""
    pending = [root]
    while pending:
        try:
            with os.scandir(pending.pop()) as listing:
                for entry in listing:
                    if entry.is_dir(follow_symlinks=False):
                        pending.append(entry.path)
                    elif entry.name.endswith(".log"):
                        yield entry
        except OSError:
            continue  # gone meanwhile, or not readable: as rglob, passed over


def _collect(arguments: argparse.Namespace, state: State, warned: set[str], batch_size: int,
             progress: Progress | None = None) -> tuple[list[Span], State, bool, list[_Parsed]]:  # fmt: skip
    """The spans not sent yet of what is complete now, about `batch_size`
    of them at most (a process's spans go in one batch); the entries the
    state takes once they are sent; whether more are waiting; and the
    processes read, for Progress.settle once the spans were sent. Files are
    read from where `progress` says (without one: from their beginning)."""
    progress = progress or Progress()
    sources = []
    for trace in progress.listed(arguments.paths, warned):
        identity = read_identity(trace.path)
        origin = identity.clock_origin_ms * NANOS_PER_MS if identity is not None else arguments.assume_origin
        if origin is None:
            _warn(warned, f"{printable(str(trace.path))}: no clock origin; give --assume-origin UNIX_SECONDS "
                  "to send it")
            continue
        sources.append(SourceFile(trace, identity, origin))

    spans: list[Span] = []
    updates: State = {}
    parsed: list[_Parsed] = []
    for group in process_groups(sources):
        group_key = _key(process_key(group[0]))
        ended = group_key in progress.ended or process_ended(group[0].identity)
        if ended:
            progress.ended.add(group_key)
        keys = [_key(file_key(source)) for source in group]
        stamps = [_stamp(source.trace.path) for source in group]
        signature = (tuple(zip(keys, stamps)), ended)
        if progress.settled.get(group_key) == signature:
            continue  # nothing written since everything it held was sent
        starts = [progress.start_of(key, stamp) for key, stamp in zip(keys, stamps)]
        process = ProcessTraces(group, arguments.service_name, arguments.trace_per == "process", skip_unreadable=True,
                                starts=starts)  # fmt: skip
        for error in process.errors:  # gone meanwhile, or not a trace
            _warn(warned, printable(error))
        where = {id(source): number for number, source in enumerate(group)}
        read = []
        found: list[Span] = []
        entries: State = {}
        for number, view in enumerate(process.files):
            at = where[id(view.source)]
            key = keys[at]
            read.append((view, key, stamps[at], starts[at]))
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
        if entries and spans and len(spans) + len(found) > batch_size:
            return spans, updates, True, parsed
        parsed.append(_Parsed(group_key, spans_key, signature, ended, group, process, read))
        spans += found
        updates.update(entries)
    return spans, updates, False, parsed


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
