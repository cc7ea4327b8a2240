"""Exports that viewers nest as the file does: display times, the Trace Event
and speedscope exports, and the command line's outputs."""

import json
import os
import threading
import tracemalloc
from pathlib import Path

import pytest

from conftest import instant_text, run_vorn, scope_text, write_trace
from vorn.reading.display_times import place, place_events
from vorn.outputs.export import trace_event_object, write_export
from vorn.outputs.speedscope_export import speedscope_object
from vorn.outputs.summary import summarize
from vorn.reading.trace_reader import EXIT, Scope, iter_trace, read_trace_events, walk

# `with L("parent"): (with L("a"): pass); (with L("b"): sleep 2 ms)`, and a
# flat loop of 2,000 siblings within one millisecond, each with a record.
SMALLEST = [scope_text("parent", 0, 2, scope_text("a", 0, 0), scope_text("b", 0, 2))]
FLAT = [scope_text("loop", 5, 5, *(scope_text(f"s{i}", 5, 5, instant_text(f"r{i}", 5)) for i in range(2000)))]
OPEN = [scope_text("done", 3, 3), scope_text("open", 3, None, scope_text("inner", 3, 4), instant_text("last", 4),
                                             scope_text("still", 4, None))]  # fmt: skip


def file_tree(path):
    """{message: (parent message or None, depth)} of the file's scopes."""
    tree, chain = {}, []
    for depth, item in walk(read_trace_events(path)):
        if isinstance(item, Scope):
            del chain[depth:]
            tree[item.args] = (chain[-1] if chain else None, depth)
            chain.append(item.args)
    return tree


def viewer_tree(events):
    """The same, rebuilt from "X" events by time containment, as a viewer
    does: by start, longer first; an event ends its predecessors' nesting
    once it starts at or after their end."""
    tree, stack = {}, []
    for event in sorted(events, key=lambda event: (event["ts"], -event["dur"])):
        while stack and event["ts"] >= stack[-1]["ts"] + stack[-1]["dur"]:
            stack.pop()
        assert not stack or event["ts"] + event["dur"] <= stack[-1]["ts"] + stack[-1]["dur"]
        tree[event["args"]["message"]] = (stack[-1]["args"]["message"] if stack else None, len(stack))
        stack.append(event)
    return tree


@pytest.mark.parametrize("elements", [SMALLEST, FLAT, OPEN], ids=["smallest", "flat", "open"])
def test_viewers_rebuild_the_files_nesting_from_the_exported_times(tmp_path, elements):
    trace = write_trace(tmp_path / "vorn/h/stl_1.log", *elements)
    placed, last = place(read_trace_events(trace.path))
    moments = sorted([moment for entry in placed for moment in {entry.start, entry.end}])
    assert len(set(moments)) == len(moments) and moments[-1] == last  # each has its own time

    events = json.loads(json.dumps(trace_event_object([trace])))["traceEvents"]
    scopes = [event for event in events if event["ph"] == "X"]
    assert viewer_tree(scopes) == file_tree(trace.path)
    assert all(event["ts"] >= 1 for event in events) and all(event["dur"] > 0 for event in scopes)
    assert {event["ph"] for event in events} == {"M", "X"} | ({"I"} if elements is not SMALLEST else set())
    assert all(event["cat"] == "__metadata" and event["ts"] == min(e["ts"] for e in scopes)
               for event in events if event["ph"] == "M")  # fmt: skip
    if elements is OPEN:  # never closed: to the thread's last moment, children inside
        end = max(event["ts"] + event.get("dur", 0) for event in events)
        never = {event["name"]: event for event in scopes if event["args"].get("never_closed")}
        assert sorted(never) == ["open (never closed)", "still (never closed)"]
        assert all(event["ts"] + event["dur"] <= end for event in never.values())
        assert never["open (never closed)"]["ts"] + never["open (never closed)"]["dur"] == end
    if elements is SMALLEST:  # the exact milliseconds stay in the args; a scope comes at its exit
        assert [(e["args"]["ts_enter_ms"], e["args"]["ts_exit_ms"]) for e in scopes] == [(0, 0), (0, 2), (0, 2)]
        exact = trace_event_object([trace], exact=True)["traceEvents"]
        assert [(e["ts"], e["dur"]) for e in exact if e["ph"] == "X"] == [(1000, 0), (1000, 2000), (1000, 2000)]


