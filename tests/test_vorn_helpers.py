"""The package's face and its standard-library conveniences: re-exports,
the traced decorator and ConsoleHandler."""

import inspect
import logging
import os
import pty
import subprocess
import sys
import threading

import pytest

import _py_vorn
import vorn
from conftest import parse_console_lines, run_in_fresh_thread, run_python, set_console_options
from vorn import read_trace


def test_vorn_re_exports_the_extension_and_adds_no_name_to_it():
    public = {name for name in dir(_py_vorn) if not name.startswith("_")}
    assert all(getattr(vorn, name) is getattr(_py_vorn, name) for name in public)
    assert public <= set(vorn.__all__) and all(hasattr(vorn, name) for name in vorn.__all__)
    code = "import _py_vorn; before = dir(_py_vorn); import vorn; print(dir(_py_vorn) == before)"
    assert run_python(code).stdout == "True\n"


class Job:
    @vorn.traced
    def run(self, value):
        """Doubles value."""
        return self.helper(value) * 2 + self.offset() + self.zero()

    @vorn.traced(name="job helper")
    def helper(self, value):
        return value

    @vorn.traced
    @classmethod
    def offset(cls):
        return 0 if cls is Job else 100

    @vorn.traced
    @staticmethod
    def zero():
        return 0


@vorn.traced
def countdown(start):
    try:
        while start > 0:
            received = yield start
            start -= 1 if received is None else received
        return "lift-off"
    finally:
        _py_vorn.StlLogger("cleanup").close()


def shape(items):
    """(message, closed, children) for each scope; records as their text."""
    return [(item.args, item.ts_exit is not None, shape(item.events)) if hasattr(item, "events")
            else item.args for item in items]  # fmt: skip


def test_a_traced_call_is_a_scope_named_after_the_function_where_it_is_defined(traced):
    run = traced(lambda: Job().run(21))
    assert run.result == 42
    [outer] = read_trace(run.path)
    assert (outer.invoker, outer.file, outer.line) == ("Job.run", __file__, inspect.getsourcelines(Job.run)[1])
    assert shape([outer]) == [("Job.run", True, [
        ("job helper", True, []), ("Job.offset", True, []), ("Job.zero", True, [])])]  # fmt: skip
    assert (Job.run.__name__, Job.run.__doc__) == ("run", "Doubles value.")

    @vorn.traced
    def fails():
        raise KeyError("missing")

    run = traced(lambda: pytest.raises(KeyError, fails))
    assert shape(read_trace(run.path)) == [(fails.__qualname__, True, ["raised KeyError: 'missing'"])]


def test_a_generator_gets_a_scope_per_step_that_nests_wherever_it_is_resumed(traced):
    """A scope over a generator's whole life would close whatever scope is
    innermost when it finishes; a scope per step always nests."""

    def interleave():
        first, second = countdown(2), countdown(5)
        with _py_vorn.StlLogger("outer") as outer:
            next(first)
            assert (next(second), second.send(3)) == (5, 2)
            outer.log("between")
            next(first)
        with pytest.raises(StopIteration) as stop:
            second.send(2)
        return list(first), stop.value.value

    run = traced(interleave)
    assert run.result == ([], "lift-off")
    assert shape(read_trace(run.path)) == [
        ("outer", True, [("countdown start", True, []), ("countdown start", True, []),
                         ("countdown resume", True, []), "between", ("countdown resume", True, [])]),
        ("countdown resume", True, [("cleanup", True, [])]),
        ("countdown resume", True, [("cleanup", True, [])]),
    ]  # fmt: skip
    assert inspect.isgeneratorfunction(countdown)


def test_a_generator_traces_each_step_on_the_thread_that_runs_it_and_its_close(trace_root):
    generator = countdown(3)

    steps = [run_in_fresh_thread(lambda action: (action(), threading.get_native_id()), action)
             for action in (generator.__next__, generator.__next__, generator.close)]
    assert [value for value, _ in steps] == [3, 2, None]
    assert [shape(read_trace(*(trace_root / "vorn").glob(f"*/stl_{thread}.log"))) for _, thread in steps] == [
        [("countdown start", True, [])],
        [("countdown resume", True, [])],
        [("countdown close", True, [("cleanup", True, [])])],
    ]


@pytest.mark.parametrize("function, message", [(1, "needs a function"), ("name", "needs a function")])
def test_traced_refuses_what_it_cannot_time(function, message):
    with pytest.raises(TypeError, match=message):
        vorn.traced(function)


