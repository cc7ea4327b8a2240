"""Shared helpers: fresh threads for per-thread logging state, trace file
lookup, console line parsing, fresh interpreters, reading unfinished traces."""

import json
import os
import re
import socket
import struct
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, settings

import _py_vorn
from vorn.reading.trace_files import TraceFile

# "[vorn HOST] YYYY-MM-DD HH:MM:SS(WORKFLOW) | INVOKER(30 bytes) | MESSAGE"
CONSOLE_LINE = re.compile(
    r"\[vorn (?P<host>[^\]]*)\] \d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
    r"\((?P<workflow>[^)]*)\) \| (?P<invoker>.{30}) \| (?P<message>.*)"
)

# Fixed examples, so that CI runs the same programs every time.
PROPERTY = settings(max_examples=200, deadline=None, derandomize=True, database=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                           HealthCheck.data_too_large])  # fmt: skip

# For tests that close or drop trace scopes out of order on purpose, where
# the RuntimeWarning saying so is expected.
SCOPES_OUT_OF_ORDER = pytest.mark.filterwarnings(r"ignore:a trace scope \(StlLogger\) was:RuntimeWarning")


def run_in_fresh_thread(body, *args):
    """Runs body on a new thread, which starts with fresh logging state and has
    ended when this returns body's result or re-raises what it raised."""
    with ThreadPoolExecutor(max_workers=1) as pool:
        return pool.submit(body, *args).result()


def run_threads(count, body, *args):
    """Runs body(start, index, *args) on `count` new threads at once and
    waits for them all; `start` is a barrier they may wait on together."""
    start = threading.Barrier(count)
    threads = [threading.Thread(target=body, args=(start, index, *args)) for index in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def trace_path(root, native_id, prefix="stl_"):
    """Where the thread with this native id writes its trace under root."""
    return Path(f"{root}/vorn/{socket.gethostname()}/{prefix}{native_id}.log")


def tolerant_json(text):
    """Parses a trace file that may stop inside open scopes (its thread ended
    with scopes open, or its process died): the brackets still open are
    closed, then the text must be JSON. A file that stops inside a string or
    after a key is not a clean prefix and raises ValueError."""
    closers = []
    in_string = escaped = False
    for char in text:
        if in_string:
            if escaped:
                escaped = False
            elif char == "\\":
                escaped = True
            elif char == '"':
                in_string = False
        elif char == '"':
            in_string = True
        elif char in "[{":
            closers.append("]" if char == "[" else "}")
        elif char in "]}":
            closers.pop()
    if in_string:
        raise ValueError("the text stops inside a string")
    body = text.rstrip()
    if not body:
        return []
    body = body.removesuffix(",")
    return json.loads(body + "".join(reversed(closers)))


@pytest.fixture
def trace_root(tmp_path, monkeypatch):
    """A private trace root for the threads this test starts."""
    monkeypatch.setenv("VORN_LOG_DIR", str(tmp_path / "logs"))
    monkeypatch.delenv("VORN_LOG_PREFIX", raising=False)
    return tmp_path / "logs"


@pytest.fixture
def traced(trace_root):
    """traced(body) runs body on a fresh thread. Returns its result, the path
    that thread's trace file should have, and the text there (None if absent)."""

    def run(body):
        result, native_id = run_in_fresh_thread(lambda: (body(), threading.get_native_id()))
        path = trace_path(trace_root, native_id)
        text = path.read_text(encoding="utf-8") if path.exists() else None
        return SimpleNamespace(result=result, path=path, text=text)

    return run


def run_vorn(*arguments):
    """python -m vorn with these arguments; fails or not, its result."""
    return subprocess.run([sys.executable, "-m", "vorn", *arguments], capture_output=True, text=True,
                          timeout=120)


def scope_text(args, enter, exit, *events, invoker="w", line=7):
    """A scope as the writer lays it out (indentation aside): `events` are the
    texts of its records and scopes; exit None leaves it open."""
    lines = ["{", f'"invoker": {json.dumps(invoker)},', '"file": "f.py",', f'"line": {line},',
             f'"ts_enter": {enter},', f'"args": {json.dumps(args)},', '"events": [',
             *([",\n".join(events)] if events else [])]  # fmt: skip
    return "\n".join(lines + ([] if exit is None else ["],", f'"ts_exit": {exit}', "}"]))


def instant_text(args, ts):
    return "{ " + json.dumps({"ts": ts, "invoker": "w", "file": "f.py", "line": 7, "args": args})[1:-1] + " }"


def write_trace(path, *elements):
    """A trace file of these elements, its array still open as a running
    thread leaves it; returns its TraceFile."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("[\n" + ",\n".join(elements) + "\n", encoding="utf-8")
    return TraceFile.of(path)


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
    env = {**os.environ, **(env or {})}
    command = [sys.executable, "-c", code]
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, env=env, check=True)


def identity_json(**fields):
    """A trace identity attribute value as the writer composes it, from
    these fields over made-up defaults."""
    value = {"version": 1, "pid": 100, "start": 5000, "ppid": 1, "tid": 100, "thread_name": "MainThread",
             "cmdline": ["python3.14", "app.py", "-v"], "host": "vm", "clock_origin_ms": 1765200000000}  # fmt: skip
    value.update(fields)
    return json.dumps(value, separators=(",", ":")).encode()


def write_traced_file(path, *elements, **identity):
    """write_trace, with the identity attribute of identity_json(**identity);
    returns the TraceFile read back."""
    write_trace(path, *elements)
    os.setxattr(path, "user.vorn.trace", identity_json(**identity))
    return TraceFile.of(path)


COMPANION_HEADER = struct.Struct("<8sIIqQqqQQ")


def write_companion(trace, entries, count=None, magic=b"VORNTIME", **header):
    """The companion of precise times of `trace` (a TraceFile or the path of
    X.log; written as X.times) as the writer lays it out: the 64-byte header,
    with identity_json's made-up process unless `header` gives pid, start,
    tid or origin, and one nanosecond entry per timed record; `count`
    defaults to all entries. Returns the companion's path."""
    fields = {"pid": 100, "start": 5000, "tid": 100, "origin": 1765200000000} | header
    head = COMPANION_HEADER.pack(magic, 1, COMPANION_HEADER.size, fields["pid"], fields["start"], fields["tid"],
                                 fields["origin"], len(entries) if count is None else count, 0)  # fmt: skip
    path = Path(getattr(trace, "path", trace)).with_suffix(".times")
    path.write_bytes(head + struct.pack(f"<{len(entries)}q", *entries))
    return path
