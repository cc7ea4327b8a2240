"""Reading trace files back: complete, cut short anywhere, of a killed
process, and bytes that are not a trace. Samples come from the module."""

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from _py_vorn import StlLogger
from conftest import SCOPES_OUT_OF_ORDER, run_in_fresh_thread, run_python, tolerant_json
from vorn import Instant, Scope, TraceFormatError, read_trace, read_trace_events
from vorn.reading.trace_reader import begins_like_a_trace, walk
from vorn.reading.trace_files import TraceFile, find_trace_files


def as_read(elements):
    """Scopes and records as the reader gives them, from the JSON of a file's
    whole lines (open brackets closed): a scope counts once its "args" line
    is there, and is closed once its "ts_exit" line is."""
    return [Instant(**element) if "ts" in element else
            Scope(**{"ts_exit": None, **element, "events": as_read(element.get("events", []))})
            for element in elements if "args" in element]  # fmt: skip


def write_sample(close_all):
    """Nesting, records, escapes, empty events; then, unless close_all, a
    scope and a child that the thread's end leaves open."""
    with StlLogger("load", file="job.py", line=10) as load:
        load.log('quote " backslash \\ tab \t newline \n bell \x07 é')
        with StlLogger("parse", "parser", "job.py", 20):
            load.log("")
    StlLogger("second").close()
    still_open = [StlLogger("never closed", line=30), StlLogger("inner")]
    still_open[1].log("held until the thread ended")
    if close_all:
        still_open = [logger.close() for logger in reversed(still_open)]
    return still_open  # keeps them open past the thread's end


@SCOPES_OUT_OF_ORDER  # the loggers left open are dropped here, on another thread than theirs
@pytest.mark.parametrize("close_all", [True, False], ids=["complete", "left open"])
def test_a_file_cut_at_every_byte_offset_keeps_exactly_what_was_written_whole(traced, tmp_path, close_all):
    run = traced(lambda: write_sample(close_all))
    data = run.path.read_bytes()
    if close_all:
        assert read_trace(run.path) == as_read(json.loads(run.text))
    else:
        full = read_trace(run.path)
        assert full[-1].ts_exit is None and full[-1].events[0].ts_exit is None
        assert full[-1].events[0].events[0].args == "held until the thread ended"
    (cut := tmp_path / "cut.log").write_bytes(data)
    for offset in reversed(range(len(data) + 1)):
        os.truncate(cut, offset)  # much cheaper than rewriting the file
        whole_lines = data[: data.rfind(b"\n", 0, offset) + 1].decode()
        last = data[len(whole_lines.encode()) : offset].decode(errors="replace")
        if last.lstrip().startswith("{ ") and last.endswith("}"):  # a whole record, its line end to come
            whole_lines += last + "\n"
        assert read_trace(cut) == as_read(tolerant_json(whole_lines)), offset


def test_a_killed_process_leaves_everything_it_wrote_and_a_record_outside_scopes_is_kept(
    tmp_path, traced
):
    code = ("import os, signal, _py_vorn\nouter = _py_vorn.StlLogger('outer')\n"
            "with _py_vorn.StlLogger('done') as done: done.log('inside')\n"
            "outer.log('kept: in the file when log returned')\n"
            "print(outer.log_file_name, flush=True)\nos.kill(os.getpid(), signal.SIGKILL)\n")  # fmt: skip
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == -signal.SIGKILL
    [outer] = read_trace(tmp_path / result.stdout.strip())
    [done, kept] = outer.events
    assert (outer.args, outer.ts_exit, done.args, [record.args for record in done.events]) == (
        "outer", None, "done", ["inside"]) and done.ts_exit is not None  # fmt: skip
    assert kept.args == "kept: in the file when log returned"

    owner = run_in_fresh_thread(StlLogger, "lives on another thread")
    run = traced(lambda: owner.log("from a thread with no scope open"))
    assert read_trace(run.path) == []
    assert [record.args for record in read_trace_events(run.path)] == ["from a thread with no scope open"]


ENTER = '[\n  {\n    "invoker": "a",\n    "file": "f",\n    "line": 1,\n    "ts_enter": %s,\n'
REST = '    "args": "m",\n    "events": [\n    ],\n    "ts_exit": %s\n  }\n]\n'
VALID = ENTER % "0" + REST % "1"


@pytest.mark.parametrize(
    "text, expected",
    [
        # a wall clock set back: unsigned 64-bit times stand for negative ones
        (ENTER % "18446744073709551615" + REST % "18446744073709551614",
         [Scope("a", "f", 1, -1, -2, "m", [])]),
        (b'[\n{ "ts": 3, "invoker": "a\xff", "file": "f", "line": -1, "args": "x" }\n]\n',
         [Instant(3, "a\ufffd", "f", -1, "x")]),  # not UTF-8
        ('[\n]\n{ "ts": 1, "invoker": "a", "file": "f", "line": 0, "args": "late" }\n',
         [Instant(1, "a", "f", 0, "late")]),  # released at thread end after the array closed
        (b"", []),
    ],
)  # fmt: skip
def test_oddities_the_writer_can_leave_are_read(tmp_path, text, expected):
    path = tmp_path / "odd.log"
    path.write_bytes(text.encode() if isinstance(text, str) else text)
    assert read_trace_events(path) == expected


