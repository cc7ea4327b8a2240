"""``vorn.scope``: a trace scope for a ``with`` block that also says when
an exception left it, and the "raised ..." record both it and ``traced``
write."""

from __future__ import annotations

import sys
from types import FrameType, TracebackType
from typing import Final

from _py_vorn import StlLogger

from vorn.program.utf8_safe import utf8_safe

__all__ = ["RAISED_LIMIT", "raised_message", "scope"]

# The most characters a "raised ..." record takes: at most 4 bytes each, so
# the record stays well inside what one record may hold, and a screenful.
RAISED_LIMIT: Final = 1000


def raised_message(error: BaseException) -> str:
    """The record that tells `error` left a scope: its type's qualified
    name and its text, cut to RAISED_LIMIT characters:
      ValueError("bad input 42")  => "raised ValueError: bad input 42"
      KeyError()                  => "raised KeyError"
      Job.Failed("x" * 5000)      => "raised Job.Failed: xxx…" (1000 characters)
    An exception whose str() fails is named by its type alone. Text with no
    UTF-8 form is escaped, as utf8_safe does."""
    kind = type(error).__qualname__
    try:
        text = str(error)
    except Exception:  # a broken __str__ must not replace the exception itself
        text = ""
    message = utf8_safe(f"raised {kind}: {text}" if text else f"raised {kind}")
    if len(message) > RAISED_LIMIT:
        message = message[: RAISED_LIMIT - 1] + "…"
    return message


def _script_invoker(file: str) -> str:
    """The invoker of module-level code, as the loggers name it: the
    script's file name; "python" for no file or a pseudo-file:
      "/srv/job.py" => "job.py"; "<stdin>" => "python"."""
    if not file or (len(file) > 1 and file[0] == "<" and file[-1] == ">"):
        return "python"
    return file.rpartition("/")[2] or "python"


def _invoker_of(frame: FrameType) -> str:
    """What StlLogger names as the invoker when called from `frame`."""
    name = frame.f_code.co_name
    if name != "<module>":
        return name
    file = frame.f_globals.get("__file__")
    return "python" if file is None else _script_invoker(str(file))


class scope:  # noqa: N801 -- used as a function, like contextlib.suppress
    """A trace scope around a ``with`` block, as ``with StlLogger(...)``
    gives, that also logs "raised <type>: <message>" (raised_message) when
    an exception leaves the block; the exception goes on unchanged.

        with vorn.scope("load rows") as rows:
            rows.log("cache miss")

    The scope opens when the block is entered, and ``as`` binds its
    StlLogger. `invoker`, `file` and `line` default to the calling
    function (or, for module-level code, the script's file name), the
    caller's file and the line of the call. Each object opens one scope:
    entering it a second time raises RuntimeError. Like any trace scope
    it belongs to its thread and must close innermost-first, so it must not
    enclose an ``await``; use ``vorn.span`` there."""

    __slots__ = ("_file", "_invoker", "_line", "_logger", "_message", "_used")

    def __init__(self, message: str = "", invoker: str | None = None, file: str | None = None,
                 line: int | None = None) -> None:  # fmt: skip
        caller = sys._getframe(1)
        self._message = message
        self._invoker = invoker if invoker is not None else utf8_safe(_invoker_of(caller))
        self._file = file if file is not None else utf8_safe(caller.f_code.co_filename)
        self._line = line if line is not None else caller.f_lineno
        self._logger: StlLogger | None = None
        self._used = False

    def __enter__(self) -> StlLogger:
        if self._used:
            raise RuntimeError("a vorn.scope opens one scope; make a new one for each with block")
        self._used = True
        try:
            self._logger = StlLogger(self._message, self._invoker, self._file, self._line)
        except TypeError:
            # A lone surrogate in a text: escaped rather than lose the scope.
            # Anything else that did not convert is refused as StlLogger refuses it.
            message, invoker, file = self._message, self._invoker, self._file
            if not (isinstance(message, str) and isinstance(invoker, str) and isinstance(file, str)):
                raise
            self._logger = StlLogger(utf8_safe(message), utf8_safe(invoker), utf8_safe(file), self._line)
        return self._logger

    def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None,
                 traceback: TracebackType | None) -> None:  # fmt: skip
        logger, self._logger = self._logger, None
        if logger is None:
            return
        if exc_value is not None:
            try:
                logger.log(raised_message(exc_value))
            except RuntimeError:  # the block closed the logger itself
                pass
        logger.close()
