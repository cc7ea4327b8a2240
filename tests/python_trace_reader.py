"""The line-by-line Python reader of trace files that the native reader
replaced, kept as the reference the native reader is held to
(test_vorn_native_reader.py): the same events, the same errors."""

from __future__ import annotations

import json
import os
import re
from collections.abc import Generator, Iterable, Iterator
from typing import Final

from vorn.reading.precise_times import PreciseTimes, expected_of, open_precise_times
from vorn.reading.trace_reader import ENTER, EXIT, RECORD, Instant, Scope, TraceEvent, TraceFormatError


def reference_iter_trace(path, identity=None):
    """iter_trace as the Python reader gave it."""
    name = os.fspath(path)
    with open(name, "rb") as stream:
        precise = open_precise_times(name, None if identity is None else expected_of(name, identity))
        try:
            yield from _events(name, stream, precise)
        finally:
            if precise is not None:
                precise.close()


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
