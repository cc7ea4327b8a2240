"""Runs: the trace files of one start of a program, told apart from the
files earlier starts left in the same directory.

Each run of a program adds its files to vorn_logs/, and the tools read all
of them: a timeline spanning days with every run squashed against its left
edge, a summary adding them together. A run is a set of processes that
overlap in time, follow each other within RUN_GAP_MS, or are parent and
child. Runs are numbered 1, 2, ... from the oldest.

Where a file's time span comes from:

- A file with identity spans from its clock origin plus its first time to
  its clock origin plus its last time (the largest in its last 64 KiB),
  both read from its head and tail, never from the whole file. The file's
  modification time is not used: extracting an archive or copying without
  -p gives every file the same one.
- A file without identity has times that count from its own process's
  start, which nothing records. It spans from its modification time less
  its last time (when its process started, near enough) to its
  modification time (its last write); it stays its own unit, since "the
  files of a host without identity" is every run's. Copied without their
  times, or unpacked from an archive, such files all look alike and fall
  into one run.

A process spans from the earliest start to the latest end of its files. A
process whose parent pid is the pid of a traced process on the same host
(and pid namespace and boot, where recorded) that started before it, by
its start ticks, joins the run of the latest such process, however long
after the parent's last record it began (a parent waiting on a child
writes nothing meanwhile). Runs are then merged wherever their spans come
within RUN_GAP_MS of each other, so runs never interleave.
"""

from __future__ import annotations

import os
import re
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import datetime
from typing import BinaryIO, Final

from vorn.reading.terminal_text import count, printable
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_identity import process_key
from vorn.reading.trace_reader import _timestamp

__all__ = ["RUN_GAP_MS", "Run", "format_runs", "group_runs", "left_out_note", "scope_count", "select_run",
           "take_run"]  # fmt: skip

# Processes that follow each other closer than this belong to one run: a
# script that runs two tools one after the other is one run.
RUN_GAP_MS: Final = 1000
_CHUNK: Final = 64 * 1024
# A time as the writer writes it: "ts", "ts_enter" or "ts_exit" and a
# number. A quote inside a JSON string is escaped, so no message can hold it.
_TIME: Final = re.compile(rb'"ts(?:_enter|_exit)?": (\d+)')
_ENTER: Final = b'"ts_enter": '


@dataclass(frozen=True)
class Run:
    number: int  # 1 for the oldest
    start_ms: int  # Unix milliseconds
    end_ms: int
    files: tuple[TraceFile, ...]  # in the order given
    processes: int  # the files without identity of one host count as one
    command: str  # the first process's label, "app.py -v (pid 4242)"
    pids: frozenset[int]

    @property
    def threads(self) -> int:
        return len(self.files)

    @property
    def duration_ms(self) -> int:
        return self.end_ms - self.start_ms


@dataclass(eq=False)
class _Unit:
    """A process with identity, or one file without: what runs are made of."""

    files: list[TraceFile]
    start_ms: int
    end_ms: int
    parent: _Unit | None = None  # union-find link

    @property
    def known(self) -> bool:
        """A process with identity, not a file without."""
        return _known(self.files[0])

    def root(self) -> _Unit:
        unit = self
        while unit.parent is not None:
            if unit.parent.parent is not None:
                unit.parent = unit.parent.parent  # halve the path for the next look
            unit = unit.parent
        return unit


def group_runs(files: Sequence[TraceFile]) -> list[Run]:
    """The runs of `files`, oldest first, numbered from 1."""
    units = _units(files)
    _join_families(units)
    families: dict[int, list[_Unit]] = {}
    for unit in units:
        families.setdefault(id(unit.root()), []).append(unit)
    spans = sorted(((min(u.start_ms for u in family), max(u.end_ms for u in family), family)
                    for family in families.values()), key=lambda span: span[:2])  # fmt: skip
    merged: list[tuple[int, int, list[_Unit]]] = []
    for start, end, family in spans:
        if merged and start <= merged[-1][1] + RUN_GAP_MS:
            first, last, members = merged[-1]
            members += family
            merged[-1] = (first, max(last, end), members)
        else:
            merged.append((start, end, list(family)))
    order = {id(trace): index for index, trace in enumerate(files)}
    return [_run(number, start, end, members, order) for number, (start, end, members) in enumerate(merged, 1)]


