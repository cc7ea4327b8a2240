"""Trace file identities: who wrote each file and when its clock started,
read back, packed into archives, and used to group processes and place
them on one timeline."""

import json
import os
import re
import subprocess
import sys
import tarfile
import textwrap

import pytest

from conftest import instant_text, run_vorn, scope_text, write_companion, write_trace, write_traced_file
from test_vorn_view import chromium_dom, needs_chromium
from vorn.outputs.export import trace_event_object
from vorn.reading.precise_times import companion_path
from vorn.outputs.summary_text import summary_text
from vorn.reading.trace_archive import opened_trace_files
from vorn.reading.trace_files import TraceFile, find_trace_files
from vorn.reading.trace_identity import display_name
from vorn.reading.trace_reader import read_trace
from vorn.reading.trace_timeline import timeline_of
from vorn.outputs.view import render_view

ORIGIN = 1765200000000  # 2025-12-08T13:20:00.000Z
FIELDS = ("host", "thread", "pid", "process", "start", "ppid", "thread_name", "clock_origin_ms")


def fields(trace):
    return tuple(getattr(trace, name) for name in FIELDS)


def test_files_read_their_identity_or_none(tmp_path):
    with_attribute = write_traced_file(tmp_path / "vorn/vm/stl_101.log", scope_text("a", 0, 1),
                                       tid=101, thread_name="worker", ppid=7)  # fmt: skip
    without = write_trace(tmp_path / "vorn/vm/stl_102.log", scope_text("b", 0, 1))
    unknown = write_traced_file(tmp_path / "vorn/vm/stl_103.log", scope_text("c", 0, 1), version=2)
    (tmp_path / "vorn/vm/stl_104.log").write_text("[\n")
    os.setxattr(tmp_path / "vorn/vm/stl_104.log", "user.vorn.trace", b'{"version":1,"pid":"x"}')
    assert fields(with_attribute) == ("vm", "101", 100, "app.py -v", 5000, 7, "worker", ORIGIN)
    for trace in (without, unknown, TraceFile.of(tmp_path / "vorn/vm/stl_104.log")):
        assert fields(trace)[2:] == (None,) * 6
    assert [fields(trace) for trace in find_trace_files([tmp_path])] == [
        fields(TraceFile.of(tmp_path / f"vorn/vm/stl_{tid}.log")) for tid in (101, 102, 103, 104)]


@pytest.mark.parametrize("cmdline, name", [
    (["python3.14", "app.py", "-v"], "app.py -v"),
    (["python3.14", "-m", "pkg.tool", "x"], "-m pkg.tool x"),
    (["python3.14", "-c", "import x; x.run()"], "python3.14 -c"),
    (["/usr/bin/python3", "-u", "-X", "dev", "/srv/app.py", "--port", "8"], "app.py --port 8"),
    (["/opt/server", "--name", "a\nb"], "server --name a b"),
    (["python3.14", "job.py", "x" * 60], "job.py " + "x" * 32 + "…"),
    ([], ""),
])  # fmt: skip
def test_display_names(cmdline, name):
    assert display_name(cmdline) == name


@pytest.fixture
def processes(tmp_path):
    """Three processes of host vm, the second started 300 ms after the
    first, the third 1000 ms after it with the first one's pid again."""
    root = tmp_path / "logs"
    write_traced_file(root / "vorn/vm/stl_101.log", scope_text("a worker", 2, 4), tid=101, thread_name="worker")
    write_traced_file(root / "vorn/vm/stl_100.log", scope_text("a main", 0, 10))
    write_traced_file(root / "vorn/vm/stl_200.log", scope_text("b", 0, 5), scope_text("b open", 6, None),
                      pid=200, tid=200, start=5030, ppid=100, cmdline=["python3.14", "-m", "pkg.tool", "x"],
                      clock_origin_ms=ORIGIN + 300)  # fmt: skip
    write_traced_file(root / "vorn/vm/oth_100.log", scope_text("c", 0, 1), start=9000,
                      cmdline=["python3.14", "later.py"], clock_origin_ms=ORIGIN + 1000)  # fmt: skip
    return root


def events_of(document):
    """(name, pid, tid, ts) of every event, metadata named by its args."""
    return [(event["args"]["name"] if event["ph"] == "M" else event["name"], event["pid"], event["tid"],
             event.get("ts")) for event in document["traceEvents"]]  # fmt: skip


