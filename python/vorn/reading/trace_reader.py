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
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Generator, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Final, Literal, NamedTuple

from vorn.reading.precise_times import PreciseTimes, expected_of, open_precise_times

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
    with open(name, "rb") as stream:
        precise = open_precise_times(name, None if identity is None else expected_of(name, identity))
        try:
            yield from _events(name, stream, precise)
        finally:
            if precise is not None:
                precise.close()


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
    name = os.fspath(path)
    with open(name, "rb") as stream:
        stream.seek(start.offset)
        expected = None if identity is None else expected_of(name, identity)
        precise = open_precise_times(name, expected, start.timed)
        try:
            parser = _Parser(name, precise)
            parser.array_started, parser.late, parser.timed = start.array_started, start.late, start.timed
            offset = start.offset
            for parser.number, raw in enumerate(stream, start=start.line + 1):
                if not raw.endswith(b"\n"):
                    yield from _last_line(parser, raw)
                    break
                offset += len(raw)
                event = parser.feed(raw[:-1].lstrip(b" "))
                if event is not None:
                    yield event
                if not (parser.open or parser.orphan or parser.array_ended):
                    yield ReadPoint(offset, parser.number, parser.timed, parser.array_started, parser.late)
            yield from _never_closed(parser)
        finally:
            if precise is not None:
                precise.close()


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
# The line grammar.

_UINT64_LIMIT: Final = 1 << 64
_INT64_LIMIT: Final = 1 << 63

_MEMBER_ORDER: Final = ("invoker", "file", "line", "ts_enter", "args")
_MEMBER_PREFIXES: Final = tuple(f'"{key}": '.encode() for key in _MEMBER_ORDER)
_TS_EXIT_LINE: Final = re.compile(rb'"ts_exit": (\d{1,20})')
_INSTANT_KEYS: Final = ("ts", "invoker", "file", "line", "args")
# How every line the writer produces begins, after its indentation: a cut
# line must start like one of these.
_LINE_STARTS: Final = (b"[", b"]", b",", b"{", b"}", b'"')
# How the first line of a file opened inside scopes can begin: a record or
# an enter, the exit of a scope ("],") or the closing brace held back.
_LATE_STARTS: Final = (b"{", b"],", b"}")
_LATE_FIRST_LINES: Final = (b"{", b"],", b"}", b"},")


def _timestamp(value: int) -> int:
    """Timestamps are written as unsigned 64-bit numbers; a wall clock set
    back before the process's first reading wraps around. Such a value is
    read back as the negative difference it stands for:
    18446744073709551615 => -1."""
    return value - _UINT64_LIMIT if value >= _INT64_LIMIT else value


class _Builder:
    """A scope being read: its record and where in the record the next line
    belongs."""

    __slots__ = ("scope", "state", "values")

    def __init__(self) -> None:
        self.values: list[str | int] = []  # the enter record's members, in order
        self.scope: Scope | None = None
        # "members", "events", "ts_exit" (after "],"), "brace" (after ts_exit)
        self.state = "members"


