"""Where the time went: scope and span durations per invoker and message.

    4 trace files: 31 scopes, 17 records, 4 spans

    total ms  self ms  count  mean ms  p50 ms  p95 ms  max ms  raised  invoker  message
        12.4     3.10      1     12.4    12.4    12.4    12.4          audit    audit vorn_logs/demo_input
        9.00     9.00      7     1.29    1.02    3.00    3.00       1  inspect  inspect stock.py
        30.2        -      3     10.1    10.0    20.1    20.1          span     fetch N
    ...

    1 scope never closed:
      host vm, app.py -v (pid 28068), MainThread 28068, entered at 5 ms  work  open one

A row holds the scopes of one invoker and message, or the spans
(vorn.span) of one message: its closed ones counted, their total, mean,
p50, p95 and longest duration, and how many raised (of the closed ones) or
never closed. A scope's time includes the time of the scopes inside it;
its self time is its time less that of the scopes directly inside it
(never below zero), so the self times of a thread add up to its busy time.
A span has no self time: spans cross awaits and overlap each other and
any scope. Percentiles are nearest-rank (vorn.outputs.percentiles): p95 is the
duration that 95 % of the row's closed scopes do not exceed, always one of
the durations measured.

Numbers that stand as words in messages are folded by default, so that
"item 12" and "item 13" add up as "item N"; rows can group by invoker or
by message alone, and be split by process. Durations are measured to the
microsecond where the files have precise times, in whole milliseconds
otherwise. A scope raised when its last record says so (vorn.reading.scope_outcome);
a span raised when its end record says so. Scopes that never closed have no
duration and are also listed apart, entered at their time on the timeline;
spans that never ended have none either. Where the files carry their clock
origins, the processes are listed by host, each with the time its clock
started on the timeline and its threads. The span logger's own thread (its
file holds nothing but its scope "vorn spans", open for the whole run) is
left out everywhere: it did no work.

The files are read as they stream: what is held is a row per distinct
invoker and message (with 8 bytes per closed scope, for the percentiles),
the scopes open at the line being read, the spans of the process being
read that have not both their records yet, and the scopes that never
closed.
"""

from __future__ import annotations

import re
from array import array
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Final

from vorn.outputs.percentiles import nearest_ranks
from vorn.reading.precise_times import NS_PER_MS
from vorn.reading import _native
from vorn.reading.scope_outcome import raised_by_record
from vorn.reading.span_events import HOLDER_FILE, HOLDER_SCOPE, SPAN_INVOKER
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_reader import _SPAN_TEXT as SPAN_TEXT  # the records' grammar, as the exports parse it
from vorn.reading.terminal_text import count, printable
from vorn.reading.trace_reader import ENTER, Instant, Scope, format_error, iter_trace, native_source
from vorn.reading.trace_timeline import Process, Timeline, timeline_of

__all__ = ["GROUPINGS", "OpenScope", "Row", "Summary", "format_summary", "grouping", "shown_rows", "summarize"]

WIDTH: Final = 100  # of the table, where the texts can be cut to fit
INVOKER_WIDTH: Final = 30
MESSAGE_WIDTH: Final = 60
# What the texts keep at least, however wide the numbers: the invoker and
# message together, and the message alone where they must share less.
TEXT_WIDTH_LEAST: Final = 20
MESSAGE_WIDTH_LEAST: Final = 12
THREADS_SHOWN: Final = 6  # per process, in the list of processes
GROUPINGS: Final = ("both", "invoker", "message", "process")
SCOPE: Final = "scope"
SPAN: Final = "span"

# A number standing as a word: "item 12", "took 3.5 s", "part 2/7"; not
# the digits inside a name ("md5", "x86_64", "\x1b[31m").
_NUMBER = re.compile(r"\b\d+(?:\.\d+)?\b")


def fold_numbers(message: str) -> str:
    """fold_numbers("item 12 of 40") => "item N of N"."""
    return _NUMBER.sub("N", message)


def grouping(choices: Iterable[str]) -> tuple[str, bool]:
    """What rows group by, from the --by options given: ("both", "invoker"
    or "message"; whether split by process).
      [] => ("both", False); ["process", "invoker"] => ("invoker", True);
      ["invoker", "message"] => ("both", False)"""
    chosen = set(choices)
    unknown = chosen - set(GROUPINGS)
    if unknown:
        raise ValueError(f"cannot group by {sorted(unknown)[0]!r}: one of {', '.join(GROUPINGS)}")
    alone = chosen & {"invoker", "message"}
    return (alone.pop() if len(alone) == 1 and "both" not in chosen else "both"), "process" in chosen


