"""ConsoleHandler: standard-library logging records as console lines."""

from __future__ import annotations

import logging
import os

from _py_vorn import (
    CLI_LEVEL_ERROR,
    CLI_LEVEL_INFO,
    CLI_LEVEL_STATUS,
    CLI_LEVEL_WARNING,
    StdoutLogger,
)

from vorn.program.record_caller import invoker_of
from vorn.program.utf8_safe import utf8_safe

__all__ = ["ConsoleHandler", "color_wanted", "level_color"]


def color_wanted() -> bool:
    """Whether console lines may carry colour sequences, as the common
    conventions say: not when NO_COLOR is set (to anything but ""), always
    when FORCE_COLOR is, and otherwise when standard output (file
    descriptor 1, where StdoutLogger writes) is a terminal."""
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR"):
        return True
    try:
        return os.isatty(1)
    except OSError:
        return False


def level_color(levelno: int) -> str:
    """The console colour of a logging level; a level between two standard
    ones takes the lower one's colour:
    DEBUG => CLI_LEVEL_STATUS, INFO => CLI_LEVEL_INFO, 25 => CLI_LEVEL_INFO,
    WARNING => CLI_LEVEL_WARNING, ERROR and CRITICAL => CLI_LEVEL_ERROR."""
    if levelno >= logging.ERROR:
        return CLI_LEVEL_ERROR
    if levelno >= logging.WARNING:
        return CLI_LEVEL_WARNING
    if levelno >= logging.INFO:
        return CLI_LEVEL_INFO
    return CLI_LEVEL_STATUS


class ConsoleHandler(logging.Handler):
    """A logging handler that prints each record with StdoutLogger.print, as
    one console line in the colour of its level.

    The line's header, workflow name and whether colour is used at all follow
    the calling thread's console options (StdoutLogger.set_options); only
    the colour is chosen per record, and the thread's options are left as
    they were. The line is plain text, without colour sequences, when
    NO_COLOR is set or standard output is not a terminal, unless
    FORCE_COLOR is set (color_wanted). The invoker column names the
    function that logged, or for module-level code its file, as the loggers
    themselves do. The message is ``self.format(record)``, so formatters
    apply as usual; text that has no UTF-8 form (a lone surrogate) is
    printed with it escaped, as errors="backslashreplace" shows it;
    failures go to ``handleError``.
    """

    def emit(self, record: logging.LogRecord) -> None:
        try:
            message = self.format(record)
            options = StdoutLogger.get_options()
            saved_color, saved_use_color = options.color, options.use_color
            options.color = level_color(record.levelno)
            options.use_color = saved_use_color and color_wanted()
            StdoutLogger.set_options(options)
            try:
                invoker = invoker_of(record)
                try:
                    StdoutLogger.print(message, invoker=invoker)
                except TypeError:  # a lone surrogate, in the message or a file name
                    StdoutLogger.print(utf8_safe(message), invoker=utf8_safe(invoker))
            finally:
                options.color, options.use_color = saved_color, saved_use_color
                StdoutLogger.set_options(options)
        except RecursionError:
            raise
        except Exception:
            self.handleError(record)