class _Parser:
    """Reads the lines of one file; each line may complete an event, which
    the line's handler returns."""

    def __init__(self, path: str, precise: PreciseTimes | None = None) -> None:
        self.path = path
        # Hands out the precise time of each timed line, in file order.
        self.precise = precise
        self.number = 0
        self.open: list[_Builder] = []
        self.array_started = False
        self.array_ended = False
        self.timed = 0  # timed records read: ts_enter, ts and ts_exit lines
        # A file opened late: it began inside scopes it holds no enter of.
        self.late = False
        # The closing lines of such a scope being passed over: "ts_exit"
        # after its "],", "brace" after its "ts_exit" line; "" otherwise.
        self.orphan = ""

    def fail(self, reason: str) -> TraceFormatError:
        return TraceFormatError(self.path, self.number, reason)

    def feed(self, text: bytes) -> TraceEvent | None:
        """One whole line, without its line end and indentation."""
        if self.open:
            return self.scope_line(self.open[-1], text)
        return self.top_line(text)

    def top_line(self, text: bytes) -> TraceEvent | None:
        if self.number == 1 and (text in _LATE_FIRST_LINES or text.startswith(b"{ ")):
            # Opened late, inside scopes whose enter records were lost.
            self.array_started = self.late = True
        if self.orphan:
            self.orphan_line(text)
        elif text.startswith(b"{ "):
            return TraceEvent(RECORD, 0, self.instant(text))
        elif self.array_ended:
            raise self.fail("text after the end of the trace")
        elif text == b"[":
            if self.array_started:
                raise self.fail('a second "[" inside the trace')
            self.array_started = True
        elif not self.array_started:
            raise self.fail('not a trace file: it does not begin with "["')
        elif text == b"{":
            self.open.append(_Builder())
        elif text == b",":
            pass  # between two top-level scopes
        elif text == b"]":
            self.array_ended = True
        elif self.late and text == b"],":
            self.orphan = "ts_exit"
        elif self.late and text in (b"}", b"},"):
            pass  # the closing brace of a scope whose exit was lost too
        else:
            raise self.fail(f"unexpected line {_show(text)}")
        return None

    def orphan_line(self, text: bytes) -> None:
        """The exit of a scope whose enter is not in the file: checked, and
        passed over."""
        if self.orphan == "ts_exit":
            match = _TS_EXIT_LINE.fullmatch(text)
            if match is None:
                raise self.fail(f'expected "ts_exit", found {_show(text)}')
            self.timed += 1
            if self.precise is not None:  # a timed record too: it has its entry
                self.precise.take(_timestamp(int(match.group(1))))
            self.orphan = "brace"
        elif text in (b"}", b"},"):
            self.orphan = ""
        else:
            raise self.fail(f'expected the closing "}}" of a scope, found {_show(text)}')

    def scope_line(self, builder: _Builder, text: bytes) -> TraceEvent | None:
        state = builder.state
        if state == "events":
            if text.startswith(b"{ "):
                return TraceEvent(RECORD, len(self.open), self.instant(text))
            elif text == b"{":
                self.open.append(_Builder())
            elif text == b"],":
                builder.state = "ts_exit"
            else:
                raise self.fail(f"unexpected line {_show(text)} in a scope's events")
        elif state == "members":
            return self.member(builder, text)
        elif state == "ts_exit":
            match = _TS_EXIT_LINE.fullmatch(text)
            if match is None:
                raise self.fail(f'expected "ts_exit", found {_show(text)}')
            scope = builder.scope
            assert scope is not None
            scope.ts_exit = ts_exit = _timestamp(int(match.group(1)))
            self.timed += 1
            if self.precise is not None:
                scope.ts_exit_ns = self.precise.take(ts_exit)
            builder.state = "brace"
            return TraceEvent(EXIT, len(self.open) - 1, scope)
        elif text in (b"}", b"},"):
            self.open.pop()
        else:
            raise self.fail(f'expected the closing "}}" of a scope, found {_show(text)}')
        return None

    def member(self, builder: _Builder, text: bytes) -> TraceEvent | None:
        values = builder.values
        if len(values) == len(_MEMBER_ORDER):
            if text != b'"events": [':
                raise self.fail(f'expected "events", found {_show(text)}')
            builder.state = "events"
            return None
        key, prefix = _MEMBER_ORDER[len(values)], _MEMBER_PREFIXES[len(values)]
        if not (text.startswith(prefix) and text.endswith(b",")):
            raise self.fail(f'expected "{key}", found {_show(text)}')
        values.append(self.value(key, text[len(prefix) : -1]))
        if len(values) < len(_MEMBER_ORDER):
            return None
        invoker, file, line, ts_enter, args = values
        self.timed += 1
        scope = Scope(
            invoker=str(invoker),
            file=str(file),
            line=int(line),
            ts_enter=int(ts_enter),
            ts_exit=None,
            args=str(args),
            ts_enter_ns=None if self.precise is None else self.precise.take(int(ts_enter)),
        )
        builder.scope = scope
        # The enter record is whole: the scope counts from here on, even if
        # its thread never closed it.
        return TraceEvent(ENTER, len(self.open) - 1, scope)

    def value(self, key: str, raw: bytes) -> str | int:
        if key in ("line", "ts_enter"):
            digits = raw[1:] if key == "line" and raw.startswith(b"-") else raw
            if not (digits.isdigit() and len(digits) <= 20):
                raise self.fail(f'"{key}" is not an integer: {_show(raw)}')
            number = int(raw)
            return _timestamp(number) if key == "ts_enter" else number
        if not (len(raw) >= 2 and raw.startswith(b'"') and raw.endswith(b'"')):
            raise self.fail(f'"{key}" is not a string: {_show(raw)}')
        inner = raw[1:-1]
        if b"\\" not in inner and b'"' not in inner:
            return inner.decode("utf-8", "replace")  # nothing escaped: the common case
        try:
            text = json.loads(raw.decode("utf-8", "replace"))
        except (ValueError, RecursionError):
            text = None
        if not isinstance(text, str):
            raise self.fail(f'"{key}" is not a string: {_show(raw)}')
        return text

    def instant(self, text: bytes) -> Instant:
        body = text[:-1] if text.endswith(b",") else text
        try:
            record = json.loads(body.decode("utf-8", "replace"))
        # Not JSON, a number too long to convert, or arrays nested deeper
        # than the decoder's recursion limit.
        except (ValueError, RecursionError):
            record = None
        if not isinstance(record, dict) or tuple(record) != _INSTANT_KEYS:
            raise self.fail(f"not an instant record: {_show(text)}")
        ts, invoker, file, line, args = (record[key] for key in _INSTANT_KEYS)
        integers = all(type(number) is int for number in (ts, line))
        texts = all(isinstance(value, str) for value in (invoker, file, args))
        if not (integers and texts) or ts < 0:
            raise self.fail(f"not an instant record: {_show(text)}")
        ts = _timestamp(ts)
        self.timed += 1
        ts_ns = None if self.precise is None else self.precise.take(ts)
        return Instant(ts=ts, invoker=invoker, file=file, line=line, args=args, ts_ns=ts_ns)

    def cut_line(self, text: bytes) -> None:
        """The bytes after the last line end: a line the writer had not
        finished. It is dropped, but it must look like the start of one."""
        stripped = text.lstrip(b" ")
        if stripped and not stripped.startswith(_LINE_STARTS):
            raise self.fail(f"unexpected text {_show(text)}")


