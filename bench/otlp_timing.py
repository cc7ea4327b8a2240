"""How long `otlp -o` takes next to `summary`, on one trace of a few threads.

    tools/py314 python3.14 bench/otlp_timing.py [--requests 950] [--keep DIR] [--vorn OTHER/python]

Runs a program through the module in a child process: four threads, each
handling --requests requests, each a scope holding a record, a scope with a
record, a call of a @vorn.traced function (every 97th raises) and a
vorn.span around a scope with a record: about 4 scopes, 4 records and one
async span per request. Then runs `summary` and `otlp -o` on the trace,
each three times as a process of its own, and prints the median wall time,
CPU time (user + system) and peak memory (ru_maxrss) of each. --vorn runs the tools from another
copy of the package as well (an older version from `git archive`, say) and
says whether the two wrote the same OTLP/JSON bytes. The trace is written
to a temporary directory outside the repository, or to --keep DIR.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

PROGRAM = """
import sys, threading, _py_vorn, vorn

@vorn.traced
def check(number):
    if number % 97 == 0:
        raise ValueError(f"request {number} refused")

def serve(count):
    for number in range(count):
        with _py_vorn.StlLogger(f"request {number % 50}", "server", "app.py", 10) as request:
            request.log(f"accepted {number}")
            with _py_vorn.StlLogger("parse", "parser", "app.py", 20) as parse:
                parse.log("headers read")
            try:
                check(number)
            except ValueError:
                pass
            with vorn.span(f"reply {number}"):
                with _py_vorn.StlLogger("query", "db", "db.py", 40) as query:
                    query.log("3 rows")

count = int(sys.argv[1])
threads = [threading.Thread(target=serve, args=(count,), name=f"worker {n}") for n in range(3)]
for thread in threads:
    thread.start()
serve(count)
for thread in threads:
    thread.join()
"""


def timed(command: list[str], env: dict[str, str]) -> tuple[float, float, float]:
    """Wall and CPU seconds and peak memory (MB) of `command`, which must succeed."""
    started = time.perf_counter()
    child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - started
    assert child.stderr is not None
    error = child.stderr.read().decode(errors="replace").strip()
    child.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"{' '.join(command)} failed: {error}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def measure(label: str, command: list[str], env: dict[str, str]) -> None:
    runs = [timed(command, env) for _ in range(3)]
    wall, cpu, peak = (statistics.median(run[column] for run in runs) for column in range(3))
    print(f"{label:<34} {wall:>8.2f} {cpu:>8.2f} {peak:>8.0f}", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--requests", type=int, default=950, help="requests per thread (default: 950)")
    parser.add_argument("--keep", type=Path, metavar="DIR", help="write the trace and outputs here and keep them")
    parser.add_argument("--vorn", type=Path, metavar="DIR", help="another copy of the package's python/ directory")
    arguments = parser.parse_args()

    work = (arguments.keep or Path(tempfile.mkdtemp(prefix="vorn-otlp-bench-"))).resolve()
    work.mkdir(parents=True, exist_ok=True)
    try:
        logs = work / "logs"
        shutil.rmtree(logs, ignore_errors=True)
        (work / "app.py").write_text(PROGRAM)
        env = {**os.environ, "VORN_LOG_DIR": str(logs)}
        env.pop("VORN_LOG_PREFIX", None)
        subprocess.run([sys.executable, "app.py", str(arguments.requests)], cwd=work, env=env, check=True)

        copies = {"": os.environ.get("PYTHONPATH", "")}
        if arguments.vorn is not None:
            copies[" (other)"] = os.pathsep.join(filter(None, [str(arguments.vorn.resolve()), copies[""]]))
        print(f"{'command':<34} {'wall s':>8} {'CPU s':>8} {'peak MB':>8}", flush=True)
        for suffix, path in copies.items():
            tool_env = {**env, "PYTHONPATH": path}
            tool = [sys.executable, "-m", "vorn"]
            measure("summary" + suffix, [*tool, "summary", str(logs)], tool_env)
            output = work / f"otlp{suffix.strip(' ()')}.json"
            measure("otlp -o" + suffix, [*tool, "otlp", "-o", str(output), str(logs)], tool_env)
        if arguments.vorn is not None:
            same = (work / "otlp.json").read_bytes() == (work / "otlpother.json").read_bytes()
            print("otlp -o output:", "the same bytes" if same else "DIFFERENT")
    finally:
        if arguments.keep is None:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
