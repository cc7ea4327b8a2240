"""Async code: traced coroutines and async generators, a scope per step, and
spans that cross awaits, read back with read_spans."""

import asyncio
import inspect
import json
import os
import re
import subprocess
import sys
import threading

import pytest

import _py_vorn
import vorn
from conftest import run_in_fresh_thread, run_python, trace_path
from vorn import read_spans, read_trace_events

# Every bound on waiting; nothing here waits for a fixed time.
BOUND = 10


def shape(items):
    """(message, closed, children) for each scope; records as their text,
    span ids as "#" (the counter is the process's)."""
    return [(item.args, item.ts_exit is not None, shape(item.events)) if hasattr(item, "events")
            else re.sub(r"^span [0-9a-f]+\.\d+ ", "span # ", item.args) for item in items]  # fmt: skip


def spans_of(*paths):
    return [(span.message, span.task, span.ts_end is not None, span.raised) for span in read_spans(*paths)]


@vorn.traced
async def fetch(gate, value):
    await gate.wait()
    if value is None:
        raise KeyError(value)
    return value * 2


async def handler(name, gate, value):
    async with vorn.span(f"handle {name}"):
        return await fetch(gate, value)


def test_gathered_tasks_trace_their_steps_and_spans_as_they_ran(traced):
    async def main():
        gates = [asyncio.Event() for _ in range(3)]
        tasks = [asyncio.create_task(handler(name, gate, value), name=name)
                 for name, gate, value in zip(("a", "b", "c"), gates, (1, 2, None))]  # fmt: skip
        await asyncio.sleep(0)  # all three wait at their gates
        for gate, task in zip(reversed(gates), reversed(tasks)):
            gate.set()
            await asyncio.wait([task])
        return await asyncio.gather(*tasks, return_exceptions=True)

    run = traced(lambda: asyncio.run(main()))
    assert run.result[:2] == [2, 4] and isinstance(run.result[2], KeyError)
    assert shape(read_trace_events(run.path)) == [
        "span # begin: handle a [a]", ("fetch start [a]", True, []),
        "span # begin: handle b [b]", ("fetch start [b]", True, []),
        "span # begin: handle c [c]", ("fetch start [c]", True, []),
        ("fetch resume [c]", True, ["raised KeyError: None"]), "span # end: handle c [c] (raised KeyError: None)",
        ("fetch resume [b]", True, []), "span # end: handle b [b]",
        ("fetch resume [a]", True, []), "span # end: handle a [a]",
    ]  # fmt: skip
    spans = read_spans(run.path)
    assert spans_of(run.path) == [("handle a", "a", True, None), ("handle b", "b", True, None),
                                  ("handle c", "c", True, "KeyError: None")]  # fmt: skip
    assert [(span.begin, span.end) for span in spans] == [
        ((str(run.path), (0,)), (str(run.path), (11,))),
        ((str(run.path), (2,)), (str(run.path), (9,))),
        ((str(run.path), (4,)), (str(run.path), (7,))),
    ]
    assert all(span.ts_begin <= span.ts_end for span in spans)


@pytest.mark.parametrize("text, parsed", [  # a record's text; its message, task, raised type and message
    ("span 1f.4711 end: fetch [Task-3] (raised KeyError: 'k')", ("fetch", "Task-3", "KeyError", "'k'")),
    ("span 1f.4711 end: fetch [Task-3] (raised KeyError)", ("fetch", "Task-3", "KeyError", None)),  # older spans
    ("span 1f.4711 end: fetch [Task-3]", ("fetch", "Task-3", None, None)),
    ("span 1.2 begin: retry [a] (raised E) [t]", ("retry [a] (raised E)", "t", None, None)),
    ("span 1.2 end: retry [a] (raised E) [t] (raised OSError: (5, 'x)\n[y]'))",
     ("retry [a] (raised E)", "t", "OSError", "(5, 'x)\n[y]')")),
    ("span 1.2 end: f [] (raised f.<locals>.Err: a: b (raised C))", ("f", "", "f.<locals>.Err", "a: b (raised C)")),
    ("span 1.2 end: f [] (raised no type)", None),  # no type name, and no task at its end: no span record
])  # fmt: skip
def test_a_span_records_raised_part_is_read_from_its_end(text, parsed):
    from vorn.reading.trace_reader import _SPAN_TEXT

    match = _SPAN_TEXT.fullmatch(text)
    got = (match["message"], match["task"], match["raised_type"], match["raised_message"]) if match else None
    assert got == parsed


