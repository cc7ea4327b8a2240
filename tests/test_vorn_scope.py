"""vorn.scope, and the "raised <type>: <message>" record it and traced write,
which the tools must read back as the exception that left the scope."""

import inspect

import pytest

import _py_vorn
import vorn
from vorn import read_trace
from vorn.program.block_scope import RAISED_LIMIT, raised_message
from vorn.reading.scope_outcome import Raised, raised_of


class Job:
    class Failed(Exception):
        pass


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize("error, record, raised", [
    (ValueError("bad input 42"), "raised ValueError: bad input 42", ("ValueError", "bad input 42")),
    (KeyError("k"), "raised KeyError: 'k'", ("KeyError", "'k'")),
    (KeyError(), "raised KeyError", ("KeyError", "")),
    (Job.Failed("two\nlines"), "raised Job.Failed: two\nlines", ("Job.Failed", "two\nlines")),
    (Unprintable("x"), "raised Unprintable", ("Unprintable", "")),
    (OSError("a\udcffb"), "raised OSError: a\\udcffb", ("OSError", "a\\udcffb")),
    (ValueError("é" * 5000), "raised ValueError: " + "é" * (RAISED_LIMIT - 20) + "…",
     ("ValueError", "é" * (RAISED_LIMIT - 20) + "…")),
])  # fmt: skip
def test_a_traced_call_logs_the_exception_and_the_tools_read_it_back(traced, error, record, raised):
    @vorn.traced
    def fails():
        raise error

    run = traced(lambda: pytest.raises(type(error), fails))
    assert raised_message(error) == record and len(record) <= RAISED_LIMIT
    [scope] = read_trace(run.path)
    assert [event.args for event in scope.events] == [record]
    assert raised_of(scope) == Raised(*raised)


def scope_identity(scope):
    return scope.invoker, scope.file, scope.line


def test_a_scope_names_its_caller_and_logs_an_exception_that_leaves_it(traced):
    def body():
        line = inspect.currentframe().f_lineno + 1
        with vorn.scope("load") as rows:
            rows.log("cache miss")
            _py_vorn.StlLogger("plain").close()
        with pytest.raises(ValueError), vorn.scope("parse", invoker="parser", file="p.py", line=9):
            raise ValueError("bad input 42")
        with pytest.raises(KeyError), vorn.scope("closed early") as early:
            early.close()  # nothing is left to log into; the exception still goes on
            raise KeyError
        return line

    run = traced(body)
    load, parse, closed = read_trace(run.path)
    assert scope_identity(load) == ("body", __file__, run.result)
    assert [event.args for event in load.events] == ["cache miss", "plain"]
    assert load.events[1].invoker == "body", "the same invoker as StlLogger's own"
    assert scope_identity(parse) == ("parser", "p.py", 9)
    assert [event.args for event in parse.events] == ["raised ValueError: bad input 42"]
    assert (closed.args, closed.events, closed.ts_exit is not None) == ("closed early", [], True)


@pytest.mark.parametrize("globals_, invoker", [
    ({"__file__": "/srv/jobs/nightly.py"}, "nightly.py"),
    ({"__file__": "<stdin>"}, "python"),
    ({}, "python"),
])  # fmt: skip
def test_module_level_code_is_named_as_the_loggers_name_it(traced, globals_, invoker):
    code = "with vorn.scope('top'):\n    _py_vorn.StlLogger('plain').close()\n"

    run = traced(lambda: exec(compile(code, "/srv/jobs/nightly.py", "exec"), {**globals_, "vorn": vorn,
                                                                              "_py_vorn": _py_vorn}))
    [top] = read_trace(run.path)
    assert (scope_identity(top), top.events[0].invoker) == ((invoker, "/srv/jobs/nightly.py", 1), invoker)


def test_a_scope_opens_once(traced):
    def twice():
        once = vorn.scope("once")
        with once:
            pass
        with pytest.raises(RuntimeError, match="one scope"), once:
            pass

    assert [scope.args for scope in read_trace(traced(twice).path)] == ["once"]
