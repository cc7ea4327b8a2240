"""The ``traced`` decorator: a trace scope around every call of a function."""

from __future__ import annotations

import asyncio
import functools
import inspect
from dataclasses import dataclass
from collections.abc import AsyncGenerator, Awaitable, Callable, Coroutine, Generator
from typing import Any, Final, ParamSpec, TypeVar, cast, overload

from _py_vorn import StlLogger

from vorn.program.block_scope import raised_message
from vorn.program.utf8_safe import utf8_safe

__all__ = ["traced"]

P = ParamSpec("P")
R = TypeVar("R")

# What a generator's scopes add to its name, by the step they time.
START: Final = "start"
RESUME: Final = "resume"
CLOSE: Final = "close"


@overload
def traced(function: Callable[P, R], /) -> Callable[P, R]: ...
@overload
def traced(*, name: str | None = None) -> Callable[[Callable[P, R]], Callable[P, R]]: ...


def traced(
    function: Callable[P, R] | None = None, /, *, name: str | None = None
) -> Callable[P, R] | Callable[[Callable[P, R]], Callable[P, R]]:
    """Opens a trace scope (StlLogger) around each call of the decorated
    function. Use it bare, ``@traced``, or with a name, ``@traced(name="load")``.

    The scope's invoker and message are `name`, else the function's
    qualified name (``Job.run``); its file and line are where the function
    is defined.
    A call that raises logs "raised <type>: <message>" before its scope
    closes ("raised ValueError: bad input 42", cut to 1000 characters), and
    the exception goes on unchanged.

    A generator function gets one scope per resumption instead of one for its
    whole life: the first ``next`` opens a scope with the message "<name>
    start", each later ``next``, ``send`` or ``throw`` one "<name> resume",
    and closing an unfinished generator one "<name> close"; each ends when
    the generator yields, returns or raises. A
    scope belongs to the thread that opened it and must close there, nested
    inside the scopes open around it; a generator can be resumed from any
    thread, interleaved with other work, or dropped half-way, and per
    resumption every scope still opens and closes within one call on one
    thread. The time between resumptions is the consumer's, not the
    generator's, and shows as the gap between those scopes.

    A coroutine function (``async def``) and an async generator function
    get the same: a scope per step, where a step is what runs on the thread
    between two suspensions, "<name> start" for the first, "<name> resume"
    for each later one and "<name> close" for closing it unfinished. While
    an asyncio task runs the step, the message names it: "fetch start
    [Task-3]". A scope around a whole coroutine would stay open across its
    awaits while other tasks open and close theirs on the same thread; a
    step never overlaps another task's. Results, exceptions and cancellation
    pass through unchanged, and ``inspect.iscoroutinefunction`` and
    ``inspect.isasyncgenfunction`` still tell what the function is. The
    async generator handed out is a wrapper that delegates to the
    function's own: its ``ag_frame`` and ``ag_await`` are the wrapper's.
    """
    if function is None:
        return lambda decorated: _decorate(decorated, name)
    return _decorate(function, name)


def _decorate(function: Callable[P, R], name: str | None) -> Callable[P, R]:
    if isinstance(function, (staticmethod, classmethod)):
        # Above @staticmethod or @classmethod: trace the function inside and
        # keep the descriptor, so that the method still binds as declared.
        kind = type(function)
        return cast(Callable[P, R], kind(_decorate(function.__func__, name)))
    if not callable(function):
        raise TypeError(f"traced needs a function, not {type(function).__name__}")
    code = getattr(inspect.unwrap(function), "__code__", None)
    # A name or file name may hold a lone surrogate, which the logger
    # refuses: escaped once here, so that every call is traced.
    identity = _Identity(
        invoker=utf8_safe(name if name is not None else _name_of(function)),
        file=utf8_safe(code.co_filename) if code is not None else "<python>",
        line=code.co_firstlineno if code is not None else 0,
    )

    if inspect.isgeneratorfunction(function):
        generator_function = cast(Callable[..., Generator[Any, Any, Any]], function)

        @functools.wraps(function)
        def generator_wrapper(*args: Any, **kwargs: Any) -> Generator[Any, Any, Any]:
            return (yield from _traced_steps(generator_function(*args, **kwargs), identity))

        return cast(Callable[P, R], generator_wrapper)

    if inspect.iscoroutinefunction(function):
        coroutine_function = cast(Callable[..., Coroutine[Any, Any, Any]], function)

        # An async def, not an awaitable object: asyncio.run and create_task
        # take nothing but real coroutines.
        @functools.wraps(function)
        async def coroutine_wrapper(*args: Any, **kwargs: Any) -> Any:
            return await _Stepped(coroutine_function(*args, **kwargs), identity, START)

        return cast(Callable[P, R], coroutine_wrapper)

    if inspect.isasyncgenfunction(function):
        async_generator_function = cast(Callable[..., AsyncGenerator[Any, Any]], function)

        @functools.wraps(function)
        async def async_generator_wrapper(*args: Any, **kwargs: Any) -> AsyncGenerator[Any, Any]:
            inner = async_generator_function(*args, **kwargs)
            step: Awaitable[Any] = _Stepped(inner.__anext__(), identity, START, generator=True)
            while True:
                try:
                    value = await step
                except StopAsyncIteration:
                    return
                try:
                    sent = yield value
                except GeneratorExit:
                    # aclose, by the consumer or by the loop's finaliser of
                    # abandoned generators: the inner clean-up is a step too.
                    await _Stepped(inner.aclose(), identity, CLOSE)
                    raise
                except BaseException as error:
                    step = _Stepped(inner.athrow(error), identity, RESUME, generator=True)
                else:
                    step = _Stepped(inner.asend(sent), identity, RESUME, generator=True)

        return cast(Callable[P, R], async_generator_wrapper)

    @functools.wraps(function)
    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        with identity.scope() as scope:
            try:
                return function(*args, **kwargs)
            except BaseException as error:
                _log_raised(scope, error)
                raise

    return wrapper


