"""Typing: the extension's stub matches the built module, installs where
mypy finds it, and the vorn package type-checks under --strict."""

import ast
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _py_vorn

pytest.importorskip("mypy", reason="the typing checks need mypy")

STUB = Path(__file__).resolve().parents[1] / "python" / "_py_vorn.pyi"
BUILD_DIR = Path(_py_vorn.__file__).parent


def run(module, *arguments, cwd, **environment):
    return subprocess.run([sys.executable, "-m", module, *arguments], cwd=cwd,
                          env=os.environ | environment, capture_output=True, text=True)  # fmt: skip


def test_stubtest_finds_the_stub_and_the_module_in_step(tmp_path):
    # pybind11 classes have a metaclass of their own, which no stub spells.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("_py_vorn.StlLogger\n_py_vorn.StdoutLogger\n_py_vorn.StdoutLoggerOptions\n")
    result = run("mypy.stubtest", "_py_vorn", "--allowlist", str(allowlist), cwd=tmp_path,
                 MYPYPATH=str(STUB.parent))  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr


def parameters(function):
    """[(name, default)] of an ast function without self; positional-only
    parameters by position only, as pybind11 names them arg0, arg1, ..."""
    arguments = function.args
    positional = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(positional) - len(arguments.defaults)) + arguments.defaults
    return [(index if argument in arguments.posonlyargs or argument.arg.startswith("arg") else argument.arg,
             None if default is None else ast.literal_eval(default))
            for index, (argument, default) in enumerate(zip(positional, defaults))
            if argument.arg != "self"]  # fmt: skip


STUB_FUNCTIONS = {
    f"{node.name}.{member.name}": member
    for node in ast.parse(STUB.read_text()).body if isinstance(node, ast.ClassDef)
    for member in node.body if isinstance(member, ast.FunctionDef)
    if not any(getattr(decorator, "id", "") == "property" for decorator in member.decorator_list)
}  # fmt: skip


@pytest.mark.parametrize("qualified", STUB_FUNCTIONS)
def test_stub_parameters_have_the_runtime_names_and_defaults(qualified):
    """pybind11 states each signature in the first docstring line, as in
    "print(message: str, invoker: str | None = None) -> None"."""
    class_name, _, member = qualified.partition(".")
    signature = getattr(getattr(_py_vorn, class_name), member).__doc__.strip().splitlines()[0]
    runtime = ast.parse(f"def {member}({signature.partition('(')[2].rpartition(')')[0]}): pass")
    assert parameters(STUB_FUNCTIONS[qualified]) == parameters(runtime.body[0])


USER_CODE = '''
    import logging
    from collections.abc import Iterator

    import _py_vorn
    import vorn


    @vorn.traced
    def double(value: int) -> int:
        return value * 2


    @vorn.traced(name="numbers")
    def numbers(limit: int) -> Iterator[int]:
        yield from range(limit)


    def main() -> str:
        with vorn.StlLogger("load", line=double(2) + sum(numbers(3))) as scope:
            scope.log("x")
            name: str = scope.log_file_name
        options: _py_vorn.StdoutLoggerOptions = vorn.StdoutLogger.get_options()
        options.use_color = False
        vorn.StdoutLogger.set_options(options)
        vorn.StdoutLogger.print("done", invoker=None)
        logging.getLogger().addHandler(vorn.ConsoleHandler(logging.INFO))
        for scope_read in vorn.read_trace(name):
            ended: int | None = scope_read.ts_exit
            for event in scope_read.events:
                if isinstance(event, vorn.Instant):
                    ended = event.ts
        return vorn.CLI_LEVEL_INFO


    def misuse() -> None:
'''
MISUSE = ['vorn.StlLogger(line="3")', 'double("two")', "count: int = vorn.CLI_LEVEL_WARNING",
          "vorn.read_trace(3)", "vorn.StdoutLogger.set_options(None)"]  # fmt: skip


def test_user_code_type_checks_strictly_against_the_installed_stub(tmp_path):
    """The stub as CMake's install puts it into a wheel, beside the module."""
    if not (BUILD_DIR / "CMakeCache.txt").exists():
        pytest.skip("the module was not built by this repository's CMake build")
    site = tmp_path / "site"
    subprocess.run(["cmake", "--install", str(BUILD_DIR), "--prefix", str(site)], check=True,
                   capture_output=True)  # fmt: skip
    code = textwrap.dedent(USER_CODE) + "".join(f"    {line}\n" for line in MISUSE)
    (tmp_path / "user.py").write_text(code)
    result = run("mypy", "--strict", "user.py", cwd=tmp_path, MYPYPATH="",
                 PYTHONPATH=os.pathsep.join([str(site), str(STUB.parent)]))  # fmt: skip
    error_lines = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    first = len(code.splitlines()) - len(MISUSE) + 1
    assert sorted(error_lines) == list(range(first, first + len(MISUSE))), result.stdout


def test_the_vorn_package_type_checks_strictly(tmp_path):
    result = run("mypy", "--strict", "-p", "vorn", cwd=tmp_path, MYPYPATH=str(STUB.parent))
    assert result.returncode == 0, result.stdout
