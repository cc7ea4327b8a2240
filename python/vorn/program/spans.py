"""``span``: a stretch of time that may cross awaits and overlap others.

A trace scope belongs to its thread and closes innermost-first, so a scope
around an ``await`` swallows whatever the other tasks of the loop do in the
meantime, and closes inside or around their scopes in the wrong order. A
span opens no scope: it writes two records, its begin and its end, each into
whatever scope is open on the thread at that moment (or at the top level of
the thread's file), and readers pair them by the span's id (read_spans).

The records come from one logger that a private thread opens and never
closes: ``log`` on a logger whose scope is open on another thread writes
into the calling thread's innermost open scope, or at its top level, which
is exactly where a span's record belongs. That thread's own file holds only
the one scope "vorn spans", open until the process ends.
"""

from __future__ import annotations

import asyncio
import copy
import itertools
import os
import threading
from types import TracebackType
from typing import Final, Self

from _py_vorn import StlLogger

from vorn.program.block_scope import raised_message
from vorn.program.utf8_safe import utf8_safe

__all__ = ["SPAN_INVOKER", "span"]

# The invoker of every span record, which is how readers tell them from
# other records.
SPAN_INVOKER: Final = "span"
_THREAD_NAME: Final = "vorn spans"

# Guards the choice of who starts the span thread, and is held for nothing
# else: never while waiting for it. Reentrant, since a signal handler that
# opens a span may run in the middle of that choice, on the same thread.
_lock = threading.RLock()
_logger: StlLogger | None = None
_opening: _Opening | None = None
# next() on a count is one step under the interpreter lock: ids need no lock.
_ids = itertools.count(1)
_pid = os.getpid()


class _Opening:
    """The span thread being started, and what it made: the logger, or the
    exception that opening it raised."""

    __slots__ = ("done", "started", "logger", "error")

    def __init__(self) -> None:
        self.done = threading.Event()
        self.started = False
        self.logger: StlLogger | None = None
        self.error: BaseException | None = None

    def start(self) -> None:
        threading.Thread(target=self._hold, name=_THREAD_NAME, daemon=True).start()
        self.started = True

    def _hold(self) -> None:
        self.started = True  # also when start() has yet to hear of it
        try:
            self.logger = StlLogger(_THREAD_NAME, SPAN_INVOKER, "<vorn.span>", 0)
        except BaseException as error:  # for every span waiting on it to raise
            self.error = error
        self.done.set()
        if self.error is None:
            threading.Event().wait()  # keeps the scope open until the process ends


def _open_logger() -> StlLogger:
    """The process's span logger, opened on its private thread on first use.
    Raises what opening it raised (the trace directory cannot be made, say);
    the next call tries again."""
    global _logger, _opening
    if _logger is not None:
        return _logger
    with _lock:
        # Another thread may have opened it since the look above, and
        # cleared _opening on its way out.
        if _logger is not None:
            return _logger
        opening = _opening
        # One not known to be started can only be this thread's, in the
        # frame that a signal handler interrupted to get here. That frame
        # may not start it before the handler returns, so the handler starts
        # one of its own (and at worst there are two).
        if opening is None or not opening.started:
            opening = _opening = _Opening()
            opening.start()
    # The span thread needs nothing of this one: a handler that interrupts
    # this wait may wait for it too.
    opening.done.wait()
    with _lock:
        if _opening is opening:
            _opening = None
        if _logger is None:
            _logger = opening.logger
        logger = _logger
    if logger is None:
        assert opening.error is not None
        raise copy.copy(opening.error).with_traceback(opening.error.__traceback__)
    return logger


def _forget_logger_after_fork() -> None:
    # The private thread does not exist in a child: it opens its own.
    global _logger, _lock, _opening, _ids, _pid
    _logger, _lock, _opening, _ids, _pid = None, threading.RLock(), None, itertools.count(1), os.getpid()


os.register_at_fork(after_in_child=_forget_logger_after_fork)


def _log(record: str) -> None:
    logger = _open_logger()
    try:
        logger.log(record)
    except TypeError:  # a lone surrogate, in the message or the task's name
        logger.log(utf8_safe(record))


def _task_name() -> str:
    try:
        task = asyncio.current_task()
    except RuntimeError:  # no running loop
        return ""
    return "" if task is None else task.get_name()


class span:
    """``with vorn.span("fetch"):`` or ``async with vorn.span("fetch"):``.

    Writes "span <id> begin: <message> [<task>]" when entered and
    "span <id> end: <message> [<task>]" when left, " (raised <type>:
    <message>)" added when an exception leaves it (the exception's text
    cut as block_scope.raised_message cuts it; " (raised <type>)" when it
    has none). <id> is unique in the process
    ("1f.4711": a counter in hex, then the pid); <task> is the running
    asyncio task's name when entered, empty outside a task. Each record
    lands in the scope open on the thread at that moment, so spans may
    cross awaits and overlap each other and any scope. A span object is
    entered once.
    """

    __slots__ = ("id", "message", "task", "_state")

    def __init__(self, message: str) -> None:
        self.message = message
        self.id = ""
        self.task = ""
        self._state = "new"

    def __enter__(self) -> Self:
        if self._state != "new":
            raise RuntimeError(f"span {self.message!r} was already entered")
        self.id = f"{next(_ids):x}.{_pid}"
        self.task = _task_name()
        _log(f"span {self.id} begin: {self.message} [{self.task}]")
        self._state = "open"
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        # The exception as traced and vorn.scope tell it, "raised KeyError: 'k'",
        # in parentheses: readers take the last " (raised ...)" at the end.
        raised = "" if exc_value is None else f" ({raised_message(exc_value)})"
        self._state = "ended"
        _log(f"span {self.id} end: {self.message} [{self.task}]{raised}")

    async def __aenter__(self) -> Self:
        return self.__enter__()

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.__exit__(exc_type, exc_value, traceback)
