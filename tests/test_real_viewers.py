"""python -m vorn export read back by the viewers' own parsers: Chrome
DevTools' trace engine for the Trace Event Format file, speedscope's importer
for its own format. Each must build every scope where the trace file has it.

The parsers are npm packages that tools/viewers-env installs (make test does
it first); the scripts in tests/viewers print what each parser built."""

import json
import os
import shutil
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

from conftest import run_vorn
from vorn.reading.trace_files import find_trace_files
from vorn.reading.trace_reader import Instant, Scope, read_spans, read_trace_events

REPO = Path(__file__).resolve().parent.parent
NEVER_CLOSED = " (never closed)"

PRELUDE = "import os, threading, time\nfrom _py_vorn import StlLogger as L\n"

# Each case: the programs, one process each, whose traces are exported
# together. Scope names are unique within a case, so that each scope of the
# file can be found in what a parser built.
CASES = {
    "deep": ["""
def down(level):
    if level < 40:
        with L(f"level {level}") as scope:
            scope.log(f"at {level}")
            down(level + 1)
down(0)
"""],
    "flat": ["""
with L("loop") as loop:
    for index in range(5000):
        with L(f"item {index}"):
            pass
    loop.log("done")
"""],
    "siblings": ["""
with L("parent") as parent:
    with L("a"):
        pass
    with L("b"):
        # Spins across a millisecond boundary, so that b has a width of its own.
        start = int(time.monotonic() * 1000)
        while int(time.monotonic() * 1000) < start + 2:
            pass
    parent.log("after b")
"""],
    # The worker's scopes stay open: the process ends without closing them.
    "open": ["""
kept = []
def work():
    with L("closed first"):
        pass
    kept.extend([L("open outer"), L("open inner")])
    kept[-1].log("last words")
worker = threading.Thread(target=work)
worker.start()
worker.join()
with L("main after") as scope:
    scope.log("main record")
os._exit(0)
"""],
    "processes": [f"""
with L("process {number} outer") as outer:
    with L("process {number} inner"):
        outer.log("process {number} record")
""" for number in (1, 2)],
    # 20,000 scopes on 4 threads at once, crowded into the same milliseconds.
    "threads": ["""
start = threading.Barrier(4)
def work(number):
    start.wait()
    with L(f"thread {number}") as top:
        for index in range(4999):
            with L(f"thread {number} item {index}"):
                pass
        top.log(f"thread {number} done")
workers = [threading.Thread(target=work, args=(number,)) for number in range(4)]
for worker in workers:
    worker.start()
for worker in workers:
    worker.join()
"""],
}


@pytest.fixture(scope="module")
def viewers():
    """The node to run and the installed packages of tools/viewers."""
    node = shutil.which("node")
    if node is None:
        pytest.skip("Node.js is not installed here (no node on PATH); the real-viewer tests need it")
    where = subprocess.run([REPO / "tools/viewers-env", "--path"], capture_output=True, text=True, check=True)
    modules = Path(where.stdout.strip())
    if not modules.is_dir():
        pytest.fail(f"the viewers' packages are not installed in {modules}: run tools/viewers-env (make test does)")
    return node, modules


@pytest.fixture(scope="module")
def exported(tmp_path_factory):
    """exported(case): the case's trace root and its two exports, made once."""
    made = {}

    def make(case):
        if case not in made:
            root = tmp_path_factory.mktemp(case)
            env = {key: value for key, value in os.environ.items() if key != "VORN_LOG_PREFIX"}
            env["VORN_LOG_DIR"] = str(root / "logs")
            for program in CASES[case]:
                subprocess.run([sys.executable, "-c", PRELUDE + program], env=env, check=True, timeout=120)
            for name, options in (("trace.json", []), ("speedscope.json", ["--format", "speedscope"])):
                result = run_vorn("export", *options, str(root / "logs"), "-o", str(root / name))
                assert result.returncode == 0, result.stderr
            made[case] = root
        return made[case]

    return make