def select_run(files: Sequence[TraceFile], choice: str | None) -> tuple[list[TraceFile], int]:
    """The files of the run `choice` names, in the given order, and how many
    runs were left out. `choice` is None for the latest run, "all" for every
    file, a run number as `runs` shows it (1 to the number of runs), a pid
    (a larger number, or "pid:N" whatever it is: the latest run with a
    process of that pid). A choice that names nothing raises ValueError."""
    if choice == "all" or not files:
        return list(files), 0
    runs = group_runs(files)
    if choice is None:
        return list(runs[-1].files), len(runs) - 1
    text = choice.removeprefix("pid:")
    if not (text.isascii() and text.isdecimal()):
        raise ValueError(f"--run {printable(choice)}: not all, a run number or a pid (pid:N)")
    number = int(text)
    if text == choice and 1 <= number <= len(runs):
        return list(runs[number - 1].files), len(runs) - 1
    holding = [run for run in runs if number in run.pids]
    if not holding:
        numbers = f"no run {number} (runs are 1 to {len(runs)}) and " if text == choice else ""
        raise ValueError(f"--run {printable(choice)}: {numbers}no process with pid {number}")
    return list(holding[-1].files), len(runs) - 1


def take_run(files: Sequence[TraceFile], choice: str | None, command: str) -> list[TraceFile]:
    """select_run, telling on one line of standard error what it left out:
    "python -m vorn view: left out 2 earlier runs; --run all takes them"."""
    kept, left_out = select_run(files, choice)
    note = left_out_note(left_out, choice)
    if note is not None:
        print(f"python -m vorn {command}: {note}", file=sys.stderr)
    return kept


def left_out_note(left_out: int, choice: str | None) -> str | None:
    """The line telling what select_run left out, None when nothing."""
    if not left_out:
        return None
    which = "earlier" if choice is None else "other"
    return f"left out {count(left_out, which + ' run')}; --run all takes them"


def scope_count(trace: TraceFile) -> int:
    """How many scopes the file holds: its enter records, counted without
    parsing it."""
    found = 0
    short = len(_ENTER) - 1  # too short to hold a whole key
    carry = b""
    with open(trace.path, "rb") as stream:
        while chunk := stream.read(1024 * 1024):
            # The keys inside the chunk, and one the chunk boundary cuts.
            found += chunk.count(_ENTER) + (carry + chunk[:short]).count(_ENTER)
            carry = chunk[-short:]
    return found


def format_runs(runs: Sequence[Run]) -> str:
    """The runs as a terminal table."""
    table = [("run", "start", "duration", "processes", "threads", "scopes", "command")]
    for run in runs:
        scopes = sum(scope_count(trace) for trace in run.files)
        table.append((str(run.number), _local_time(run.start_ms), _duration(run.duration_ms), str(run.processes),
                      str(run.threads), str(scopes), printable(run.command)))  # fmt: skip
    widths = [max(len(row[column]) for row in table) for column in range(len(table[0]))]
    lines = []
    for row in table:
        cells = [row[0].rjust(widths[0]), row[1].ljust(widths[1]), row[2].rjust(widths[2]),
                 *(cell.rjust(width) for cell, width in zip(row[3:6], widths[3:6])), row[6]]  # fmt: skip
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines) + "\n"


def _units(files: Sequence[TraceFile]) -> list[_Unit]:
    processes: dict[tuple[object, ...], _Unit] = {}
    units = []
    for trace in files:
        start, end = _span(trace)
        if not _known(trace):
            units.append(_Unit([trace], start, end))
            continue
        unit = processes.get(key := process_key(trace))
        if unit is None:
            units.append(unit := processes.setdefault(key, _Unit([], start, end)))
        unit.files.append(trace)
        unit.start_ms, unit.end_ms = min(unit.start_ms, start), max(unit.end_ms, end)
    return units


