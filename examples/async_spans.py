"""Why async code wants vorn.span, not a scope, around an await.

    python3 examples/async_spans.py

Three handlers run at once on one event loop (asyncio.gather); each waits
a different time. First each wraps its wait in a trace scope (``with
StlLogger(...)``): scopes belong to the thread and nest innermost-first, so
the file nests the handlers inside each other, puts a record of one handler
inside another's scope and gives them each other's durations. Then each
wraps its wait in ``async with vorn.span(...)``: read back with read_spans,
every span has its own task and its own duration.

Trace files go under $VORN_LOG_DIR, "./vorn_logs" unless set; the example
prints the tree of its thread's file and the spans read back, and exports
its traces as trace events (async_spans.json next to them), where each
task's spans have a track of their own.
"""

from __future__ import annotations

import asyncio
import os
import threading
from collections.abc import Iterable

# Read by each thread when it opens its trace file, so set it before the
# first scope.
os.environ.setdefault("VORN_LOG_DIR", "./vorn_logs")

import vorn  # noqa: E402  (after the environment is settled)
from vorn import StlLogger, find_trace_files, read_spans, read_trace_events  # noqa: E402
from vorn.outputs.export import write_export  # noqa: E402
from vorn.reading.trace_reader import Instant, Scope  # noqa: E402

HANDLERS = (("A", 0.010), ("B", 0.030), ("C", 0.020))  # A is done first, B last


async def scoped_handler(name: str, seconds: float) -> None:
    with StlLogger(f"handler {name}") as scope:
        await asyncio.sleep(seconds)
        scope.log(f"{name} done")


async def spanned_handler(name: str, seconds: float) -> None:
    async with vorn.span(f"handler {name}"):
        await asyncio.sleep(seconds)


async def main() -> None:
    with StlLogger("plain with"):
        await asyncio.gather(*(scoped_handler(name, seconds) for name, seconds in HANDLERS))
    with StlLogger("vorn.span"):
        await asyncio.gather(*(asyncio.create_task(spanned_handler(name, seconds), name=name)
                               for name, seconds in HANDLERS))  # fmt: skip


def print_tree(items: Iterable[Scope | Instant], depth: int = 0) -> None:
    for item in items:
        indent = "  " * depth
        if isinstance(item, Instant):
            print(f"{indent}- {item.args}")
            continue
        took = "open" if item.ts_exit is None else f"{item.ts_exit - item.ts_enter} ms"
        print(f"{indent}{item.args} ({took})")
        print_tree(item.events, depth + 1)


if __name__ == "__main__":
    asyncio.run(main())
    native_id = str(threading.get_native_id())
    traces = find_trace_files([os.environ["VORN_LOG_DIR"]])
    mine = [trace.path for trace in traces if trace.thread == native_id and trace.pid in (None, os.getpid())]
    print("The thread's trace file (the scopes of the handlers nest in each other):")
    for path in mine:
        print_tree(read_trace_events(path))
    print("\nThe spans read back (each with its task and its own duration):")
    for span in read_spans(*(trace.path for trace in traces if trace.pid in (None, os.getpid()))):
        took = "never ended" if span.ts_end is None else f"{span.ts_end - span.ts_begin} ms"
        print(f"  {span.message} [task {span.task}]: {took}")
    output = os.path.join(os.environ["VORN_LOG_DIR"], "async_spans.json")
    write_export([trace.path for trace in traces if trace.pid in (None, os.getpid())], output)
    print(f"\n{output}: trace events, a track per task; open it in Perfetto UI or Chrome DevTools")
