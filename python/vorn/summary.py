"""Where the time went: scope durations per invoker and message.

    4 trace files: 31 scopes, 17 records

     total ms  count  mean ms  max ms  invoker  message
           12      1     12.0      12  audit    audit vorn_logs/demo_input
            9      7      1.3       3  inspect  inspect stock.py
    ...

    1 scope never closed:
      host vm, app.py -v (pid 28068), MainThread 28068, entered at 5 ms  work  open one

Numbers that stand as words in messages are folded by default, so that
"item 12" and "item 13" add up as "item N"; rows can group by invoker or
by message alone. A scope's time includes the time of the scopes inside it.
Durations are measured to the microsecond where the files have precise
times ("0.150" ms), in whole milliseconds otherwise. Scopes that never
closed have no duration and are listed apart, entered at their time on the
timeline. Where the files carry their clock origins, the processes are
listed by host, each with the time its clock started on the timeline and
its threads.

The files are read as they stream: what is held is a row per distinct
invoker and message, the scopes open at the line being read, and the
scopes that never closed.
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from vorn.precise_times import NS_PER_MS
from vorn.trace_archive import opened_trace_files
from vorn.trace_files import TraceFile
from vorn.terminal_text import count, printable
from vorn.trace_reader import ENTER, EXIT, Scope, iter_trace
from vorn.trace_timeline import Timeline, timeline_of

__all__ = ["OpenScope", "Row", "Summary", "format_summary", "summarize", "summary_text"]

INVOKER_WIDTH = 30
MESSAGE_WIDTH = 60
THREADS_SHOWN = 6  # per process, in the list of processes
GROUPINGS = ("both", "invoker", "message")

# A number standing as a word: "item 12", "took 3.5 s", "part 2/7"; not
# the digits inside a name ("md5", "x86_64", "\x1b[31m").
_NUMBER = re.compile(r"\b\d+(?:\.\d+)?\b")


def fold_numbers(message: str) -> str:
    """fold_numbers("item 12 of 40") => "item N of N"."""
    return _NUMBER.sub("N", message)


@dataclass
class Row:
    """The closed scopes of one invoker and message; durations in
    nanoseconds, measured where the files have precise times and whole
    milliseconds otherwise."""

    invoker: str
    message: str
    count: int = 0
    total_ns: int = 0
    longest_ns: int = 0
    unmeasured: int = 0  # of the scopes, those without precise times

    @property
    def total(self) -> float:
        """In milliseconds."""
        return self.total_ns / NS_PER_MS

    @property
    def longest(self) -> float:
        return self.longest_ns / NS_PER_MS

    @property
    def mean(self) -> float:
        return self.total / self.count if self.count else 0.0


@dataclass(frozen=True)
class OpenScope:
    trace: TraceFile
    scope: Scope
    where: str = ""  # "host vm, app.py (pid 4242), MainThread 4242"
    entered: int = 0  # on the timeline, ms


@dataclass
class Summary:
    files: int = 0
    scopes: int = 0
    records: int = 0
    rows: list[Row] = field(default_factory=list)  # by total time, longest first
    open_scopes: list[OpenScope] = field(default_factory=list)  # in file order
    timeline: Timeline | None = None
    by: str = "both"  # what the rows group by: one of GROUPINGS
    measured: bool = False  # some duration came from precise times: shown to the microsecond


def summarize(files: Sequence[TraceFile], by: str = "both", fold: bool = True) -> Summary:
    """Reads `files` and adds up the durations of their closed scopes, per
    invoker and message (`by` "both"), per invoker or per message, messages
    with their numbers folded unless not `fold`."""
    if by not in GROUPINGS:
        raise ValueError(f"cannot group by {by!r}: one of {', '.join(GROUPINGS)}")
    rows: dict[tuple[str, str], Row] = {}
    timeline = timeline_of(files)
    summary = Summary(files=len(files), timeline=timeline, by=by)
    for process in timeline.processes:
        for trace in process.threads:
            _add_file(summary, rows, timeline, process.label if process.pid is not None else None, trace, fold)
    summary.rows = sorted(
        rows.values(), key=lambda row: (-row.total, -row.count, row.invoker, row.message)
    )
    return summary


def _add_file(summary: Summary, rows: dict[tuple[str, str], Row], timeline: Timeline,
              process: str | None, trace: TraceFile, fold: bool) -> None:  # fmt: skip
    """Adds one file's scopes and records; `process` names its process in
    the list of open scopes (None for files without identity)."""
    where = ", ".join([f"host {trace.host}", *([process] if process else []), timeline.thread_label(trace)])
    never_closed: list[OpenScope] = []
    for kind, _, item in iter_trace(trace.path, trace):
        if kind == ENTER:
            summary.scopes += 1
            continue
        if kind != EXIT:
            summary.records += 1
            continue
        assert isinstance(item, Scope)
        if item.ts_exit is None:
            entered = item.ts_enter + timeline.offset(trace)
            never_closed.append(OpenScope(trace, item, where, entered))
            continue
        # A wall clock set back while the scope ran can make this
        # negative; such a scope counts as taking no time.
        unmeasured = 0
        if item.ts_enter_ns is not None and item.ts_exit_ns is not None:
            duration = max(0, item.ts_exit_ns - item.ts_enter_ns)
            summary.measured = True
        else:
            duration = max(0, item.ts_exit - item.ts_enter) * NS_PER_MS
            unmeasured = 1
        invoker = item.invoker if summary.by != "message" else ""
        message = "" if summary.by == "invoker" else fold_numbers(item.args) if fold else item.args
        row = rows.setdefault((invoker, message), Row(invoker, message))
        row.count += 1
        row.total_ns += duration
        row.unmeasured += unmeasured
        row.longest_ns = max(row.longest_ns, duration)
    # The file ends inside them, and their exits come innermost first.
    summary.open_scopes += reversed(never_closed)


def format_summary(summary: Summary, limit: int | None = None) -> str:
    """The summary as a terminal table; `limit` keeps the first rows only."""
    closed = summary.scopes - len(summary.open_scopes)
    lines = [
        f"{count(summary.files, 'trace file')}: {count(summary.scopes, 'scope')}"
        f", {count(summary.records, 'record')}",
        "",
    ]
    timeline = summary.timeline
    if timeline is not None and timeline.origin_ms is not None:
        lines += _process_lines(timeline) + [""]
    rows = summary.rows if limit is None else summary.rows[:limit]
    if rows:
        table = [("total ms", "count", "mean ms", "max ms", "invoker", "message")]
        if summary.by == "invoker":
            table = [("total ms", "count", "mean ms", "max ms", "invoker", "")]
        elif summary.by == "message":
            table = [("total ms", "count", "mean ms", "max ms", "message", "")]
        # Measured durations to the microsecond; whole milliseconds as
        # before when no file has precise times. Among measured ones, a row
        # with scopes that have none is marked.
        total, mean, longest = ("{:.3f}", "{:.3f}", "{:.3f}") if summary.measured else ("{:.0f}", "{:.1f}", "{:.0f}")
        marked = summary.measured and any(row.unmeasured for row in rows)
        table += [
            (
                total.format(row.total) + ("" if not marked else "*" if row.unmeasured else " "),
                str(row.count),
                mean.format(row.mean),
                longest.format(row.longest),
                _cut(row.invoker, INVOKER_WIDTH) if summary.by != "message" else _cut(row.message, MESSAGE_WIDTH),
                _cut(row.message, MESSAGE_WIDTH) if summary.by == "both" else "",
            )
            for row in rows
        ]
        widths = [max(len(cells[column]) for cells in table) for column in range(6)]
        for cells in table:
            numbers = [cell.rjust(width) for cell, width in zip(cells[:4], widths)]
            texts = [cells[4].ljust(widths[4]), cells[5]]
            lines.append("  ".join(numbers + texts).rstrip())
        if len(rows) < len(summary.rows):
            lines.append(f"... {count(len(summary.rows) - len(rows), 'more row')}")
        if marked:
            lines.append("* in whole milliseconds for the scopes without precise times")
    else:
        lines.append(f"no closed scopes ({count(closed, 'scope')})")
    if summary.open_scopes:
        lines += ["", f"{count(len(summary.open_scopes), 'scope')} never closed:"]
        for entry in summary.open_scopes:
            scope = entry.scope
            where = entry.where or f"host {entry.trace.host}, thread {entry.trace.thread}"
            lines.append(
                f"  {_cut(where, 2 * MESSAGE_WIDTH)}, entered at "
                f"{entry.entered if entry.where else scope.ts_enter} ms  {_cut(scope.invoker, INVOKER_WIDTH)}  "
                f"{_cut(scope.args, MESSAGE_WIDTH)}".rstrip()
            )
    return "\n".join(lines) + "\n"


def summary_text(paths: Iterable[str | os.PathLike[str]], limit: int | None = None,
                 by: str = "both", fold: bool = True, run: str | None = "all") -> str:  # fmt: skip
    """The formatted summary of the trace files found under `paths`; raises
    ValueError when there are none."""
    with opened_trace_files(paths, run, "summary") as files:
        return format_summary(summarize(files, by, fold), limit)


def _process_lines(timeline: Timeline) -> list[str]:
    """The processes by host, each with where its clock starts on the
    timeline and its threads (the first few)."""
    processes = timeline.processes
    lines = [f"{count(len(processes), 'process')} on {count(len(timeline.hosts), 'host')}, "
             f"times in ms from {timeline.start_time}:"]  # fmt: skip
    for host, host_processes in timeline.hosts:
        lines.append(f"  host {_cut(host, INVOKER_WIDTH)}")
        for process in host_processes:
            threads = [_cut(timeline.thread_label(trace), INVOKER_WIDTH)
                       for trace in process.threads[:THREADS_SHOWN]]  # fmt: skip
            if len(process.threads) > THREADS_SHOWN:
                threads.append(f"{len(process.threads) - THREADS_SHOWN} more")
            origin = process.threads[0].clock_origin_ms
            start = "" if origin is None else f", from {timeline.offset(process.threads[0])} ms"
            lines.append(f"    {_cut(timeline.process_label(process), 2 * INVOKER_WIDTH)}{start}: "
                         + ", ".join(threads))  # fmt: skip
    return lines


def _cut(text: str, width: int) -> str:
    """One line of at most `width` characters: control characters become
    spaces, so that a message can neither break the table nor send escape
    sequences to the terminal; "abcdef", 4 => "abc…"; "a\x1b[31m" => "a [31m"."""
    flat = printable(text)
    return flat if len(flat) <= width else flat[: width - 1] + "…"