def test_a_span_that_raised_records_the_exceptions_type_and_message(traced):
    def body():
        with pytest.raises(ValueError), vorn.span("m (raised X) [y]"):
            raise ValueError("a (b)\n[c]")

    assert spans_of(traced(body).path) == [("m (raised X) [y]", None, True, "ValueError: a (b)\n[c]")]


async def waits_forever(swallow):
    try:
        await asyncio.Future()
    except asyncio.CancelledError:
        if not swallow:
            raise
    return "swallowed"


async def cancel_it(function, swallow):
    task = asyncio.create_task(function(swallow), name="victim")
    await asyncio.sleep(0)
    task.cancel("stop")
    try:
        return await task
    except asyncio.CancelledError as error:
        return ("CancelledError", error.args)


async def time_it_out(function, swallow):
    asyncio.current_task().set_name("waiter")
    try:
        return await asyncio.wait_for(function(swallow), 1e-3)  # waits for a future nobody resolves
    except TimeoutError:
        return "TimeoutError"


@pytest.mark.parametrize("scenario, swallow, outcome, task", [
    (cancel_it, False, ("CancelledError", ("stop",)), "victim"),
    (cancel_it, True, "swallowed", "victim"),
    (time_it_out, False, "TimeoutError", "waiter"),
])  # fmt: skip
def test_cancellation_and_timeouts_behave_as_undecorated_and_log_their_steps(traced, scenario, swallow,
                                                                             outcome, task):  # fmt: skip
    assert asyncio.run(scenario(waits_forever, swallow)) == outcome
    run = traced(lambda: asyncio.run(scenario(vorn.traced(waits_forever), swallow)))
    assert run.result == outcome
    last = [] if swallow else ["raised CancelledError" + (": stop" if scenario is cancel_it else "")]
    assert shape(read_trace_events(run.path)) == [
        (f"waits_forever start [{task}]", True, []), (f"waits_forever resume [{task}]", True, last)]


@vorn.traced
async def numbers(count):
    try:
        for number in range(count):
            received = yield number
            if received is not None:
                yield f"got {received}"
            await asyncio.sleep(0)
    finally:
        _py_vorn.StlLogger("cleanup").close()


def test_an_async_generator_gets_a_step_per_resumption_and_one_for_its_early_close(traced):
    async def consume():
        asyncio.current_task().set_name("consumer")
        got, agen = [], numbers(5)
        async for number in agen:
            got.append(number)
            if number == 1:
                break
        await agen.aclose()
        sent = numbers(2)
        return got, [await sent.__anext__(), await sent.asend("x"), [n async for n in sent]]

    run = traced(lambda: asyncio.run(consume()))
    assert run.result == ([0, 1], [0, "got x", [1]])
    step = lambda name, *children: (f"numbers {name} [consumer]", True, list(children))  # noqa: E731
    cleanup = ("cleanup", True, [])
    assert shape(read_trace_events(run.path)) == [
        step("start"), step("resume"), step("resume"), step("close", cleanup),
        step("start"), *[step("resume")] * 4, step("resume", cleanup),
    ]


def test_spans_never_ended_read_back_open_and_pair_across_files(trace_root):
    def leave_a_task_stuck():
        async def stuck():
            with vorn.span("stuck"):
                await asyncio.Future()

        loop = asyncio.new_event_loop()
        task = loop.create_task(stuck(), name="stuck")
        loop.run_until_complete(asyncio.sleep(0))
        path = trace_path(trace_root, threading.get_native_id())
        before = spans_of(path)
        task.cancel()
        loop.run_until_complete(asyncio.wait([task]))
        loop.close()
        return before, spans_of(path)

    assert run_in_fresh_thread(leave_a_task_stuck) == (
        [("stuck", "stuck", False, None)], [("stuck", "stuck", True, "CancelledError")])

    handed_over = vorn.span("handed over")
    first = run_in_fresh_thread(lambda: (handed_over.__enter__(), threading.get_native_id())[1])
    second = run_in_fresh_thread(lambda: (handed_over.__exit__(None, None, None), threading.get_native_id())[1])
    paths = [trace_path(trace_root, thread) for thread in (first, second)]
    assert spans_of(paths[0]) == [("handed over", None, False, None)]
    assert spans_of(*paths) == [("handed over", None, True, None)] and spans_of(paths[1]) == []
    with pytest.raises(RuntimeError, match="already entered"):
        handed_over.__enter__()


