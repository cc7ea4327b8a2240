"""python -m vorn export: trace files as Trace Event Format, checked against
the format's rules."""

import json
from collections import Counter, defaultdict

import pytest

from _py_vorn import StlLogger
from conftest import (SCOPES_OUT_OF_ORDER, instant_text, run_in_fresh_thread, run_vorn, scope_text, write_trace,
                      write_traced_file)
from vorn.outputs.export import export_events
from vorn.outputs.speedscope_export import speedscope_object


def by_phase_checked(document):
    """The events by phase, after checking the rules viewers rely on."""
    assert set(document) - {"otherData"} == {"traceEvents", "displayTimeUnit"}
    by_phase = defaultdict(list)
    spans = defaultdict(list)
    for event in document["traceEvents"]:
        by_phase[event["ph"]].append(event)
        assert event["ts"] > 0  # 0 is "no time" to DevTools
        if event["ph"] == "M":
            assert event["name"] in ("process_name", "thread_name") and event["cat"] == "__metadata"
            continue
        exact = {"ts_ms"} if event["ph"] == "I" else {"ts_enter_ms", "ts_exit_ms"}
        assert set(event["args"]) - {"never_closed"} == {"message", "invoker", "file", "line"} | exact or (
            event["args"].get("never_closed") and set(event["args"]) - exact <= {"message", "invoker", "file",
                                                                                 "line", "never_closed", "ts_enter_ms"})
        assert ("dur" in event) == (event["ph"] == "X") and event.get("s", "t") == "t"
        if event["ph"] == "X":
            assert event["dur"] > 0
            spans[event["pid"], event["tid"]].append((event["ts"], event["ts"] + event["dur"]))
    assert set(by_phase) <= {"M", "X", "I"}
    # Within a thread, spans nest: disjoint, or one inside the other.
    for intervals in spans.values():
        for a, b in ((a, b) for a in intervals for b in intervals):
            assert a[1] <= b[0] or b[1] <= a[0] or a[0] <= b[0] <= b[1] <= a[1] or b[0] <= a[0] <= a[1] <= b[1]
    return by_phase


@SCOPES_OUT_OF_ORDER
def test_export_of_real_traces_follows_the_format_and_keeps_every_record(trace_root, tmp_path):
    def closed():
        for round_number in range(2):
            with StlLogger(f"round {round_number}", file="job.py", line=3) as scope:
                scope.log("start")
                with StlLogger("child") as child:
                    child.log("inside")
                    StlLogger("grandchild").close()

    def left_open():
        StlLogger("closed").close()
        kept = [StlLogger("open outer"), StlLogger("open inner")]
        kept[-1].log("last words")
        return kept

    run_in_fresh_thread(closed)
    kept = run_in_fresh_thread(left_open)
    out = tmp_path / "trace.json"
    result = run_vorn("export", str(trace_root), "-o", str(out))
    assert (result.returncode, result.stdout) == (0, f"exported 2 trace files to {out}\n")
    by_phase = by_phase_checked(json.loads(out.read_text(encoding="utf-8")))
    assert Counter(event["name"] for event in by_phase["M"]) == {"process_name": 1, "thread_name": 2}
    assert [event["name"] for event in by_phase["X"] if event["args"].get("never_closed")] == [
        "open inner (never closed)", "open outer (never closed)"]  # at their exits: the file's end, innermost first
    assert Counter(event["name"] for event in by_phase["I"]) == {"start": 2, "inside": 2, "last words": 1}
    assert len(by_phase["X"]) == 9 and len({(event["pid"], event["tid"]) for event in by_phase["X"]}) == 2
    [round_zero] = [event for event in by_phase["X"] if event["name"] == "round 0"]
    assert round_zero["args"] == {"message": "round 0", "invoker": "closed", "file": "job.py", "line": 3,
                                  "ts_enter_ms": round_zero["args"]["ts_enter_ms"],
                                  "ts_exit_ms": round_zero["args"]["ts_exit_ms"]}
    del kept


