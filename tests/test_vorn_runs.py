"""Runs: the trace files of each start of a program, told apart, and the
tools taking the latest one unless told otherwise."""

import json
import os
import re
import subprocess
import sys

import pytest

from conftest import run_vorn, scope_text, write_trace, write_traced_file
from vorn.reading.runs import select_run
from vorn.reading.trace_files import find_trace_files

ORIGIN = 1765200000000  # 2025-12-08T13:20:00.000Z


def write_untraced(path, last_ts, modified_ms):
    """A file without identity, last written at `modified_ms` (Unix ms)."""
    write_trace(path, scope_text("old", 0, last_ts))
    os.utime(path, ns=(modified_ms * 1_000_000,) * 2)


@pytest.fixture
def three_runs(tmp_path):
    """Run 1: app.py (two threads) and a file without identity written then.
    Run 2: driver.py, its child started 30 s after the driver's last record
    (joined as its child), and a process starting 0.5 s after the child ends.
    Run 3: pid 100 again, and a file without identity written then."""
    host = tmp_path / "logs/vorn/vm"
    write_traced_file(host / "stl_100.log", scope_text("a", 0, 50))
    write_traced_file(host / "stl_101.log", scope_text("b", 10, 40), tid=101)
    write_untraced(host / "stl_7.log", 20, ORIGIN + 40)
    driver = {"cmdline": ["python3.14", "driver.py"], "ppid": 1}
    write_traced_file(host / "stl_200.log", scope_text("d", 0, 10), pid=200, tid=200, start=9000,
                      clock_origin_ms=ORIGIN + 60_000, **driver)  # fmt: skip
    write_traced_file(host / "stl_201.log", scope_text("c", 0, 5), pid=201, tid=201, start=9500, ppid=200,
                      clock_origin_ms=ORIGIN + 90_000)  # fmt: skip
    write_traced_file(host / "stl_300.log", scope_text("n", 0, 1000), pid=300, tid=300, start=9600,
                      clock_origin_ms=ORIGIN + 90_500)  # fmt: skip
    write_traced_file(host / "stl_100.2.log", scope_text("a", 0, 5), start=20000, clock_origin_ms=ORIGIN + 200_000)
    write_untraced(host / "stl_8.log", 5, ORIGIN + 200_004)
    return tmp_path / "logs"


def test_runs_lists_each_run_with_its_processes_threads_and_scopes(three_runs):
    result = subprocess.run([sys.executable, "-m", "vorn", "runs", str(three_runs)], capture_output=True,
                            text=True, env={**os.environ, "TZ": "UTC"}, timeout=120)  # fmt: skip
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.splitlines() == [
        "run  start                      duration  processes  threads  scopes  command",
        "  1  2025-12-08T13:20:00+00:00     50 ms          2        3       3  app.py -v (pid 100)",
        "  2  2025-12-08T13:21:00+00:00    31.5 s          3        3       3  driver.py (pid 200)",
        "  3  2025-12-08T13:23:19+00:00      6 ms          2        2       2  app.py -v (pid 100)",
    ]


@pytest.mark.parametrize("choice, kept, left_out", [
    (None, ["stl_100.2.log", "stl_8.log"], 2),
    ("all", ["stl_100.2.log", "stl_100.log", "stl_101.log", "stl_200.log", "stl_201.log", "stl_300.log",
             "stl_7.log", "stl_8.log"], 0),
    ("1", ["stl_100.log", "stl_101.log", "stl_7.log"], 2),
    ("2", ["stl_200.log", "stl_201.log", "stl_300.log"], 2),
    ("201", ["stl_200.log", "stl_201.log", "stl_300.log"], 2),  # larger than the number of runs: a pid
    ("100", ["stl_100.2.log", "stl_8.log"], 2),  # a pid that came back: its latest run
    ("9", "--run 9: no run 9 (runs are 1 to 3) and no process with pid 9", None),
    ("pid:2", "--run pid:2: no process with pid 2", None),
    ("last", "--run last: not all, a run number or a pid (pid:N)", None),
])  # fmt: skip
def test_select_run(three_runs, choice, kept, left_out):
    files = find_trace_files([three_runs])
    if left_out is None:
        with pytest.raises(ValueError, match=re.escape(kept)):
            select_run(files, choice)
        return
    chosen, left = select_run(files, choice)
    assert (sorted(trace.path.name for trace in chosen), left) == (kept, left_out)


PROGRAM = """
import threading
from _py_vorn import StlLogger

def work():
    with StlLogger("work", invoker="w"):
        pass

with StlLogger("main", invoker="m"):
    thread = threading.Thread(target=work)
    thread.start()
    thread.join()
"""


def test_tools_take_the_latest_run_of_a_program_run_twice(tmp_path):
    logs = tmp_path / "logs"
    env = {**os.environ, "VORN_LOG_DIR": str(logs)}
    env.pop("VORN_LOG_PREFIX", None)
    runs = []
    for _ in range(2):
        before = set(logs.rglob("*.log"))
        subprocess.run([sys.executable, "-c", PROGRAM], env=env, cwd=tmp_path, check=True, timeout=60)
        runs.append(sorted(set(logs.rglob("*.log")) - before))
    # The second run started 5 s later, rather than sleeping here.
    for path in runs[1]:
        identity = json.loads(os.getxattr(path, "user.vorn.trace"))
        identity["clock_origin_ms"] += 5000
        os.setxattr(path, "user.vorn.trace", json.dumps(identity).encode())
        path.with_suffix(".times").unlink(missing_ok=True)  # its precise times keep the real origin
    first, second = (json.loads(os.getxattr(files[0], "user.vorn.trace"))["pid"] for files in runs)

    listed = run_vorn("runs", str(logs)).stdout.splitlines()
    assert len(listed) == 3
    for row, pid in zip(listed[1:], (first, second)):
        assert re.fullmatch(rf"  \d  \S+ +\d+ ms +1 +2 +2  .* \(pid {pid}\)", row), row
    archive = tmp_path / "traces.tar.gz"
    assert run_vorn("pack", str(logs), "-o", str(archive)).returncode == 0
    assert run_vorn("runs", str(archive)).stdout.splitlines() == listed  # unpacked files' times do not count

    def summary(*choice):
        result = run_vorn("summary", *choice, str(logs))
        return result.stdout.splitlines()[0], result.stderr

    assert summary() == ("2 trace files: 2 scopes, 0 records",
                         "python -m vorn summary: left out 1 earlier run; --run all takes them\n")
    assert summary("--run", "all") == ("4 trace files: 4 scopes, 0 records", "")
    result = run_vorn("summary", "--run", str(first), str(logs))
    assert (f"(pid {first})" in result.stdout, f"(pid {second})" in result.stdout) == (True, False)
    assert result.stderr == "python -m vorn summary: left out 1 other run; --run all takes them\n"
    missing = run_vorn("view", "--run", "pid:3", str(logs), "-o", str(tmp_path / "t.html"))
    assert (missing.returncode, missing.stderr) == (1, "python -m vorn view: --run pid:3: no process with pid 3\n")

    exported = run_vorn("export", str(logs), "-o", "-")
    names = {event["args"]["name"] for event in json.loads(exported.stdout)["traceEvents"] if event["ph"] == "M"}
    assert any(f"(pid {second})" in name for name in names) and not any(f"(pid {first})" in name for name in names)
    # A trace file of a run left out is still one of the inputs.
    kept = runs[0][0].read_bytes()
    refused = run_vorn("export", str(logs), "-o", str(runs[0][0]))
    assert refused.returncode == 1 and "the output is one of the inputs" in refused.stderr
    assert runs[0][0].read_bytes() == kept