@dataclass
class Row:
    """The scopes of one invoker and message, or the spans of one message
    (`kind` "span"), of one process where rows are split by process;
    durations in nanoseconds, measured where the files have precise times
    and whole milliseconds otherwise."""

    invoker: str
    message: str
    kind: str = SCOPE
    process: str = ""  # "" unless rows are split by process
    count: int = 0  # closed
    total_ns: int = 0
    self_ns: int = 0  # spans have none
    longest_ns: int = 0
    unmeasured: int = 0  # of the closed, those without precise times
    raised: int = 0  # of the closed
    never_closed: int = 0
    durations: array[float] = field(default_factory=lambda: array("d"), repr=False)
    _ranked: list[float] | None = field(default=None, repr=False)

    def merge(self, group: tuple[str, str, int, int, int, int, int, int, int, bytes]) -> Row:
        """Adds the scopes of one file's invoker and message, as the native
        reader adds them up (the durations packed doubles, in ns)."""
        _, _, count, total_ns, self_ns, longest_ns, unmeasured, raised, never_closed, durations = group
        self.count += count
        self.total_ns += total_ns
        self.self_ns += self_ns
        self.longest_ns = max(self.longest_ns, longest_ns)
        self.unmeasured += unmeasured
        self.raised += raised
        self.never_closed += never_closed
        self.durations.frombytes(durations)
        self._ranked = None
        return self

    def add(self, duration_ns: int, self_ns: int, measured: bool, raised: bool) -> None:
        self.count += 1
        self.total_ns += duration_ns
        self.self_ns += self_ns
        self.longest_ns = max(self.longest_ns, duration_ns)
        self.unmeasured += not measured
        self.raised += raised
        self.durations.append(duration_ns)
        self._ranked = None

    @property
    def total(self) -> float:
        """In milliseconds."""
        return self.total_ns / NS_PER_MS

    @property
    def self_time(self) -> float | None:
        return None if self.kind == SPAN else self.self_ns / NS_PER_MS

    @property
    def mean(self) -> float | None:
        return self.total / self.count if self.count else None

    @property
    def longest(self) -> float | None:
        return self.longest_ns / NS_PER_MS if self.count else None

    @property
    def p50(self) -> float | None:
        return self._percentiles()[0]

    @property
    def p95(self) -> float | None:
        return self._percentiles()[1]

    def _percentiles(self) -> list[float | None]:
        if not self.durations:
            return [None, None]
        if self._ranked is None:
            self._ranked = [ns / NS_PER_MS for ns in nearest_ranks(self.durations, (50, 95))]
        return list(self._ranked)


@dataclass(frozen=True)
class OpenScope:
    trace: TraceFile
    scope: Scope
    where: str = ""  # "host vm, app.py (pid 4242), MainThread 4242"
    entered: int = 0  # on the timeline, ms
    process: str = ""  # as process_name() names it


@dataclass
class Summary:
    files: int = 0
    scopes: int = 0
    records: int = 0
    spans: int = 0
    rows: list[Row] = field(default_factory=list)  # by total time, longest first
    open_scopes: list[OpenScope] = field(default_factory=list)  # in file order
    timeline: Timeline | None = None
    by: str = "both"  # what the rows group by: "both", "invoker" or "message"
    by_process: bool = False
    measured: bool = False  # some duration came from precise times: shown to the microsecond
    traces: list[TraceFile] = field(default_factory=list)  # those read: the span logger's left out


@dataclass
class _Spans:
    """The span records of one process, paired by span id as they come: an
    end may come before its begin, from another thread's file. Only those
    still waiting for their other record are held."""

    begins: dict[str, tuple[str, Instant]] = field(default_factory=dict)  # id: (message, record)
    ends: dict[str, tuple[Instant, bool]] = field(default_factory=dict)  # id: (record, raised)


def summarize(files: Sequence[TraceFile], by: str = "both", fold: bool = True,
              by_process: bool = False) -> Summary:  # fmt: skip
    """Reads `files` and adds up the durations of their scopes and spans,
    per invoker and message (`by` "both"), per invoker or per message,
    messages with their numbers folded unless not `fold`, and split by
    process where `by_process`."""
    if by not in GROUPINGS[:3]:
        raise ValueError(f"cannot group by {by!r}: one of {', '.join(GROUPINGS[:3])}")
    traces = [trace for trace in files if not _holds_span_logger(trace)]
    timeline = timeline_of(traces)
    summary = Summary(files=len(traces), timeline=timeline, by=by, by_process=by_process, traces=traces)
    reader = _Reader(summary, timeline, fold)
    order: dict[str, int] = {}  # of the processes, where rows are split by them
    for process in timeline.processes:
        name = process_name(timeline, process) if by_process else ""
        order.setdefault(name, len(order))
        spans = _Spans()
        for trace in process.threads:
            reader.add_file(process, name, trace, spans)
        for message, _ in spans.begins.values():
            reader.row(SPAN, SPAN_INVOKER, message, name).never_closed += 1
    summary.rows = sorted(reader.rows.values(), key=lambda row: (order[row.process], -row.total_ns, -row.count,
                                                                 -row.never_closed, row.kind, row.invoker,
                                                                 row.message))  # fmt: skip
    return summary