def test_a_small_trace_exports_to_exactly_these_events(tmp_path):
    trace = write_trace(tmp_path / "vorn/host1/stl_42.log",
                        scope_text("outer", 2, 9, instant_text("mark", 3), scope_text("inner", 4, 6)),
                        scope_text("open", 10, None, instant_text("", 11)))  # fmt: skip
    common = {"pid": 1, "tid": 1}
    args = {"invoker": "w", "file": "f.py", "line": 7}
    meta = {"cat": "__metadata", "ph": "M", "ts": 2000}
    # Records as they come, scopes as they exit (their children first).
    assert list(export_events([trace])) == [
        {"name": "process_name", **meta, "pid": 1, "tid": 0, "args": {"name": "host1"}},
        {"name": "thread_name", **meta, **common, "args": {"name": "thread 42"}},
        {"name": "mark", "cat": "log", "ph": "I", "s": "t", "ts": 3000, **common,
         "args": {"message": "mark", **args, "ts_ms": 3}},
        {"name": "inner", "cat": "scope", "ph": "X", "ts": 4000, "dur": 2000, **common,
         "args": {"message": "inner", **args, "ts_enter_ms": 4, "ts_exit_ms": 6}},
        {"name": "outer", "cat": "scope", "ph": "X", "ts": 2000, "dur": 7000, **common,
         "args": {"message": "outer", **args, "ts_enter_ms": 2, "ts_exit_ms": 9}},
        {"name": "w", "cat": "log", "ph": "I", "s": "t", "ts": 11000, **common,  # named by its invoker
         "args": {"message": "", **args, "ts_ms": 11}},
        # runs to the thread's last moment, after the record of that millisecond
        {"name": "open (never closed)", "cat": "scope", "ph": "X", "ts": 10000, "dur": 1500, **common,
         "args": {"message": "open", **args, "ts_enter_ms": 10, "never_closed": True}},
    ]  # fmt: skip


@pytest.mark.parametrize(
    "events, expected",
    [
        ([scope_text("exit before enter", 5, 3)], [(5000, 500)]),
        ([scope_text("p", 10, 20, scope_text("child outside", 8, 25))], [(10500, 14500), (10000, 15500)]),
        # moved by 1 ms, so that nothing is at 0
        ([scope_text("s1", 0, 10), scope_text("overlapping sibling", 5, 12)], [(1000, 10000), (11500, 1500)]),
        ([scope_text("wrapped", 18446744073709551615, 2)], [(1000, 3000)]),
    ],
)  # fmt: skip
def test_times_left_by_a_clock_set_back_are_made_to_nest(tmp_path, events, expected):
    trace = write_trace(tmp_path / "vorn/h/stl_1.log", *events)
    by_phase = by_phase_checked({"displayTimeUnit": "ms", "traceEvents": list(export_events([trace]))})
    assert [(event["ts"], event["dur"]) for event in by_phase["X"]] == expected


def test_hosts_are_processes_and_files_with_the_same_thread_digits_stay_apart(tmp_path):
    files = [write_trace(tmp_path / path, scope_text(path, 0, 1))
             for path in ("a/vorn/h1/stl_5.log", "b/vorn/h1/other_5.log", "a/vorn/h2/stl_5.log")]  # fmt: skip
    events = [event for event in export_events(files) if event["ph"] == "X"]
    assert [(event["pid"], event["tid"]) for event in events] == [(1, 1), (1, 2), (2, 1)]


def test_each_process_is_named_with_its_host_in_both_exports(tmp_path):
    # The same program with the same pid on two hosts, exported alone and together.
    files = [write_traced_file(tmp_path / f"vorn/{host}/stl_100.log", scope_text(host, 0, 1)) for host in ("h1", "h2")]
    for chosen in ([files[0]], files):
        assert [event["args"]["name"] for event in export_events(chosen) if event["name"] == "process_name"] == [
            f"app.py -v (pid 100) on {trace.host}" for trace in chosen]
    assert [profile["name"] for profile in speedscope_object(files)["profiles"]] == [
        f"MainThread 100 in app.py -v (pid 100) on {host}" for host in ("h1", "h2")]


def test_export_writes_to_standard_output_or_fails_with_one_clear_line(tmp_path):
    trace = write_trace(tmp_path / "vorn/h/stl_1.log", scope_text("to stdout", 0, 1))
    result = run_vorn("export", str(trace.path), "-o", "-")
    assert len(by_phase_checked(json.loads(result.stdout))["X"]) == 1

    (tmp_path / "empty").mkdir()
    broken = write_trace(tmp_path / "broken/stl_2.log", "not a trace\n")
    target = tmp_path / "out.json"
    target.write_text("kept")
    for path, message in [("missing", "No such file or directory"), ("empty", "no trace files (*.log) in"),
                          (broken.path, f"{broken.path}:2: unexpected line")]:  # fmt: skip
        result = run_vorn("export", str(tmp_path / path), "-o", str(target))
        assert (result.returncode, result.stdout) == (1, "")
        assert result.stderr.startswith("python -m vorn export: ") and message in result.stderr
        assert result.stderr.count("\n") == 1 and target.read_text() == "kept"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["broken", "empty", "out.json", "vorn"]
