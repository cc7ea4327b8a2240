"""Console lines, timed from Python with file descriptor 1 going to a file
and to a pipe.

StdoutLogger.print(...), log(...) on an open console scope and a scope's
opening line (the scope opened and closed), against a
logging.StreamHandler on sys.stdout with the same header (it flushes every
record) and against print(..., flush=True) of a line formatted the same way.
Each destination is measured in a child process whose standard output is
that destination; the child sends its samples back in a JSON file.
"""

import json
import logging
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

from timing import Settings, child_environment, measure, row_from_samples

HEADER_FORMAT = "[vorn %(host)s] %(asctime)s(%(workflow)s) | %(funcName)-30s | %(message)s"
LABELS = {
    "print": "StdoutLogger.print(msg)",
    "log": "log(msg) on an open StdoutLogger",
    "scope": "StdoutLogger(msg).close(): opening line",
    "handler": "logging.StreamHandler(sys.stdout)",
    "print_flush": "print(f-string line, flush=True)",
}


def child(results_path, rounds, batch_seconds):
    import _py_vorn

    options = _py_vorn.StdoutLoggerOptions()
    options.use_color = False  # the peers print no colour either
    _py_vorn.StdoutLogger.set_options(options)
    host = socket.gethostname()
    handler = logging.StreamHandler(sys.stdout)
    handler.setFormatter(
        logging.Formatter(HEADER_FORMAT, "%Y-%m-%d %H:%M:%S",
                          defaults={"host": host, "workflow": "NOT SET"})
    )  # fmt: skip
    log = logging.getLogger("vorn-bench-console")
    log.handlers[:] = [handler]
    log.setLevel(logging.INFO)
    log.propagate = False

    def ours_print(n):
        for _ in range(n):
            _py_vorn.StdoutLogger.print("load")

    scope = _py_vorn.StdoutLogger("open")

    def ours_log(n):
        for _ in range(n):
            scope.log("load")

    def ours_scope(n):
        for _ in range(n):
            _py_vorn.StdoutLogger("load").close()

    def logging_handler(n):
        for _ in range(n):
            log.info("load")

    def print_flush(n):
        for _ in range(n):
            now = time.strftime("%Y-%m-%d %H:%M:%S")
            print(f"[vorn {host}] {now}(NOT SET) | {'print_flush':<30} | load", flush=True)

    samples = measure(
        {"print": ours_print, "log": ours_log, "scope": ours_scope, "handler": logging_handler,
         "print_flush": print_flush},
        Settings(rounds=rounds, batch_seconds=batch_seconds),
    )  # fmt: skip
    scope.close()
    Path(results_path).write_text(json.dumps(samples))


def _drain(stream):
    while stream.read(1 << 16):
        pass


def run_child(destination, directory, settings):
    results = directory / f"console-{destination}.json"
    command = [sys.executable, __file__, "child", str(results), str(settings.rounds),
               str(settings.batch_seconds)]  # fmt: skip
    if destination == "file":
        with open(directory / "console-stdout.log", "wb") as out:
            subprocess.run(command, stdout=out, check=True, env=child_environment())
    else:
        child_process = subprocess.Popen(command, stdout=subprocess.PIPE, env=child_environment())
        reader = threading.Thread(target=_drain, args=(child_process.stdout,))
        reader.start()
        reader.join()
        if child_process.wait() != 0:
            raise RuntimeError(f"console child for {destination} failed")
    return json.loads(results.read_text())


def run(directory, settings):
    rows = []
    for destination in ("file", "pipe"):
        samples = run_child(destination, directory, settings)
        section = f"Console, from Python, stdout to a {destination}"
        for ours in ("print", "log", "scope"):
            rows.append(row_from_samples(section, samples, ours, "handler", labels=LABELS,
                                         limit=1 / 4, target="≥ 4× faster"))  # fmt: skip
        rows.append(row_from_samples(section, samples, "print", "print_flush", labels=LABELS))
    return rows


if __name__ == "__main__" and sys.argv[1:2] == ["child"]:
    child(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]))
