"""Shared helpers: fresh threads for per-thread logging state, trace file
lookup, console line parsing, fresh interpreters."""

import json
import os
import re
import socket
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import _py_vorn

# "[vorn HOST] YYYY-MM-DD HH:MM:SS(WORKFLOW) | INVOKER(30 bytes) | MESSAGE"
CONSOLE_LINE = re.compile(
    r"\[vorn (?P<host>[^\]]*)\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
    r"\((?P<workflow>[^)]*)\) \| (?P<invoker>.{30}) \| (?P<message>.*)"
)


def run_in_fresh_thread(body, *args):
    """Runs body on a new thread, which starts with fresh logging state, and
    returns its result or re-raises what it raised."""
    outcome = {}

    def target():
        try:
            outcome["result"] = body(*args)
        except BaseException as error:  # handed over to the calling thread
            outcome["error"] = error

    thread = threading.Thread(target=target)
    thread.start()
    thread.join()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def expected_trace_path(root, native_id, prefix="stl_"):
    """The path text a thread with this native id composes under root."""
    return f"{root}/vorn/{socket.gethostname()}/{prefix}{native_id}.log"


class TraceRun:
    def __init__(self, result, path):
        self.result, self.path = result, Path(path)

    @property
    def text(self):
        return self.path.read_text(encoding="utf-8")

    def load(self):
        return json.loads(self.text)


@pytest.fixture
def trace_root(tmp_path, monkeypatch):
    """A private trace root for the threads this test starts."""
    monkeypatch.setenv("VORN_LOG_DIR", str(tmp_path / "logs"))
    monkeypatch.delenv("VORN_LOG_PREFIX", raising=False)
    return tmp_path / "logs"


@pytest.fixture
def traced(trace_root):
    """traced(body) runs body on a fresh thread; a TraceRun with its result
    and the path of that thread's trace file."""

    def run(body):
        def with_id():
            return body(), threading.get_native_id()

        result, native_id = run_in_fresh_thread(with_id)
        return TraceRun(result, expected_trace_path(trace_root, native_id))

    return run


def set_console_options(**fields):
    """The calling thread's console options become the defaults plus fields."""
    options = _py_vorn.StdoutLoggerOptions()
    for name, value in fields.items():
        setattr(options, name, value)
    _py_vorn.StdoutLogger.set_options(options)


def parse_console_lines(output):
    lines = [CONSOLE_LINE.fullmatch(line) for line in output.splitlines()]
    assert all(lines), output
    return [line.groupdict() for line in lines]


@pytest.fixture
def console(capfd):
    """Uncoloured header lines on this thread; returns a reader of what
    reached file descriptor 1 since the last read."""
    saved = _py_vorn.StdoutLogger.get_options()
    set_console_options(use_color=False)
    capfd.readouterr()
    yield lambda: capfd.readouterr().out
    _py_vorn.StdoutLogger.set_options(saved)


def invokers_of(output):
    """The invoker column of each header line, unpadded (30 bytes, so split
    rather than count characters)."""
    return [line.split(" | ", 2)[1].rstrip(" ") for line in output.splitlines()]


def run_python(code, *, cwd=None, env=None):
    """Runs code in a fresh interpreter that can import the module."""
    return subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        cwd=cwd,
        env={**os.environ, **(env or {})},
        check=True,
    )
