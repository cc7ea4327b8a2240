"""The invoker named when none is given: the calling Python function, or the
script's file name for module-level code, else "python"."""

import pathlib

import pytest

import _py_vorn
from _py_vorn import StdoutLogger
from conftest import invokers_of

PRINT = "vorn.StdoutLogger.print('m')"


def module_level(source, file_value=...):
    """Runs source as module-level code whose globals hold `vorn` and, unless
    left out, __file__."""
    namespace = {"vorn": _py_vorn}
    if file_value is not ...:
        namespace["__file__"] = file_value
    exec(source, namespace)


class Job:
    def run(self):
        StdoutLogger.print("m")


class Step(StdoutLogger):
    def __init__(self):
        super().__init__("opened")


def test_a_given_invoker_is_used_unchanged_else_the_calling_function_is_named(console):
    def work():
        StdoutLogger.print("m", "loader")
        StdoutLogger.print("m", invoker="")
        StdoutLogger("m", "").close()
        StdoutLogger.print("m", None)
        return StdoutLogger("scope")

    def größe():
        StdoutLogger.print("m")

    scope = work()
    scope.log("logged outside work")  # keeps the invoker of its scope
    scope.close()
    Job().run()
    (lambda: StdoutLogger.print("m"))()
    Step().close()
    größe()
    expected = ["loader", "", "", "work", "work", "work", "run", "<lambda>", "__init__", "größe"]
    assert invokers_of(console()) == expected


@pytest.mark.parametrize(
    ("file_value", "expected"),
    [
        ("/srv/jobs/nightly.py", "nightly.py"),
        ("nightly.py", "nightly.py"),
        (pathlib.PurePosixPath("/srv/jobs/weekly.py"), "weekly.py"),
        # A str subclass is taken as it is: str() on it would raise.
        (type("S", (str,), {"__str__": lambda self: 1 / 0})("/a/sub.py"), "sub.py"),
        ("<", "<"),
        ("<stdin>", "python"),
        ("/srv/jobs/", "python"),
        ("", "python"),
        (None, "python"),
        (..., "python"),  # no __file__ at all
    ],
)
def test_module_level_code_names_the_script(console, file_value, expected):
    module_level(PRINT, file_value)
    assert invokers_of(console()) == [expected]


class Unprintable:
    def __str__(self):
        raise LookupError("no name for you")


@pytest.mark.parametrize(
    ("file_value", "error"),
    [("/srv/jobs/\udcff.py", UnicodeEncodeError), (Unprintable(), LookupError)],
)
@pytest.mark.parametrize(
    "call", [PRINT, "vorn.StdoutLogger.print('m', 'given')", "vorn.StlLogger('m', 'given')"]
)
def test_a_failure_naming_the_caller_fails_the_call(console, trace_root, call, file_value, error):
    # Raised as it is, never replaced by the fallback, even when an invoker
    # was given; nothing is printed or written.
    with pytest.raises(error):
        module_level(call, file_value)
    assert console() == ""
    assert not trace_root.exists()
