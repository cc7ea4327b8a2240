"""Many threads tracing at once: each file belongs to one thread and holds
exactly that thread's records; loggers used from a thread other than their
own keep every file whole; console lines of many threads never mix."""

import json
import os
import re
import threading
import time
from pathlib import Path

import pytest

from _py_vorn import StdoutLogger, StlLogger
from conftest import (SCOPES_OUT_OF_ORDER, run_in_fresh_thread, run_python, run_threads, set_console_options,
                      tolerant_json, trace_path)

THREADS = 64
DEPTH = 500

# How each thread ends its 500 nested scopes.
INNERMOST_FIRST, IN_OPENING_ORDER, HALF_LEFT_OPEN, ALL_LEFT_OPEN = range(4)


def trace_nested(start, index, native_ids, outliving):
    start.wait()  # all threads alive at once, so no two share a thread id
    native_ids[index] = threading.get_native_id()
    scopes = []
    for depth in range(DEPTH):
        scope = StlLogger(f"t{index} d{depth}", line=depth)
        scope.log(f"t{index} r{depth}")
        scopes.append(scope)
        if depth % 100 == 0:
            time.sleep(0)  # lets the other threads in between records
    ending = index % 4
    closing = {INNERMOST_FIRST: scopes[::-1], IN_OPENING_ORDER: scopes,
               HALF_LEFT_OPEN: scopes[DEPTH // 2 :][::-1], ALL_LEFT_OPEN: []}[ending]  # fmt: skip
    for scope in closing:
        scope.close()
    if ending in (HALF_LEFT_OPEN, ALL_LEFT_OPEN):
        outliving[index] = scopes  # kept beyond the thread's end: their scopes stay open in its file


def assert_nested_scopes_of(index, elements, closed_from):
    """elements hold thread index's scopes d0 > d1 > ... > d499, each with its
    record first; scopes from depth closed_from on carry their exit time."""
    assert len(elements) == 1
    scope = elements[0]
    for depth in range(DEPTH):
        assert (scope["args"], scope["line"]) == (f"t{index} d{depth}", depth)
        assert ("ts_exit" in scope) == (depth >= closed_from)
        events = scope["events"]
        assert len(events) == (2 if depth < DEPTH - 1 else 1)
        assert events[0]["args"] == f"t{index} r{depth}" and "events" not in events[0]
        scope = events[-1]


@SCOPES_OUT_OF_ORDER
def test_64_threads_with_500_nested_scopes_each_write_only_their_own_files(trace_root):
    native_ids, outliving = {}, {}
    run_threads(THREADS, trace_nested, native_ids, outliving)
    assert len(native_ids) == THREADS
    directory = trace_path(trace_root, 0).parent
    # Each thread's trace file and the companion with its precise times.
    assert sorted(os.listdir(directory)) == sorted(
        f"stl_{n}{suffix}" for n in native_ids.values() for suffix in (".log", ".times")
    )

    for index, native_id in native_ids.items():
        text = trace_path(trace_root, native_id).read_text(encoding="utf-8")
        # Nothing lost where scopes stay open: the record held back at the
        # thread's end is there too.
        closed_from = {HALF_LEFT_OPEN: DEPTH // 2, ALL_LEFT_OPEN: DEPTH}.get(index % 4, 0)
        assert_nested_scopes_of(index, (tolerant_json if closed_from else json.loads)(text), closed_from)
    # Their scopes are open on threads that are gone: dropping them on a
    # thread with no scope open writes nothing anywhere.
    before = {path: path.read_bytes() for path in directory.iterdir()}
    run_in_fresh_thread(outliving.clear)
    assert {path: path.read_bytes() for path in directory.iterdir()} == before


def summary(elements):
    """Scopes as (args, events), records as (invoker, file, line, args)."""
    return [
        (e["args"], summary(e["events"])) if "events" in e else (e["invoker"], e["file"], e["line"], e["args"])
        for e in elements
    ]


FIRST, SECOND = ("maker", "m.py", 7, "first"), ("maker", "m.py", 7, "second")


@SCOPES_OUT_OF_ORDER
@pytest.mark.parametrize(
    ("setup", "expected"),
    [
        # No scope open on the calling thread: each record is written at once
        # as an element of its top-level array.
        ("nothing", [FIRST, SECOND, ("later", [])]),
        ("a closed scope", [("own", []), FIRST, SECOND, ("later", [])]),
        # A scope open there: the records go into it, with the logger's identity.
        ("an open scope", [("own", [FIRST, SECOND]), ("later", [])]),
    ],
)
def test_a_logger_used_on_another_thread_keeps_that_threads_file_whole(trace_root, setup, expected):
    made_elsewhere = run_in_fresh_thread(lambda: StlLogger("elsewhere", "maker", "m.py", 7))

    def body():
        own = None if setup == "nothing" else StlLogger("own")
        if setup == "a closed scope":
            own.close()
        made_elsewhere.log("first")
        made_elsewhere.log("second")
        path = made_elsewhere.log_file_name
        if setup != "an open scope":
            # In the file at once, the last one waiting only for its line end.
            assert summary(tolerant_json(Path(path).read_text(encoding="utf-8")))[-2:] == [FIRST, SECOND]
        del own
        StlLogger("later").close()
        return path

    path = run_in_fresh_thread(body)
    assert summary(json.loads(Path(path).read_text(encoding="utf-8"))) == expected


def test_a_logger_held_by_a_thread_local_is_closed_when_its_thread_ends(traced):
    local = threading.local()

    def body():
        local.scope = StlLogger("held by a thread-local")
        local.scope.log("x")

    (scope,) = json.loads(traced(body).text)
    assert [event["args"] for event in scope["events"]] == ["x"] and "ts_exit" in scope


def print_lines(start, index):
    set_console_options(use_color=False, workflow_name=f"w{index}")
    start.wait()
    for number in range(60):
        # Some lines are longer than any buffer on the way to fd 1.
        StdoutLogger.print(f"t{index} n{number} " + "x" * (number * 397 % 12000), "printer")


def test_console_lines_of_many_threads_never_mix(capfd):
    capfd.readouterr()
    run_threads(16, print_lines)
    line = re.compile(r"\[vorn [^\]]*\] [-\d: ]{19}\(w(\d+)\) \| printer {23} \| t(\d+) n(\d+) (x*)")
    numbers = {index: [] for index in range(16)}
    for text in capfd.readouterr().out.splitlines():
        workflow, index, number, filler = line.fullmatch(text).groups()
        assert workflow == index and len(filler) == int(number) * 397 % 12000
        numbers[int(index)].append(int(number))
    assert all(seen == list(range(60)) for seen in numbers.values())


# A second __init__ of one instance, from another thread, while the first is
# under way: it starts from the first's default-invoker lookup, which reads
# "__file__" from the module's globals, here a dict that lets it in.
SECOND_INIT_PROGRAM = """
import json, threading
import _py_vorn
from _py_vorn import StdoutLoggerOptions
options = StdoutLoggerOptions()
options.print_header = False
_py_vorn.StdoutLogger.set_options(options)
Logger = getattr(_py_vorn, CLASS)
logger = Logger.__new__(Logger)
returned = []

def second_init():
    returned.append(logger.__init__(**{"message": "second"}) if SECOND_BY_KEYWORD else logger.__init__("second"))

class Globals(dict):
    def __getitem__(self, key):
        if key == "__file__" and not returned:
            other = threading.Thread(target=second_init)
            other.start()
            other.join()
        return dict.__getitem__(self, key)

first = "logger.__init__(message='first')" if not SECOND_BY_KEYWORD else "logger.__init__('first')"
exec(compile(first, "/jobs/first.py", "exec"), Globals(logger=logger, __file__="/jobs/first.py"))
logger.log("x")
name = logger.log_file_name if CLASS == "StlLogger" else ""
del logger
print(json.dumps([returned, name]))
"""


@pytest.mark.parametrize("cls", ["StlLogger", "StdoutLogger"])
@pytest.mark.parametrize("second_by_keyword", [False, True])
def test_a_second_init_while_the_first_is_under_way_does_nothing(trace_root, cls, second_by_keyword):
    program = SECOND_INIT_PROGRAM.replace("CLASS", repr(cls)).replace("SECOND_BY_KEYWORD", str(second_by_keyword))
    *lines, last = run_python(program).stdout.splitlines()
    returned, name = json.loads(last)
    assert returned == [None]
    if cls == "StdoutLogger":
        assert lines == ["first", "x"]
    else:
        (scope,) = json.loads(Path(name).read_text(encoding="utf-8"))
        assert (scope["invoker"], scope["args"], [event["args"] for event in scope["events"]]) == (
            "first.py", "first", ["x"])  # fmt: skip
