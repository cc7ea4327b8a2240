"""Heap allocations per operation from Python, counted by valgrind's
memcheck ("total heap usage") on a fixed workload: the same workload with N
and with 3N operations, the difference divided by 2N. Python's own small
objects come from its arenas, not the heap, so what is left is what the
binding and the logger ask of malloc and operator new. Each operation is
set against the same call on a do-nothing pybind11 class, which shows what
pybind11's call machinery allocates by itself. Arguments are positional:
keyword arguments cost pybind11 allocations of their own.
"""

import re
import subprocess
import sys

from timing import Row, child_environment

OPERATIONS = 1000
WORKLOADS = [
    ("log", "log(msg) on an open scope, 40-byte message"),
    ("noop_log", "log(msg) on a do-nothing pybind11 class (std::string)"),
    ("scope", "StlLogger(msg) then close(): wrapper, scope, instance entry"),
    ("noop_scope", "the same on a do-nothing pybind11 class (std::string)"),
    ("print", "StdoutLogger.print(msg, invoker)"),
]
MESSAGE = "a message of forty bytes, past any SSO."


def workload(kind, n):
    import _py_vorn
    import _vorn_bench_peer

    def run():
        scope = _py_vorn.StlLogger("setup")
        peer = _vorn_bench_peer.NoOp("setup")
        _py_vorn.StdoutLogger.print("setup", invoker="main")
        if kind == "log":
            for _ in range(n):
                scope.log(MESSAGE)
        elif kind == "noop_log":
            for _ in range(n):
                peer.log(MESSAGE)
        elif kind == "scope":
            for _ in range(n):
                _py_vorn.StlLogger(MESSAGE).close()
        elif kind == "noop_scope":
            for _ in range(n):
                _vorn_bench_peer.NoOp(MESSAGE).close()
        elif kind == "print":
            for _ in range(n):
                _py_vorn.StdoutLogger.print(MESSAGE, "main")
        scope.close()

    run()


def heap_allocations(kind, n, directory):
    result = subprocess.run(
        ["valgrind", "--tool=memcheck", "--leak-check=no", sys.executable, __file__, "workload",
         kind, str(n)],
        capture_output=True, text=True, check=True,
        env=child_environment(VORN_LOG_DIR=str(directory / "valgrind")),
    )  # fmt: skip
    match = re.search(r"total heap usage: ([\d,]+) allocs", result.stderr)
    if not match:
        raise RuntimeError(f"no heap summary from valgrind:\n{result.stderr}")
    return int(match.group(1).replace(",", ""))


def run(directory):
    per_operation = {}
    for kind, _ in WORKLOADS:
        few = heap_allocations(kind, OPERATIONS, directory)
        many = heap_allocations(kind, 3 * OPERATIONS, directory)
        per_operation[kind] = max(0.0, (many - few) / (2 * OPERATIONS))
    labels = dict(WORKLOADS)
    rows = []
    for ours, peer in (("log", "noop_log"), ("scope", "noop_scope"), ("print", "noop_log")):
        rows.append(Row(
            section="Heap allocations per operation from Python (valgrind memcheck)",
            operation=labels[ours],
            ours=f"{per_operation[ours]:.2f}",
            peer=labels[peer] if peer else "",
            theirs=f"{per_operation[peer]:.2f}" if peer else "",
            note=f"{OPERATIONS} and {3 * OPERATIONS} operations",
        ))  # fmt: skip
    return rows


if __name__ == "__main__" and sys.argv[1:2] == ["workload"]:
    import os
    from pathlib import Path

    Path(os.environ["VORN_LOG_DIR"]).mkdir(parents=True, exist_ok=True)
    workload(sys.argv[2], int(sys.argv[3]))
