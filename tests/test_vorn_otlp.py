"""python -m vorn.outputs.otlp against a real OTLP/HTTP receiver on 127.0.0.1: the
spans of traces written by the module in subprocesses (nesting, records,
two processes, a thread that ended inside a scope, a process killed inside
scopes, async spans), their ids across sends, the OTLP/JSON file and the
clock-origin rule; --follow through a receiver restart, a shipper killed
between send and state, and a program killed with scopes open. Expected
values come from the trace files and their identities."""

import argparse
import base64
import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import warnings
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest

from conftest import instant_text, scope_text, write_companion, write_trace, write_traced_file
from vorn.reading.terminal_text import printable
from vorn.reading.trace_files import find_trace_files
from vorn.reading.trace_identity import read_identity
from vorn.reading.trace_reader import Instant, read_spans, read_trace_events, walk

try:
    # Debian's protobuf uses a datetime call that Python 3.14 deprecates.
    with warnings.catch_warnings(action="ignore", category=DeprecationWarning):
        from google.protobuf import json_format
        from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import (
            ExportTraceServiceRequest,
            ExportTraceServiceResponse,
        )
except ImportError:
    ExportTraceServiceRequest = None

needs_otel = pytest.mark.skipif(
    ExportTraceServiceRequest is None,
    reason="OpenTelemetry is not installed (python3-opentelemetry-sdk, "
    "python3-opentelemetry-exporter-otlp-proto-http, python3-opentelemetry-proto)",
)
TIMEOUT = 60

PROGRAM = """\
import os, signal, sys, threading, _py_vorn
kept = []
def worker():
    kept.append(_py_vorn.StlLogger("left open", "worker", "app.py", 30))
    kept[-1].log("working")
with _py_vorn.StlLogger("request", "handle", "app.py", 10) as request:
    request.log("parsed")
    with _py_vorn.StlLogger("query", "db", "db.py", 20) as query:
        query.log("3 rows")
        with _py_vorn.StlLogger("fetch", "db", "db.py", 21):
            pass
with _py_vorn.StlLogger("second", "handle", "app.py", 11):
    pass
thread = threading.Thread(target=worker, name="worker")
thread.start()
thread.join()
if sys.argv[1] == "kill":
    kept.append(_py_vorn.StlLogger("dying", "handle", "app.py", 40))
    kept.append(_py_vorn.StlLogger("dying inner", "handle", "app.py", 41))
    os.kill(os.getpid(), signal.SIGKILL)
"""
# name => (parent, never closed), for each process's mode
SHAPE = {"request": (None, False), "query": ("request", False), "fetch": ("query", False),
         "second": (None, False), "left open": (None, True)}  # fmt: skip
KILLED = {**SHAPE, "dying": (None, True), "dying inner": ("dying", True)}


class Receiver:
    """An OTLP/HTTP endpoint on 127.0.0.1 keeping every request it decodes."""

    def __init__(self, port=0, after=None):
        """On `port` (0: any free one); `after` a stopped receiver whose
        requests this one goes on collecting."""
        self.requests = after.requests if after else []
        self.arrived = after.arrived if after else threading.Condition()
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                request = ExportTraceServiceRequest.FromString(body)
                with receiver.arrived:
                    receiver.requests.append((self.path, self.headers["Content-Type"], request))
                    receiver.arrived.notify_all()
                reply = ExportTraceServiceResponse().SerializeToString()
                self.send_response(200)
                self.send_header("Content-Type", "application/x-protobuf")
                self.send_header("Content-Length", str(len(reply)))
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}"
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05})
        self.thread.start()

    def names_once(self, predicate):
        """The names of the spans received, once predicate(names) holds."""
        with self.arrived:
            names = lambda: [span.name for _, _, request in self.requests for _, span in received_spans(request)]
            assert self.arrived.wait_for(lambda: predicate(names()), TIMEOUT), names()
            return names()

    def take(self):
        taken, self.requests = self.requests, []
        return taken

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(TIMEOUT)


@pytest.fixture
def receiver():
    server = Receiver()
    yield server
    server.stop()


@pytest.fixture(scope="module")
def traces(tmp_path_factory):
    """Two processes' traces in one root: one ran to its end, one was killed
    inside two scopes; each left a worker thread inside a scope."""
    root = tmp_path_factory.mktemp("otlp")
    (root / "app.py").write_text(PROGRAM)
    env = {**os.environ, "VORN_LOG_DIR": str(root / "logs")}
    env.pop("VORN_LOG_PREFIX", None)
    pids = {}
    for mode, code in (("run", 0), ("kill", -signal.SIGKILL)):
        process = subprocess.Popen([sys.executable, "app.py", mode], cwd=root, env=env)
        assert process.wait(TIMEOUT) == code
        pids[process.pid] = mode
    return root, pids


def run_otlp(*arguments):
    command = [sys.executable, "-m", "vorn.outputs.otlp", *map(str, arguments)]
    return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)


def attributes(pairs):
    return {pair.key: getattr(pair.value, pair.value.WhichOneof("value")) for pair in pairs}


