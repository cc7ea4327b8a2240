"""Runs every benchmark, prints one table and writes it to bench/RESULTS.md.

    tools/bench [--rounds N] [--batch-ms MS] [--skip SECTION ...]

tools/bench builds the Release tree first and passes --native. Sections:
python, peers, console, native, syscalls, allocations.
"""

import argparse
import datetime
import importlib.metadata
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import allocation_rows
import console_rows
import native_rows
import peer_rows
import python_rows
import syscall_rows
import tool_rows
from timing import Settings

HERE = Path(__file__).resolve().parent
COLUMNS = ["Operation", "Ours (median)", "Compared with", "Theirs (median)", "Ours / theirs",
           "Target", "Met", "Notes"]  # fmt: skip
SECTIONS = ["python", "peers", "console", "native", "syscalls", "allocations", "tools"]


def first_line(command):
    try:
        result = subprocess.run(command, capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return "unknown"
    return result.stdout.splitlines()[0].strip() if result.stdout else "unknown"


def header_macro_version(header, names):
    """"1.2.3" from #define lines such as SPDLOG_VER_MAJOR 1 in `header`."""
    try:
        text = Path(header).read_text()
    except OSError:
        return "unknown"
    parts = [re.search(rf"#\s*define\s+{name}\s+(\d+)", text) for name in names]
    return ".".join(part.group(1) for part in parts) if all(parts) else "unknown"


def package_version(name):
    try:
        return importlib.metadata.version(name)
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


# The figures of the longer runs (bench/large_trace.py, bench/view_load.py)
# are written by hand below this line, and kept when the table is redone.
KEPT_MARK = "<!-- Figures of the longer runs, kept by make bench -->"


def kept_figures(results):
    try:
        text = results.read_text()
    except OSError:
        return ""
    start = text.find(KEPT_MARK)
    return "" if start < 0 else "\n" + text[start:]


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def environment(native_binary, settings, started, load_before):
    import loguru

    compiler = "unknown"
    cache = Path(native_binary).parent.parent / "CMakeCache.txt" if native_binary else None
    if cache and cache.exists():
        match = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.*)$", cache.read_text(), re.MULTILINE)
        if match:
            compiler = first_line([match.group(1), "--version"])
    versions = [
        f"Python {platform.python_version()}",
        f"compiler {compiler}",
        "pybind11 " + header_macro_version(
            "/usr/include/pybind11/detail/common.h",
            ["PYBIND11_VERSION_MAJOR", "PYBIND11_VERSION_MINOR", "PYBIND11_VERSION_PATCH"]),
        "spdlog " + header_macro_version(
            "/usr/include/spdlog/version.h",
            ["SPDLOG_VER_MAJOR", "SPDLOG_VER_MINOR", "SPDLOG_VER_PATCH"]),
        f"loguru {loguru.__version__}",
        *(f"{name} {package_version(name)}" for name in ("opentelemetry-sdk", "structlog", "picologging")),
    ]  # fmt: skip
    uname = platform.uname()
    return [
        f"- Machine: {cpu_model()}, {os.cpu_count()} CPUs, {uname.system} {uname.release} "
        f"{uname.machine}; load average {load_before:.2f} at the start, "
        f"{os.getloadavg()[0]:.2f} at the end",
        f"- Date: {started:%Y-%m-%d %H:%M} UTC",
        f"- Versions: {', '.join(versions)}",
        f"- Method: {settings.rounds} timed rounds per group after a warm-up round, batches of "
        f"about {settings.batch_seconds * 1000:g} ms; the cases of a group run interleaved "
        "(A B C, C B A, ...), natively by Google Benchmark's random interleaving of repetitions. "
        "Times are medians per operation; a ratio is our median over theirs (for Python groups "
        "the median of per-round ratios). Files go to a temporary directory; child "
        "interpreters run with Python's default buffering of standard output.",
    ]


def markdown_table(rows):
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
    section = None
    for row in rows:
        if row.section != section:
            section = row.section
            lines.append(f"| **{section}** |" + " |" * (len(COLUMNS) - 1))
        cells = [row.operation, row.ours, row.peer, row.theirs, row.ratio, row.target, row.verdict,
                 row.note]  # fmt: skip
        lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--native", help="the vorn_bench binary")
    parser.add_argument("--rounds", type=int, default=21, help="timed rounds per group")
    parser.add_argument("--batch-ms", type=float, default=20, help="aimed length of a batch")
    parser.add_argument("--skip", nargs="*", default=[], choices=SECTIONS,
                        help="sections to leave out")
    parser.add_argument("--output", default=str(HERE / "RESULTS.md"))
    args = parser.parse_args()
    settings = Settings(rounds=args.rounds, batch_seconds=args.batch_ms / 1000)
    started = datetime.datetime.now(datetime.UTC)
    load_before = os.getloadavg()[0]

    directory = Path(tempfile.mkdtemp(prefix="vorn-bench-"))
    rows = []
    try:
        sections = [
            ("python", lambda: python_rows.run(directory, settings)),
            ("peers", lambda: peer_rows.run(directory, settings)),
            ("console", lambda: console_rows.run(directory, settings)),
            ("native", lambda: native_rows.run(args.native, directory, settings)),
            ("syscalls", lambda: syscall_rows.run(directory)),
            ("allocations", lambda: allocation_rows.run(directory)),
            ("tools", lambda: tool_rows.run(directory)),
        ]
        assert [name for name, _ in sections] == SECTIONS
        for name, section in sections:
            if name in args.skip or (name == "native" and not args.native):
                continue
            tool = {"syscalls": "strace", "allocations": "valgrind"}.get(name)
            if tool and not shutil.which(tool):
                print(f"bench: no {tool}, {name} not counted", file=sys.stderr)
                continue
            print(f"bench: {name} ...", file=sys.stderr, flush=True)
            rows += section()
    finally:
        shutil.rmtree(directory, ignore_errors=True)

    lines = ["# Benchmark results", "",
             *environment(args.native, settings, started, load_before), "",
             *markdown_table(rows), "",
             "Reproduce with `make bench`."]  # fmt: skip
    text = "\n".join(lines) + "\n"
    print(text)
    Path(args.output).write_text(text + kept_figures(Path(args.output)))
    missed = [row.operation for row in rows if row.verdict == "MISSED"]
    print(f"bench: written to {args.output}; targets missed: {len(missed)}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
