"""Tracing past failures of the file system: a full file (the file-size
limit), a trace directory removed while its file is open, and one that
cannot be made again. Nothing raises from log, close or destruction, the
process lives on, and each file holds whole records only."""

import json
import os
import shutil
import socket
import threading
from pathlib import Path

import pytest

from _py_vorn import StlLogger
from conftest import run_in_fresh_thread, run_python, tolerant_json, trace_path

# Traces 40 top-level scopes, each with records, a nested scope dropped while
# open and one closed at once, under a file-size limit set in this child
# with SIGXFSZ ignored, so that writes past it fail instead of killing it.
LIMITED_CHILD = """
import resource, signal
import _py_vorn

signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.RLIM_INFINITY))

def trace():
    for i in range(40):
        with _py_vorn.StlLogger(f"scope {{i}}") as scope:
            for j in range(3):
                scope.log(f"record {{i}}.{{j}} " + "x" * 40)
            inner = _py_vorn.StlLogger(f"inner {{i}}")
            inner.log(f"record {{i}}.inner")
            del inner
            _py_vorn.StlLogger(f"closed {{i}}").close()
    return scope.log_file_name

print(trace())
"""


def program_order():
    for i in range(40):
        yield f"scope {i}"
        yield from (f"record {i}.{j} " + "x" * 40 for j in range(3))
        yield from (f"inner {i}", f"record {i}.inner", f"closed {i}")


def args_in_order(elements):
    for element in elements:
        yield element["args"]
        yield from args_in_order(element.get("events", []))


@pytest.mark.parametrize("limit", [0, 1, 2500, 20000])
def test_a_file_size_limit_leaves_whole_records_and_raises_nothing(tmp_path, limit):
    result = run_python(LIMITED_CHILD.format(limit=limit), env={"VORN_LOG_DIR": str(tmp_path)})
    assert result.stderr == ""
    text = Path(result.stdout.strip()).read_text(encoding="utf-8")
    assert len(text) <= limit
    # The file ends where the last write that fit ended: the next one, which
    # would have passed the limit, was undone whole. A write ends with a line
    # end, or with a record or brace whose line end the next write brings.
    assert text == "" or text.endswith(("\n", "}"))
    assert limit - len(text) < 800
    written = list(args_in_order(tolerant_json(text)))
    assert written == list(program_order())[: len(written)]


def open_trace_file_text(name):
    """The text of the calling process's open trace file `name`, also when
    its path has been removed."""
    for descriptor in os.listdir("/proc/self/fd"):
        try:
            target = os.readlink(f"/proc/self/fd/{descriptor}")
        except OSError:
            continue
        if target in (name, f"{name} (deleted)"):
            with open(f"/proc/self/fd/{descriptor}", encoding="utf-8") as file:
                return file.read()
    raise AssertionError(f"{name} is not open")


def test_a_directory_removed_under_an_open_file_changes_nothing_for_its_thread(trace_root):
    def body():
        outer = StlLogger("outer")
        outer.log("before")
        shutil.rmtree(trace_root)
        outer.log("after the removal")
        with StlLogger("inner") as inner:
            inner.log("inside")
        outer.close()
        StlLogger("second").close()
        return open_trace_file_text(outer.log_file_name)

    text = run_in_fresh_thread(body)
    assert list(args_in_order(json.loads(text))) == [
        "outer", "before", "after the removal", "inner", "inside", "second"
    ]  # fmt: skip
    assert not trace_root.exists()
    # A thread that opens its file later makes the directory again.
    run_in_fresh_thread(lambda: StlLogger("later thread").close())
    assert trace_root.is_dir()


def test_log_close_and_drop_raise_nothing_once_the_directory_cannot_be_made(trace_root, monkeypatch):
    # A prefix naming a subdirectory that nobody makes: the file cannot be
    # opened, so every write tries again, directory first.
    monkeypatch.setenv("VORN_LOG_PREFIX", "missing/stl_")

    def body():
        outer = StlLogger("outer")
        inner = StlLogger("inner")
        shutil.rmtree(trace_root)
        trace_root.write_text("")  # a regular file where the directory must go
        inner.log("held")
        inner.log("releases the held record")
        inner.close()
        del outer
        with pytest.raises(RuntimeError, match="logs"):
            StlLogger("refused")  # opening a scope is the one call that reports it
        trace_root.unlink()
        (trace_root / "vorn" / socket.gethostname() / "missing").mkdir(parents=True)
        StlLogger("after").close()
        return threading.get_native_id()

    native_id = run_in_fresh_thread(body)
    text = trace_path(trace_root, native_id, prefix="missing/stl_").read_text(encoding="utf-8")
    assert [scope["args"] for scope in json.loads(text)] == ["after"]
