"""Threads are named in trace files, and by every tool, as Python names
them, beyond the system's 15 bytes; the system's name stays the fallback."""

import json

from conftest import run_python, run_vorn
from vorn import find_trace_files
from vorn.reading.trace_identity import read_identity

PROGRAM = r"""
import _thread, threading, _py_vorn

def scope(name):
    _py_vorn.StlLogger(name).close()

scope("main")
for name in ("request-handler-000123", "é" * 150):
    thread = threading.Thread(target=scope, args=(name,), name=name)
    thread.start()
    thread.join()
done = threading.Lock()
done.acquire()
_thread.start_new_thread(lambda: (scope("raw"), done.release()), ())
done.acquire()
"""


def test_each_thread_is_named_as_python_names_it(tmp_path):
    run_python(PROGRAM, env={"VORN_LOG_DIR": str(tmp_path)})
    files = {trace.path.read_text().split('"args": "', 1)[1].split('"')[0]: trace
             for trace in find_trace_files([tmp_path])}  # fmt: skip
    names = {message: (trace.thread_name, trace.thread) for message, trace in files.items()}
    long = "é" * 100  # cut to 200 bytes, at a character boundary
    raw = read_identity(files["raw"].path)  # started by _thread: threading knows it as "Dummy-1"
    assert {message: name for message, (name, _) in names.items()} == {
        "main": "MainThread", "request-handler-000123": "request-handler-000123", long + "é" * 50: long,
        "raw": raw.system_thread_name}  # fmt: skip
    assert raw.system_thread_name and not raw.system_thread_name.startswith("Dummy")

    out = tmp_path / "trace.json"
    assert run_vorn("export", str(tmp_path), "-o", str(out)).returncode == 0
    exported = {event["args"]["name"] for event in json.loads(out.read_text())["traceEvents"]
                if event.get("name") == "thread_name"}  # fmt: skip
    assert {f"{name} {thread}" for name, thread in names.values()} <= exported