def test_processes_are_grouped_and_placed_on_one_timeline(processes):
    document = trace_event_object(find_trace_files([processes]))
    assert document["otherData"] == {"start_time": "2025-12-08T13:20:00.000Z", "clock_origin_ms": ORIGIN,
                                     "aligned": True}  # fmt: skip
    assert events_of(document) == [
        ("app.py -v (pid 100) on vm", 1, 0, 1000), ("MainThread 100", 1, 1, 1000), ("a main", 1, 1, 1000),
        ("worker 101", 1, 2, 1000), ("a worker", 1, 2, 3000),
        ("-m pkg.tool x (pid 200) on vm", 2, 0, 1000), ("MainThread 200", 2, 1, 1000), ("b", 2, 1, 301000),
        ("b open (never closed)", 2, 1, 307000),
        ("later.py (pid 100) on vm", 3, 0, 1000), ("MainThread 100", 3, 1, 1000), ("c", 3, 1, 1001000),
    ]  # fmt: skip
    lines = summary_text([processes]).splitlines()
    assert lines[2:8] == [
        "3 processes on 1 host, times in ms from 2025-12-08T13:20:00.000Z:",
        "  host vm",
        "    app.py -v (pid 100), from 0 ms: MainThread 100, worker 101",
        "    -m pkg.tool x (pid 200), from 300 ms: MainThread 200",
        "    later.py (pid 100), from 1000 ms: MainThread 100",
        "",
    ]
    assert lines[-1] == "  host vm, -m pkg.tool x (pid 200), MainThread 200, entered at 306 ms  w  b open"


def test_a_file_without_identity_keeps_its_times_and_is_marked_not_aligned(processes):
    write_trace(processes / "vorn/vm/stl_7.log", scope_text("old", 0, 1, invoker="w"), scope_text("o", 2, None))
    files = find_trace_files([processes])
    document = trace_event_object(files)
    assert document["otherData"]["aligned"] is False
    assert events_of(document)[-4:] == [("vm (not aligned)", 4, 0, 1000), ("thread 7 (not aligned)", 4, 1, 1000),
                                        ("old", 4, 1, 1000), ("o (never closed)", 4, 1, 3000)]  # fmt: skip
    lines = summary_text([processes]).splitlines()
    assert "    vm (not aligned): thread 7 (not aligned)" in lines
    assert "  host vm, thread 7 (not aligned), entered at 2 ms  w  o" in lines
    data = json.loads(render_view(files).split('id="vorn-data">')[1].split("</script>")[0])
    assert data["origin"] == "2025-12-08T13:20:00.000Z" and (data["start"], data["end"]) == (0, 1001)
    [host] = data["hosts"]
    assert [(p["name"], p["aligned"], [(lane["name"], lane["aligned"]) for lane in p["lanes"]])
            for p in host["processes"]] == [
        ("app.py -v (pid 100)", True, [("MainThread 100", True), ("worker 101", True)]),
        ("-m pkg.tool x (pid 200)", True, [("MainThread 200", True)]),
        ("later.py (pid 100)", True, [("MainThread 100", True)]),
        ("vm", False, [("thread 7", False)]),
    ]  # fmt: skip


@needs_chromium
def test_the_page_heads_each_process_and_marks_the_lanes_not_aligned(processes, tmp_path):
    write_trace(processes / "vorn/vm/stl_7.log", scope_text("old", 0, 1))
    assert run_vorn("view", "--run", "all", str(processes), "-o", str(tmp_path / "t.html")).returncode == 0
    dom = chromium_dom(tmp_path / "t.html", tmp_path / "profile")
    assert re.findall(r'<span class="process-name">(.*?)</span>', dom) == [
        "app.py -v (pid 100)", "-m pkg.tool x (pid 200)", "later.py (pid 100)", "without process identity"]
    labels = re.findall(r'<div class="lane-label"[^>]*><b>(.*?)</b>(?:<small class="unaligned-note">(.*?)<)?', dom)
    assert labels == [("MainThread 100", ""), ("worker 101", ""), ("MainThread 200", ""),
                      ("MainThread 100", ""), ("thread 7", "(not aligned)")]  # fmt: skip
    assert "0 ms = 2025-12-08T13:20:00.000Z" in re.search(r'id="summary">(.*?)<', dom)[1]


