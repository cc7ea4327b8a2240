"""Trace scopes and the binding, timed from Python in this process.

- One scope with one record, `with StlLogger(...) as s: s.log(...)`, against
  `logging` and `loguru` writing the same three records (enter, message,
  exit) to a file, each flushing per record, and against `os.write` of
  exactly the bytes the scope writes.
- StlLogger construction with and without an explicit invoker, and `log` on
  an open scope, against a pybind11 class whose members do nothing.
"""

import logging
import os
from pathlib import Path

import _py_vorn
import _vorn_bench_peer
from loguru import logger as loguru_logger

from timing import measure, row_from_samples

StlLogger = _py_vorn.StlLogger
NoOp = _vorn_bench_peer.NoOp


def scope_bytes():
    """What one scope with one record hands to its file once the thread's
    array has begun: the enter write (",\\n" over the closing "]\\n", then the
    record up to its "events" line) and the exit write."""
    with StlLogger("load") as scope:
        scope.log("x")
    path = Path(scope.log_file_name)
    before = path.stat().st_size
    with StlLogger("load") as scope:
        scope.log("x")
    written = path.read_bytes()[before - 2 :]
    split = written.index(b'"events": [\n') + len(b'"events": [\n')
    return written[:split], written[split:]


def file_logger(directory):
    """A logging logger writing through a FileHandler with time, function
    name and message; the handler flushes every record."""
    handler = logging.FileHandler(directory / "logging.log", encoding="utf-8")
    handler.setFormatter(logging.Formatter("%(asctime)s %(funcName)s %(message)s"))
    log = logging.getLogger("vorn-bench-trace")
    log.handlers[:] = [handler]
    log.setLevel(logging.INFO)
    log.propagate = False
    return log, handler


def trace_rows(directory, settings):
    log, handler = file_logger(directory)
    loguru_logger.remove()
    # loguru's file sink is line buffered: one write per record.
    sink = loguru_logger.add(directory / "loguru.log", format="{time} {function} {message}")
    enter, exit_ = scope_bytes()
    floor = os.open(directory / "os-write.log", os.O_RDWR | os.O_CREAT | os.O_TRUNC, 0o644)

    def stl_scope(n):
        for _ in range(n):
            with StlLogger("load") as scope:
                scope.log("x")

    def logging_three_records(n):
        for _ in range(n):
            log.info("load")
            log.info("x")
            log.info("load done")

    def loguru_three_records(n):
        for _ in range(n):
            loguru_logger.info("load")
            loguru_logger.info("x")
            loguru_logger.info("load done")

    def noop_scope(n):
        for _ in range(n):
            with NoOp("load") as scope:
                scope.log("x")

    def os_write_same_bytes(n):
        for _ in range(n):
            os.write(floor, enter)
            os.write(floor, exit_)

    try:
        samples = measure(
            {"ours": stl_scope, "logging": logging_three_records,
             "loguru": loguru_three_records, "os.write": os_write_same_bytes,
             "noop": noop_scope},
            settings,
        )  # fmt: skip
    finally:
        os.close(floor)
        loguru_logger.remove(sink)
        handler.close()
    labels = {
        "ours": "StlLogger scope + 1 log (Python)",
        "logging": "logging.FileHandler, 3 records",
        "loguru": "loguru file sink, 3 records",
        "os.write": f"os.write of the same bytes ({len(enter)} + {len(exit_)})",
        "noop": "the same calls on a do-nothing pybind11 class",
    }
    section = "Trace, from Python"
    return [
        row_from_samples(section, samples, "ours", "logging", labels=labels, limit=1 / 5,
                         target="≥ 5× faster"),
        row_from_samples(section, samples, "ours", "loguru", labels=labels),
        row_from_samples(section, samples, "ours", "os.write", labels=labels, limit=1.6,
                         target="≤ 1.6×"),
        # What the binding costs before any logging: the floor of the row above.
        row_from_samples(section, samples, "noop", "os.write", labels=labels),
    ]  # fmt: skip


def binding_rows(settings):
    # Positional arguments throughout: pybind11 takes a slower path for
    # keyword arguments, which would hide what the derivation costs. The
    # invoker is derived from the calling frame in both cases (a frame that
    # cannot be read fails the call even with an invoker given), so the
    # ratio shows what using the derived name costs over a given one.
    def construct_default_invoker(n):
        for _ in range(n):
            StlLogger("load", None).close()

    def construct_explicit_invoker(n):
        for _ in range(n):
            StlLogger("load", "main").close()

    def construct_noop(n):
        for _ in range(n):
            NoOp("load", None).close()

    construction = measure(
        {"default": construct_default_invoker, "explicit": construct_explicit_invoker,
         "noop": construct_noop},
        settings,
    )  # fmt: skip

    scope = StlLogger("load")
    peer = NoOp("load")

    def log_on_open_scope(n):
        for _ in range(n):
            scope.log("x")

    def log_noop(n):
        for _ in range(n):
            peer.log("x")

    try:
        log_samples = measure({"log": log_on_open_scope, "noop": log_noop}, settings)
    finally:
        scope.close()

    labels = {
        "default": "StlLogger(msg, None).close(): derived invoker used",
        "explicit": "StlLogger(msg, invoker).close(): given invoker used",
        "noop": "do-nothing pybind11 class, same call",
        "log": "log(msg) on an open scope",
    }
    section = "Binding"
    return [
        row_from_samples(section, construction, "default", "explicit", labels=labels),
        row_from_samples(section, construction, "explicit", "noop", labels=labels),
        row_from_samples(section, log_samples, "log", "noop", labels=labels),
    ]


def run(directory, settings):
    """All rows of this file. The calling thread's trace file goes under
    `directory`, so no trace scope may have run on it before."""
    os.environ["VORN_LOG_DIR"] = str(directory / "trace")
    return trace_rows(directory, settings) + binding_rows(settings)
