"""The trace tools against Python's own json.load, for make bench.

One trace of TRACE_MB megabytes (bench/large_trace.py's program: four
threads of nested scopes with records, with companions), then json.load of
its files, summary, the Trace Event export and the Perfetto export, each a
process of its own, taking turns three times; the fastest of each counts,
so that a cold page cache or a busy moment does not decide. Targets: summary within 0.3 and
export within 0.6 of json.load's time, each below 200 MB of memory; the
Perfetto export no slower than the Trace Event export and at most 0.3 of its
size.
"""

from __future__ import annotations

import sys
from pathlib import Path

from large_trace import JSON_LOAD, measured, write_trace
from timing import Row, verdict

TRACE_MB = 230
MEMORY_LIMIT = 200e6
SECTION = "Trace tools on a 230 MB trace (json.load of the same files as the yardstick)"


ROUNDS = 3


def _fastest(commands: dict[str, list[str]], env: dict[str, str], output: Path) -> dict[str, tuple[float, float, float]]:
    """Each of `commands` run ROUNDS times, the commands taking turns (so
    that a busy moment of the machine falls on all of them alike): the
    fastest time in seconds, the largest peak RSS in bytes and the output's
    size in bytes of each."""
    found: dict[str, tuple[float, float, float]] = {}
    for _ in range(ROUNDS):
        for name, command in commands.items():
            seconds, peak, code = measured([sys.executable, *command], env)
            if code != 0:
                raise RuntimeError(f"{name} failed")
            size = output.stat().st_size if output.exists() else 0.0
            output.unlink(missing_ok=True)
            best, most, _ = found.get(name, (seconds, peak, size))
            found[name] = (min(best, seconds), max(most, peak), size)
    return found


def run(directory: Path) -> list[Row]:
    traces, env = write_trace(directory, TRACE_MB)
    root, output = str(traces[0].parent), directory / "out"
    found = _fastest({
        "json.load": ["-c", JSON_LOAD, *map(str, traces)],
        "summary": ["-m", "vorn", "summary", root],
        "export": ["-m", "vorn", "export", root, "-o", str(output)],
        "perfetto": ["-m", "vorn", "export", "--format", "perfetto", root, "-o", str(output)],
    }, env, output)  # fmt: skip
    json_load, summary, export, perfetto = (found[name] for name in ("json.load", "summary", "export", "perfetto"))
    json_load = json_load[0]

    def row(operation: str, measured_: tuple[float, float, float], limit: float, against: float,
            peer: str, target: str, extra: bool = True, note: str = "") -> Row:  # fmt: skip
        seconds, peak, _ = measured_
        ratio = seconds / against
        return Row(section=SECTION, operation=operation, ours=f"{seconds:.2f} s, {peak / 1e6:.0f} MB",
                   peer=peer, theirs=f"{against:.2f} s", ratio=f"{ratio:.2f}×", target=target,
                   verdict=verdict(ratio <= limit and peak < MEMORY_LIMIT and extra), note=note)  # fmt: skip

    size_ratio = perfetto[2] / export[2] if export[2] else float("inf")
    return [
        row("`summary`", summary, 0.3, json_load, "json.load", "≤ 0.3×, < 200 MB"),
        row("`export` (Trace Event)", export, 0.6, json_load, "json.load", "≤ 0.6×, < 200 MB",
            note=f"{export[2] / 1e6:.0f} MB written"),
        row("`export --format perfetto`", perfetto, 1.0, export[0], "`export` (Trace Event)",
            "≤ 1×, ≤ 0.3× its size, < 200 MB", extra=size_ratio <= 0.3,
            note=f"{perfetto[2] / 1e6:.0f} MB written, {size_ratio:.2f}× the JSON"),
    ]
