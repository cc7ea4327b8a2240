"""Scoped trace and console loggers, and tools to read and look at traces.

The loggers come from the extension module ``_py_vorn`` and are re-exported
here unchanged; the rest is pure Python:

- read_trace / read_trace_events: a trace file, complete or cut short, as
  Scope and Instant objects;
- find_trace_files: the trace files of files and trace directories;
- traced: a decorator that opens a trace scope around each call, or each
  step of a generator, coroutine or async generator;
- scope: a trace scope for a with block that logs an exception leaving it;
- span / read_spans: stretches of async code that may cross awaits, written
  as two records and paired again when read;
- ConsoleHandler: a logging handler that prints with StdoutLogger;
- TraceHandler: a logging handler that writes each record into the calling
  thread's trace, inside its innermost open scope.

``python -m vorn export|view|summary`` turns trace files into a Trace Event
Format file, a self-contained HTML timeline or a table of where the time went.
"""

from importlib import metadata as _metadata
from pathlib import Path as _Path

from _py_vorn import (
    CLI_LEVEL_ERROR,
    CLI_LEVEL_INFO,
    CLI_LEVEL_RESET,
    CLI_LEVEL_STATUS,
    CLI_LEVEL_WARNING,
    Logger,
    StdoutLogger,
    StdoutLoggerOptions,
    StlLogger,
)

from vorn.program.console_handler import ConsoleHandler
from vorn.reading.trace_files import TraceFile, find_trace_files
from vorn.program.block_scope import scope
from vorn.program.spans import span
from vorn.reading.trace_reader import (
    Instant,
    Scope,
    Span,
    TraceFormatError,
    read_spans,
    read_trace,
    read_trace_events,
)
from vorn.program.trace_handler import TraceHandler
from vorn.program.tracing import traced


def _version() -> str:
    """The installed distribution's version; run from a checkout, the one
    its pyproject.toml gives."""
    try:
        return _metadata.version("py-vorn")
    except _metadata.PackageNotFoundError:
        import tomllib

        try:
            with open(_Path(__file__).resolve().parents[2] / "pyproject.toml", "rb") as stream:
                return str(tomllib.load(stream)["project"]["version"])
        except (OSError, KeyError, tomllib.TOMLDecodeError):
            return "unknown"


__version__ = _version()

__all__ = [
    "CLI_LEVEL_ERROR",
    "CLI_LEVEL_INFO",
    "CLI_LEVEL_RESET",
    "CLI_LEVEL_STATUS",
    "CLI_LEVEL_WARNING",
    "ConsoleHandler",
    "Instant",
    "Logger",
    "Scope",
    "Span",
    "StdoutLogger",
    "StdoutLoggerOptions",
    "StlLogger",
    "TraceFile",
    "TraceFormatError",
    "TraceHandler",
    "__version__",
    "find_trace_files",
    "read_spans",
    "read_trace",
    "read_trace_events",
    "scope",
    "span",
    "traced",
]
