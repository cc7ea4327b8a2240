"""The native rows: runs the Google Benchmark binary (bench/native_bench.cpp)
with its repetitions randomly interleaved and reads the medians back."""

import json
import statistics
import subprocess
from collections import defaultdict

from timing import timed_row

LABELS = {
    "trace_scope/ours": "enter + instant + exit record (native)",
    "trace_scope/write_same_bytes": "write(2) of the same bytes, 2 calls",
    "trace_scope/pwrite_same_bytes": "pwrite(2) of the same bytes at the writer's offsets",
    "trace_scope/spdlog_flush_per_record": "spdlog file logger, flushed, 3 lines of the same length",
    "console_line/ours": "console line to a file (native)",
    "console_line/write_same_bytes": "write(2) of the same line",
}


def measure(binary, directory, settings):
    """{benchmark name: (real-time samples in ns, heap allocations per op)}."""
    out = directory / "native.json"
    result = subprocess.run(
        [str(binary), f"--benchmark_repetitions={settings.rounds}",
         "--benchmark_enable_random_interleaving=true",
         f"--benchmark_min_time={max(settings.batch_seconds, 0.01)}s",
         f"--benchmark_out={out}", "--benchmark_out_format=json"],
        capture_output=True, text=True,
    )  # fmt: skip
    if result.returncode != 0:
        raise RuntimeError(f"{binary} failed:\n{result.stdout}{result.stderr}")
    samples = defaultdict(list)
    allocations = {}
    for run in json.loads(out.read_text())["benchmarks"]:
        if run.get("run_type") != "iteration":
            continue
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[run["time_unit"]]
        samples[run["run_name"]].append(run["real_time"] * scale)
        allocations[run["run_name"]] = max(allocations.get(run["run_name"], 0), run["allocs_per_op"])
    return {name: (values, allocations[name]) for name, values in samples.items()}


def _row(section, results, ours, peer, *, limit=None, target=""):
    mine, allocations = results[ours]
    theirs, peer_allocations = results[peer]
    ours_ns, peer_ns = statistics.median(mine), statistics.median(theirs)
    return timed_row(
        section, LABELS[ours], ours_ns, LABELS[peer], peer_ns, ours_ns / peer_ns, limit=limit,
        target=target,
        note=f"heap allocations per op: {allocations:g} (comparison {peer_allocations:g})",
    )  # fmt: skip


def run(binary, directory, settings):
    results = measure(binary, directory, settings)
    section = "Native floor"
    return [
        _row(section, results, "trace_scope/ours", "trace_scope/write_same_bytes", limit=1.3,
             target="≤ 1.3×"),
        _row(section, results, "trace_scope/pwrite_same_bytes", "trace_scope/write_same_bytes"),
        _row(section, results, "trace_scope/ours", "trace_scope/spdlog_flush_per_record"),
        _row(section, results, "console_line/ours", "console_line/write_same_bytes"),
    ]  # fmt: skip