def test_pack_keeps_identities_and_every_tool_reads_the_archive(processes, tmp_path):
    write_trace(processes / "vorn/vm/stl_7.log", scope_text("old", 0, 1))
    archive = tmp_path / "traces.tar.gz"
    result = run_vorn("pack", str(processes), "-o", str(archive))
    assert (result.returncode, result.stdout) == (0, f"packed 5 trace files into {archive}\n")
    with tarfile.open(archive) as members:
        stored = {member.name: member.pax_headers.get("SCHILY.xattr.user.vorn.trace") for member in members}
    assert stored == {f"vorn/vm/{name}": None if name == "stl_7.log" else os.getxattr(
        processes / "vorn/vm" / name, "user.vorn.trace").decode() for name in os.listdir(processes / "vorn/vm")}

    with opened_trace_files([archive]) as unpacked:
        assert [fields(trace) for trace in unpacked] == [fields(trace) for trace in find_trace_files([processes])]
        assert all(trace.path.exists() and not trace.path.is_relative_to(processes) for trace in unpacked)
    assert not any(trace.path.exists() for trace in unpacked)  # the extracted files are gone
    for command in (["export", "--run", "all", "-o", "-"], ["summary", "--run", "all"]):
        assert run_vorn(*command, str(archive)).stdout == run_vorn(*command, str(processes)).stdout
    repacked = tmp_path / "again.tar.gz"
    assert run_vorn("pack", str(archive), "-o", str(repacked)).returncode == 0
    with opened_trace_files([repacked]) as again:
        assert [fields(trace) for trace in again] == [fields(trace) for trace in find_trace_files([processes])]
    assert "5 trace files" in run_vorn("view", "--run", "all", str(archive), "-o", str(tmp_path / "t.html")).stdout

    archive.write_bytes(archive.read_bytes()[:200])  # cut short
    result = run_vorn("summary", str(archive))
    assert result.returncode == 1 and "not a readable archive" in result.stderr


# ---- written by the module: a parent, its threads and three kinds of child ----

FAMILY = r"""
import json, multiprocessing, os, subprocess, sys, threading, time
from _py_vorn import StlLogger


def traced(label):
    before = time.time()
    with StlLogger(label, invoker="family"):
        pass
    after = time.time()
    tid = threading.get_native_id()
    name = threading.current_thread().name
    with open(os.environ["RESULTS"], "a") as out:
        out.write(json.dumps({"pid": os.getpid(), "ppid": os.getppid(), "tid": tid, "name": name,
                              "label": label, "before": before, "after": after}) + "\n")


if __name__ == "__main__":
    if sys.argv[1:] == ["child"]:
        traced("subprocess")
        sys.exit()
    traced("parent")
    for name in ("alpha", "beta"):
        thread = threading.Thread(target=traced, args=(name,), name=name)
        thread.start()
        thread.join()
    child = os.fork()
    if child == 0:
        traced("forked")
        os._exit(0)
    os.waitpid(child, 0)
    spawned = multiprocessing.get_context("spawn").Process(target=traced, args=("spawned",))
    spawned.start()
    spawned.join()
    subprocess.run([sys.executable, __file__, "child"], check=True)
"""


def native_sets_identity():
    """Whether the built module sets the identity attribute on its files."""
    code = textwrap.dedent("""
        import glob, os, shutil, sys, tempfile
        root = os.environ["VORN_LOG_DIR"] = tempfile.mkdtemp()
        from _py_vorn import StlLogger
        StlLogger("probe").close()
        try:
            os.getxattr(glob.glob(root + "/vorn/*/*.log")[0], "user.vorn.trace")
        except OSError:
            sys.exit(1)
        finally:
            shutil.rmtree(root)
    """)
    return subprocess.run([sys.executable, "-c", code], capture_output=True).returncode == 0


@pytest.mark.skipif(not native_sets_identity(), reason="the module does not set trace identities yet")
def test_a_process_family_is_grouped_and_aligned_from_the_files_alone(tmp_path):
    program = tmp_path / "family.py"
    program.write_text(FAMILY)
    results = tmp_path / "results.jsonl"
    env = {**os.environ, "VORN_LOG_DIR": str(tmp_path / "logs"), "RESULTS": str(results)}
    env.pop("VORN_LOG_PREFIX", None)
    subprocess.run([sys.executable, str(program)], env=env, cwd=tmp_path, check=True, timeout=120)
    written = {(record["pid"], record["tid"]): record
               for record in map(json.loads, results.read_text().splitlines())}  # fmt: skip
    parent = written[next(key for key, record in written.items() if record["label"] == "parent")]["pid"]

    files = find_trace_files([tmp_path / "logs"])
    assert sorted((trace.pid, int(trace.thread)) for trace in files) == sorted(written)
    names = {"parent": "family.py", "alpha": "family.py", "beta": "family.py", "forked": "family.py",
             "spawned": "python3.14 -c", "subprocess": "family.py child"}  # fmt: skip
    for trace in files:
        record = written[trace.pid, int(trace.thread)]
        expected_ppid = record["ppid"] if record["pid"] == parent else parent
        assert (trace.ppid, trace.thread_name) == (expected_ppid, record["name"])
        assert trace.process == names[record["label"]].replace("python3.14", os.path.basename(sys.executable))
        first = read_trace(trace.path)[0].ts_enter + trace.clock_origin_ms
        assert record["before"] * 1000 - 2 <= first <= record["after"] * 1000 + 2
    assert {written[key]["name"] for key in written if written[key]["label"] in ("alpha", "beta")} == {
        "alpha", "beta"}
    processes = timeline_of(files).processes
    assert sorted(process.pid for process in processes) == sorted({pid for pid, _ in written})

    def first_event(document, label):
        return next(event["ts"] for event in document["traceEvents"] if event.get("name") == label)

    document = trace_event_object(files)
    assert document["otherData"]["aligned"] is True
    process_names = [event for event in document["traceEvents"] if event["name"] == "process_name"]
    assert len(process_names) == 4
    assert first_event(document, "subprocess") > first_event(document, "parent")

    beta = next(trace for trace in files if written[trace.pid, int(trace.thread)]["label"] == "beta")
    os.removexattr(beta.path, "user.vorn.trace")
    stripped = TraceFile.of(beta.path)
    assert (stripped.pid, stripped.clock_origin_ms, stripped.thread) == (None, None, beta.thread)
    names = [event["args"]["name"] for event in trace_event_object(find_trace_files([tmp_path / "logs"]))[
        "traceEvents"] if event["ph"] == "M"]  # fmt: skip
    assert f"thread {beta.thread} (not aligned)" in names