def file_threads(logs):
    """What the trace files hold, per process: for each thread, its scopes
    by name as (parent name, depth, never closed) and its record count."""
    processes = {}
    for trace in find_trace_files([logs]):
        scopes, records = {}, 0
        stack = [(None, 0, iter(read_trace_events(trace.path)))]
        while stack:
            parent, depth, items = stack[-1]
            item = next(items, None)
            if item is None:
                stack.pop()
            elif isinstance(item, Instant):
                records += 1
            else:
                assert isinstance(item, Scope) and item.args not in scopes
                scopes[item.args] = (parent, depth, item.ts_exit is None)
                stack.append((item.args, depth + 1, iter(item.events)))
        processes.setdefault(trace.pid or trace.host, []).append({"scopes": scopes, "records": records})
    return list(processes.values())


def consumer(viewers, script, path):
    node, modules = viewers
    result = subprocess.run([node, REPO / "tests/viewers" / script, modules, path], capture_output=True,
                            text=True, timeout=300)  # fmt: skip
    assert result.returncode == 0, result.stderr
    built = json.loads(result.stdout)
    assert (built["errors"], built["warnings"]) == ([], [])
    return built


def misplaced(expected, built):
    """How many of a thread's scopes the parser built elsewhere than the
    file has them; `built` maps names to (parent name, depth)."""
    counts = Counter()
    for name, (parent, depth, _) in expected.items():
        if name not in built:
            counts["missing"] += 1
            continue
        counts["wrong parent"] += built[name][0] != parent
        counts["wrong depth"] += built[name][1] != depth
    counts["unknown"] = len(built.keys() - expected.keys())
    return +counts


def assert_open_scopes_run_to_the_end(expected, spans, thread_end):
    """A scope that never closed lasts past everything that began after it:
    the outermost one ends where its thread ends, the ones inside it end
    inside it (in the same last millisecond of the file)."""
    for name, (parent, _, never_closed) in expected.items():
        if not never_closed:
            continue
        start, end = spans[name]
        assert end >= max(later_end for later_start, later_end in spans.values() if later_start >= start), name
        if parent is None or not expected[parent][2]:
            assert end == pytest.approx(thread_end, abs=1e-6), name


@pytest.mark.parametrize("case", CASES)
def test_devtools_builds_every_scope_and_record_where_the_file_has_them(case, viewers, exported):
    root = exported(case)
    expected = file_threads(root / "logs")
    built = consumer(viewers, "devtools_tree.mjs", root / "trace.json")
    assert len(built["processes"]) == len(expected)
    threads = [thread for process in built["processes"] for thread in process["threads"]]
    assert sorted(len(process["threads"]) for process in built["processes"]) == sorted(map(len, expected))
    found = {}
    for thread in threads:
        scopes = {scope["name"].removesuffix(NEVER_CLOSED): scope for scope in thread["scopes"]}
        assert all(scope["in_tree"] for scope in thread["scopes"]), [s["name"] for s in thread["scopes"]
                                                                      if not s["in_tree"]]  # fmt: skip
        found[min(scopes)] = thread, scopes
    for want in (thread for process in expected for thread in process):
        thread, scopes = found[min(want["scopes"])]
        names = {name: (scope["parent_name"] and scope["parent_name"].removesuffix(NEVER_CLOSED), scope["depth"])
                 for name, scope in scopes.items()}  # fmt: skip
        assert misplaced(want["scopes"], names) == {}
        assert (thread["instants"], thread["instants_in_tree"]) == (want["records"], want["records"])
        spans = {name: (scope["start"], scope["start"] + scope["duration"]) for name, scope in scopes.items()}
        assert_open_scopes_run_to_the_end(want["scopes"], spans, thread["end"])
    # Each process and thread keeps the name the export gave it.
    assert all(process["name"] for process in built["processes"]) and all(thread["name"] for thread in threads)


@pytest.mark.parametrize("case", CASES)
def test_speedscope_builds_every_scope_where_the_file_has_it(case, viewers, exported):
    root = exported(case)
    expected = [thread for process in file_threads(root / "logs") for thread in process]
    built = consumer(viewers, "speedscope_tree.mjs", root / "speedscope.json")
    assert built["imported_as"] == "speedscope json file"
    assert len(built["profiles"]) == len(expected)
    found = {min(scope["name"] for scope in profile["scopes"]): profile for profile in built["profiles"]}
    for want in expected:
        profile = found[min(want["scopes"])]
        names = {scope["name"]: (scope["parent_name"], scope["depth"]) for scope in profile["scopes"]}
        assert len(names) == len(profile["scopes"])
        assert misplaced(want["scopes"], names) == {}
        spans = {scope["name"]: (scope["start"], scope["start"] + scope["duration"]) for scope in profile["scopes"]}
        assert max(end for _, end in spans.values()) == pytest.approx(profile["total"], abs=1e-6)
        assert_open_scopes_run_to_the_end(want["scopes"], spans, profile["total"])


