"""Random programs of scopes, records, closes in and out of order, dropped
loggers, nested with blocks and exceptions, with hostile texts. The trace
file and the console lines of each program must match a model of it."""

import json
import operator
import re
import socket
import threading
from contextlib import suppress
from dataclasses import dataclass, field

import pytest
from hypothesis import given
from hypothesis import strategies as st

from _py_vorn import StdoutLogger, StlLogger
from conftest import SCOPES_OUT_OF_ORDER, PROPERTY, run_in_fresh_thread, set_console_options, trace_path

MESSAGE_LIMIT = 4095
FIELD_LIMIT = 255
ESCAPED_FIELD_LIMIT = 510
RECORD_LIMIT = 24830
TEXT_BYTES = 6000
INVOKER_COLUMN = 30
RESET = b"\x1b[0m"

# Any character but a surrogate, with the ones that need escaping or cutting
# drawn often: NUL, controls, quotes, backslashes, multi-byte and astral.
SPECIAL = '\0\t\n\r"\\\x01\x08\x1b\x7f\x85é€\U0001f600\U0010fffd'
CHARS = st.one_of(st.sampled_from(SPECIAL), st.characters(exclude_categories=("Cs",)))


def at_most_bytes(limit):
    return lambda text: text.encode()[:limit].decode(errors="ignore")


# Mostly short texts; some long runs of a few characters, up to 6000 bytes.
TEXTS = st.text(CHARS, max_size=30) | st.builds(
    operator.mul, st.text(CHARS, min_size=1, max_size=5), st.integers(50, 1500)
).map(at_most_bytes(TEXT_BYTES))
LINES = st.one_of(st.sampled_from([0, 2**31 - 1, 2**31, 2**32 - 1]), st.integers(0, 2**32 - 1))
IDENTITIES = st.tuples(TEXTS, st.none() | TEXTS, TEXTS, LINES)  # message, invoker, file, line
PICK = st.integers(0, 63)  # one of the loggers made so far, modulo their number


def programs(nesting):
    step = st.one_of(st.tuples(st.just("open"), IDENTITIES), st.tuples(st.just("log"), PICK, TEXTS),
                     st.tuples(st.just("close"), PICK), st.tuples(st.just("drop"), PICK))  # fmt: skip
    if nesting:
        # A with block over a new logger, whose body may end by raising.
        step |= st.tuples(st.just("with"), IDENTITIES, programs(nesting - 1), st.booleans())
    return st.lists(step, max_size=8)


PROGRAMS = programs(2)


# What the module keeps of a text: up to its first NUL, then at most `limit`
# bytes without splitting a character.
def kept(text, limit):
    return at_most_bytes(limit)(text.split("\0", 1)[0])


SHORT_ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r", '"': '\\"', "\\": "\\\\"}


def escaped(text):
    """text as the trace file spells it inside quotes."""
    return "".join(
        SHORT_ESCAPES.get(c) or (f"\\u{ord(c):04x}" if ord(c) < 0x20 or c == "\x7f" else c)
        for c in text
    )


def escaped_size(text):
    return len(escaped(text).encode())


# The model of one program.


@dataclass
class Entry:  # a logger the program made, and what it must write
    logger: object
    invoker: str
    file: str
    line: int
    open: bool = True
    in_with: bool = False


@dataclass
class Model:
    top: list = field(default_factory=list)  # top-level scopes, as the file must hold them
    levels: list = field(default_factory=list)  # the scopes open on the thread, innermost last
    console: list = field(default_factory=list)  # (invoker, message) of each console line

    def add(self, entry, message, **kind):
        # Into the innermost open scope; a record with the identity of the logger used.
        element = {"invoker": entry.invoker, "file": entry.file, "line": entry.line,
                   "args": kept(message, MESSAGE_LIMIT), **kind}  # fmt: skip
        (self.levels[-1]["events"] if self.levels else self.top).append(element)
        self.console.append((entry.invoker, element["args"]))
        return element

    def open(self, entry, message):
        self.levels.append(self.add(entry, message, events=[]))

    def log(self, entry, message):
        self.add(entry, message, depth=len(self.levels))

    def close(self, entry):
        # Whichever logger ends, the innermost open scope is the one closed.
        if entry.open:
            self.levels.pop()
            entry.open = False


def open_logger(cls, identity, model):
    message, invoker, file, line = identity
    logger = cls(message, invoker, file, line)
    stored_invoker = "open_logger" if invoker is None else kept(invoker, FIELD_LIMIT)
    signed_line = line - 2**32 if line >= 2**31 else line
    entry = Entry(logger, stored_invoker, kept(file, FIELD_LIMIT), signed_line)
    model.open(entry, message)
    return entry


class Boom(Exception):
    pass


