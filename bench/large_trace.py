"""Time and memory of the trace tools on one large trace file.

    tools/py314 python3.14 bench/large_trace.py [--size-mb 1000] [--baseline DIR]

Writes a trace of about --size-mb megabytes with _py_vorn.StlLogger in a
child process (nested scopes with records, a few hundred distinct messages,
as a long-running program leaves them), in a temporary directory outside
the repository, then runs `summary`, `export` and `export --format
speedscope` on it, each as its own process, and prints each one's wall time
and peak resident memory. --baseline names a directory holding another
`vorn` package (an older version, say, from `git archive`), which is then
measured too, on the same trace. Everything written is deleted at the end.

Not a test: a 1 GB run takes minutes and needs a few GB of disk.
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

# Loops of nested scopes until the file reaches the size asked for: each
# top-level "request" holds parse/handle/query scopes, each with records.
WRITER = """
import os, sys
from _py_vorn import StlLogger
target = int(sys.argv[1])
path = None
request = 0
while True:
    for _ in range(200):
        with StlLogger(f"request {request % 500}", "server", "app.py", 10) as outer:
            outer.log(f"accepted request {request}")
            with StlLogger("parse", "parser", "app.py", 20) as parse:
                parse.log("headers read")
            with StlLogger(f"handle {request % 50}", "handler", "app.py", 30) as handle:
                for step in range(3):
                    with StlLogger(f"query {step}", "db", "db.py", 40) as query:
                        query.log(f"{step + 1} rows")
                handle.log("done")
        request += 1
    path = path or outer.log_file_name
    if os.path.getsize(path) >= target:
        break
print(path)
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


def _measure_tools(trace: Path, output: Path, env: dict[str, str]) -> None:
    runs = {
        "summary": ["summary", str(trace.parent)],
        "export": ["export", str(trace.parent), "-o", str(output)],
        "export --format speedscope": ["export", "--format", "speedscope", str(trace.parent), "-o", str(output)],
    }
    print(f"{'command':<28} {'wall s':>8} {'peak RSS MB':>12} {'output MB':>10}")
    for name, command in runs.items():
        seconds, peak, code = measured([sys.executable, "-m", "vorn", *command], env)
        made = output.stat().st_size / 1e6 if output.exists() else 0.0
        output.unlink(missing_ok=True)
        status = "" if code == 0 else "  (failed)"
        print(f"{name:<28} {seconds:>8.1f} {peak / 1e6:>12.0f} {made:>10.0f}{status}", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size-mb", type=int, default=1000, help="size of the trace file (default 1000)")
    parser.add_argument("--baseline", type=Path, help="a directory holding another vorn package to measure too")
    arguments = parser.parse_args()

    work = Path(tempfile.mkdtemp(prefix="vorn-large-trace-"))
    try:
        env = {**os.environ, "VORN_LOG_DIR": str(work / "logs")}
        started = time.perf_counter()
        written = subprocess.run([sys.executable, "-c", WRITER, str(arguments.size_mb * 1_000_000)], env=env,
                                 cwd=work, check=True, capture_output=True, text=True)  # fmt: skip
        trace = Path(written.stdout.strip())
        size = trace.stat().st_size
        print(f"trace: {size / 1e6:.0f} MB, {sum(1 for _ in open(trace, 'rb')) / 1e6:.1f} M lines, "
              f"written in {time.perf_counter() - started:.0f} s")  # fmt: skip
        packages: list[tuple[str, Path | None]] = [("this", None)]
        if arguments.baseline is not None:
            packages.append((f"baseline {arguments.baseline}", arguments.baseline.resolve()))
        for label, package in packages:
            print(f"\n{label}:")
            tools_env = dict(env)
            if package is not None:
                python_path = [str(package), *env.get("PYTHONPATH", "").split(os.pathsep)]
                tools_env["PYTHONPATH"] = os.pathsep.join(path for path in python_path if path)
            _measure_tools(trace, work / "out.json", tools_env)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