# Three gathered handlers whose spans cross awaits and each other, a traced
# coroutine inside each, two spans of one task that cross, and a task that
# never finishes: os._exit leaves its span without an end.
SPANS_PROGRAM = """
import asyncio
import vorn

@vorn.traced
async def fetch(turns):
    for _ in range(turns):
        await asyncio.sleep(0)

async def handle(name, turns):
    async with vorn.span(f"handle {name}"):
        await fetch(turns)

async def hang():
    async with vorn.span("hang"):
        await asyncio.Event().wait()

async def main():
    asyncio.current_task().set_name("main")
    # Two spans of one task that cross: neither nests in the other.
    first = vorn.span("cross 1").__enter__()
    second = vorn.span("cross 2").__enter__()
    first.__exit__(None, None, None)
    second.__exit__(None, None, None)
    asyncio.create_task(hang(), name="hung")
    await asyncio.gather(*(asyncio.create_task(handle(name, turns), name=name)
                           for name, turns in (("a", 30), ("b", 20), ("c", 10))))
    os._exit(0)

asyncio.run(main())
"""


def test_viewers_draw_each_span_on_its_task_track(viewers, tmp_path):
    env = {key: value for key, value in os.environ.items() if key != "VORN_LOG_PREFIX"}
    env["VORN_LOG_DIR"] = str(tmp_path / "logs")
    subprocess.run([sys.executable, "-c", PRELUDE + SPANS_PROGRAM], env=env, check=True, timeout=120)
    for name, options in (("trace.json", []), ("speedscope.json", ["--format", "speedscope"])):
        result = run_vorn("export", *options, str(tmp_path / "logs"), "-o", str(tmp_path / name))
        assert result.returncode == 0, result.stderr
    # Where each span's records are in the export, and so where it must be drawn.
    records = {event["args"]["message"]: event["ts"] for event in json.loads((tmp_path / "trace.json").read_text())
               ["traceEvents"] if event["ph"] == "I"}  # fmt: skip
    spans = {}
    for span in read_spans(*(trace.path for trace in find_trace_files([tmp_path / "logs"]))):
        text = f"span {span.id} %s: {span.message} [{span.task}]"
        spans[span.message] = (span.task, records[text % "begin"], records.get(text % "end"))
    assert spans["hang"][2] is None
    # Each task has a track; a span crossing another of its task gets a second one.
    tracks = {"handle a": "task a", "handle b": "task b", "handle c": "task c", "hang": "task hung",
              "cross 1": "task main", "cross 2": "task main (2)"}  # fmt: skip
    assert spans.keys() == tracks.keys()

    built = consumer(viewers, "devtools_tree.mjs", tmp_path / "trace.json")
    # The span logger's thread is not drawn: the one thread left is the loop's.
    assert [len(process["threads"]) for process in built["processes"]] == [1]
    thread_end = built["processes"][0]["threads"][0]["end"]
    drawn = {track["track"]: track["spans"] for track in built["tracks"]}
    assert sorted(drawn) == sorted(tracks.values())
    durations = {}
    for message, (_, begin, end) in spans.items():
        [entry] = drawn[tracks[message]]
        assert (entry["name"], entry["in_tree"]) == (message if end else message + NEVER_CLOSED, True)
        assert entry["start"] == pytest.approx(begin)
        assert entry["start"] + entry["duration"] == pytest.approx(end or thread_end)
        durations[message] = entry["duration"]
    assert durations["handle a"] > durations["handle b"] > durations["handle c"]

    built = consumer(viewers, "speedscope_tree.mjs", tmp_path / "speedscope.json")
    profiles = {profile["name"]: profile["scopes"] for profile in built["profiles"]
                if profile["name"].startswith("task ")}  # fmt: skip
    assert {name: [(scope["name"], scope["depth"]) for scope in scopes] for name, scopes in profiles.items()} == {
        tracks[message]: [(message if end else message + NEVER_CLOSED, 0)] for message, (_, _, end) in spans.items()}
    for message, track in tracks.items():
        assert profiles[track][0]["duration"] == pytest.approx(durations[message])

