"""What the module registers: names in order, signatures, alias, re-import."""

import importlib
import sys

import pytest

import _py_vorn
from conftest import run_python

INT = "typing.SupportsInt | typing.SupportsIndex"  # pybind11 3.1's rendering of an int parameter
LOGGER_SIGNATURES = {
    "__init__": "__init__(self: _py_vorn.{cls}, message: str = '', invoker: str | None = None, "
    f"file: str = '<python>', line: {INT} = 0, tid: {INT} | None = None) -> None",
    "log": "log(self: _py_vorn.{cls}, message: str) -> None",
    "close": "close(self: _py_vorn.{cls}) -> None",
    "__enter__": "__enter__(self: _py_vorn.{cls}) -> _py_vorn.{cls}",
    "__exit__": "__exit__(self: _py_vorn.{cls}, arg0: object, arg1: object, arg2: object) -> None",
}
STATIC_SIGNATURES = {
    "print": "print(message: str, invoker: str | None = None) -> None",
    "set_options": "set_options(options: _py_vorn.StdoutLoggerOptions) -> None",
    "get_options": "get_options() -> _py_vorn.StdoutLoggerOptions",
}
# Added by pybind11 itself, or cached by copyreg once a copy was attempted.
NOT_REGISTERED = {"_pybind11_conduit_v1_", "__doc__", "__module__", "__slotnames__"}


def members(cls):
    return [name for name in vars(cls) if name not in NOT_REGISTERED]


def signature(function):
    return function.__doc__.strip()


def test_module_names_in_registration_order():
    assert [name for name in vars(_py_vorn) if not name.startswith("__")] == [
        "StdoutLoggerOptions", "StlLogger", "StdoutLogger", "CLI_LEVEL_RESET", "CLI_LEVEL_STATUS",
        "CLI_LEVEL_INFO", "CLI_LEVEL_WARNING", "CLI_LEVEL_ERROR", "Logger",
    ]  # fmt: skip
    assert _py_vorn.Logger is _py_vorn.StlLogger


@pytest.mark.parametrize(
    ("name", "extra"),
    [
        ("StlLogger", ["get_log_file_name", "log_file_name"]),
        ("StdoutLogger", list(STATIC_SIGNATURES)),
    ],
)
def test_logger_classes(name, extra):
    cls = getattr(_py_vorn, name)
    assert members(cls) == [*LOGGER_SIGNATURES, *extra]
    for member, text in LOGGER_SIGNATURES.items():
        assert signature(getattr(cls, member)) == text.format(cls=name)
    assert cls.__bases__ == _py_vorn.StdoutLoggerOptions.__bases__  # pybind11's object base only


def test_class_specific_members():
    stl = _py_vorn.StlLogger
    assert signature(stl.get_log_file_name) == "get_log_file_name(self: _py_vorn.StlLogger) -> str"
    prop = vars(stl)["log_file_name"]
    assert prop.fset is None and signature(prop.fget) == "(arg0: _py_vorn.StlLogger) -> str"
    for name, text in STATIC_SIGNATURES.items():
        assert isinstance(vars(_py_vorn.StdoutLogger)[name], staticmethod)
        assert signature(getattr(_py_vorn.StdoutLogger, name)) == text


def test_options_class():
    cls = _py_vorn.StdoutLoggerOptions
    assert members(cls) == ["__init__", "color", "workflow_name", "print_header", "use_color"]
    assert signature(cls.__init__) == "__init__(self: _py_vorn.StdoutLoggerOptions) -> None"
    kinds = {"color": "str", "workflow_name": "str", "print_header": "bool", "use_color": "bool"}
    for name, kind in kinds.items():
        prop = vars(cls)[name]
        assert signature(prop.fget) == f"(self: _py_vorn.StdoutLoggerOptions) -> {kind}"
        assert signature(prop.fset) == f"(self: _py_vorn.StdoutLoggerOptions, arg0: {kind}) -> None"


@pytest.mark.parametrize("name", ["StlLogger", "StdoutLogger", "StdoutLoggerOptions"])
def test_instances_take_no_undefined_attribute(name):
    cls = getattr(_py_vorn, name)
    instance = cls.__new__(cls)
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.extra = 1


def test_reimport_after_removal_from_sys_modules_gives_the_same_classes():
    classes = (_py_vorn.StlLogger, _py_vorn.StdoutLogger, _py_vorn.StdoutLoggerOptions)
    saved = sys.modules.pop("_py_vorn")
    try:
        again = importlib.import_module("_py_vorn")
        now = (again.StlLogger, again.StdoutLogger, again.StdoutLoggerOptions, again.Logger)
        assert all(new is old for new, old in zip(now, (*classes, classes[0]), strict=True))
    finally:
        sys.modules["_py_vorn"] = saved


def test_import_writes_nothing(tmp_path):
    result = run_python("import _py_vorn", cwd=tmp_path)
    assert (result.stdout, result.stderr, list(tmp_path.iterdir())) == ("", "", [])