def test_speedscope_profiles_open_and_close_every_frame_in_order(tmp_path):
    files = [write_trace(tmp_path / "vorn/h/stl_1.log", *SMALLEST, *OPEN),
             write_trace(tmp_path / "vorn/h/stl_2.log", *FLAT)]  # fmt: skip
    document = json.loads(json.dumps(speedscope_object(files)))
    assert document["$schema"] == "https://www.speedscope.app/file-format-schema.json"
    frames = document["shared"]["frames"]
    assert {frame["name"] for frame in frames} == {"parent", "a", "b", "done", "open", "inner", "still",
                                                   "loop", *(f"s{i}" for i in range(2000))}  # fmt: skip
    assert [profile["name"] for profile in document["profiles"]] == ["thread 1", "thread 2"]
    for profile in document["profiles"]:
        assert (profile["type"], profile["unit"]) == ("evented", "microseconds")
        stack, times = [], [event["at"] for event in profile["events"]]
        assert times == sorted(times) and times[0] == profile["startValue"] >= 1 and times[-1] == profile["endValue"]
        for event in profile["events"]:
            if event["type"] == "O":
                stack.append(event["frame"])
            else:
                assert event["type"] == "C" and stack.pop() == event["frame"]
        assert stack == []
    opened = [frames[e["frame"]]["name"] for e in document["profiles"][0]["events"] if e["type"] == "O"]
    assert opened == ["parent", "a", "b", "done", "open", "inner", "still"]


def test_the_command_line_defaults_refusals_and_special_outputs(tmp_path, monkeypatch):
    trace = write_trace(tmp_path / "vorn/h/stl_1.log", scope_text("item 12", 0, 1), scope_text("item 13", 1, 3))
    (tmp_path / "vorn/h/app.log").write_text("2025-12-08 an application's own log\n")
    archive = tmp_path / "t.tar.gz"
    assert run_vorn("pack", str(tmp_path / "vorn"), "-o", str(archive)).returncode == 0
    victim = tmp_path / "victim"
    victim.write_text("kept")
    for name in ("trace.json.partial", ".trace.json.partial"):  # a planted link must not redirect the output
        (tmp_path / name).symlink_to(victim)
    # A device reached through a link, so that a fault replaces the link, not the device.
    (tmp_path / "null").symlink_to("/dev/null")
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    received = []
    reader = threading.Thread(target=lambda: received.append(fifo.read_bytes()), daemon=True)
    reader.start()
    monkeypatch.chdir(tmp_path)
    cases = [
        # (arguments, exit code, what stdout / stderr hold, files that then exist)
        (["export", "vorn"], 0, "exported 1 trace file to trace.json", "trace.json"),
        (["export", "--format", "speedscope", "vorn"], 0, "to trace.speedscope.json", "trace.speedscope.json"),
        (["view", "vorn"], 0, "drew 1 trace file into trace.html", "trace.html"),
        (["export", "vorn", "-o", "gone/x.json"], 2, "the output directory gone does not exist", None),
        (["export", str(trace.path), "-o", str(trace.path)], 1, "the output is one of the inputs", None),
        (["pack", str(archive), "-o", str(archive)], 1, "the output is one of the inputs", None),
        (["view", "vorn", "-o", "null"], 0, "into null", None),
        (["export", "vorn", "-o", str(fifo)], 0, f"to {fifo}", None),
        (["export", "vorn/h/app.log", "-o", "-"], 1, "app.log:1: ", None),  # named itself: still an error
        (["summary", "vorn"], 0, "w        item N", None),
        (["summary", "--exact-messages", "--by", "message", "vorn"], 0, "    2  item 13", None),
    ]
    for arguments, code, expected, made in cases:
        result = run_vorn(*arguments)
        assert result.returncode == code and expected in result.stdout + result.stderr, (arguments, result)
        assert (result.stdout + result.stderr).count("\n") <= 6 or arguments[0] == "summary"
        assert made is None or Path(made).is_file()
        if code == 0 and "vorn" in arguments:  # the application's log is skipped, with one line naming it
            assert result.stderr == "python -m vorn: skipping vorn/h/app.log: not a trace file\n"
    reader.join(10)
    assert json.loads(received[0])["traceEvents"] and fifo.is_fifo()
    assert Path("null").is_symlink() and Path("null").is_char_device() and victim.read_text() == "kept"
    assert sorted(path.name for path in tmp_path.iterdir() if path.name.endswith(".tmp")) == []