@pytest.mark.parametrize(
    "text, line",
    [
        ("hello\n", 1),
        ('[{"invoker": "a", "file": "f", "line": 1}]\n', 1),  # JSON, but not laid out by us
        (VALID.replace('"file": "f"', '"line": 1'), 4),  # members out of order
        (VALID.replace('"line": 1', '"line": "1"'), 5),
        (VALID.replace('"events": [', '"events": []'), 8),
        (VALID.replace('"ts_exit": 1', '"ts_exit": -1'), 10),
        ('[\n{ "ts": 1, "invoker": "a", "file": "f", "line": 0 }\n', 2),  # no "args"
        ('[\n{ "ts": 1.5, "invoker": "a", "file": "f", "line": 0, "args": "" }\n', 2),
        ('[\n{ "ts": %s, "invoker": "a", "file": "f", "line": 0, "args": "" }\n' % ("9" * 5000), 2),
        (VALID.replace('"ts_exit": 1', '"ts_exit": ' + "9" * 5000), 10),
        (VALID + "]\n", 13),  # text after the end
        (VALID[:-2] + "xyz", 12),  # a cut last line that no writer starts
        # nested past the JSON decoder's recursion limit
        pytest.param('[\n{ "ts": 0, "invoker": "a", "file": "f", "line": 1, "args": %s }\n' % ("[" * 100_000), 2,
                     id="nested-arrays"),
        # what only a file opened late can begin with, in one that began with "["
        ('[\n],\n"ts_exit": 4\n}\n', 2),
        ('[\n]\n}\n', 3),
        # a late file must begin with a line the writer starts a write with
        ('"ts_exit": 4\n}\n', 1),
        ('{ x }\n', 1),
        ('},\nhello\n', 2),
        ('],\n}\n', 2),
    ],
)  # fmt: skip
def test_bytes_that_are_not_ours_raise_naming_file_and_line(tmp_path, text, line):
    path = tmp_path / "foreign.log"
    path.write_text(text, encoding="utf-8")
    with pytest.raises(TraceFormatError, match=rf"^{path}:{line}: ") as caught:
        read_trace(path)
    assert isinstance(caught.value, ValueError) and caught.value.line == line


def test_trace_files_are_found_in_trees_once_each_by_host_then_thread(tmp_path):
    root = tmp_path / "vorn_logs"
    for relative in ["vorn/beta/stl_7.log", "vorn/alpha/stl_10.log", "vorn/alpha/stl_9.log",
                     "vorn/alpha/notes.log", "vorn/alpha/readme.txt", "other/gamma/x_3.log"]:
        (root / relative).parent.mkdir(parents=True, exist_ok=True)
        (root / relative).write_text("[\n")
    found = find_trace_files([root, root / "vorn/beta/stl_7.log", str(root / "vorn/alpha")])
    assert [(trace.host, trace.thread) for trace in found] == [
        ("alpha", "9"), ("alpha", "10"), ("alpha", "notes"), ("beta", "7"), ("gamma", "3"),
    ]  # fmt: skip
    assert find_trace_files([root / "vorn/alpha/readme.txt"]) == [
        TraceFile(root / "vorn/alpha/readme.txt", "alpha", "readme")  # a named file is taken
    ]
    with pytest.raises(FileNotFoundError, match="missing"):
        find_trace_files([root, tmp_path / "missing"])


# A thread whose trace file could not be opened at its first scope (here a
# directory holds the name) writes from where it is once it can: its file
# starts inside two scopes it has no enter of.
LATE_PROGRAM = """
import os, socket, threading
from _py_vorn import StlLogger
def body():
    blocker = f"{os.environ['VORN_LOG_DIR']}/vorn/{socket.gethostname()}/stl_{threading.get_native_id()}.log"
    os.makedirs(blocker)
    outer = StlLogger("outer, lost")
    outer.log("lost")
    StlLogger("sibling, lost").close()
    inner = StlLogger("inner, lost")
    os.rmdir(blocker)
    inner.log("kept first")
    with StlLogger("kept") as kept:
        kept.log("in kept")
    inner.close()
    outer.log("between the lost exits")
    outer.close()
    with StlLogger("after") as after:
        after.log("last")
    print(after.log_file_name)
threading.Thread(target=body).start()
"""


def test_a_file_opened_late_keeps_every_whole_record_and_passes_over_lost_scopes_exits(tmp_path):
    result = run_python(LATE_PROGRAM, cwd=tmp_path, env={"VORN_LOG_DIR": str(tmp_path)})
    path = Path(result.stdout.strip())
    assert not path.read_text().startswith("[")
    assert [(depth, type(item).__name__, item.args) for depth, item in walk(read_trace_events(path))] == [
        (0, "Instant", "kept first"), (0, "Scope", "kept"), (1, "Instant", "in kept"),
        (0, "Instant", "between the lost exits"), (0, "Scope", "after"), (1, "Instant", "last"),
    ]  # fmt: skip
    assert all(scope.ts_exit is not None for scope in read_trace(path))
    assert begins_like_a_trace(path.read_bytes()[:64])


LATE_ENTER = '{\n"invoker": "a",\n"file": "f",\n"line": 1,\n"ts_enter": 0,\n"args": "m",\n"events": [\n'


@pytest.mark.parametrize(
    "text, expected",
    [
        # the exit of a lost scope, its held brace at the thread's end, a record
        ('],\n"ts_exit": 4\n}\n]\n', []),
        ("}\n", []),
        ('},\n{ "ts": 2, "invoker": "a", "file": "f", "line": 1, "args": "r" }\n', ["r"]),
        # an enter the file ends inside
        (LATE_ENTER + '{ "ts": 2, "invoker": "a", "file": "f", "line": 1, "args": "r" },\n', ["m", "r"]),
    ],
)  # fmt: skip
def test_every_first_line_a_late_opened_file_can_have_is_read(tmp_path, text, expected):
    path = tmp_path / "late.log"
    path.write_text(text)
    assert [item.args for _, item in walk(read_trace_events(path))] == expected
    assert begins_like_a_trace(text.encode())