def shown_rows(summary: Summary, limit: int | None) -> list[Row]:
    """The first `limit` rows, or of each process where rows are split by
    process; all of them for None."""
    if limit is None:
        return summary.rows
    if not summary.by_process:
        return summary.rows[:limit]
    taken: dict[str, int] = {}
    shown = []
    for row in summary.rows:
        taken[row.process] = taken.get(row.process, 0) + 1
        if taken[row.process] <= limit:
            shown.append(row)
    return shown


def process_name(timeline: Timeline, process: Process) -> str:
    """The process as the timeline names it, with its host where there are
    several: "app.py -v (pid 4242)", "app.py (pid 7) on build02"."""
    label = timeline.process_label(process)
    return f"{label} on {process.host}" if len(timeline.hosts) > 1 and process.pid is not None else label


def _holds_span_logger(trace: TraceFile) -> bool:
    """Whether `trace` is the file of the span logger's private thread: its
    first event enters the holder's scope."""
    events = iter_trace(trace.path, trace)
    try:
        item = next(events, None)
    finally:
        events.close()
    return item is not None and item.kind == ENTER and isinstance(item.item, Scope) and (
        item.item.args == HOLDER_SCOPE and item.item.invoker == SPAN_INVOKER and item.item.file == HOLDER_FILE)


class _Reader:
    """Reads trace files into the rows of a summary, one file at a time."""

    def __init__(self, summary: Summary, timeline: Timeline, fold: bool) -> None:
        self.summary = summary
        self.timeline = timeline
        self.fold = fold
        self.rows: dict[tuple[str, str, str, str], Row] = {}

    def row(self, kind: str, invoker: str, message: str, process: str) -> Row:
        by = self.summary.by
        invoker = invoker if by != "message" else ""
        message = "" if by == "invoker" else fold_numbers(message) if self.fold else message
        key = (kind, process, invoker, message)
        row = self.rows.get(key)
        if row is None:
            row = self.rows[key] = Row(invoker, message, kind, process)
        return row

    def add_file(self, process: Process, name: str, trace: TraceFile, spans: _Spans) -> None:
        """Adds one file's scopes, records and span records; `name` is its
        process's where rows are split by process, "" otherwise."""
        summary, timeline = self.summary, self.timeline
        known = process.label if process.pid is not None else None
        where = ", ".join([f"host {trace.host}", *([known] if known else []), timeline.thread_label(trace)])
        # One pass of the native reader adds up the file's scopes per
        # invoker and message; the groups are then folded into the rows.
        source = native_source(trace.path, trace)
        totals, error = _native.summarize_file(source.fd, source.companion_fd, source.entries, source.warn)
        if error is not None:
            raise format_error(trace.path, error)
        assert totals is not None
        scopes, records, measured, groups, never_closed, span_records, unsure = totals
        summary.scopes += scopes
        summary.records += records
        summary.measured |= measured
        rows = [self.row(SCOPE, group[0], group[1], name).merge(group) for group in groups]
        for group, text in unsure:  # a type name beyond ASCII: judged by the regular expression
            rows[group].raised += raised_by_record(Instant(0, "", "", 0, text)) is not None
        for ts, invoker, file, line, args, ts_ns in span_records:
            self._span_record(Instant(ts, invoker, file, line, args, ts_ns), name, spans)
        found = []
        for invoker, file, line, ts_enter, args, ts_enter_ns in never_closed:
            scope = Scope(invoker, file, line, ts_enter, None, args, ts_enter_ns=ts_enter_ns)
            entered = ts_enter + timeline.offset(trace)
            found.append(OpenScope(trace, scope, where, entered, process_name(timeline, process)))
        # The file ends inside them, and their exits come innermost first.
        summary.open_scopes += reversed(found)

    def _span_record(self, record: Instant, name: str, spans: _Spans) -> None:
        match = SPAN_TEXT.fullmatch(record.args)
        if match is None:
            return
        span_id = match["id"]
        if match["kind"] == "begin":
            self.summary.spans += 1
            end = spans.ends.pop(span_id, None)
            if end is None:
                spans.begins.setdefault(span_id, (match["message"], record))
            else:
                self._span(match["message"], record, *end, name)
        elif span_id in spans.begins:
            message, begin = spans.begins.pop(span_id)
            self._span(message, begin, record, match["raised"] is not None, name)
        else:
            spans.ends.setdefault(span_id, (record, match["raised"] is not None))

    def _span(self, message: str, begin: Instant, end: Instant, raised: bool, name: str) -> None:
        duration, measured = _duration(begin.ts, end.ts, begin.ts_ns, end.ts_ns)
        self.summary.measured |= measured
        self.row(SPAN, SPAN_INVOKER, message, name).add(duration, 0, measured, raised)


