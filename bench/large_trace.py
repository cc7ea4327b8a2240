"""Time and memory of the trace tools on one large trace.

    tools/py314 python3.14 bench/large_trace.py [--size-mb 230] [--threads 4] [--baseline DIR]

Writes a trace of about --size-mb megabytes with _py_vorn.StlLogger in a
child process, spread over --threads threads (nested scopes, one record per
two scopes, a few hundred distinct messages, as a long-running program
leaves them; each file with its companion of precise times), in a temporary
directory outside the repository. Then measures, each as its own process,
Python's json.load of every trace file (the yardstick: the least a Python
tool reading the files must do), `summary`, `export` and `export --format
perfetto`, and prints each one's wall time, its ratio to json.load's and
its peak resident memory. --baseline names a directory holding another
`vorn` package (an older version, say, from `git archive`), which is then
measured too, on the same trace. Everything written is deleted at the end.

The defaults give about 1M scopes and 500k records in 230 MB. Not a test:
a 1 GB run takes minutes and needs a few GB of disk.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

# Threads of nested scopes until each file reaches its share of the size:
# each top-level "request" holds parse/handle/query scopes, six scopes and
# three records in all.
WRITER = """
import sys, threading
from _py_vorn import StlLogger
share, threads = int(sys.argv[1]), int(sys.argv[2])
paths = []

def work(number):
    import os
    path = None
    request = number
    while True:
        for _ in range(200):
            with StlLogger(f"request {request % 500}", "server", "app.py", 10) as outer:
                outer.log(f"accepted request {request}")
                with StlLogger("parse", "parser", "app.py", 20):
                    pass
                with StlLogger(f"handle {request % 50}", "handler", "app.py", 30) as handle:
                    for step in range(3):
                        with StlLogger(f"query {step}", "db", "db.py", 40) as query:
                            if step == 0:
                                query.log(f"{request % 7 + 1} rows")
                    handle.log("done")
            request += threads
        path = path or outer.log_file_name
        if os.path.getsize(path) >= share:
            paths.append(path)
            return

workers = [threading.Thread(target=work, args=(number,)) for number in range(threads)]
for worker in workers:
    worker.start()
for worker in workers:
    worker.join()
print("\\n".join(paths))
"""

# Python's own JSON reader on every file: the yardstick.
JSON_LOAD = """
import json, sys
for path in sys.argv[1:]:
    with open(path, "rb") as stream:
        json.load(stream)
"""


def measured(command: list[str], env: dict[str, str]) -> tuple[float, int, int]:
    """Runs `command`; its wall time in seconds, peak RSS in bytes and exit
    code. os.wait4 gives the usage of this child alone (RUSAGE_CHILDREN
    would keep the largest of all children so far)."""
    started = time.perf_counter()
    child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    elapsed = time.perf_counter() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    assert child.stderr is not None
    error = child.stderr.read().decode(errors="replace").strip()
    child.stderr.close()
    if child.returncode != 0:
        print(f"  {' '.join(command[3:])} failed ({child.returncode}): {error}", file=sys.stderr)
    return elapsed, usage.ru_maxrss * 1024, child.returncode


def write_trace(work: Path, size_mb: int, threads: int = 4) -> tuple[list[Path], dict[str, str]]:
    """Writes a trace of about `size_mb` megabytes under `work`/logs, a
    file per thread; its files, and the environment that points the tools
    at them."""
    env = {**os.environ, "VORN_LOG_DIR": str(work / "logs")}
    share = size_mb * 1_000_000 // threads
    written = subprocess.run([sys.executable, "-c", WRITER, str(share), str(threads)], env=env,
                             cwd=work, check=True, capture_output=True, text=True)  # fmt: skip
    return [Path(line) for line in written.stdout.split()], env


def _measure_tools(traces: list[Path], output: Path, env: dict[str, str]) -> None:
    root = str(traces[0].parent)
    runs = {
        "json.load of every file": ["-c", JSON_LOAD, *map(str, traces)],
        "summary": ["-m", "vorn", "summary", root],
        "export": ["-m", "vorn", "export", root, "-o", str(output)],
        "export --format perfetto": ["-m", "vorn", "export", "--format", "perfetto", root, "-o", str(output)],
    }
    print(f"{'command':<28} {'wall s':>8} {'x json.load':>12} {'peak RSS MB':>12} {'output MB':>10}")
    yardstick = None
    for name, command in runs.items():
        seconds, peak, code = measured([sys.executable, *command], env)
        yardstick = yardstick or seconds
        made = output.stat().st_size / 1e6 if output.exists() else 0.0
        output.unlink(missing_ok=True)
        status = "" if code == 0 else "  (failed)"
        print(f"{name:<28} {seconds:>8.2f} {seconds / yardstick:>12.2f} {peak / 1e6:>12.0f} {made:>10.0f}{status}",
              flush=True)  # fmt: skip


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=int, default=230, help="size of the trace (default 230)")
    parser.add_argument("--threads", type=int, default=4, help="threads writing it, a file each (default 4)")
    parser.add_argument("--baseline", type=Path, help="a directory holding another vorn package to measure too")
    arguments = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="vorn-large-trace-"))
    try:
        started = time.perf_counter()
        traces, env = write_trace(work, arguments.size_mb, arguments.threads)
        size = sum(trace.stat().st_size for trace in traces)
        scopes = records = 0
        for trace in traces:
            with open(trace, "rb") as stream:
                for line in stream:
                    scopes += b'"ts_enter"' in line
                    records += line.lstrip().startswith(b"{ ")
        print(f"trace: {len(traces)} files, {size / 1e6:.0f} MB, {scopes / 1e6:.2f} M scopes, "
              f"{records / 1e6:.2f} M records, written in {time.perf_counter() - started:.0f} s")  # fmt: skip
        packages: list[tuple[str, Path | None]] = [("this", None)]
        if arguments.baseline is not None:
            packages.append((f"baseline {arguments.baseline}", arguments.baseline.resolve()))
        for label, package in packages:
            print(f"\n{label}:")
            tools_env = dict(env)
            if package is not None:
                python_path = [str(package), *env.get("PYTHONPATH", "").split(os.pathsep)]
                tools_env["PYTHONPATH"] = os.pathsep.join(path for path in python_path if path)
            _measure_tools(traces, work / "out.json", tools_env)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