def execute(cls, program):
    """Runs program with loggers of cls on the calling thread; closes what is
    left open in the order the loggers were made. Returns the model."""
    model = Model()
    entries = []

    def run(steps):
        for kind, *step in steps:
            if kind in ("open", "with"):
                entry = open_logger(cls, step[0], model)
                entries.append(entry)
                if kind == "with":
                    entry.in_with = True
                    with suppress(Boom), entry.logger as bound:
                        assert bound is entry.logger
                        del bound
                        run(step[1])
                        if step[2]:
                            raise Boom
                    entry.in_with = False
                    model.close(entry)
                continue
            entry = entries[step[0] % len(entries)] if entries else None
            if entry is None or entry.logger is None:
                continue
            if kind == "log" and entry.open:
                entry.logger.log(step[1])
                model.log(entry, step[1])
            elif kind == "log":
                with pytest.raises(RuntimeError, match="^logger is closed$"):
                    entry.logger.log(step[1])
            elif kind == "close":
                entry.logger.close()
                model.close(entry)
            else:  # drop: the last reference goes; a with block still holds its own
                entry.logger = None
                if not entry.in_with:
                    model.close(entry)

    run(program)
    for entry in entries:
        if entry.logger is not None:
            entry.logger.close()
            model.close(entry)
    return model


# Checking a trace file against the model.


def assert_identity_text(got, want):
    """Equal, or cut near the escaping bound at a whole character or escape
    (an escape is only begun with room for the longest one, so the cut may
    come a few bytes early)."""
    if got != want:
        assert want.startswith(got)
        assert ESCAPED_FIELD_LIMIT - 10 <= escaped_size(got) <= ESCAPED_FIELD_LIMIT


def assert_record_message(got, want):
    """An instant record's message is whole unless the record would pass the
    line limit; then it is cut at the last whole escape or character."""
    indentation = min(4 * want["depth"] + 2, 64)
    head = (f'{{ "ts": {got["ts"]}, "invoker": "{escaped(got["invoker"])}", '
            f'"file": "{escaped(got["file"])}", "line": {got["line"]}, "args": "')  # fmt: skip

    def size(message):
        return indentation + len(head.encode()) + escaped_size(message) + len('" }')

    if size(want["args"]) <= RECORD_LIMIT:
        assert got["args"] == want["args"]
    else:
        assert want["args"].startswith(got["args"])
        assert RECORD_LIMIT - 6 < size(got["args"]) <= RECORD_LIMIT


def assert_same_tree(got_elements, want_elements):
    assert len(got_elements) == len(want_elements)
    for got, want in zip(got_elements, want_elements):
        assert got["line"] == want["line"]
        assert_identity_text(got["invoker"], want["invoker"])
        assert_identity_text(got["file"], want["file"])
        if "events" in want:
            assert list(got) == ["invoker", "file", "line", "ts_enter", "args", "events", "ts_exit"]
            assert got["args"] == want["args"]
            assert all(isinstance(got[key], int) for key in ("ts_enter", "ts_exit"))
            assert_same_tree(got["events"], want["events"])
        else:
            assert list(got) == ["ts", "invoker", "file", "line", "args"]
            assert isinstance(got["ts"], int)
            assert_record_message(got, want)


@SCOPES_OUT_OF_ORDER
@PROPERTY
@given(program=PROGRAMS)
def test_a_trace_file_holds_exactly_what_a_random_program_did(trace_root, program):
    model, native_id = run_in_fresh_thread(lambda: (execute(StlLogger, program), threading.get_native_id()))
    path = trace_path(trace_root, native_id)
    try:
        if not model.top:
            assert not path.exists()
            return
        raw = path.read_bytes()
        assert max(len(line) for line in raw.split(b"\n")) <= RECORD_LIMIT
        assert_same_tree(json.loads(raw.decode("utf-8")), model.top)
    finally:
        path.unlink(missing_ok=True)  # a later thread may get the same id


def expected_console(model, header):
    """A pattern for the console output of the model: header lines carry the
    time, the invoker cut to a 30-byte column and the default reset framing."""
    host = socket.gethostname().encode()
    pattern = []
    for invoker, message in model.console:
        if not header:
            pattern.append(re.escape(message.encode() + b"\n"))
            continue
        column = at_most_bytes(INVOKER_COLUMN)(invoker).encode().ljust(INVOKER_COLUMN)
        pattern.append(re.escape(b"[vorn " + host + b"] "))
        pattern.append(rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
        pattern.append(re.escape(b"(NOT SET) | " + column + b" | " + RESET + message.encode() + RESET + b"\n"))
    return re.compile(b"".join(pattern), re.DOTALL)


@PROPERTY
@given(program=PROGRAMS, header=st.booleans())
def test_console_lines_hold_exactly_what_a_random_program_did(capfdbinary, program, header):
    capfdbinary.readouterr()

    def body():
        set_console_options(print_header=header)
        return execute(StdoutLogger, program)

    model = run_in_fresh_thread(body)
    assert expected_console(model, header).fullmatch(capfdbinary.readouterr().out)