def test_a_named_pipe_is_refused_and_reported_paths_cannot_drive_the_terminal(tmp_path):
    fifo = tmp_path / "stl_1.log"
    os.mkfifo(fifo)
    hostile = tmp_path / "gone\x1b]0;owned\x07\x1b[2J.log"
    skipped = tmp_path / "dir" / hostile.name  # a program's own log beside no trace: skipped, then nothing left
    skipped.parent.mkdir()
    skipped.write_text("not a trace\n")
    for path, text in [(fifo, "not a regular file"), (hostile, "No such file"), (skipped.parent, "skipping")]:
        result = run_vorn("summary", str(path))
        assert result.returncode == 1 and text in result.stderr
        assert "\x1b" not in result.stderr and "\x07" not in result.stderr


CLOCK_SET_BACK = [scope_text("p", 10, 20, scope_text("child outside", 8, 25)), scope_text("before", 0, 10),
                  instant_text("late", 3), scope_text("back", 18446744073709551615, 2)]  # fmt: skip


@pytest.mark.parametrize("exact", [False, True], ids=["spread", "exact"])
@pytest.mark.parametrize("elements", [SMALLEST, FLAT, OPEN, CLOCK_SET_BACK], ids=["smallest", "flat", "open", "clock"])
def test_streamed_display_times_are_those_of_the_whole_tree(tmp_path, elements, exact):
    trace = write_trace(tmp_path / "vorn/h/stl_1.log", *elements)
    placed, last = place(read_trace_events(trace.path), exact)
    streamed = list(place_events(iter_trace(trace.path), exact))
    ends = {id(event.item): (event.start, event.time) for event in streamed if event.kind == EXIT}
    assert [(entry.item.args, entry.depth, entry.start, entry.end) for entry in placed] == [
        (event.item.args, event.depth, *ends.get(id(event.item), (event.time, event.time)))
        for event in streamed if event.kind != EXIT
    ]  # fmt: skip
    assert streamed[-1].time == last


def test_the_tools_hold_no_more_of_a_file_than_its_open_scopes(tmp_path):
    # 4,500 scopes over 1,125 ms, each with a child and a record: about 1.3 MB.
    trace = write_trace(tmp_path / "vorn/h/stl_1.log", *(
        scope_text(f"item {i % 10}", i // 4, i // 4 + 1, instant_text("r", i // 4), scope_text("child", i // 4, i // 4))
        for i in range(4_500)))  # fmt: skip
    small = write_trace(tmp_path / "vorn/small/stl_1.log", *SMALLEST)
    runs = {
        "export": lambda trace: write_export([trace.path], tmp_path / "out.json"),
        "speedscope": lambda trace: write_export([trace.path], tmp_path / "out.json", speedscope=True),
        "summary": lambda trace: summarize([trace]),
    }
    for name, run in runs.items():
        run(small)  # what is imported on first use is not the file's
        tracemalloc.start()
        try:
            run(trace)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        # The whole tree would take several times the file's size.
        assert peak < trace.path.stat().st_size / 3, (name, peak)
