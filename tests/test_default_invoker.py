"""The invoker named when none is given: the calling Python function, or the
script's file name for module-level code, else "python"."""

import pathlib
import subprocess
import sys

import pytest

import _py_vorn
from _py_vorn import StdoutLogger
from conftest import invokers_of, run_python

PRINT = "vorn.StdoutLogger.print('m')"


def module_level(source, file_value=..., globals_type=dict):
    """Runs source as module-level code whose globals hold `vorn` and, unless
    left out, __file__."""
    namespace = {"vorn": _py_vorn}
    if file_value is not ...:
        namespace["__file__"] = file_value
    exec(source, globals_type(namespace))


class Job:
    def run(self):
        StdoutLogger.print("m")


class Step(StdoutLogger):
    def __init__(self):
        super().__init__("opened")


def test_function_code_names_the_calling_function(console):
    def work():
        StdoutLogger.print("m")
        StdoutLogger("scope").close()
        [StdoutLogger.print("m") for _ in range(1)]  # inlined into work

    def größe():
        StdoutLogger.print("m")

    work()
    Job().run()
    (lambda: StdoutLogger.print("m"))()
    Step().close()
    größe()
    expected = ["work", "work", "work", "run", "<lambda>", "__init__", "größe"]
    assert invokers_of(console()) == expected


@pytest.mark.parametrize(
    ("file_value", "expected"),
    [
        ("/srv/jobs/nightly.py", "nightly.py"),
        ("nightly.py", "nightly.py"),
        ("jobs/v1.2/run", "run"),
        (pathlib.PurePosixPath("/srv/jobs/weekly.py"), "weekly.py"),
        # A str subclass is taken as it is: str() on it would raise.
        (type("S", (str,), {"__str__": lambda self: 1 / 0})("/a/sub.py"), "sub.py"),
        ("<", "<"),
        (None, "python"),
        ("", "python"),
        ("<stdin>", "python"),
        ("<string>", "python"),
        ("/srv/jobs/", "python"),
        (..., "python"),  # no __file__ at all
    ],
)
def test_module_level_code_names_the_script(console, file_value, expected):
    module_level(PRINT, file_value)
    module_level(PRINT, file_value, globals_type=type("Globals", (dict,), {}))
    assert invokers_of(console()) == [expected, expected]


def test_scripts_run_by_path_and_with_dash_c(tmp_path):
    setup = "import _py_vorn\no = _py_vorn.StdoutLoggerOptions()\no.use_color = False\n"
    setup += "_py_vorn.StdoutLogger.set_options(o)\n_py_vorn.StdoutLogger.print('m')\n"
    script = tmp_path / "nightly_job.py"
    script.write_text(setup)
    by_path = subprocess.run(
        [sys.executable, str(script)], capture_output=True, text=True, check=True
    )
    assert invokers_of(by_path.stdout) == ["nightly_job.py"]
    assert invokers_of(run_python(setup).stdout) == ["python"]


def test_a_given_invoker_is_used_unchanged(console):
    def work():
        StdoutLogger.print("m", "loader")
        StdoutLogger.print("m", invoker="")
        StdoutLogger.print("m", None)
        StdoutLogger("m", "").close()

    work()
    assert invokers_of(console()) == ["loader", "", "work", ""]


class Unprintable:
    def __str__(self):
        raise LookupError("no name for you")


@pytest.mark.parametrize(
    ("file_value", "error"),
    [("/srv/jobs/\udcff.py", UnicodeEncodeError), (Unprintable(), LookupError)],
)
@pytest.mark.parametrize(
    "call",
    [
        PRINT,
        "vorn.StdoutLogger.print('m', 'given')",
        "vorn.StdoutLogger('m', 'given')",
        "vorn.StlLogger('m', 'given')",
    ],
)
def test_a_failure_naming_the_caller_fails_the_call(console, trace_root, call, file_value, error):
    # Raised as it is, never replaced by the fallback, even when an invoker
    # was given; nothing is printed or written.
    with pytest.raises(error):
        module_level(call, file_value)
    assert console() == ""
    assert not trace_root.exists()
