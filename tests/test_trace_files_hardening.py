"""Trace files opened where they would be lost or would clobber something:
standard descriptors closed, a name another live writer holds."""

import fcntl
import json
import threading
from pathlib import Path

from conftest import run_in_fresh_thread, run_python, trace_path
from vorn.reading.trace_files import find_trace_files

DAEMON = """
import json, os, sys
for fd in (0, 1, 2):
    os.close(fd)
from _py_vorn import StlLogger
with StlLogger("start", "daemon") as scope:
    scope.log("running")
    path = os.path.realpath(scope.log_file_name)
    trace_fds = [int(fd) for fd in os.listdir("/proc/self/fd")
                 if os.path.realpath(f"/proc/self/fd/{fd}") == path]
closed = [fd for fd in (0, 1, 2) if not os.path.exists(f"/proc/self/fd/{fd}")]
with open(os.environ["REPORT"], "w") as report:
    json.dump({"path": path, "trace_fds": trace_fds, "closed": closed}, report)
"""


def test_a_process_without_standard_descriptors_keeps_its_trace_off_them(tmp_path):
    report = tmp_path / "report.json"
    run_python(DAEMON, env={"VORN_LOG_DIR": str(tmp_path / "logs"), "REPORT": str(report)})
    result = json.loads(report.read_text())
    assert len(result["trace_fds"]) == 1 and result["trace_fds"][0] >= 3
    assert result["closed"] == [0, 1, 2]
    [scope] = json.loads(Path(result["path"]).read_text(encoding="utf-8"))
    assert scope["invoker"] == "daemon" and scope["events"][0]["args"] == "running"


def test_a_name_another_writer_holds_gives_a_sibling_the_tools_find(trace_root):
    def body():
        tid = threading.get_native_id()
        usual = trace_path(trace_root, tid)
        usual.parent.mkdir(parents=True)
        usual.write_text("theirs")
        with open(usual) as other_writer:
            fcntl.flock(other_writer, fcntl.LOCK_EX | fcntl.LOCK_NB)
            from _py_vorn import StlLogger

            with StlLogger("m", "w") as scope:
                name = scope.log_file_name
        return tid, usual, name

    tid, usual, name = run_in_fresh_thread(body)
    assert name == str(usual.with_name(f"stl_{tid}.2.log"))
    assert usual.read_text() == "theirs"
    found = [(trace.path.name, trace.thread, trace.sibling) for trace in find_trace_files([trace_root])]
    assert found == [(f"stl_{tid}.log", str(tid), 1), (f"stl_{tid}.2.log", str(tid), 2)]


def test_siblings_sort_after_the_usual_file_by_number(tmp_path):
    host = tmp_path / "vorn" / "h"
    host.mkdir(parents=True)
    for name in ["stl_40.log", "stl_5.10.log", "stl_5.2.log", "stl_5.log"]:
        (host / name).write_text("[]\n")
    found = [(trace.path.name, trace.thread) for trace in find_trace_files([tmp_path])]
    assert found == [("stl_5.log", "5"), ("stl_5.2.log", "5"), ("stl_5.10.log", "5"), ("stl_40.log", "40")]