# ---- what names a process and a thread, and the companions of precise times ----

BOOT = "6f1c2a9e-0d4b-4f7e-9a51-2b8c3d4e5f60"


def test_processes_with_the_same_pid_and_start_in_two_pid_namespaces_stay_apart(tmp_path):
    """Two containers started together: pid 2 at tick 155111 in each."""
    roots = [tmp_path / "a", tmp_path / "b"]
    for root, pidns in zip(roots, (4026532001, 4026532002)):
        write_traced_file(root / "vorn/vm/stl_2.log", scope_text(f"in {root.name}", 0, 1), pid=2, tid=2,
                          start=155111, pidns=pidns, boot_id=BOOT)  # fmt: skip
    files = find_trace_files(roots)
    assert [len(process.threads) for process in timeline_of(files).processes] == [1, 1]
    assert "2 processes on 1 host" in summary_text(roots)
    # Files written before namespaces were recorded: one process, as then.
    for root in roots:
        write_traced_file(root / "vorn/vm/stl_2.log", scope_text("old", 0, 1), pid=2, tid=2, start=155111)
    assert [len(process.threads) for process in timeline_of(find_trace_files(roots)).processes] == [2]


@pytest.mark.parametrize("name, tid, thread, sibling", [
    ("job42.1234.log", 1234, "1234", 1),
    ("job42.1234.3.log", 1234, "1234", 3),
    ("stl_7.2.log", 7, "7", 2),
    ("stl_7.log", 7, "7", 1),
    ("job42.1234.log", None, "42", 1234),  # without identity the name is all there is
])  # fmt: skip
def test_the_thread_comes_from_the_identity_never_from_a_prefix(tmp_path, name, tid, thread, sibling):
    path = tmp_path / "vorn/vm" / name
    trace = write_trace(path, scope_text("a", 0, 1)) if tid is None else write_traced_file(path, scope_text("a", 0, 1),
                                                                                          tid=tid)  # fmt: skip
    assert (trace.thread, trace.sibling) == (thread, sibling)


def test_pack_carries_each_companion_beside_its_trace_and_scans_never_take_one(tmp_path, capfd):
    root = tmp_path / "logs"
    host = root / "vorn/vm"
    write_traced_file(host / "stl_100.log", scope_text("a", 10, 12, instant_text("n", 11)))
    companion = write_companion(host / "stl_100.log", [10_123_456, 11_000_001, 12_999_999])
    write_traced_file(host / "stl_101.log", scope_text("b", 1, 2), tid=101)
    (host / "stl_101.times").symlink_to(companion)  # never followed
    capfd.readouterr()
    named = sorted(host.iterdir())  # what a shell glob of the directory names
    assert [trace.path.name for trace in find_trace_files(named)] == ["stl_100.log", "stl_101.log"]
    scanned = find_trace_files([root], skip_non_traces=True)
    assert [trace.path.name for trace in scanned] == ["stl_100.log", "stl_101.log"]
    assert capfd.readouterr().err == ""

    archive = tmp_path / "traces.tar.gz"
    assert run_vorn("pack", str(root), "-o", str(archive)).returncode == 0
    with tarfile.open(archive) as members:
        stored = {member.name: members.extractfile(member).read() for member in members if member.isfile()}
    assert sorted(stored) == ["vorn/vm/stl_100.log", "vorn/vm/stl_100.times", "vorn/vm/stl_101.log"]
    assert stored["vorn/vm/stl_100.times"] == companion.read_bytes()
    with opened_trace_files([archive]) as unpacked:
        [scope] = read_trace(unpacked[0].path)
        assert (scope.ts_enter_ns, scope.events[0].ts_ns, scope.ts_exit_ns) == (10_123_456, 11_000_001, 12_999_999)
        assert not os.path.exists(companion_path(unpacked[1].path))

