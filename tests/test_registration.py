"""What the module registers and how it loads: names in order, values, the
alias, the constructor's signature, re-import and sub-interpreters."""

import importlib
import subprocess
import sys

import pytest

import _py_vorn
from conftest import SCOPES_OUT_OF_ORDER, run_python

LOGGER_MEMBERS = ["__init__", "log", "close", "__enter__", "__exit__"]
MEMBERS = {
    "StdoutLoggerOptions": ["__init__", "color: read-write str", "workflow_name: read-write str",
                            "print_header: read-write bool", "use_color: read-write bool"],
    "StlLogger": [*LOGGER_MEMBERS, "get_log_file_name", "log_file_name: read-only str"],
    "StdoutLogger": [*LOGGER_MEMBERS, "print", "set_options", "get_options"],
}  # fmt: skip
LOGGER_INIT = (
    "__init__(self: _py_vorn.{}, message: str = '', invoker: str | None = None, "
    "file: str = '<python>', line: typing.SupportsInt = 0, tid: typing.SupportsInt | None = None)"
    " -> None"
)
# The guard that refuses __class__ assignment across our classes.
GUARDS = ("__setattr__",)


def registered_members(cls):
    """The members the module registered on cls, in order; a property with its
    access and type."""
    for name, member in vars(cls).items():
        if isinstance(member, property):
            access = "read-write" if member.fset else "read-only"
            yield f"{name}: {access} {member.fget.__doc__.split(' -> ')[-1].strip()}"
        elif name not in ("_pybind11_conduit_v1_", "__doc__", "__module__", *GUARDS):
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
    accessors = [doc for member in vars(cls).values() if isinstance(member, property)
                 for doc in (member.fget.__doc__, member.fset and member.fset.__doc__) if doc]
    assert all(doc.startswith("(self: ") for doc in accessors)
    if name != "StdoutLoggerOptions":
        assert cls.__init__.__doc__.strip() == LOGGER_INIT.format(name)
        with pytest.raises(TypeError) as refused:
            cls(line=1.5)
        assert f"line: typing.SupportsInt = 0, tid: typing.SupportsInt | None = None" in str(refused.value)


def test_the_entry_points_are_the_only_symbols_the_extension_exports():
    result = subprocess.run(["nm", "-D", "--defined-only", "-C", _py_vorn.__file__],
                            capture_output=True, text=True, check=True)
    ours = [line for line in result.stdout.splitlines() if "vorn" in line]
    # The second is the trace record writer that vorn.TraceHandler loads.
    assert [line.split()[-1] for line in ours] == ["PyInit__py_vorn", "PyInit__py_vorn_trace_record"]


@pytest.mark.parametrize("method", ["__init__", "log", "close", "__enter__", "__exit__"])
@pytest.mark.parametrize("cls", [_py_vorn.StlLogger, _py_vorn.StdoutLogger])
def test_a_method_called_on_a_foreign_self_raises_pybind11s_type_error(cls, method):
    expected = "called with invalid or missing `self`" if method == "__init__" else "incompatible function"
    with pytest.raises(TypeError, match=rf"^{method}\(.*{expected}"):
        getattr(cls, method)(5, "x")
    assert getattr(cls, method).__qualname__ == f"{cls.__name__}.{method}"


@SCOPES_OUT_OF_ORDER
def test_class_assignment_between_the_logger_classes_is_refused(tmp_path, monkeypatch):
    monkeypatch.setenv("VORN_LOG_DIR", str(tmp_path))

    class Sub(_py_vorn.StlLogger):
        pass

    class StdoutSub(_py_vorn.StdoutLogger):
        pass

    for logger, target in [(_py_vorn.StlLogger("m"), _py_vorn.StdoutLogger), (Sub("m"), StdoutSub),
                           (Sub("m"), _py_vorn.StdoutLogger), (_py_vorn.StlLogger("m"), int)]:
        with pytest.raises(TypeError, match="__class__ assignment"):
            logger.__class__ = target
        assert isinstance(logger, _py_vorn.StlLogger)
        logger.close()
    own = Sub("m")  # other attributes of a subclass instance are set as before
    own.extra = 1
    own.close()
    assert own.extra == 1


def test_reimport_after_removal_from_sys_modules_gives_the_same_classes(monkeypatch):
    classes = (_py_vorn.StlLogger, _py_vorn.StdoutLogger, _py_vorn.StdoutLoggerOptions)
    monkeypatch.delitem(sys.modules, "_py_vorn")
    again = importlib.import_module("_py_vorn")
    assert (again.StlLogger, again.StdoutLogger, again.StdoutLoggerOptions) == classes
    assert again.Logger is classes[0]


def test_import_writes_nothing(tmp_path):
    result = run_python("import _py_vorn", cwd=tmp_path)
    assert (result.stdout, result.stderr, list(tmp_path.iterdir())) == ("", "", [])


SUB_INTERPRETER = """
import _interpreters, os, sys
def in_sub(config):
    interp = _interpreters.create(config)
    failure = _interpreters.exec(interp, "import _py_vorn")
    return interp, (failure.type.__name__, failure.msg) if failure else None
def in_main():
    import _py_vorn
    with _py_vorn.StlLogger("main", "main") as scope:
        scope.log("still works")
    return scope.get_log_file_name()
first, config, destroy = sys.argv[1], sys.argv[2], sys.argv[3] == "destroy"
path = in_main() if first == "main" else None
interp, failure = in_sub(config)
if destroy:
    _interpreters.destroy(interp)
path = path or in_main()
print(failure)
print(open(path).read().count('"still works"'))
"""


@pytest.mark.parametrize("first", ["main", "sub"])
@pytest.mark.parametrize("config", ["legacy", "isolated"])
@pytest.mark.parametrize("end", ["destroy", "keep"])
def test_refuses_to_load_into_a_sub_interpreter_and_the_main_one_goes_on(tmp_path, first, config, end):
    result = subprocess.run([sys.executable, "-c", SUB_INTERPRETER, first, config, end], cwd=tmp_path,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    failure, records = result.stdout.splitlines()
    assert failure == "('ImportError', 'module _py_vorn does not support loading in subinterpreters')"
    assert records == "1"