@dataclass(frozen=True)
class _Identity:
    """Who the scopes of one decorated function say opened them."""

    invoker: str
    file: str
    line: int

    def scope(self, step: str = "", task: str | None = None) -> StlLogger:
        message = f"{self.invoker} {step}" if step else self.invoker
        if task is not None:
            message = f"{message} [{task}]"
        try:
            return StlLogger(message, self.invoker, self.file, self.line)
        except TypeError:  # a lone surrogate in the task's name
            return StlLogger(utf8_safe(message), self.invoker, self.file, self.line)


def _log_raised(scope: StlLogger, error: BaseException) -> None:
    """Logs "raised <type>: <message>" (raised_message)."""
    scope.log(raised_message(error))


def _task_name() -> str | None:
    """The running asyncio task's name; None outside a task or a loop."""
    try:
        task = asyncio.current_task()
    except RuntimeError:  # no running loop: driven by hand or by another framework
        return None
    return None if task is None else task.get_name()


class _Stepped:
    """Awaiting it drives an awaitable's iterator (a coroutine, or an async
    generator's asend/athrow/aclose) one step at a time, each step in a
    scope of its own, the first named `first` and the others "resume"."""

    __slots__ = ("_steps",)

    def __init__(self, awaitable: Any, identity: _Identity, first: str, *, generator: bool = False) -> None:
        # StopAsyncIteration is how an async generator's steps say it finished.
        ends = (StopAsyncIteration,) if generator else ()
        self._steps = _traced_steps(awaitable, identity, first, tasks=True, ends=ends)

    def __await__(self) -> Generator[Any, Any, Any]:
        return self._steps


def _name_of(function: Callable[..., object]) -> str:
    for attribute in ("__qualname__", "__name__"):
        value = getattr(function, attribute, None)
        if isinstance(value, str) and value:
            return value
    return type(function).__qualname__


def _traced_steps(
    generator: Any,
    identity: _Identity,
    first: str = START,
    *,
    tasks: bool = False,
    ends: tuple[type[BaseException], ...] = (),
) -> Generator[Any, Any, Any]:
    """Drives `generator` (anything with send, throw and close) one step at
    a time, each step inside a scope of its own on the thread that asked for
    it, naming the running task if `tasks`; yields what it yields and
    returns what it returns. Exceptions in `ends` pass without a "raised"
    record: they are how the step reports an ordinary end."""
    step = first
    sent: Any = None
    thrown: BaseException | None = None
    while True:
        with identity.scope(step, _task_name() if tasks else None) as scope:
            try:
                if thrown is None:
                    value = generator.send(sent)
                else:
                    error, thrown = thrown, None
                    value = generator.throw(error)
            except StopIteration as stop:
                return stop.value
            except ends:
                raise
            except BaseException as error:
                _log_raised(scope, error)
                raise
        step = RESUME
        try:
            sent = yield value
        except GeneratorExit:
            # Closed unfinished, by its consumer or by garbage collection:
            # the wrapped generator's own clean-up runs in a scope too.
            with identity.scope(CLOSE, _task_name() if tasks else None):
                generator.close()
            raise
        except BaseException as error:
            sent, thrown = None, error
