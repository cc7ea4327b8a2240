"""python -m vorn otlp: the OTLP/JSON text written without the SDK's encoder,
byte for byte the encoder's; scopes that raised as error spans; and
which run a one-shot send takes."""

import json
import os
import subprocess
import sys

from conftest import instant_text, scope_text, write_traced_file
from test_vorn_otlp import TIMEOUT, needs_otel, run_otlp, sources_of
from vorn.outputs.otlp_mapping import Span, SpanEvent, spans_of
from vorn.reading.trace_files import find_trace_files
from vorn.reading.trace_reader import Scope, read_trace_events, walk

TRACED_PROGRAM = """\
import asyncio, threading, _py_vorn, vorn

@vorn.traced
def parse(text):
    raise ValueError("bad input")

@vorn.traced
def steps():
    yield 1
    raise KeyError("k")

@vorn.traced
async def fetch():
    await asyncio.sleep(0)
    raise TimeoutError

held = []
def elsewhere():  # a logger left open on a thread that ended
    held.append(_py_vorn.StlLogger("elsewhere", "other", "app.py", 50))

@vorn.traced
def lookalike():
    held[0].log("raised ValueError")  # lands here last, as another logger's record

thread = threading.Thread(target=elsewhere)
thread.start()
thread.join()
for call in (lambda: parse("x"), lambda: list(steps()), lambda: asyncio.run(fetch())):
    try:
        call()
    except Exception:
        pass
lookalike()
try:
    with vorn.scope("load rows"):
        raise LookupError("no (rows)")
except LookupError:
    pass
with _py_vorn.StlLogger("request", "handle", "app.py", 10) as request:
    request.log("raised KeyError")  # a program's own words
"""


def test_the_raised_record_of_a_scopes_own_logger_makes_its_span_an_error(tmp_path):
    last = "raised ValueError: bad\ninput"
    plain = [(last, None)]
    rows = [  # scope message, its line, its records; status message, events
        ("w", 7, [last], last, [("exception", {"exception.type": "ValueError", "exception.message": "bad\ninput"})]),
        ("w resume [Task-3]", 7, ["raised KeyError"], "raised KeyError", [("exception", {"exception.type": "KeyError"})]),
        ("request", 7, [last], last, [("exception", {"exception.type": "ValueError", "exception.message": "bad\ninput"})]),
        ("w", 8, [last], None, plain),  # another logger's record: not the scope's own line
        ("w", 7, [last, "after"], None, [*plain, ("after", None)]),  # not the last record
        ("w", 7, ["raised no type"], None, [("raised no type", None)]),
    ]  # fmt: skip
    elements = [scope_text(message, 2 * number, 2 * number + 1, *(instant_text(text, 2 * number) for text in records),
                           line=line) for number, (message, line, records, _, _) in enumerate(rows)]  # fmt: skip
    write_traced_file(tmp_path / "vorn/vm/stl_7.log", *elements, host="elsewhere")
    got = [(span.error, [(event.name, event.attributes if event.name == "exception" else None)
                         for event in span.events]) for span in spans_of(sources_of(tmp_path))]  # fmt: skip
    assert got == [(error, events) for _, _, _, error, events in rows]