def received_spans(request):
    """(resource attributes, span) for every span of a request."""
    return [(attributes(group.resource.attributes), span)
            for group in request.resource_spans for scope in group.scope_spans for span in scope.spans]  # fmt: skip


def code_of(item):
    return {"code.function.name": item.invoker, "code.file.path": item.file, "code.line.number": item.line}


def ns(ms, precise):
    """A time in ns after the origin: the companion's where it has one."""
    return ms * 10**6 if precise is None else precise


def expected_spans(files):
    """What each file says: per (pid, tid, name), the parent's name, the
    Unix ns times, the events (Unix ms) and whether it never closed."""
    expected = {}
    for trace in files:
        identity = read_identity(trace.path)
        ordered = list(walk(read_trace_events(trace.path)))
        last = max(ns(item.ts, item.ts_ns) if isinstance(item, Instant) else
                   max(ns(item.ts_enter, item.ts_enter_ns), ns(item.ts_exit or 0, item.ts_exit_ns))
                   for _, item in ordered)  # fmt: skip
        stack = []
        for depth, item in ordered:
            del stack[depth:]
            if isinstance(item, Instant):
                expected[stack[-1]]["events"].append((item.args, identity.clock_origin_ms + item.ts, code_of(item)))
                continue
            key = (identity.pid, identity.tid, item.args)
            expected[key] = {
                "parent": stack[-1][2] if stack else None,
                "start": identity.clock_origin_ms * 10**6 + ns(item.ts_enter, item.ts_enter_ns),
                "end": identity.clock_origin_ms * 10**6 + (last if item.ts_exit is None else
                                                           ns(item.ts_exit, item.ts_exit_ns)),
                "events": [],
                "never_closed": item.ts_exit is None,
                "code": code_of(item),
                "thread": {"thread.id": identity.tid, "thread.name": identity.thread_name},
                "resource": {"service.name": identity.process, "host.name": identity.host, "process.pid": identity.pid,
                             "process.command_line": " ".join(identity.cmdline), "process.parent_pid": identity.ppid},
            }  # fmt: skip
            stack.append(key)
    return expected


