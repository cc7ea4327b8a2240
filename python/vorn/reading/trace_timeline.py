"""Trace files grouped by host, process and thread, on one timeline.

Every time in a trace file counts milliseconds from its process's clock
origin, which the file's identity attribute records as Unix milliseconds.
Files that carry one are placed on a shared wall-clock timeline, counted
from the earliest origin among them: a process that started 300 ms after
the first one has its times shifted by 300. Files without an origin (copied
without their attributes, or older) keep their own times; when others are
aligned they are marked "(not aligned)", since their zero is not the
timeline's.

Processes are told apart by host, pid and start time (a pid can come back
on a long-running host), and by pid namespace and boot where the files
record them (vorn.reading.trace_identity.process_key); files without identity are
one process per host, named after the host, as before identities existed.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field

from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_identity import iso_time, process_key

__all__ = ["NOT_ALIGNED", "Process", "Timeline", "thread_name", "timeline_of"]

NOT_ALIGNED = "(not aligned)"


@dataclass
class Process:
    host: str
    pid: int | None  # None: the files of this host that carry no identity
    start: int | None
    ppid: int | None
    name: str
    label: str  # "app.py -v (pid 4242)"; the host name for files without identity
    threads: list[TraceFile] = field(default_factory=list)  # the main thread first


@dataclass
class Timeline:
    origin_ms: int | None  # the earliest clock origin, None when no file has one
    hosts: list[tuple[str, list[Process]]]

    @property
    def start_time(self) -> str | None:
        """The timeline's zero as ISO 8601 UTC, None without any origin."""
        return None if self.origin_ms is None else iso_time(self.origin_ms)

    def offset(self, trace: TraceFile) -> int:
        """Milliseconds to add to the file's times to place them on the timeline."""
        if self.origin_ms is None or trace.clock_origin_ms is None:
            return 0
        return trace.clock_origin_ms - self.origin_ms

    def aligned(self, trace: TraceFile) -> bool:
        """False only for a file without origin among files that have one."""
        return self.origin_ms is None or trace.clock_origin_ms is not None

    def thread_label(self, trace: TraceFile) -> str:
        """thread_name(trace), marked "(not aligned)" where it is not."""
        label = thread_name(trace)
        return label if self.aligned(trace) else f"{label} {NOT_ALIGNED}"

    def process_aligned(self, process: Process) -> bool:
        return process.pid is not None or self.origin_ms is None

    def process_label(self, process: Process) -> str:
        aligned = self.process_aligned(process)
        return process.label if aligned else f"{process.label} {NOT_ALIGNED}"

    @property
    def processes(self) -> list[Process]:
        return [process for _, processes in self.hosts for process in processes]


def thread_name(trace: TraceFile) -> str:
    """The thread's name, Python's where the file gives it, and its id:
    "request-handler-000123 27757"; "ThreadPoolExecu 27757" (a system name,
    cut to 15 bytes); "thread 27757" for a file without identity."""
    return f"{trace.thread_name} {trace.thread}" if trace.thread_name else f"thread {trace.thread}"


def timeline_of(files: Sequence[TraceFile]) -> Timeline:
    """`files` by host (in the order the hosts first appear), process (by
    start time, the files without identity last) and thread (the main
    thread, whose id is the pid, first; then in the given order)."""
    hosts: dict[str, dict[tuple[object, ...] | None, Process]] = {}
    for trace in files:
        processes = hosts.setdefault(trace.host, {})
        key = None if trace.pid is None or trace.start is None else process_key(trace)
        process = processes.get(key)
        if process is None:
            process = processes[key] = _process(trace, key is not None)
        process.threads.append(trace)
    grouped = []
    for host, processes in hosts.items():
        ordered = sorted(processes.values(), key=_process_order)
        for process in ordered:
            process.threads.sort(key=lambda trace: trace.thread != str(trace.pid))
        grouped.append((host, ordered))
    origins = [trace.clock_origin_ms for trace in files if trace.clock_origin_ms is not None]
    return Timeline(origin_ms=min(origins, default=None), hosts=grouped)


def _process(trace: TraceFile, known: bool) -> Process:
    if not known:
        return Process(trace.host, None, None, None, "", trace.host)
    name = trace.process or ""
    label = f"{name} (pid {trace.pid})" if name else f"pid {trace.pid}"
    return Process(trace.host, trace.pid, trace.start, trace.ppid, name, label)


def _process_order(process: Process) -> tuple[bool, int, int]:
    return (process.pid is None, process.start or 0, process.pid or 0)