def test_decorated_async_functions_keep_their_kind_and_step_outside_a_loop(traced):
    assert inspect.iscoroutinefunction(fetch) and not inspect.isasyncgenfunction(fetch)
    assert inspect.isasyncgenfunction(numbers) and not inspect.iscoroutinefunction(numbers)

    def by_hand():
        gate = asyncio.Event()
        gate.set()
        with pytest.raises(StopIteration) as stop:
            fetch(gate, 4).send(None)
        return stop.value.value

    run = traced(by_hand)
    assert run.result == 8
    assert shape(read_trace_events(run.path)) == [("fetch start", True, [])]


# One task whose spans nest, cross and outlive the process, and a span outside
# any task; os._exit leaves "left open" without its end record.
SPANS_ON_TRACKS = """
import asyncio, os, vorn
async def work():
    first = vorn.span("first").__enter__()
    async with vorn.span("inner"):
        await asyncio.sleep(0)
    second = vorn.span("second").__enter__()
    first.__exit__(None, None, None)
    await asyncio.sleep(0)
    second.__exit__(None, None, None)
    vorn.span("left open").__enter__()
with vorn.span("setup"):
    pass
async def main():
    await asyncio.create_task(work(), name="x")
asyncio.run(main())
os._exit(0)
"""


def test_spans_get_a_track_per_task_with_crossing_spans_on_lanes_of_their_own(tmp_path):
    from vorn.outputs.export import export_events
    from vorn.reading.span_events import SpanCollector, task_profiles, with_span_events
    from vorn.reading.trace_files import find_trace_files

    run_python(SPANS_ON_TRACKS, env={"VORN_LOG_DIR": str(tmp_path / "logs")})
    collector = SpanCollector()
    events = list(with_span_events(export_events(find_trace_files([tmp_path / "logs"])), collector))
    # The span logger's thread is gone, name and all: one thread is left.
    assert [event["args"]["name"] for event in events if event["name"] == "thread_name"] == [
        next(event["args"]["name"] for event in events if event["name"] == "thread_name")]
    assert not any(event["args"].get("file") == "<vorn.span>" for event in events if event["ph"] == "X")
    spans = [(event["ph"], event["name"], event["id2"]["local"]) for event in events if event["ph"] in "be"]
    assert spans == [
        ("b", "setup", "outside tasks"), ("e", "setup", "outside tasks"),
        ("b", "first", "task x"), ("b", "inner", "task x"), ("e", "inner", "task x"), ("e", "first", "task x"),
        ("b", "left open (never closed)", "task x"), ("e", "left open (never closed)", "task x"),
        ("b", "second", "task x (2)"), ("e", "second", "task x (2)"),
    ]  # fmt: skip
    # The records stay, and each begin sits at its record's time.
    instants = {event["args"]["message"].split(":")[0]: event["ts"] for event in events if event["ph"] == "I"}
    assert all(event["ts"] == instants[f"span {event['args']['span']} begin"] for event in events if event["ph"] == "b")
    last = max(event["ts"] + event.get("dur", 0) for event in events if event["ph"] in "XI")
    assert [event["ts"] for event in events if event["ph"] == "e" and event["args"].get("never_closed")] == [last]
    # speedscope: a profile per lane, each opening and closing in order.
    frames: list[str] = []
    profiles = task_profiles(collector, lambda name: frames.index(name) if name in frames
                             else frames.append(name) or len(frames) - 1)  # fmt: skip
    assert [name for name, _ in profiles] == ["outside tasks", "task x", "task x (2)"]
    for _, events in profiles:
        stack, at = [], events[0][2]
        for kind, frame, moment in events:
            assert moment >= at
            at = moment
            if kind == "O":
                stack.append(frame)
            else:
                assert stack.pop() == frame
        assert stack == []


