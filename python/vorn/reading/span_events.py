"""Spans in the exports: a track per asyncio task, next to the threads.

A span (vorn.span) is two records, its begin and its end, written into
whatever scope each thread had open at that moment. On a thread's track
they are two instants: the span's length, and which task it belonged to,
are nowhere to be seen, and no scope can show it, since a scope around an
``await`` swallows what the other tasks did meanwhile. So the exports pair
the records again and draw each span on a track of its own task.

In the Trace Event Format a span is a pair of nestable async events, "b"
at its begin record and "e" at its end record, at the same times as the
records' instants. The viewers group such pairs differently:

- Perfetto (and chrome://tracing) put the events of one category and one
  id on one track of the process, and stack them there: an "e" closes the
  innermost slice open on that track. So the id is the task (``id2``
  "local", scoped to the process), and spans of a task that overlap
  without nesting go to further lanes, one id each, so that no "e" ever
  has to close a slice below the top of its stack.
- Chrome DevTools' trace engine keeps async pairs only of the category
  "blink.user_timing" (what ``performance.measure`` writes), pairs a begin
  and an end of the same category, id and name, innermost first, and draws
  those whose begin carries a "devtools" track entry in ``args.detail`` on
  a custom track of that name, grouped under ``trackGroup``. Hence the
  category, and a detail naming the task's track and its process.

A span that never ended is closed at its process's last moment (the latest
time of any of its threads) and its name ends in " (never closed)", as a
scope that never closed is drawn. The records' own instants stay on their
threads: they are what the file holds, with the exact milliseconds, and
show on which thread, in which scope, each end of the span ran.

The private thread that holds the span logger (its file has nothing but
the one scope "vorn spans", never closed) is left out of the exports with
its name: it did no work, and its scope would run the whole trace long.

speedscope has no async events: ``task_profiles`` gives one evented
profile per task (per lane), on the same timeline as the threads', after
them; a lane's spans nest, so its frames open and close in stack order.
The Trace Event writer runs its stream through ``with_span_events``; the
speedscope writer, which reads the files itself, notes the spans with
``noting_spans`` and leaves out the thread ``holds_span_logger`` finds.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any, Final, Protocol

from vorn.reading.display_times import PlacedEvent
from vorn.reading.trace_reader import _SPAN_TEXT, Instant, Scope

__all__ = [
    "SPAN_CATEGORY",
    "SpanCollector",
    "TaskSpan",
    "holds_span_logger",
    "noting_spans",
    "task_profiles",
    "with_span_events",
]

# The only category whose async pairs DevTools' engine keeps (see above);
# Perfetto gives it no meaning of its own.
SPAN_CATEGORY: Final = "blink.user_timing"
SPAN_INVOKER: Final = "span"
NEVER_CLOSED: Final = " (never closed)"
HOLDER_SCOPE: Final = "vorn spans"
HOLDER_FILE: Final = "<vorn.span>"
OUTSIDE_TASKS: Final = "outside tasks"

Time = int | float


@dataclass
class TaskSpan:
    """One span as the exports draw it: times are the records' display
    times (microseconds on the export's timeline), `end` the process's
    last moment when the span never ended."""

    id: str
    pid: int  # the export's process number
    tid: int  # the thread of its begin record
    message: str
    task: str
    begin: Time
    begin_ms: int
    end: Time = 0
    end_ms: int | None = None
    raised: str | None = None
    lane: int = 0  # 0 for the task's first track, 1, 2, ... for spans that cross others

    @property
    def closed(self) -> bool:
        return self.end_ms is not None

    @property
    def name(self) -> str:
        return self.message if self.closed else self.message + NEVER_CLOSED

    @property
    def track(self) -> str:
        """The task's track, one per lane: "task a", "task a (2)", ..."""
        label = f"task {self.task}" if self.task else OUTSIDE_TASKS
        return label if self.lane == 0 else f"{label} ({self.lane + 1})"


@dataclass
class SpanCollector:
    """Gathers what the span tracks need from a stream of Trace Event
    dicts (``note``): the span records, the processes' names and their last
    moments. Only span records are kept, so its memory is per span, not per
    event."""

    process_names: dict[int, str] = field(default_factory=dict)
    last: dict[int, Time] = field(default_factory=dict)
    _begins: dict[tuple[int, str], TaskSpan] = field(default_factory=dict)
    _ends: dict[tuple[int, str], tuple[Time, int, str | None]] = field(default_factory=dict)

    def note(self, event: dict[str, Any]) -> None:
        pid = event.get("pid")
        if not isinstance(pid, int):
            return
        phase = event.get("ph")
        if phase == "M":
            if event.get("name") == "process_name":
                self.process_names[pid] = str(event.get("args", {}).get("name", ""))
            return
        ts = event.get("ts")
        if not isinstance(ts, int | float):
            return
        self.reach(pid, ts + event.get("dur", 0))
        args = event.get("args") or {}
        if phase == "I" and args.get("invoker") == SPAN_INVOKER and isinstance(args.get("message"), str):
            self.record(pid, int(event.get("tid", 0)), ts, args["message"], int(args.get("ts_ms", 0)))

    def reach(self, pid: int, moment: Time) -> None:
        """The process `pid` had something at `moment`."""
        if moment > self.last.get(pid, moment - 1):
            self.last[pid] = moment

    def record(self, pid: int, tid: int, ts: Time, message: str, ms: int) -> None:
        """One record of invoker "span" at display time `ts` (µs) and file
        time `ms`; text that is not a span's is ignored."""
        match = _SPAN_TEXT.fullmatch(message)
        if match is None:
            return
        key = (pid, match["id"])
        if match["kind"] == "begin":
            self._begins.setdefault(key, TaskSpan(match["id"], pid, tid, match["message"], match["task"], ts, ms))
        else:
            self._ends.setdefault(key, (ts, ms, match["raised"]))

    def spans(self) -> list[TaskSpan]:
        """The spans by process, task and begin, each with its end and its
        lane. An end without its begin (a file that was not exported) is
        left out: there is nothing to draw it from."""
        spans = []
        for key, span in self._begins.items():
            end = self._ends.get(key)
            if end is None:
                span.end, span.end_ms, span.raised = max(self.last.get(span.pid, span.begin), span.begin), None, None
            else:
                span.end, span.end_ms, span.raised = max(end[0], span.begin), end[1], end[2]
            spans.append(span)
        spans.sort(key=lambda span: (span.pid, span.task, span.begin, -span.end))
        _assign_lanes(spans)
        return spans

    def trace_events(self) -> Iterator[dict[str, Any]]:
        """The "b" and "e" events of every span, lane by lane, each lane's
        in the order its stack opens and closes them."""
        for lane in _lanes(self.spans()):
            for span, opens in _walk(lane):
                yield self._begin_event(span) if opens else _end_event(span)

    def _begin_event(self, span: TaskSpan) -> dict[str, Any]:
        group = self.process_names.get(span.pid) or f"process {span.pid}"
        args: dict[str, Any] = {"task": span.task, "span": span.id, "ts_begin_ms": span.begin_ms}
        if span.closed:
            args["ts_end_ms"] = span.end_ms
        else:
            args["never_closed"] = True
        if span.raised is not None:
            args["raised"] = span.raised
        args["detail"] = json.dumps({"devtools": {"dataType": "track-entry", "track": span.track,
                                                  "trackGroup": group}}, ensure_ascii=False)  # fmt: skip
        return {"name": span.name, "cat": SPAN_CATEGORY, "ph": "b", "ts": span.begin, "pid": span.pid,
                "tid": span.tid, "id2": {"local": span.track}, "args": args}  # fmt: skip


def _end_event(span: TaskSpan) -> dict[str, Any]:
    args: dict[str, Any] = {"ts_ms": span.end_ms} if span.closed else {"never_closed": True}
    return {"name": span.name, "cat": SPAN_CATEGORY, "ph": "e", "ts": span.end, "pid": span.pid,
            "tid": span.tid, "id2": {"local": span.track}, "args": args}  # fmt: skip


def _assign_lanes(spans: list[TaskSpan]) -> None:
    """Puts each span of a task on the first of the task's lanes where it
    nests inside, or follows, what is open there; `spans` are sorted by
    process, task, begin and then longest first, so an enclosing span is
    always placed before the spans inside it."""
    stacks: list[list[Time]] = []  # per lane of the current task: the ends of its open spans
    current: tuple[int, str] | None = None
    for span in spans:
        if (span.pid, span.task) != current:
            current, stacks = (span.pid, span.task), []
        for number, stack in enumerate(stacks):
            while stack and stack[-1] <= span.begin:
                stack.pop()  # ended before this one began, and so before every later one
            if not stack or span.end <= stack[-1]:
                break
        else:
            number, stack = len(stacks), []
            stacks.append(stack)
        span.lane = number
        stack.append(span.end)


def _lanes(spans: list[TaskSpan]) -> Iterator[list[TaskSpan]]:
    """The spans of each lane, by process, task and lane, in begin order."""
    lanes: dict[tuple[int, str, int], list[TaskSpan]] = {}
    for span in spans:
        lanes.setdefault((span.pid, span.task, span.lane), []).append(span)
    for key in sorted(lanes):
        yield lanes[key]


def _walk(lane: list[TaskSpan]) -> Iterator[tuple[TaskSpan, bool]]:
    """(span, True) where a lane's span opens and (span, False) where it
    closes, innermost first: the lane's spans nest, so times never go
    back. At equal times what ended closes before what begins opens."""
    stack: list[TaskSpan] = []
    for span in lane:
        while stack and stack[-1].end <= span.begin:
            yield stack.pop(), False
        stack.append(span)
        yield span, True
    while stack:
        yield stack.pop(), False


class _Thread(Protocol):
    pid: int
    tid: int
    process_name: str


def noting_spans(collector: SpanCollector, thread: _Thread, events: Iterable[PlacedEvent],
                 moment: Callable[[float], Time]) -> Iterator[PlacedEvent]:  # fmt: skip
    """A thread's placed events passed through, its span records and its
    moments noted in `collector`; `moment` turns a display time (ms) into
    the export's microseconds. For a writer that reads the files itself."""
    collector.process_names.setdefault(thread.pid, thread.process_name)
    for event in events:
        at = moment(event.time)
        collector.reach(thread.pid, at)
        item = event.item
        if isinstance(item, Instant) and item.invoker == SPAN_INVOKER:
            collector.record(thread.pid, thread.tid, at, item.args, item.ts)
        yield event


def holds_span_logger(events: Iterable[PlacedEvent]) -> bool:
    """Whether a thread's events, from its first, are those of the span
    logger's private thread (its first event enters the holder's scope)."""
    iterator = iter(events)
    try:
        item = next(iterator).item
    except StopIteration:
        return False
    finally:
        close = getattr(iterator, "close", None)
        if close is not None:
            close()  # the file, now rather than when collected
    return (isinstance(item, Scope) and item.args == HOLDER_SCOPE and item.invoker == SPAN_INVOKER
            and item.file == HOLDER_FILE)  # fmt: skip


def _holds_span_logger(event: dict[str, Any]) -> bool:
    """Whether `event`, the first of its thread, is the scope that the span
    logger's private thread keeps open."""
    args = event.get("args") or {}
    return (event.get("ph") == "X" and args.get("message") == HOLDER_SCOPE and args.get("invoker") == SPAN_INVOKER
            and args.get("file") == HOLDER_FILE)  # fmt: skip


def with_span_events(events: Iterable[dict[str, Any]],
                     collector: SpanCollector | None = None) -> Iterator[dict[str, Any]]:  # fmt: skip
    """The Trace Event stream `events` with the span logger's thread left
    out and, after the last event, the async events of every span.

    A thread's name waits until its first event shows whether it is the
    span logger's, so the stream is held back by one event at most; only
    the span records are kept until the end."""
    collector = collector if collector is not None else SpanCollector()
    named: dict[tuple[Any, Any], dict[str, Any]] = {}  # thread names whose thread has shown no event yet
    dropped: set[tuple[Any, Any]] = set()
    for event in events:
        thread = (event.get("pid"), event.get("tid"))
        if thread in dropped:
            continue
        if event.get("ph") == "M" and event.get("name") == "thread_name":
            named[thread] = event
            continue
        name = named.pop(thread, None)
        if name is not None:
            if _holds_span_logger(event):
                dropped.add(thread)
                continue
            yield name
        collector.note(event)
        yield event
    yield from named.values()
    yield from collector.trace_events()


def task_profiles(collector: SpanCollector, frame_index: Callable[[str], int]
                  ) -> list[tuple[str, list[tuple[str, int, Time]]]]:  # fmt: skip
    """speedscope evented profiles of the collected spans, as (name, events)
    with events ("O" or "C", frame, microseconds): one per task and lane,
    named after its track ("task a", "task a (2)"; " in <process>" added
    when spans come from several processes), by process. Frames come from
    `frame_index` (the writer's frame table), by the span's name."""
    spans = collector.spans()
    several = len({span.pid for span in spans}) > 1
    profiles = []
    for lane in _lanes(spans):
        events = [("O" if opens else "C", frame_index(span.name), span.begin if opens else span.end)
                  for span, opens in _walk(lane)]  # fmt: skip
        name = lane[0].track
        if several:
            name += f" in {collector.process_names.get(lane[0].pid) or f'process {lane[0].pid}'}"
        profiles.append((name, events))
    return profiles