def _join_families(units: list[_Unit]) -> None:
    """Puts each child process with its parent: the latest traced process
    with the child's parent pid that started before it."""
    by_pid: dict[tuple[str, int], list[_Unit]] = {}
    for unit in units:
        if unit.known:
            by_pid.setdefault((unit.files[0].host, unit.files[0].pid or 0), []).append(unit)
    for unit in units:
        child = unit.files[0]
        if not unit.known or child.ppid is None:
            continue
        candidates = [parent for parent in by_pid.get((child.host, child.ppid), [])
                      if parent is not unit and _may_be_parent(parent.files[0], child)]  # fmt: skip
        if candidates:
            parent = max(candidates, key=lambda candidate: candidate.files[0].start or 0)
            top, other = unit.root(), parent.root()
            if top is not other:
                top.parent = other


def _known(trace: TraceFile) -> bool:
    return trace.pid is not None and trace.start is not None and trace.clock_origin_ms is not None


def _may_be_parent(parent: TraceFile, child: TraceFile) -> bool:
    """Same pid namespace and boot where both record them, and started no
    later (start ticks count from boot)."""
    for name in ("pidns", "boot_id"):
        mine, theirs = getattr(parent, name), getattr(child, name)
        if mine is not None and theirs is not None and mine != theirs:
            return False
    return (parent.start or 0) <= (child.start or 0)


def _span(trace: TraceFile) -> tuple[int, int]:
    """Unix milliseconds the file spans (see the module's notes)."""
    with open(trace.path, "rb") as stream:
        info = os.fstat(stream.fileno())
        first, last = _first_time(stream), _last_time(stream, info.st_size)
    if trace.clock_origin_ms is not None:
        origin = trace.clock_origin_ms
        start = origin + (first if first is not None else 0)
        return start, max(start, origin + (last if last is not None else 0))
    modified = info.st_mtime_ns // 1_000_000
    return modified - max(0, last or 0), modified


def _first_time(stream: BinaryIO) -> int | None:
    stream.seek(0)
    text = b""
    while chunk := stream.read(_CHUNK):
        text = text[-64:] + chunk
        found = _TIME.search(text)
        # A number that ends with the chunk may go on in the next one.
        if found is not None and found.end() < len(text):
            return _timestamp(int(found.group(1)))
    found = _TIME.search(text)
    return None if found is None else _timestamp(int(found.group(1)))


def _last_time(stream: BinaryIO, size: int) -> int | None:
    """The largest time in the last chunk that holds any, reading backwards."""
    end, after = size, b""
    while end > 0:
        begin = max(0, end - _CHUNK)
        stream.seek(begin)
        text = stream.read(end - begin) + after
        times = [_timestamp(int(found.group(1))) for found in _TIME.finditer(text)]
        if times:
            return max(times)
        end, after = begin, text[:64]
    return None


def _run(number: int, start: int, end: int, units: list[_Unit], order: dict[int, int]) -> Run:
    units = sorted(units, key=lambda unit: unit.start_ms)
    files = sorted((trace for unit in units for trace in unit.files), key=lambda trace: order[id(trace)])
    known = [unit for unit in units if unit.known]
    unknown_hosts = {unit.files[0].host for unit in units if not unit.known}
    if known:
        first = known[0].files[0]
        command = f"{first.process} (pid {first.pid})" if first.process else f"pid {first.pid}"
    else:
        command = ", ".join(sorted(unknown_hosts)) + " (without identity)"
    pids = frozenset(unit.files[0].pid for unit in known if unit.files[0].pid is not None)
    return Run(number, start, end, tuple(files), len(known) + len(unknown_hosts), command, pids)


def _local_time(unix_ms: int) -> str:
    """Local ISO 8601 to the second, with the zone's offset."""
    try:
        return datetime.fromtimestamp(unix_ms // 1000).astimezone().isoformat(timespec="seconds")
    except (OverflowError, OSError, ValueError):
        return f"{unix_ms} ms"  # a time no date can show (a made-up file)


def _duration(ms: int) -> str:
    """850 ms, 12.3 s, 2 min 05 s, 1 h 02 min."""
    if ms < 1000:
        return f"{ms} ms"
    if ms < 60_000:
        return f"{ms / 1000:.1f} s"
    seconds = ms // 1000
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60:02d} s"
    return f"{seconds // 3600} h {seconds // 60 % 60:02d} min"