# Spans while the trace directory cannot be made (VORN_LOG_DIR lies under a
# regular file), then once it can.
UNWRITABLE_SPANS = """
import json, os, sys, threading, vorn
from _py_vorn import StlLogger
os.environ["VORN_LOG_DIR"] = sys.argv[1] + "/file/logs"
def error_of(body):
    try:
        body()
    except RuntimeError as error:
        return str(error)
def span():
    with vorn.span("refused"):
        pass
errors = [error_of(span) for _ in range(2)]
other = threading.Thread(target=lambda: errors.append(error_of(span)))
other.start()
other.join()
errors.append(error_of(lambda: StlLogger("refused")))
os.environ["VORN_LOG_DIR"] = sys.argv[1] + "/logs"
with vorn.span("after"):
    pass
print(json.dumps([errors, threading.get_native_id()]))
"""


def test_spans_raise_what_the_logger_raises_while_the_directory_cannot_be_made(tmp_path):
    (tmp_path / "file").write_text("")
    result = subprocess.run([sys.executable, "-c", UNWRITABLE_SPANS, tmp_path], capture_output=True, text=True,
                            timeout=BOUND)  # fmt: skip
    assert result.returncode == 0, result.stderr
    errors, native_id = json.loads(result.stdout)
    assert errors[0] and errors == [errors[0]] * 4
    assert spans_of(trace_path(tmp_path / "logs", native_id)) == [("after", None, True, None)]


# A signal handler opens a span while the main thread is in the middle of
# opening one: raised from inside the first use of the span logger (by the
# span thread, once the main thread waits for it), or from inside the id's
# assignment.
SIGNALLED_SPANS = """
import itertools, signal, sys, threading, vorn
import vorn.program.spans
from _py_vorn import StlLogger
handled = threading.Event()
def handler(signum, frame):
    handled.set()
    with vorn.span("in handler"):
        pass
signal.signal(signal.SIGUSR1, handler)
if sys.argv[1] == "first use":
    def signalling_logger(*args):
        if not handled.is_set():
            signal.pthread_kill(threading.main_thread().ident, signal.SIGUSR1)
            assert handled.wait({bound})
        return StlLogger(*args)
    vorn.program.spans.StlLogger = signalling_logger
else:
    class SignallingIds:
        count = itertools.count(1)
        def __next__(self):
            if not handled.is_set():
                signal.raise_signal(signal.SIGUSR1)
            return next(self.count)
    vorn.program.spans._ids = SignallingIds()
with vorn.span("interrupted"):
    pass
print(threading.get_native_id())
"""


@pytest.mark.parametrize("moment", ["first use", "id"])
def test_a_signal_handler_opens_spans_while_the_main_thread_opens_one(tmp_path, moment):
    result = subprocess.run([sys.executable, "-c", SIGNALLED_SPANS.format(bound=BOUND), moment],
                            capture_output=True, text=True, timeout=BOUND,
                            env={**os.environ, "VORN_LOG_DIR": str(tmp_path)})  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert spans_of(trace_path(tmp_path, int(result.stdout))) == [("in handler", None, True, None),
                                                                  ("interrupted", None, True, None)]  # fmt: skip


# Another thread finishes opening the span logger between this thread's
# first look at it and its taking of the lock: the lock is entered only
# once the logger is there, as it would be after the other thread's exit.
RACED_OPEN = """
import threading, vorn, vorn.program.spans
opened = vorn.program.spans._open_logger()
lock = vorn.program.spans._lock
class OpenedMeanwhile:
    def __enter__(self):
        vorn.program.spans._logger = opened
        return lock.__enter__()
    def __exit__(self, *exc):
        return lock.__exit__(*exc)
vorn.program.spans._logger = None
vorn.program.spans._lock = OpenedMeanwhile()
assert vorn.program.spans._open_logger() is opened
print(sum(thread.name == "vorn spans" for thread in threading.enumerate()))
"""


def test_a_logger_opened_meanwhile_by_another_thread_is_taken_not_opened_again(tmp_path):
    assert run_python(RACED_OPEN, env={"VORN_LOG_DIR": str(tmp_path)}).stdout == "1\n"
