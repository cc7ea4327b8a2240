"""python -m vorn.otlp against a real OTLP/HTTP receiver on 127.0.0.1: the
spans of traces written by the module in subprocesses (nesting, records,
two processes, a thread that ended inside a scope, a process killed inside
scopes), their ids across sends, the OTLP/JSON file and the clock-origin
rule. Expected values come from the trace files and their identities."""

import base64
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import warnings
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import instant_text, scope_text, write_trace, write_traced_file
from vorn.trace_files import find_trace_files
from vorn.trace_identity import read_identity
from vorn.trace_reader import Instant, read_trace_events, walk

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

    def __init__(self):
        self.requests = []
        self.arrived = threading.Condition()
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

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
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
    command = [sys.executable, "-m", "vorn.otlp", *map(str, arguments)]
    return subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)


def attributes(pairs):
    return {pair.key: getattr(pair.value, pair.value.WhichOneof("value")) for pair in pairs}


def received_spans(request):
    """(resource attributes, span) for every span of a request."""
    return [(attributes(group.resource.attributes), span)
            for group in request.resource_spans for scope in group.scope_spans for span in scope.spans]  # fmt: skip


def code_of(item):
    return {"code.function.name": item.invoker, "code.file.path": item.file, "code.line.number": item.line}


def expected_spans(files):
    """What each file says: per (pid, tid, name), the parent's name, the
    Unix ms times, the events and whether it never closed."""
    expected = {}
    for trace in files:
        identity = read_identity(trace.path)
        ordered = list(walk(read_trace_events(trace.path)))
        last = max(max(item.ts, 0) if isinstance(item, Instant) else max(item.ts_enter, item.ts_exit or 0)
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
                "start": identity.clock_origin_ms + item.ts_enter,
                "end": identity.clock_origin_ms + (last if item.ts_exit is None else item.ts_exit),
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
        assert (span.start_time_unix_nano, span.end_time_unix_nano) == (want["start"] * 10**6, want["end"] * 10**6)
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

    result = run_otlp(tmp_path / "vorn", "-o", output)
    assert (result.returncode, result.stdout, output.exists()) == (1, "", False)
    assert str(bare) in result.stderr and str(alone) in result.stderr and "--assume-origin" in result.stderr

    result = run_otlp(tmp_path / "vorn", "-o", output, "--assume-origin", "1765200000.123")
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
    code = ("import sys; sys.modules['opentelemetry'] = None; import vorn, vorn.otlp\n"
            "sys.exit(vorn.otlp.main([sys.argv[1]]))")  # fmt: skip
    command = [sys.executable, "-c", code, str(tmp_path)]
    result = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT)
    assert result.returncode == 2
    [line] = result.stderr.splitlines()
    assert "python3-opentelemetry-sdk" in line and "python3-opentelemetry-exporter-otlp-proto-http" in line


@needs_otel
def test_follow_sends_each_top_level_scope_once_it_closes_and_once_across_restarts(tmp_path, receiver):
    path = tmp_path / "vorn" / "vm" / "stl_7.log"
    write_traced_file(path, scope_text("first", 1, 2), scope_text("second", 3, None, instant_text("inside", 4)), tid=7)
    state = tmp_path / "state.json"

    def shipper():
        command = [sys.executable, "-m", "vorn.otlp", "--follow", str(tmp_path), "--endpoint", receiver.url,
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