@pytest.fixture
def logger(capfd):
    """A logger with only a ConsoleHandler, which notes the records it fails
    on in `failed`; this thread's options come back after."""
    saved = _py_vorn.StdoutLogger.get_options()
    log = logging.Logger("vorn-test", logging.DEBUG)  # no parent: nothing else sees records
    log.addHandler(handler := vorn.ConsoleHandler(logging.DEBUG))
    handler.setFormatter(logging.Formatter("%(levelname)s %(message)s"))
    handler.failed = []
    handler.handleError = lambda record: handler.failed.append(record.msg)
    capfd.readouterr()
    yield log
    _py_vorn.StdoutLogger.set_options(saved)


def options():
    current = _py_vorn.StdoutLogger.get_options()
    return current.color, current.workflow_name, current.print_header, current.use_color


def test_each_level_prints_in_its_colour_and_the_options_stay_as_they_were(logger, capfd, monkeypatch):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setenv("FORCE_COLOR", "1")  # capfd's standard output is no terminal
    set_console_options(workflow_name="levels", color="\x1b[35m")
    before = options()

    def log_all():
        for level in (logging.DEBUG, logging.INFO, 25, logging.WARNING, logging.ERROR, logging.CRITICAL):
            logger.log(level, "m%d", level)

    log_all()
    lines = parse_console_lines(capfd.readouterr().out)
    colours = [_py_vorn.CLI_LEVEL_STATUS, _py_vorn.CLI_LEVEL_INFO, _py_vorn.CLI_LEVEL_INFO,
               _py_vorn.CLI_LEVEL_WARNING, _py_vorn.CLI_LEVEL_ERROR, _py_vorn.CLI_LEVEL_ERROR]  # fmt: skip
    texts = ["DEBUG m10", "INFO m20", "Level 25 m25", "WARNING m30", "ERROR m40", "CRITICAL m50"]
    reset = _py_vorn.CLI_LEVEL_RESET
    assert [line["message"] for line in lines] == [f"{c}{t}{reset}" for c, t in zip(colours, texts)]
    assert {(line["invoker"].rstrip(), line["workflow"]) for line in lines} == {("log_all", "levels")}
    assert options() == before

    set_console_options(use_color=False)
    exec(compile("log.warning('from the top')", "/srv/jobs/nightly.py", "exec"), {"log": logger})
    [line] = parse_console_lines(capfd.readouterr().out)
    assert (line["invoker"].rstrip(), line["message"]) == ("nightly.py", "WARNING from the top")


def test_failures_go_to_handle_error_and_leave_the_options_as_they_were(logger, capfd, monkeypatch):
    before = options()
    logger.info("%d apples", "three")  # cannot be formatted
    monkeypatch.setattr(_py_vorn.StdoutLogger, "print", None)  # calling it raises
    logger.error("lost")
    assert logger.handlers[0].failed == ["%d apples", "lost"]
    assert capfd.readouterr().out == "" and options() == before


def printed_by_handler(env, terminal):
    """What a fresh interpreter's ConsoleHandler prints for one warning, on
    a pipe or on a pseudo-terminal, with NO_COLOR and FORCE_COLOR as `env`
    sets them."""
    code = "import logging, vorn; logging.getLogger().addHandler(vorn.ConsoleHandler()); logging.warning('careful')"
    env = {**{k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "FORCE_COLOR")}, **env}
    if not terminal:
        return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, check=True,
                              timeout=60).stdout  # fmt: skip
    main, secondary = pty.openpty()
    try:
        subprocess.run([sys.executable, "-c", code], env=env, stdout=secondary, check=True, timeout=60)
        os.close(secondary)
        secondary, chunks = -1, []
        while True:
            try:
                chunk = os.read(main, 4096)
            except OSError:  # EIO: the terminal's other side is closed and read out
                break
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)
    finally:
        os.close(main)
        if secondary >= 0:
            os.close(secondary)


@pytest.mark.parametrize("env, terminal, coloured", [
    ({}, False, False),
    ({"FORCE_COLOR": "1"}, False, True),
    ({}, True, True),
    ({"NO_COLOR": "1"}, True, False),
    ({"NO_COLOR": "1", "FORCE_COLOR": "1"}, True, False),
    ({"NO_COLOR": ""}, True, True),
])  # fmt: skip
def test_the_handler_colours_only_a_terminal_and_follows_no_color_and_force_color(env, terminal, coloured):
    printed = printed_by_handler(env, terminal)
    assert b"careful" in printed
    assert (b"\x1b[" in printed) == coloured, printed
