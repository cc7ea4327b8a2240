"""What the module registers and how it loads: names in order, values, the
alias, the constructor's signature, re-import and sub-interpreters."""

import importlib
import sys

import pytest

import _py_vorn
from conftest import run_python

LOGGER_MEMBERS = ["__init__", "log", "close", "__enter__", "__exit__"]
MEMBERS = {
    "StdoutLoggerOptions": ["__init__", "color: read-write str", "workflow_name: read-write str",
                            "print_header: read-write bool", "use_color: read-write bool"],
    "StlLogger": [*LOGGER_MEMBERS, "get_log_file_name", "log_file_name: read-only str"],
    "StdoutLogger": [*LOGGER_MEMBERS, "print", "set_options", "get_options"],
}  # fmt: skip
INT = "typing.SupportsInt | typing.SupportsIndex"  # pybind11 3.1's rendering of an int parameter
LOGGER_INIT = (
    "__init__(self: _py_vorn.{}, message: str = '', invoker: str | None = None, "
    f"file: str = '<python>', line: {INT} = 0, tid: {INT} | None = None) -> None"
)


def registered_members(cls):
    """The members the module registered on cls, in order; a property with its
    access and type."""
    for name, member in vars(cls).items():
        if isinstance(member, property):
            access = "read-write" if member.fset else "read-only"
            yield f"{name}: {access} {member.fget.__doc__.split(' -> ')[-1].strip()}"
        elif name not in ("_pybind11_conduit_v1_", "__doc__", "__module__"):  # pybind11's own
            yield name


def test_module_names_in_registration_order_and_their_values():
    assert _py_vorn.__doc__ == "Python bindings for the VORN STL and stdout loggers"
    assert [name for name in vars(_py_vorn) if not name.startswith("__")] == [
        "StdoutLoggerOptions", "StlLogger", "StdoutLogger", "CLI_LEVEL_RESET", "CLI_LEVEL_STATUS",
        "CLI_LEVEL_INFO", "CLI_LEVEL_WARNING", "CLI_LEVEL_ERROR", "Logger",
    ]  # fmt: skip
    levels = ("RESET", "STATUS", "INFO", "WARNING", "ERROR")
    assert [getattr(_py_vorn, f"CLI_LEVEL_{level}") for level in levels] == [
        "\x1b[0m", "\x1b[1;34m", "\x1b[1;32m", "\x1b[1;33m", "\x1b[1;31m",
    ]  # fmt: skip
    assert _py_vorn.Logger is _py_vorn.StlLogger


@pytest.mark.parametrize("name", MEMBERS)
def test_classes_register_their_members_in_order_and_take_no_other_attribute(name):
    cls = getattr(_py_vorn, name)
    assert list(registered_members(cls)) == MEMBERS[name]
    assert [base.__name__ for base in cls.__mro__] == [name, "pybind11_object", "object"]
    with pytest.raises(AttributeError):
        cls.__new__(cls).extra = 1
    if name != "StdoutLoggerOptions":
        assert cls.__init__.__doc__.strip() == LOGGER_INIT.format(name)


def test_reimport_after_removal_from_sys_modules_gives_the_same_classes(monkeypatch):
    classes = (_py_vorn.StlLogger, _py_vorn.StdoutLogger, _py_vorn.StdoutLoggerOptions)
    monkeypatch.delitem(sys.modules, "_py_vorn")
    again = importlib.import_module("_py_vorn")
    assert (again.StlLogger, again.StdoutLogger, again.StdoutLoggerOptions) == classes
    assert again.Logger is classes[0]


def test_import_writes_nothing(tmp_path):
    result = run_python("import _py_vorn", cwd=tmp_path)
    assert (result.stdout, result.stderr, list(tmp_path.iterdir())) == ("", "", [])


def test_refuses_to_load_into_a_sub_interpreter():
    code = (
        "from concurrent import interpreters\n"
        "try:\n"
        "    interpreters.create().exec('import _py_vorn')\n"
        "except interpreters.ExecutionFailed as failure:\n"
        "    print(failure.excinfo.type.__name__)\n"
    )
    assert run_python(code).stdout == "ImportError\n"