def _events(path: str, lines: Iterable[bytes], precise: PreciseTimes | None = None
            ) -> Generator[TraceEvent, None, None]:  # fmt: skip
    parser = _Parser(path, precise)
    for parser.number, raw in enumerate(lines, start=1):
        if not raw.endswith(b"\n"):
            yield from _last_line(parser, raw)
            break
        event = parser.feed(raw[:-1].lstrip(b" "))
        if event is not None:
            yield event
    yield from _never_closed(parser)


def _last_line(parser: _Parser, raw: bytes) -> Iterator[TraceEvent]:
    """A last line without its line end. The writer puts a record into the
    file at once and its line end only with the next write: a whole record
    is kept."""
    record = _whole_last_record(parser, raw)
    if record is None:
        parser.cut_line(raw)
    else:
        yield record


def _never_closed(parser: _Parser) -> Iterator[TraceEvent]:
    """Scopes the file ends inside never closed: innermost first."""
    for depth in reversed(range(len(parser.open))):
        scope = parser.open[depth].scope
        if scope is not None and parser.open[depth].state != "brace":
            yield TraceEvent(EXIT, depth, scope)


def _whole_last_record(parser: _Parser, raw: bytes) -> TraceEvent | None:
    """The event of a last line that is a whole instant record, which is
    waiting only for its line end; None for any other last line, which may
    have been cut anywhere. (No line cut short can read as a whole record:
    it ends before its closing brace or inside its quoted message.)"""
    text = raw.lstrip(b" ")
    if not (text.startswith(b"{ ") and text.endswith(b"}")):
        return None
    try:
        return parser.feed(text)
    except TraceFormatError:
        return None


def _show(text: bytes, limit: int = 60) -> str:
    """A line for an error message, shortened: b'x' * 100 => 'xxx...'."""
    shown = text.decode("utf-8", "replace")
    return repr(shown if len(shown) <= limit else shown[:limit] + "...")
