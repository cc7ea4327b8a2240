"""TraceHandler: standard-library logging records as records of the trace."""

from __future__ import annotations

import importlib.machinery
import importlib.util
import logging
from collections.abc import Callable
from typing import Final

import _py_vorn

from vorn.program.block_scope import RAISED_LIMIT, raised_message
from vorn.program.record_caller import invoker_of
from vorn.program.utf8_safe import utf8_safe

__all__ = ["TraceHandler", "record_text"]


def _load_writer() -> Callable[[str, str, str, int], None]:
    """The native writer of records that name their caller. It lives in
    _py_vorn's own shared object, as a second module, so that its records go
    through the same per-thread writer as StlLogger's (see
    trace_record_module.cpp)."""
    name = "_py_vorn_trace_record"
    loader = importlib.machinery.ExtensionFileLoader(name, _py_vorn.__file__)
    spec = importlib.util.spec_from_file_location(name, _py_vorn.__file__, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    writer: Callable[[str, str, str, int], None] = module.write_caller_record
    return writer


_write_caller_record: Final = _load_writer()


def _cut(text: str) -> str:
    """`text` cut to RAISED_LIMIT characters, as "raised" records are."""
    return text if len(text) <= RAISED_LIMIT else text[: RAISED_LIMIT - 1] + "…"


def record_text(record: logging.LogRecord) -> str:
    """A logging record as one trace record's text: level, logger name,
    message, and the exception it carries, each part cut to RAISED_LIMIT
    characters:
      "WARNING app.db: retrying (raised TimeoutError: read timed out)"
      "INFO root: started" """
    text = _cut(f"{record.levelname} {record.name}: {record.getMessage()}")
    error = record.exc_info[1] if record.exc_info else None
    return f"{text} ({raised_message(error)})" if error is not None else text


class TraceHandler(logging.Handler):
    """A logging handler that writes each record into the calling thread's
    trace file, as a record of the innermost trace scope open on that thread
    (an element of the file's top-level array when none is open). The
    record names the function, file and line that logged it (for
    module-level code, the script's file name), and its text is
    record_text's: "WARNING app.db: retrying (raised TimeoutError: read
    timed out)". Formatters are not used: the trace keeps the time and the
    caller itself.

    It opens no scope and makes no logger object per record, so it is cheap
    enough to leave on. Each thread writes its own file, so records are not
    serialised through the handler's lock: a thread held up by a slow disk
    holds up no other thread's logging. Text with no UTF-8 form (a lone
    surrogate) is written escaped, as utf8_safe does; failures go to
    ``handleError``.
    """

    # typeshed has Handler.handle return bool; it returns what filter gave.
    def handle(self, record: logging.LogRecord) -> logging.LogRecord | bool:  # type: ignore[override]
        """Filters and emits `record`, as Handler.handle does, without the
        handler's lock: the writer keeps its state per thread. Returns the
        record emitted, or a false value when a filter dropped it."""
        result = self.filter(record)
        if isinstance(result, logging.LogRecord):
            record = result
        if result:
            self.emit(record)
        return result

    def emit(self, record: logging.LogRecord) -> None:
        try:
            text = record_text(record)
            invoker, file, line = invoker_of(record), record.pathname or "", record.lineno or 0
            try:
                _write_caller_record(text, invoker, file, line)
            except TypeError:  # a lone surrogate in a text
                _write_caller_record(utf8_safe(text), utf8_safe(invoker), utf8_safe(file), line)
        except RecursionError:
            raise
        except Exception:
            self.handleError(record)