@needs_otel
def test_every_scope_arrives_as_a_span_with_its_parent_times_events_and_process(traces, receiver):
    root, pids = traces
    files = find_trace_files([root / "logs"])
    assert sorted({trace.pid for trace in files}) == sorted(pids) and len(files) == 4
    result = run_otlp(root / "logs", "--endpoint", receiver.url + "/")
    assert result.returncode == 0, result.stderr
    assert "sent 12 spans of 4 trace files" in result.stdout
    requests = receiver.take()
    assert {(path, kind) for path, kind, _ in requests} == {("/v1/traces", "application/x-protobuf")}

    expected = expected_spans(files)
    spans = [entry for _, _, request in requests for entry in received_spans(request)]
    by_id = {span.span_id: span for _, span in spans}
    assert len(by_id) == len(spans) == len(expected) == 12
    seen = {}
    for resource, span in spans:
        got = attributes(span.attributes)
        key = (resource["process.pid"], got["thread.id"], span.name)
        want = expected[key]
        parent = by_id[span.parent_span_id].name if span.parent_span_id else None
        events = [(event.name, event.time_unix_nano // 10**6, attributes(event.attributes))
                  for event in span.events]  # fmt: skip
        never = got.pop("vorn.never_closed", False)
        assert got == {**want["code"], **want["thread"]}
        assert (resource, parent, events) == (want["resource"], want["parent"], want["events"])
        assert never == want["never_closed"]
        assert (span.start_time_unix_nano, span.end_time_unix_nano) == (want["start"], want["end"])
        status = (span.status.code, span.status.message)
        assert status == ((2, "never closed") if never else (0, ""))
        assert len(span.trace_id) == 16 and len(span.span_id) == 8 and any(span.trace_id) and any(span.span_id)
        if span.parent_span_id:
            assert span.trace_id == by_id[span.parent_span_id].trace_id
        seen[key] = span
    for pid, mode in pids.items():
        shape = KILLED if mode == "kill" else SHAPE
        found = {name: (want["parent"], want["never_closed"]) for (p, _, name), want in expected.items() if p == pid}
        assert found == shape
        top = [seen[key].trace_id for key in seen if key[0] == pid and expected[key]["parent"] is None]
        assert len(set(top)) == len(top) == sum(parent is None for parent, _ in shape.values())

    # Sent again, every id is the same; one trace per process on request.
    assert run_otlp(root / "logs", "--endpoint", receiver.url).returncode == 0
    assert [request for _, _, request in receiver.take()] == [request for _, _, request in requests]
    assert run_otlp(root / "logs", "--endpoint", receiver.url, "--trace-per", "process").returncode == 0
    per_process = {}
    for resource, span in (entry for _, _, request in receiver.take() for entry in received_spans(request)):
        per_process.setdefault(resource["process.pid"], set()).add(span.trace_id)
        assert span.span_id in by_id
    assert sorted(per_process) == sorted(pids) and all(len(ids) == 1 for ids in per_process.values())
    assert len(set.union(*per_process.values())) == 2

    # -o writes the same request as OTLP/JSON: ids in hex.
    result = run_otlp(root / "logs", "-o", "-", "--service-name", "shop")
    assert result.returncode == 0, result.stderr
    parsed = json_format.Parse(_base64_ids(result.stdout), ExportTraceServiceRequest())
    [(_, _, sent)] = requests
    for group in sent.resource_spans:
        for pair in group.resource.attributes:
            if pair.key == "service.name":
                pair.value.string_value = "shop"
    assert parsed == sent


@needs_otel
def test_times_of_open_scopes_sibling_files_and_the_clock_origin_rule(tmp_path):
    """Hand-written files, for times that differ: a scope that never closed
    ends at its file's last moment; a sibling file with the same identity
    gets ids of its own; a file without origin needs --assume-origin."""
    body = scope_text("outer", 10, None, scope_text("inner", 12, 15, instant_text("note", 13)),
                      scope_text("open", 16, None, instant_text("last", 20)))  # fmt: skip
    first = write_traced_file(tmp_path / "vorn" / "vm" / "stl_7.log", body, tid=7)
    sibling = write_traced_file(tmp_path / "vorn" / "vm" / "stl_7.2.log", body, tid=7)
    bare = tmp_path / "vorn" / "vm" / "stl_9.log"
    shutil.copyfile(first.path, bare)  # the attribute stays behind
    alone = write_trace(tmp_path / "vorn" / "vm" / "stl_8.log", instant_text("alone", 5)).path
    output = tmp_path / "out.json"

    # The files without identity are runs of their own: --run all takes them with the others.
    result = run_otlp(tmp_path / "vorn", "-o", output, "--run", "all")
    assert (result.returncode, result.stdout, output.exists()) == (1, "", False)
    assert str(bare) in result.stderr and str(alone) in result.stderr and "--assume-origin" in result.stderr

    result = run_otlp(tmp_path / "vorn", "-o", output, "--assume-origin", "1765200000.123", "--run", "all")
    assert result.returncode == 0, result.stderr
    spans = received_spans(json_format.Parse(_base64_ids(output.read_text()), ExportTraceServiceRequest()))
    rows = {}
    for resource, span in spans:
        names = {other.span_id: other.name for _, other in spans if other.trace_id == span.trace_id}
        got = attributes(span.attributes)
        rows.setdefault(got["thread.id"], []).append((
            span.name, names.get(span.parent_span_id), span.start_time_unix_nano // 10**6,
            span.end_time_unix_nano // 10**6, got.get("vorn.never_closed", False), span.status.code,
            [(event.name, event.time_unix_nano // 10**6) for event in span.events], resource["service.name"]))  # fmt: skip
    origin, assumed = 1765200000000, 1765200000123
    # name, parent, start, end, never closed, events: ms after the origin
    shape = [("outer", None, 10, 20, True, []), ("inner", "outer", 12, 15, False, [("note", 13)]),
             ("open", "outer", 16, 20, True, [("last", 20)])]  # fmt: skip

    def placed(zero, service):
        return [(name, parent, zero + start, zero + end, never, 2 if never else 0,
                 [(event, zero + ts) for event, ts in events], service)
                for name, parent, start, end, never, events in shape]  # fmt: skip

    assert rows == {7: placed(origin, "app.py -v") * 2, 9: placed(assumed, "unknown_service"),
                    8: [("alone", None, assumed + 5, assumed + 5, False, 0, [], "unknown_service")]}  # fmt: skip
    # 4 files, 10 spans, 4 top-level ones: no id shared between the sibling files
    assert (len({span.span_id for _, span in spans}), len({span.trace_id for _, span in spans})) == (10, 4)


def _base64_ids(text):
    """OTLP/JSON, whose ids are hex, as protobuf's JSON mapping reads it:
    ids in base64."""
    value = json.loads(text)
    for group in value["resourceSpans"]:
        for scope in group["scopeSpans"]:
            for span in scope["spans"]:
                for name in ("traceId", "spanId", "parentSpanId"):
                    if name in span:
                        assert len(span[name]) == (32 if name == "traceId" else 16)
                        span[name] = base64.b64encode(bytes.fromhex(span[name])).decode()
    return json.dumps(value)


def test_vorn_imports_without_opentelemetry_and_the_command_names_the_packages(tmp_path):
    code = ("import sys; sys.modules['opentelemetry'] = None; import vorn, vorn.outputs.otlp\n"
            "sys.exit(vorn.outputs.otlp.main([sys.argv[1]]))")  # fmt: skip
    command = [sys.executable, "-c", code, str(tmp_path)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 2
    [line] = result.stderr.splitlines()
    assert "python3-opentelemetry-sdk" in line and "python3-opentelemetry-exporter-otlp-proto-http" in line


@needs_otel
def test_follow_sends_each_top_level_scope_once_it_closes_and_once_across_restarts(tmp_path, receiver):
    path = tmp_path / "vorn" / "vm" / "stl_7.log"
    # Written on another host: its open scope waits to close, however its pid fares here.
    write_traced_file(path, scope_text("first", 1, 2), scope_text("second", 3, None, instant_text("inside", 4)), tid=7,
                      host="elsewhere")  # fmt: skip
    state = tmp_path / "state.json"

    def shipper():
        command = [sys.executable, "-m", "vorn.outputs.otlp", "--follow", str(tmp_path), "--endpoint", receiver.url,
                   "--interval", "0.02", "--state", str(state)]  # fmt: skip
        return subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def stopped(process):
        process.send_signal(signal.SIGINT)
        assert process.wait(TIMEOUT) == 0, process.stderr.read()
        process.stderr.close()

    process = shipper()
    try:
        assert receiver.names_once(lambda names: names) == ["first"]
        with open(path, "a", encoding="utf-8") as stream:  # the open scope closes
            stream.write('],\n"ts_exit": 5\n}\n')
        assert receiver.names_once(lambda names: len(names) > 1) == ["first", "second"]
    finally:
        stopped(process)
    with open(path, "a", encoding="utf-8") as stream:
        stream.write(",\n" + scope_text("third", 6, 7) + "\n")
    process = shipper()
    try:
        # Anything sent again would come in the same batch as "third".
        assert receiver.names_once(lambda names: len(names) > 2) == ["first", "second", "third"]
    finally:
        stopped(process)
    spans = [span for _, _, request in receiver.requests for _, span in received_spans(request)]
    second = spans[1]
    assert [event.name for event in second.events] == ["inside"] and second.end_time_unix_nano % 10**9 == 5 * 10**6
    assert "vorn.never_closed" not in attributes(second.attributes)


ASYNC_PROGRAM = """\
import asyncio, threading, _py_vorn, vorn
async def work(name, fail):
    async with vorn.span("handle " + name):
        await asyncio.sleep(0)
        if fail:
            raise KeyError(name)
async def main():
    with _py_vorn.StlLogger("serve", "serve", "app.py", 1) as serve:
        serve.log("gathering")
        tasks = [asyncio.create_task(work(name, name == "b"), name=name) for name in "ab"]
        await asyncio.gather(*tasks, return_exceptions=True)
asyncio.run(main())
handed = vorn.span("handed over")
with _py_vorn.StlLogger("main scope", "main", "app.py", 2):
    handed.__enter__()
def finish():
    with _py_vorn.StlLogger("worker scope", "worker", "app.py", 3):
        handed.__exit__(None, None, None)
thread = threading.Thread(target=finish, name="worker")
thread.start()
thread.join()
vorn.span("outside").__enter__()
"""


@needs_otel
def test_async_spans_are_spans_of_their_own_and_their_records_no_events(tmp_path):
    (tmp_path / "app.py").write_text(ASYNC_PROGRAM)
    env = {**os.environ, "VORN_LOG_DIR": str(tmp_path / "logs")}
    env.pop("VORN_LOG_PREFIX", None)
    subprocess.run([sys.executable, "app.py"], cwd=tmp_path, env=env, check=True, timeout=TIMEOUT)
    files = find_trace_files([tmp_path / "logs"])
    records = {span.message: span for span in read_spans(*(trace.path for trace in files))}
    origins = {str(trace.path): read_identity(trace.path).clock_origin_ms * 10**6 for trace in files}

    result = run_otlp(tmp_path / "logs", "-o", "-")
    assert result.returncode == 0, result.stderr
    assert run_otlp(tmp_path / "logs", "-o", "-").stdout == result.stdout  # the same ids every time
    spans = {span.name: span for _, span in received_spans(json_format.Parse(_base64_ids(result.stdout),
                                                                             ExportTraceServiceRequest()))}  # fmt: skip
    by_id = {span.span_id: name for name, span in spans.items()}
    rows = {}
    for name, span in spans.items():
        got = attributes(span.attributes)
        rows[name] = (by_id.get(span.parent_span_id), got.get("vorn.task"), span.status.code, span.status.message,
                      [(event.name, attributes(event.attributes)) for event in span.events])  # fmt: skip
        record = records.get(name)
        if record is not None:
            assert got["vorn.span.id"] == record.id
            assert span.start_time_unix_nano == origins[record.begin[0]] + ns(record.ts_begin, record.ts_begin_ns)
            if record.end is not None:
                assert span.end_time_unix_nano == origins[record.end[0]] + ns(record.ts_end, record.ts_end_ns)
    # name: parent, task, status code and message, events; the private thread's "vorn spans" sends nothing
    assert rows == {
        "serve": (None, None, 0, "", [("gathering", code_of(Instant(0, "serve", "app.py", 1, "")))]),
        "handle a": ("serve", "a", 0, "", []),
        "handle b": ("serve", "b", 2, "raised KeyError: 'b'",
                     [("exception", {"exception.type": "KeyError", "exception.message": "'b'"})]),
        "main scope": (None, None, 0, "", []),
        "handed over": ("main scope", None, 0, "", []),
        "worker scope": (None, None, 0, "", []),
        "outside": (None, None, 2, "never closed", []),
    }  # fmt: skip
    assert spans["handle a"].trace_id == spans["serve"].trace_id == spans["handle b"].trace_id
    assert spans["handed over"].trace_id == spans["main scope"].trace_id != spans["outside"].trace_id
    assert attributes(spans["outside"].attributes)["vorn.never_closed"] is True


def test_a_process_has_ended_when_its_pid_and_start_time_no_longer_live_on_this_host():
    from vorn.outputs.otlp_follow import process_ended
    from vorn.reading.trace_identity import TraceIdentity

    def start_of(pid):
        stat = Path(f"/proc/{pid}/stat").read_text()
        return int(stat[stat.rfind(")") + 1 :].split()[19])

    def identity(pid, start, host=socket.gethostname()):
        return TraceIdentity(pid, start, 1, pid, "MainThread", ("python3.14",), host, 1765200000000)

    child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    try:
        here, started = os.getpid(), start_of(os.getpid())
        waiting = (identity(here, started), identity(here, 0), identity(child.pid, start_of(child.pid)),
                   identity(99999999, 1, host="elsewhere"), None)  # fmt: skip
        assert [process_ended(case) for case in waiting] == [False] * 5
        child.kill()
        os.waitid(os.P_PID, child.pid, os.WEXITED | os.WNOWAIT)  # a zombie: killed, not yet waited for
        ended = (identity(here, started + 1), identity(child.pid, start_of(child.pid)), identity(99999999, 1))
        assert [process_ended(case) for case in ended] == [True] * 3
    finally:
        child.kill()
        child.wait(TIMEOUT)


DRIVEN = """\
import os, signal, sys, _py_vorn, vorn
held = []
for line in sys.stdin:
    command, _, name = line.strip().partition(" ")
    if command == "scope":
        with _py_vorn.StlLogger(name, "step", "app.py", 1) as scope:
            scope.log("in " + name)
            with vorn.span("span in " + name):
                pass
    elif command == "open":
        held += [_py_vorn.StlLogger(name, "step", "app.py", 2), _py_vorn.StlLogger(name + " inner", "step", "a.py", 3)]
        held.append(vorn.span("span in " + name).__enter__())
        held[1].log("waiting")  # in the file when log returns, so it outlives the kill
    elif command == "kill":
        os.kill(os.getpid(), signal.SIGKILL)
    print("done", flush=True)
"""


class Lines:
    """The lines of a child's stream as they come, read on a thread of their own."""

    def __init__(self, stream):
        self.lines = []
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for line in stream:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def wait_for(self, predicate):
        with self.changed:
            assert self.changed.wait_for(lambda: predicate(self.lines), TIMEOUT), self.lines


@needs_otel
def test_the_shipper_loses_nothing_and_sends_once_across_receiver_shipper_and_program_deaths(tmp_path):
    (tmp_path / "app.py").write_text(DRIVEN)
    logs, state = tmp_path / "logs", tmp_path / "state.json"
    env = {**os.environ, "VORN_LOG_DIR": str(logs)}
    env.pop("VORN_LOG_PREFIX", None)
    program = subprocess.Popen([sys.executable, "app.py"], cwd=tmp_path, env=env, text=True,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)  # fmt: skip
    replies = Lines(program.stdout)

    def run(command):
        count = len(replies.lines)
        program.stdin.write(command + "\n")
        program.stdin.flush()
        if command != "kill":
            replies.wait_for(lambda lines: len(lines) > count)

    def shipper(**extra):
        command = [sys.executable, "-m", "vorn.outputs.otlp", "--follow", str(logs), "--endpoint", receiver.url,
                   "--interval", "0.02", "--timeout", "0.5", "--state", str(state)]  # fmt: skip
        return subprocess.Popen(command, env={**os.environ, **extra}, text=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)  # fmt: skip

    def marker(name):
        """A closed scope of another host's file: once it arrives, the shipper has
        read everything written before it."""
        tid = len(list(logs.glob("vorn/elsewhere/*.log"))) + 1
        write_traced_file(logs / "vorn" / "elsewhere" / f"stl_{tid}.log", scope_text(name, 1, 2), tid=tid,
                          host="elsewhere")  # fmt: skip
        return receiver.names_once(lambda names: name in names)

    receiver = Receiver()
    process = None
    try:
        run("scope one")
        # Killed right after the endpoint took the batch, before the state file was replaced.
        died = shipper(_VORN_OTLP_DIE_AFTER_SEND="1")
        assert died.wait(TIMEOUT) == -signal.SIGKILL
        died.stderr.close()
        assert not state.exists() and sorted(receiver.names_once(bool)) == ["one", "span in one"]
        process = shipper()
        errors = Lines(process.stderr)
        receiver.names_once(lambda names: len(names) == 4)
        first, again = (request for _, _, request in receiver.requests)
        assert again == first  # the same batch, the same ids

        receiver.stop()
        run("scope two")
        errors.wait_for(lambda lines: lines)
        receiver = Receiver(int(receiver.url.rsplit(":", 1)[1]), after=receiver)
        receiver.names_once(lambda names: "span in two" in names)
        run("open held")
        assert "held" not in marker("alive")  # a live process's open scopes wait
        run("kill")
        assert program.wait(TIMEOUT) == -signal.SIGKILL
        receiver.names_once(lambda names: "span in held" in names)
        marker("after")  # anything sent twice would have come by now
        process.send_signal(signal.SIGINT)
        assert process.wait(TIMEOUT) == 0
    finally:
        for child in (process, program):
            if child is not None and child.poll() is None:
                child.kill()
                child.wait(TIMEOUT)
        for stream in (program.stdin, program.stdout, process and process.stderr):
            if stream is not None:
                with contextlib.suppress(OSError):
                    stream.close()
        receiver.stop()

    # One line per failure, and nothing else.
    failure = re.escape(f"python -m vorn otlp: {receiver.url}/v1/traces did not take 2 spans")
    failure += r" \(.+\); trying again in \d+ s"
    assert errors.lines and all(re.fullmatch(failure, line) for line in errors.lines), errors.lines
    spans = [span for _, _, request in receiver.requests[1:] for _, span in received_spans(request)]
    by_id = {span.span_id: span for span in spans}
    assert len(by_id) == len(spans)  # after the one batch sent again, nothing twice
    names = {span.name: span for span in spans}
    rows = {name: (by_id[span.parent_span_id].name if span.parent_span_id else None, span.status.message,
                   [event.name for event in span.events]) for name, span in names.items()}  # fmt: skip
    assert rows == {
        "one": (None, "", ["in one"]), "span in one": ("one", "", []),
        "two": (None, "", ["in two"]), "span in two": ("two", "", []),
        "held": (None, "never closed", []), "held inner": ("held", "never closed", ["waiting"]),
        "span in held": ("held inner", "never closed", []), "alive": (None, "", []), "after": (None, "", []),
    }  # fmt: skip


# ---- ids and state by the file's identity; processes by namespace; precise times ----

ORIGIN_NS = 1765200000000 * 10**6  # identity_json's clock origin


def sources_of(*roots):
    from vorn.outputs.otlp_mapping import SourceFile

    return [SourceFile(trace, read_identity(trace.path), ORIGIN_NS) for trace in find_trace_files(roots)]


def test_ids_and_follow_state_stay_with_a_file_renamed_to_a_sibling_name(tmp_path):
    """A thread id comes back: the earlier file becomes stl_7.2.log and the
    new thread writes stl_7.log."""
    from vorn.outputs.otlp_follow import _collect
    from vorn.outputs.otlp_mapping import spans_of

    host = tmp_path / "vorn" / "vm"
    usual = host / "stl_7.log"
    # Of another host, so that nothing waits on whether its pid lives here.
    write_traced_file(usual, scope_text("earlier", 1, 2), tid=7, file_id="00000000000000aa", host="elsewhere")
    arguments = argparse.Namespace(paths=[str(tmp_path)], assume_origin=None, service_name=None, trace_per="scope")
    state = {}
    spans, updates, *_ = _collect(arguments, state, set(), 100)
    earlier = [(span.name, span.span_id, span.trace_id) for span in spans]
    state.update(updates)

    usual.rename(host / "stl_7.2.log")
    write_traced_file(usual, scope_text("later", 1, 2), tid=7, file_id="00000000000000bb", host="elsewhere")
    spans, updates, *_ = _collect(arguments, state, set(), 100)
    assert [span.name for span in spans] == ["later"]
    both = [(span.name, span.span_id, span.trace_id) for span in spans_of(sources_of(tmp_path))]
    assert both[1:] == earlier and both[0][1:] != earlier[0][1:]


def test_an_id_whose_hash_is_all_zero_is_hashed_again_salted(tmp_path, monkeypatch):
    """An all-zero id means "no id": the next salt is taken instead."""
    import hashlib
    from types import SimpleNamespace

    from vorn.outputs import otlp_mapping

    def zero_unless_salted(data, *, digest_size, salt=b""):
        if salt:
            return hashlib.blake2b(data, digest_size=digest_size, salt=salt)
        return SimpleNamespace(digest=lambda: bytes(digest_size))

    write_traced_file(tmp_path / "vorn/vm/stl_7.log", scope_text("only", 1, 2), tid=7, host="elsewhere")
    monkeypatch.setattr(otlp_mapping, "_blake2b", zero_unless_salted)
    [source] = sources_of(tmp_path)
    [span] = otlp_mapping.spans_of([source])
    keys = [(json.dumps([kind, *otlp_mapping.file_key(source), 0], separators=(",", ":")), size)
            for kind, size in (("span", 8), ("trace", 16))]  # fmt: skip
    salted = [hashlib.blake2b(key.encode(), digest_size=size, salt=bytes([1]) * 16).digest() for key, size in keys]
    assert [span.span_id, span.trace_id] == salted


def test_processes_with_the_same_pid_and_start_in_two_pid_namespaces_share_no_id(tmp_path):
    """Two containers started together, each with pid 2 at tick 155111, each
    with its own trace root."""
    from vorn.outputs.otlp_mapping import process_groups, spans_of

    roots = [tmp_path / "a", tmp_path / "b"]
    for root, pidns in zip(roots, (4026532001, 4026532002)):
        body = scope_text("outer", 0, 3, scope_text("inner", 1, 2, instant_text("note", 1)))
        write_traced_file(root / "vorn/vm/stl_2.log", body, scope_text("next", 4, 5), pid=2, tid=2, start=155111,
                          pidns=pidns, boot_id="6f1c2a9e-0d4b-4f7e-9a51-2b8c3d4e5f60")  # fmt: skip
    sources = sources_of(*roots)
    spans = spans_of(sources)
    assert len(process_groups(sources)) == 2
    assert len(spans) == 6 and len({span.span_id for span in spans}) == 6
    assert len({span.trace_id for span in spans}) == 4


def test_a_process_of_another_pid_namespace_or_boot_is_never_judged_ended():
    from vorn.outputs.otlp_follow import process_ended
    from vorn.reading.trace_identity import TraceIdentity

    ours = os.stat("/proc/self/ns/pid").st_ino
    boot = Path("/proc/sys/kernel/random/boot_id").read_text().strip()

    def gone(**fields):  # a pid no process here has
        return TraceIdentity(99999999, 1, 1, 99999999, "MainThread", ("python3.14",), socket.gethostname(),
                             1765200000000, **fields)  # fmt: skip

    assert [process_ended(gone(pidns=ours, boot_id=boot)), process_ended(gone())] == [True, True]
    assert [process_ended(gone(pidns=ours + 1, boot_id=boot)), process_ended(gone(pidns=ours, boot_id="x"))] == [
        False, False]


def span_record(kind, ts, span_id="1f.1", message="fetch", task=""):
    return "{ " + json.dumps({"ts": ts, "invoker": "span", "file": "<vorn.span>", "line": 0,
                              "args": f"span {span_id} {kind}: {message} [{task}]"})[1:-1] + " }"  # fmt: skip


def test_times_come_in_nanoseconds_from_the_companion_where_it_has_them(tmp_path):
    from vorn.outputs.otlp_mapping import spans_of

    body = scope_text("a", 10, 12, instant_text("n", 11), span_record("begin", 11), span_record("end", 12))
    path = tmp_path / "vorn/vm/stl_100.log"
    write_traced_file(path, body, scope_text("b", 13, 14), host="elsewhere")
    # Precise times for the first six records; "b" ends without one.
    write_companion(path, [10_000_001, 11_000_002, 11_000_003, 12_000_004, 12_000_005, 13_000_006, 14_500_000],
                    count=6)  # fmt: skip
    spans = {span.name: span for span in spans_of(sources_of(tmp_path))}
    times = {name: (span.start_ns - ORIGIN_NS, span.end_ns - ORIGIN_NS, [e.time_ns - ORIGIN_NS for e in span.events])
             for name, span in spans.items()}  # fmt: skip
    assert times == {"a": (10_000_001, 12_000_005, [11_000_002]), "fetch": (11_000_003, 12_000_004, []),
                     "b": (13_000_006, 14_000_000, [])}  # fmt: skip


@needs_otel
def test_otlp_ends_with_one_clean_line_for_hostile_names_and_state(tmp_path):
    bad = write_trace(tmp_path / "vorn" / "vm" / "bad\x1b]0;x\x07.log", scope_text("a", 0, 1)).path
    result = run_otlp(tmp_path / "vorn", "-o", tmp_path / "out.json")
    assert result.returncode == 1 and "\x1b" not in result.stderr
    assert printable(str(bad)) in result.stderr and len(result.stderr.splitlines()) == 1
    state = tmp_path / "state.json"
    state.write_text("[" * 100_000)
    result = run_otlp("--follow", tmp_path / "vorn", "--state", state, "--endpoint", "http://127.0.0.1:9")
    assert (result.returncode, result.stderr) == (
        1, f"python -m vorn otlp: {state}: not a state file of python -m vorn otlp --follow\n")


# ---- --follow reads each file once: from where it left off ----

def follow_interval(paths, state, progress):
    """One interval of the shipper whose every batch is taken: the spans sent."""
    from vorn.outputs.otlp_follow import _collect

    arguments = argparse.Namespace(paths=[str(path) for path in paths], assume_origin=None, service_name=None,
                                   trace_per="scope")  # fmt: skip
    spans, updates, more, parsed = _collect(arguments, state, set(), 10**6, progress)
    assert not more
    state.update(updates)
    progress.settle(parsed, state)
    return spans


def span_rows(spans):
    return {span.span_id: (span.name, span.trace_id, span.parent_id, span.start_ns, span.end_ns, span.error,
                           [(event.name, event.time_ns) for event in span.events]) for span in spans}  # fmt: skip


def test_follow_of_a_growing_file_sends_what_one_read_of_the_whole_file_gives(tmp_path):
    from vorn.outputs.otlp_follow import Progress
    from vorn.outputs.otlp_mapping import spans_of

    path = tmp_path / "vorn" / "vm" / "stl_7.log"
    # An async span begun in one top-level scope and ended two scopes later, a record outside any scope.
    write_traced_file(path, scope_text("one", 1, 4, instant_text("a", 2), span_record("begin", 3)),
                      instant_text("loose", 5), scope_text("two", 6, 9, scope_text("inner", 7, 8, instant_text("b", 7))),
                      scope_text("three", 10, 12, span_record("end", 11)), scope_text("four", 13, 14),
                      tid=7, host="elsewhere")  # fmt: skip
    whole = path.read_bytes()
    expected = span_rows(spans_of(sources_of(tmp_path)))
    cuts = sorted({*(index + 1 for index, byte in enumerate(whole) if byte == ord("\n")),
                   *range(3, len(whole), 37)})  # fmt: skip
    state, progress, sent = {}, Progress(), []
    with open(path, "r+b") as stream:
        stream.truncate(0)
        for cut, previous in zip(cuts, [0, *cuts]):
            stream.seek(previous)
            stream.write(whole[previous:cut])
            stream.flush()
            sent += follow_interval([tmp_path], state, progress)
    assert len(sent) == len(expected) == 7 and span_rows(sent) == expected
    assert progress.starts[next(iter(progress.starts))][1].read.offset > len(whole) // 2


def test_follow_reads_nothing_without_growth_and_forgets_an_ended_process_once_sent(tmp_path, monkeypatch):
    import vorn.outputs.otlp_follow
    import vorn.outputs.otlp_mapping
    from vorn.outputs.otlp_follow import Progress

    live = tmp_path / "vorn" / "elsewhere" / "stl_7.log"
    write_traced_file(live, scope_text("closed", 1, 2), scope_text("open", 3, None), tid=7, host="elsewhere")
    # Of this host, under a pid no process here has: ended; its open scope goes once, as never closed.
    ended = tmp_path / "vorn" / "here" / "stl_8.log"
    write_traced_file(ended, scope_text("left open", 1, None), pid=99999999, tid=8, host=socket.gethostname())
    looked_at = []
    for module, name in ((vorn.outputs.otlp_mapping, "iter_trace_from"), (vorn.outputs.otlp_mapping, "read_trace_events"),
                         (vorn.outputs.otlp_follow, "_stamp"), (vorn.outputs.otlp_follow, "read_identity")):  # fmt: skip
        original = getattr(module, name)
        monkeypatch.setattr(module, name, lambda path, *rest, original=original, name=name: (
            looked_at.append((name, Path(path).name)), original(path, *rest))[1])  # fmt: skip
    state, progress = {}, Progress()
    assert sorted(span.name for span in follow_interval([tmp_path], state, progress)) == ["closed", "left open"]
    looked_at.clear()
    assert follow_interval([tmp_path], state, progress) == []
    # The live file is looked at (its size), not read; the ended one not at all.
    assert looked_at == [("read_identity", "stl_7.log"), ("_stamp", "stl_7.log")]
    with open(live, "a", encoding="utf-8") as stream:
        stream.write('],\n"ts_exit": 5\n}\n')
    looked_at.clear()
    assert [span.name for span in follow_interval([tmp_path], state, progress)] == ["open"]
    assert ("iter_trace_from", "stl_7.log") in looked_at and all(name == "stl_7.log" for _, name in looked_at)


def test_follow_starts_a_replaced_or_cut_file_over(tmp_path):
    from vorn.outputs.otlp_follow import Progress
    from vorn.outputs.otlp_mapping import spans_of

    path = tmp_path / "vorn" / "vm" / "stl_7.log"
    scopes = [scope_text(f"s{number}", 2 * number, 2 * number + 1, instant_text("x" * 50, 2 * number))
              for number in range(4)]  # fmt: skip
    write_traced_file(path, *scopes[:3], tid=7, host="elsewhere")
    state, progress = {}, Progress()
    assert len(follow_interval([tmp_path], state, progress)) == 3
    # Replaced by a new file of the same identity (a copy put back), then cut shorter and written again.
    replacement = tmp_path / "replacement.log"
    write_traced_file(replacement, scope_text("a", 0, 1), *scopes[1:], tid=7, host="elsewhere")
    replacement.rename(path)
    assert span_rows(follow_interval([tmp_path], state, progress)) == span_rows(spans_of(sources_of(tmp_path))[3:])
    with open(path, "r+b") as stream:
        stream.truncate(10)
        assert follow_interval([tmp_path], state, progress) == []
        stream.seek(10)
        stream.write(("[\n" + ",\n".join([scope_text("b", 0, 1), *scopes[1:4], scope_text("c", 9, 10)]) + "\n")
                     .encode()[10:])  # fmt: skip
    assert span_rows(follow_interval([tmp_path], state, progress)) == span_rows(spans_of(sources_of(tmp_path))[4:])