@needs_otel
def test_scopes_that_raised_arrive_as_errors_and_the_json_is_the_encoders(tmp_path):
    from opentelemetry.exporter.otlp.proto.common.trace_encoder import encode_spans

    from vorn.outputs.otlp import request_json
    from vorn.outputs.otlp_sdk import sdk_spans
    from vorn.outputs.otlp_json import request_text

    (tmp_path / "app.py").write_text(TRACED_PROGRAM)
    traced_logs = tmp_path / "logs"
    env = {**os.environ, "VORN_LOG_DIR": str(traced_logs)}
    env.pop("VORN_LOG_PREFIX", None)
    subprocess.run([sys.executable, "app.py"], cwd=tmp_path, env=env, check=True, timeout=TIMEOUT)
    output = tmp_path / "out.json"
    result = run_otlp(traced_logs, "-o", output)
    assert result.returncode == 0, result.stderr
    spans = [span for group in json.loads(output.read_text())["resourceSpans"]
             for scope in group["scopeSpans"] for span in scope["spans"]]  # fmt: skip
    errors = {}
    for span in spans:
        if span["status"].get("message") != "never closed" and span["status"]:  # the thread "elsewhere" left open
            events = [(event["name"], {pair["key"]: pair["value"]["stringValue"] for pair in event["attributes"]})
                      for event in span.get("events", [])]  # fmt: skip
            errors[span["name"]] = (span["status"]["code"], span["status"]["message"], events)
    # The records traced and vorn.scope wrote: "raised <type>", with ": <message>" where it gives one.
    # "request" logged "raised KeyError" itself as its last record: it reads as
    # raised too, the known limit of a trace that has no field for an exception.
    raised = {}
    for trace in find_trace_files([traced_logs]):
        for _, item in walk(read_trace_events(trace.path)):
            if isinstance(item, Scope) and item.events and item.events[-1].args.startswith("raised "):
                raised[item.args] = item.events[-1].args
    expected = {}
    for name, kind in (("parse", "ValueError"), ("steps resume", "KeyError"), ("fetch resume [Task-1]", "TimeoutError"),
                       ("load rows", "LookupError"), ("request", "KeyError")):  # fmt: skip
        text = raised[name]
        assert text == f"raised {kind}" or text.startswith(f"raised {kind}: ")
        attributes = {"exception.type": kind}
        if text != f"raised {kind}":
            attributes["exception.message"] = text.removeprefix(f"raised {kind}: ")
        expected[name] = (2, text, [("exception", attributes)])
    assert errors == expected
    assert "lookalike" in raised  # its last record says "raised", another logger's: no error

    # The text written directly is the SDK's encoder's request, byte for byte:
    # on the program's spans, and on spans at every default and with every kind of value.
    resource = {"service.name": "a\u00e9\"\\\x01", "process.pid": 0, "flag": False, "empty": ""}
    made = [
        Span(b"\x00" * 15 + b"\x01", b"\x01" * 8, None, "", 0, 0, {}, resource),
        Span(b"\x02" * 16, b"\x03" * 8, b"\x01" * 8, "x\ny", 1, 2, {"b": True, "i": -5, "s": "\u2028"},
             dict(resource), [SpanEvent("", 0, {}), SpanEvent("e", 3, {"i": 1})], error="raised E: \"m\""),
        Span(b"\x04" * 16, b"\x05" * 8, None, "other", 4, 5, {"b": 1}, {"service.name": "other"}),
        Span(b"\x06" * 16, b"\x07" * 8, None, "back", 6, 7, {"b": 1}, {**resource}, [SpanEvent("n", 8, {})]),
    ]  # fmt: skip
    for case in (spans_of(sources_of(traced_logs)), made, []):
        assert request_text(case) == request_json(encode_spans(sdk_spans(case)))


@needs_otel
def test_a_one_shot_send_takes_the_latest_run_unless_told_otherwise(tmp_path):
    # Two starts of a program an hour apart, each of its own pid.
    for pid, origin, name in ((41, 1765200000000, "first"), (42, 1765203600000, "second")):
        write_traced_file(tmp_path / f"vorn/vm/stl_{pid}.log", scope_text(name, 1, 2), pid=pid, tid=pid,
                          clock_origin_ms=origin, host="elsewhere")  # fmt: skip

    def sent(*arguments):
        result = run_otlp(tmp_path, "-o", "-", *arguments)
        assert result.returncode == 0, result.stderr
        names = [span["name"] for group in json.loads(result.stdout)["resourceSpans"]
                 for scope in group["scopeSpans"] for span in scope["spans"]]  # fmt: skip
        return names, result.stderr

    assert sent() == (["second"], "python -m vorn otlp: left out 1 earlier run; --run all takes them\n")
    assert sent("--run", "all") == (["first", "second"], "")
    assert sent("--run", "1")[0] == ["first"]
    result = run_otlp("--follow", tmp_path, "--run", "all", "--endpoint", "http://127.0.0.1:9")
    assert (result.returncode, result.stderr) == (
        2, "python -m vorn otlp: --follow sends every run as it is written; it takes no --run\n")
