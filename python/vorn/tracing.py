"""The ``traced`` decorator: a trace scope around every call of a function."""

from __future__ import annotations

import functools
import inspect
from dataclasses import dataclass
from collections.abc import Callable, Generator
from typing import Any, Final, ParamSpec, TypeVar, cast, overload

from _py_vorn import StlLogger

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
    A call that raises logs "raised <exception type>" before its scope closes,
    and the exception goes on unchanged.

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

    Coroutine functions and async generators are refused with TypeError:
    their time passes inside the event loop, which a call scope cannot see.
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
    if inspect.iscoroutinefunction(function) or inspect.isasyncgenfunction(function):
        raise TypeError(f"traced does not support async functions: {function!r}")
    code = getattr(inspect.unwrap(function), "__code__", None)
    identity = _Identity(
        invoker=name if name is not None else _name_of(function),
        file=code.co_filename if code is not None else "<python>",
        line=code.co_firstlineno if code is not None else 0,
    )

    if inspect.isgeneratorfunction(function):
        generator_function = cast(Callable[..., Generator[Any, Any, Any]], function)

        @functools.wraps(function)
        def generator_wrapper(*args: Any, **kwargs: Any) -> Generator[Any, Any, Any]:
            return (yield from _traced_steps(generator_function(*args, **kwargs), identity))

        return cast(Callable[P, R], generator_wrapper)

    @functools.wraps(function)
    def wrapper(*args: P.args, **kwargs: P.kwargs) -> R:
        with identity.scope() as scope:
            try:
                return function(*args, **kwargs)
            except BaseException as error:
                scope.log(f"raised {type(error).__qualname__}")
                raise

    return wrapper


@dataclass(frozen=True)
class _Identity:
    """Who the scopes of one decorated function say opened them."""

    invoker: str
    file: str
    line: int

    def scope(self, step: str = "") -> StlLogger:
        message = f"{self.invoker} {step}" if step else self.invoker
        return StlLogger(message, self.invoker, self.file, self.line)


def _name_of(function: Callable[..., object]) -> str:
    for attribute in ("__qualname__", "__name__"):
        value = getattr(function, attribute, None)
        if isinstance(value, str) and value:
            return value
    return type(function).__qualname__


def _traced_steps(
    generator: Generator[Any, Any, Any], identity: _Identity
) -> Generator[Any, Any, Any]:
    """Drives `generator` one step at a time, each step inside a scope of
    its own on the thread that asked for it; yields what it yields and
    returns what it returns."""
    step = START
    sent: Any = None
    thrown: BaseException | None = None
    while True:
        with identity.scope(step) as scope:
            try:
                if thrown is None:
                    value = generator.send(sent)
                else:
                    error, thrown = thrown, None
                    value = generator.throw(error)
            except StopIteration as stop:
                return stop.value
            except BaseException as error:
                scope.log(f"raised {type(error).__qualname__}")
                raise
        step = RESUME
        try:
            sent = yield value
        except GeneratorExit:
            # Closed unfinished, by its consumer or by garbage collection:
            # the wrapped generator's own clean-up runs in a scope too.
            with identity.scope(CLOSE):
                generator.close()
            raise
        except BaseException as error:
            sent, thrown = None, error
