"""Where the time went: scope durations per invoker and message.

    4 trace files: 31 scopes, 17 records

     total ms  count  mean ms  max ms  invoker  message
           12      1     12.0      12  audit    audit vorn_logs/demo_input
            9      7      1.3       3  inspect  inspect stock.py
    ...

    1 scope never closed:
      host vm, thread 28068, entered at 5 ms  work  open one

A scope's time includes the time of the scopes inside it. Scopes that never
closed have no duration and are listed apart.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

from vorn.trace_files import TraceFile, require_trace_files
from vorn.trace_reader import Instant, Scope, read_trace_events, walk

__all__ = ["OpenScope", "Row", "Summary", "format_summary", "summarize", "summary_text"]

INVOKER_WIDTH = 30
MESSAGE_WIDTH = 60


@dataclass
class Row:
    """The closed scopes of one invoker and message."""

    invoker: str
    message: str
    count: int = 0
    total: int = 0
    longest: int = 0

    @property
    def mean(self) -> float:
        return self.total / self.count if self.count else 0.0


@dataclass(frozen=True)
class OpenScope:
    trace: TraceFile
    scope: Scope


@dataclass
class Summary:
    files: int = 0
    scopes: int = 0
    records: int = 0
    rows: list[Row] = field(default_factory=list)  # by total time, longest first
    open_scopes: list[OpenScope] = field(default_factory=list)  # in file order


def summarize(files: Sequence[TraceFile]) -> Summary:
    """Reads `files` and adds up the durations of their closed scopes."""
    rows: dict[tuple[str, str], Row] = {}
    summary = Summary(files=len(files))
    for trace in files:
        for _, item in walk(read_trace_events(trace.path)):
            if isinstance(item, Instant):
                summary.records += 1
                continue
            summary.scopes += 1
            if item.ts_exit is None:
                summary.open_scopes.append(OpenScope(trace, item))
                continue
            # A wall clock set back while the scope ran can make this
            # negative; such a scope counts as taking no time.
            duration = max(0, item.ts_exit - item.ts_enter)
            row = rows.setdefault((item.invoker, item.args), Row(item.invoker, item.args))
            row.count += 1
            row.total += duration
            row.longest = max(row.longest, duration)
    summary.rows = sorted(
        rows.values(), key=lambda row: (-row.total, -row.count, row.invoker, row.message)
    )
    return summary


def format_summary(summary: Summary, limit: int | None = None) -> str:
    """The summary as a terminal table; `limit` keeps the first rows only."""
    closed = summary.scopes - len(summary.open_scopes)
    lines = [
        f"{_count(summary.files, 'trace file')}: {_count(summary.scopes, 'scope')}"
        f", {_count(summary.records, 'record')}",
        "",
    ]
    rows = summary.rows if limit is None else summary.rows[:limit]
    if rows:
        table = [("total ms", "count", "mean ms", "max ms", "invoker", "message")]
        table += [
            (
                str(row.total),
                str(row.count),
                f"{row.mean:.1f}",
                str(row.longest),
                _cut(row.invoker, INVOKER_WIDTH),
                _cut(row.message, MESSAGE_WIDTH),
            )
            for row in rows
        ]
        widths = [max(len(cells[column]) for cells in table) for column in range(6)]
        for cells in table:
            numbers = [cell.rjust(width) for cell, width in zip(cells[:4], widths)]
            texts = [cells[4].ljust(widths[4]), cells[5]]
            lines.append("  ".join(numbers + texts).rstrip())
        if len(rows) < len(summary.rows):
            lines.append(f"... {_count(len(summary.rows) - len(rows), 'more row')}")
    else:
        lines.append(f"no closed scopes ({_count(closed, 'scope')})")
    if summary.open_scopes:
        lines += ["", f"{_count(len(summary.open_scopes), 'scope')} never closed:"]
        for entry in summary.open_scopes:
            scope = entry.scope
            lines.append(
                f"  host {entry.trace.host}, thread {entry.trace.thread}, entered at "
                f"{scope.ts_enter} ms  {_cut(scope.invoker, INVOKER_WIDTH)}  "
                f"{_cut(scope.args, MESSAGE_WIDTH)}".rstrip()
            )
    return "\n".join(lines) + "\n"


def summary_text(paths: Iterable[str | os.PathLike[str]], limit: int | None = None) -> str:
    """The formatted summary of the trace files found under `paths`; raises
    ValueError when there are none."""
    files = require_trace_files(paths)
    return format_summary(summarize(files), limit)


def _count(number: int, noun: str) -> str:
    """_count(1, "scope") => "1 scope"; _count(2, "scope") => "2 scopes"."""
    return f"{number} {noun}{'' if number == 1 else 's'}"


def _is_control(character: str) -> bool:
    code = ord(character)
    return code < 0x20 or 0x7F <= code < 0xA0


def _cut(text: str, width: int) -> str:
    """One line of at most `width` characters: control characters become
    spaces, so that a message can neither break the table nor send escape
    sequences to the terminal; "abcdef", 4 => "abc…"; "a\x1b[31m" => "a [31m"."""
    flat = "".join(" " if _is_control(ch) else ch for ch in text)
    return flat if len(flat) <= width else flat[: width - 1] + "…"