def _duration(start_ms: int, end_ms: int, start_ns: int | None, end_ns: int | None) -> tuple[int, bool]:
    """Nanoseconds from start to end, and whether they were measured. A
    wall clock set back meanwhile can make it negative: such a stretch
    counts as taking no time."""
    if start_ns is not None and end_ns is not None:
        return max(0, end_ns - start_ns), True
    return max(0, end_ms - start_ms) * NS_PER_MS, False


# ---------------------------------------------------------------------------
# The table.


def format_summary(summary: Summary, limit: int | None = None) -> str:
    """The summary as a terminal table of at most WIDTH columns (but for
    very wide numbers); `limit` keeps the first rows only."""
    closed = summary.scopes - len(summary.open_scopes)
    spans = f", {count(summary.spans, 'span')}" if summary.spans else ""
    lines = [
        f"{count(summary.files, 'trace file')}: {count(summary.scopes, 'scope')}"
        f", {count(summary.records, 'record')}{spans}",
        "",
    ]
    timeline = summary.timeline
    if timeline is not None and timeline.origin_ms is not None:
        lines += _process_lines(timeline) + [""]
    rows = shown_rows(summary, limit)
    if rows:
        lines += _table(summary, rows)
        if len(rows) < len(summary.rows):
            lines.append(f"... {count(len(summary.rows) - len(rows), 'more row')}")
        if summary.measured and any(row.unmeasured for row in rows):
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


def _table(summary: Summary, rows: list[Row]) -> list[str]:
    """The rows' lines, the header first. The columns "raised" and
    "unclosed" are there only when some row has such scopes; the texts are
    cut so that a line fits in WIDTH columns. Rows split by process come
    under a line naming their process, the processes in the order of their
    first row."""
    marked = summary.measured and any(row.unmeasured for row in rows)
    numbers: list[tuple[str, Callable[[Row], str]]] = [
        ("total ms", lambda row: _ms(row.total, row) + ("" if not marked else "*" if row.unmeasured else " ")),
        ("self ms", lambda row: _ms(row.self_time, row)),
        ("count", lambda row: f"{row.count:,}"),
        ("mean", lambda row: _ms(row.mean, row)),
        ("p50", lambda row: _ms(row.p50, row)),
        ("p95", lambda row: _ms(row.p95, row)),
        ("max", lambda row: _ms(row.longest, row)),
    ]
    if any(row.raised for row in rows):
        numbers.append(("raised", lambda row: f"{row.raised:,}" if row.raised else ""))
    if any(row.never_closed for row in rows):
        numbers.append(("unclosed", lambda row: f"{row.never_closed:,}" if row.never_closed else ""))
    cells = [[header for header, _ in numbers]] + [[cell(row) for _, cell in numbers] for row in rows]
    widths = [max(len(line[column]) for line in cells) for column in range(len(numbers))]
    room = max(WIDTH - sum(width + 2 for width in widths), TEXT_WIDTH_LEAST)
    if summary.by == "both":
        invokers = [_cut(row.invoker, max(min(INVOKER_WIDTH, room - TEXT_WIDTH_LEAST - 2), 8)) for row in rows]
        width = max(len("invoker"), *(len(invoker) for invoker in invokers))
        texts = [["invoker".ljust(width) + "  message"]] + [
            [invoker.ljust(width) + "  " + _cut(row.message, max(room - width - 2, MESSAGE_WIDTH_LEAST))]
            for invoker, row in zip(invokers, rows)]  # fmt: skip
    else:
        texts = [[summary.by]] + [[_cut(row.invoker if summary.by == "invoker" else row.message, room)] for row in rows]
    lines: list[str] = []
    process = None
    for index, (line, text) in enumerate(zip(cells, texts)):
        if summary.by_process and index and rows[index - 1].process != process:
            process = rows[index - 1].process
            lines.append(_cut(process, WIDTH))
        lines.append("  ".join([cell.rjust(width) for cell, width in zip(line, widths)] + text).rstrip())
    return lines


def _ms(value: float | None, row: Row) -> str:
    """A duration in milliseconds for people: three significant digits at
    least, thousands grouped, whole milliseconds bare where the row has no
    precise times; "-" for none.
      0.15 => "0.150"; 1.5 => "1.50"; 12.34 => "12.3"; 1234.5 => "1,234"."""
    if value is None:
        return "-"
    if value == 0 or value >= 100 or (row.unmeasured == row.count and value == int(value)):
        return f"{value:,.0f}"
    return f"{value:.3f}" if value < 1 else f"{value:.2f}" if value < 10 else f"{value:.1f}"


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
