"""vorn.TraceHandler timed from Python: a logging call that becomes a trace
record, against StlLogger.log of a record and against logging's own cost
with a handler that does nothing. Every case runs inside one open scope.

Run alone: tools/py314 python3.14 bench/trace_handler_rows.py
"""

import logging
import os
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from timing import Settings, measure, row_from_samples  # noqa: E402


class _Nothing(logging.Handler):
    """A handler whose emit does nothing: what logging costs on its own
    (the record, the level checks, the handler's lock)."""

    def emit(self, record):
        pass


def _logger(name, handler):
    log = logging.getLogger(name)
    log.handlers[:] = [handler]
    log.setLevel(logging.INFO)
    log.propagate = False
    return log


def rows(settings):
    """The rows; the calling thread's trace goes where VORN_LOG_DIR says."""
    from vorn import StlLogger, TraceHandler

    traced = _logger("vorn-bench-trace-handler", TraceHandler())
    nothing = _logger("vorn-bench-nothing", _Nothing())
    scope = StlLogger("bench")

    def handler_record(n):
        for _ in range(n):
            traced.info("x")

    def handler_filtered(n):
        for _ in range(n):
            traced.debug("x")

    def stl_log(n):
        for _ in range(n):
            scope.log("x")

    def logging_nothing(n):
        for _ in range(n):
            nothing.info("x")

    try:
        samples = measure(
            {"handler": handler_record, "stl": stl_log, "nothing": logging_nothing,
             "filtered": handler_filtered},
            settings,
        )  # fmt: skip
    finally:
        scope.close()
    labels = {
        "handler": "logger.info(msg) through TraceHandler",
        "stl": "StlLogger.log(msg) on an open scope",
        "nothing": "logger.info(msg), a handler whose emit does nothing",
        "filtered": "logger.debug(msg) below the logger's level",
    }
    section = "TraceHandler"
    return [
        row_from_samples(section, samples, "handler", "stl", labels=labels),
        row_from_samples(section, samples, "handler", "nothing", labels=labels),
        row_from_samples(section, samples, "filtered", "nothing", labels=labels),
    ]


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        os.environ["VORN_LOG_DIR"] = directory
        for row in rows(Settings(rounds=11)):
            print(f"{row.operation:55} {row.ours:>10}  vs {row.peer}: {row.theirs} (ratio {row.ratio}, {row.note})")
