"""Reading trace files back into plain Python objects.

A trace file holds one JSON array of scope records, but only once every
scope of its thread has closed: a thread that ended with scopes open, or a
process that was killed, leaves a file that stops in the middle. The writer
puts one element or member on each line, so this reader goes line by line,
never holding more of the file than one line, and keeps everything that was
written whole:

    [                                    top-level array
      {                                  a scope's enter record ...
        "invoker": "load",
        "file": "app.py",
        "line": 12,
        "ts_enter": 0,
        "args": "load config",
        "events": [                      ... its instant records and child scopes
          { "ts": 0, "invoker": "load", "file": "app.py", "line": 12, "args": "3 keys" }
        ],
        "ts_exit": 0                     its exit record
      }
    ,                                    between two top-level scopes
    ...
    ]

A scope is kept once its enter record is whole (up to its "args" line); it
comes back with ``ts_exit`` None when its exit record is missing. An instant
record is kept once its line is whole. A last line without its line end is
dropped: it may have been cut anywhere. Bytes that cannot come from the
writer raise TraceFormatError naming the file and line.

A thread whose file could not be opened at its first scope (its name was
taken by a directory, say) tries again on every later operation, and once
it succeeds it writes from where it is: the file then begins inside scopes
whose enter records were never written, without the "[" of the array. Such
a file is read too. Its records and the scopes whose enter records it holds
are kept, at the depth they have in the file (the scopes around them are
unknown); the closing lines of the scopes whose enter is not in the file
("],", "ts_exit", "}") are passed over. A file that begins with anything
else than a line the writer can begin a write with is not a trace.

Texts are decoded as UTF-8; bytes that are not valid UTF-8 (possible only
when a program logged ``bytes``) become U+FFFD.

iter_trace streams a file: its events one at a time in file order, holding
only the scopes still open, so that tools can read traces larger than
memory. read_trace_events builds the whole tree from it.

Where the writer kept a companion file of precise times beside the trace
(vorn.reading.precise_times), each enter, exit and record also gets its time in
nanoseconds (``ts_enter_ns``, ``ts_exit_ns``, ``ts_ns``); None where there
is none. The millisecond fields stay as the file has them.

The lines are read by vorn.reading._native, the package's own extension,
in large blocks; it also gives the tools that read whole files (summary,
export) what they need of a file in one pass, without a Python object per
scope. Integers past 64 bits, which the writer never writes, are refused
like any other text it cannot have written, and an escaped surrogate
without its other half reads as U+FFFD.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Generator, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Final, Literal, NamedTuple

from vorn.reading import _native
from vorn.reading.precise_times import expected_of, open_precise_times, warn

__all__ = [
    "ENTER",
    "EXIT",
    "RECORD",
    "Instant",
    "ReadPoint",
    "Scope",
    "Span",
    "TraceEvent",
    "TraceFormatError",
    "begins_like_a_trace",
    "iter_trace",
    "pair_spans",
    "iter_trace_from",
    "read_spans",
    "read_trace",
    "read_trace_events",
    "walk",
]


@dataclass(frozen=True)
class Instant:
    """A record written by ``log``: its time, the identity of the scope it
    was logged on, and its message. ``ts_ns`` is its precise time from the
    file's companion, nanoseconds since the same origin as ``ts`` (which
    is ``ts_ns // 1_000_000``), None without one; like every precise time
    it takes no part in comparisons: a record reads back equal with or
    without its companion."""

    ts: int
    invoker: str
    file: str
    line: int
    args: str
    ts_ns: int | None = field(default=None, compare=False)


@dataclass
class Scope:
    """A scope: its identity, message, enter and exit times (``ts_exit`` is
    None when the scope never closed) and its instant records and child
    scopes in the order they happened. ``ts_enter_ns`` and ``ts_exit_ns``
    are the precise times from the file's companion, in nanoseconds
    (``ts_enter == ts_enter_ns // 1_000_000``), None where there is none."""

    invoker: str
    file: str
    line: int
    ts_enter: int
    ts_exit: int | None
    args: str
    events: list[Scope | Instant] = field(default_factory=list)
    ts_enter_ns: int | None = field(default=None, compare=False)
    ts_exit_ns: int | None = field(default=None, compare=False)


class TraceFormatError(ValueError):
    """A line of a trace file that the trace writer cannot have written."""

    def __init__(self, path: str, line: int, reason: str) -> None:
        super().__init__(f"{path}:{line}: {reason}")
        self.path = path
        self.line = line
        self.reason = reason


ENTER: Final = "enter"
RECORD: Final = "record"
EXIT: Final = "exit"


class TraceEvent(NamedTuple):
    """One step of a trace file in file order: a scope's enter (once its
    enter record is whole), an instant record, or a scope's exit. `depth`
    counts the scopes around the item (0 at the top level); an exit has the
    depth of its enter. The Scope of an enter and of its exit is the same
    object; its ``events`` stay empty, and its ``ts_exit`` is None until the
    exit. Scopes still open where the file ends exit there, innermost first,
    with ``ts_exit`` None."""

    kind: Literal["enter", "record", "exit"]
    depth: int
    item: Scope | Instant


def iter_trace(path: str | os.PathLike[str], identity: object = None) -> Generator[TraceEvent, None, None]:
    """The events of the trace file at `path`, complete or cut short, one at
    a time in file order. Holds one line of the file and the scopes open at
    it, however large the file; raises TraceFormatError (naming the file and
    line) when it reaches bytes the writer cannot have written, after
    yielding every event before them.

    The precise times come from the companion beside the file (X.log =>
    X.times, see vorn.reading.precise_times), checked against `identity` (a
    TraceFile or TraceIdentity; by default the file's own attribute)."""
    name = os.fspath(path)
    for event in _read(name, identity, ReadPoint(), False):
        assert not isinstance(event, ReadPoint)
        yield event


@dataclass(frozen=True)
class ReadPoint:
    """A place between two lines at the top level of a trace file, outside
    every scope, where a read can start again: the bytes and lines before
    it, the timed records before it (the next one has companion entry
    `timed`), and what the lines before it said of the file."""

    offset: int = 0
    line: int = 0
    timed: int = 0
    array_started: bool = False
    late: bool = False


def iter_trace_from(path: str | os.PathLike[str], identity: object = None,
                    start: ReadPoint = ReadPoint()) -> Generator[TraceEvent | ReadPoint, None, None]:  # fmt: skip
    """The events of the trace file at `path` from `start` on (as iter_trace
    gives them, `start` a point an earlier read of the same file yielded),
    and after each whole line that leaves the reader at the top level a
    ReadPoint just after it. No point follows the final "]": the writer
    replaces it when the thread writes again."""
    yield from _read(os.fspath(path), identity, start, True)


def begins_like_a_trace(head: bytes) -> bool:
    """Whether a file beginning with `head` (its first line or more) can be
    a trace file: empty, beginning with the "[" of the array, or, for a file
    opened late, with a line the writer can begin a write with."""
    first = head.lstrip(b" \n").split(b"\n", 1)[0]
    return not first or first.startswith(b"[") or first.startswith(_LATE_STARTS)


def read_trace(path: str | os.PathLike[str], identity: object = None) -> list[Scope]:
    """The top-level scopes of the trace file at `path`, complete or cut
    short (`identity` as for iter_trace)."""
    return [item for item in read_trace_events(path, identity) if isinstance(item, Scope)]


def read_trace_events(path: str | os.PathLike[str], identity: object = None) -> list[Scope | Instant]:
    """Like read_trace, but also keeps the instant records that stand outside
    any scope. They occur when a logger's ``log`` was called from a thread on
    which no scope was open: the record lands at the top of that thread's
    file."""
    top: list[Scope | Instant] = []
    # The events lists of the scopes open, the top level first.
    lists: list[list[Scope | Instant]] = [top]
    for kind, _, item in iter_trace(path, identity):
        if kind == RECORD:
            lists[-1].append(item)
        elif kind == ENTER:
            assert isinstance(item, Scope)
            lists[-1].append(item)
            lists.append(item.events)
        else:
            lists.pop()
    return top


def walk(items: Iterable[Scope | Instant], depth: int = 0) -> Iterator[tuple[int, Scope | Instant]]:
    """Every scope and instant record below `items`, in file order, with its
    nesting depth (`depth` for the items themselves). Iterative, so that
    deeply nested traces do not exhaust the recursion limit."""
    stack: list[tuple[int, Iterator[Scope | Instant]]] = [(depth, iter(items))]
    while stack:
        level, children = stack[-1]
        item = next(children, None)
        if item is None:
            stack.pop()
            continue
        yield level, item
        if isinstance(item, Scope):
            stack.append((level + 1, iter(item.events)))


@dataclass(frozen=True)
class Span:
    """A span written by ``vorn.span``: its id, message and asyncio task
    (None outside a task), the times of its begin and end records and where
    they are: the file and the indexes leading to the record, from the
    file's top-level list down through the events of each scope. ``ts_end``
    and ``end`` are None when the span never ended (or its end is in a file
    that was not read); ``raised`` names the exception that left it, as
    "<type>: <message>" or, when the record gives no message, "<type>"."""

    id: str
    message: str
    task: str | None
    ts_begin: int
    ts_end: int | None
    begin: tuple[str, tuple[int, ...]]
    end: tuple[str, tuple[int, ...]] | None
    raised: str | None = None
    ts_begin_ns: int | None = field(default=None, compare=False)  # the records' precise times, where known
    ts_end_ns: int | None = field(default=None, compare=False)


# A span's records:
#   "span 1f.4711 begin: fetch [Task-3]"
#   "span 1f.4711 end: fetch [Task-3] (raised KeyError: 'k')"
#   "span 1f.4711 end: fetch [Task-3] (raised KeyError)"       (older spans: the type only)
# Both the span's message and the exception's may hold anything, brackets,
# parentheses, newlines and " (raised ...)" included: the raised part is
# anchored at the end of the record, and the message is the longest that
# leaves a "[task]" and such an end, so the last " [task] (raised" wins.
# "raised" is the exception as "<type>" or "<type>: <message>"; a type name
# is a dotted run of identifiers (a qualname may hold "<locals>").
_SPAN_TEXT: Final = re.compile(
    r"span (?P<id>[0-9a-f]+\.\d+) (?P<kind>begin|end): (?P<message>.*) \[(?P<task>.*?)\]"
    r"(?: \(raised (?P<raised>(?P<raised_type>[^\W\d][\w.<>]*)(?:: (?P<raised_message>.*))?)\))?",
    re.DOTALL,
)


def read_spans(*paths: str | os.PathLike[str]) -> list[Span]:
    """The spans recorded in these trace files, in the order their begin
    records were read; a span's end may be in any of the files (a span
    that ended on another thread)."""
    found: list[tuple[tuple[int, tuple[int, ...]], Instant, tuple[str, tuple[int, ...]]]] = []
    for number, path in enumerate(paths):
        name = os.fspath(path)
        stack: list[tuple[tuple[int, ...], list[Scope | Instant]]] = [((), read_trace_events(name))]
        while stack:
            where, items = stack.pop()
            for index, item in enumerate(items):
                if isinstance(item, Scope):
                    stack.append(((*where, index), item.events))
                elif item.invoker == "span":
                    position = (*where, index)
                    found.append(((number, position), item, (name, position)))
    # Scopes were read depth-first from the last: order by file, then position.
    found.sort(key=lambda entry: entry[0])
    return pair_spans((item, where) for _, item, where in found)


def pair_spans(records: Iterable[tuple[Instant, tuple[str, tuple[int, ...]]]]) -> list[Span]:
    """The spans of vorn.span's records, each given with where it is (the
    file's name and the record's position), in the order of their begin
    records as given; an end may come before or after its begin, from any
    file. Records that are not a span's begin or end are passed over."""
    begins: dict[str, tuple[re.Match[str], Instant, tuple[str, tuple[int, ...]]]] = {}
    ends: dict[str, tuple[re.Match[str], Instant, tuple[str, tuple[int, ...]]]] = {}
    for item, where in records:
        match = _SPAN_TEXT.fullmatch(item.args) if item.invoker == "span" else None
        if match is not None:
            found = begins if match["kind"] == "begin" else ends
            found.setdefault(match["id"], (match, item, where))
    spans = []
    for span_id, (match, record, begin) in begins.items():
        end = ends.get(span_id)
        spans.append(Span(
            id=span_id, message=match["message"], task=match["task"] or None, ts_begin=record.ts,
            ts_end=None if end is None else end[1].ts, begin=begin, end=None if end is None else end[2],
            raised=None if end is None else end[0]["raised"], ts_begin_ns=record.ts_ns,
            ts_end_ns=None if end is None else end[1].ts_ns,
        ))  # fmt: skip
    return spans


# ---------------------------------------------------------------------------
# The native reader's output, as Python objects.

_UINT64_LIMIT: Final = 1 << 64
_INT64_LIMIT: Final = 1 << 63

# How the first line of a file opened inside scopes can begin: a record or
# an enter, the exit of a scope ("],") or the closing brace held back.
_LATE_STARTS: Final = (b"{", b"],", b"}")

# Events asked of the native reader at a time: few at first, since many
# reads want only the first event or two, then more.
_FIRST_BATCH: Final = 16
_BATCH: Final = 512


def _timestamp(value: int) -> int:
    """Timestamps are written as unsigned 64-bit numbers; a wall clock set
    back before the process's first reading wraps around. Such a value is
    read back as the negative difference it stands for:
    18446744073709551615 => -1."""
    return value - _UINT64_LIMIT if value >= _INT64_LIMIT else value


class NativeSource(NamedTuple):
    """A trace file opened for the native reader: its descriptor, its
    companion's (-1 for none) with the entries its header counts, and the
    function that reports why the companion stops being used. The reader
    takes both descriptors over."""

    fd: int
    companion_fd: int
    entries: int
    warn: Callable[[str], None]


def native_source(path: str | os.PathLike[str], identity: object = None, first: int = 0) -> NativeSource:
    """`path` opened for the native reader, its companion (if one belongs to
    it) from entry `first` on; `identity` as for iter_trace. Raises what
    opening the file raises."""
    path = os.fspath(path)
    with open(path, "rb") as stream:
        fd = os.dup(stream.fileno())
    try:
        precise = open_precise_times(path, None if identity is None else expected_of(path, identity), first)
    except BaseException:
        os.close(fd)
        raise
    if precise is None:
        return NativeSource(fd, -1, 0, _no_warning)
    # The header is checked; the native reader reads the entries from here.
    name, count = precise.name, precise.count
    try:
        companion_fd = os.dup(precise.fileno())
    except BaseException:
        os.close(fd)
        raise
    finally:
        precise.close()
    return NativeSource(fd, companion_fd, count, lambda reason: warn(name, reason))


def _no_warning(reason: str) -> None:
    pass


def format_error(path: str | os.PathLike[str], found: tuple[int, str, bytes | None, str]) -> TraceFormatError:
    """The TraceFormatError of the native reader's (line, reason before the
    text, the text, reason after it)."""
    line, before, text, after = found
    return TraceFormatError(os.fspath(path), line, before + ("" if text is None else _show(text)) + after)


def _read(name: str, identity: object, start: ReadPoint, points: bool
          ) -> Generator[TraceEvent | ReadPoint, None, None]:  # fmt: skip
    """The events of the file from `start` on, and with `points` a ReadPoint
    after each whole line that leaves the reader at the top level."""
    source = native_source(name, identity, start.timed)
    batches = _native.EventBatches(source.fd, source.companion_fd, source.entries, start.timed, source.warn,
                                   start.offset, start.line, start.timed, start.array_started, start.late, points)
    open_scopes: list[Scope] = []
    limit = _FIRST_BATCH
    while True:
        items, error = batches.batch(limit)
        limit = _BATCH
        for item in items:
            kind = item[0]
            if kind == 0:
                _, depth, invoker, file, line, ts_enter, args, ts_enter_ns = item
                scope = Scope(invoker, file, line, ts_enter, None, args, ts_enter_ns=ts_enter_ns)
                open_scopes.append(scope)
                yield TraceEvent(ENTER, depth, scope)
            elif kind == 1:
                _, depth, ts, invoker, file, line, args, ts_ns = item
                yield TraceEvent(RECORD, depth, Instant(ts, invoker, file, line, args, ts_ns))
            elif kind == 2:
                scope = open_scopes.pop()
                scope.ts_exit, scope.ts_exit_ns = item[2], item[3]
                yield TraceEvent(EXIT, item[1], scope)
            else:
                yield ReadPoint(*item[1:])
        if error is not None:
            raise format_error(name, error)
        if not items:
            return


def _show(text: bytes, limit: int = 60) -> str:
    """A line for an error message, shortened: b'x' * 100 => 'xxx...'."""
    shown = text.decode("utf-8", "replace")
    return repr(shown if len(shown) <= limit else shown[:limit] + "...")
