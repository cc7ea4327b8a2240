"""The native reader held to the Python reader it replaced: the same
events, precise times and errors on the same files, and the Trace Event
export byte for byte as the Python events serialized one by one."""

import json
import os
import re

import pytest
from conftest import identity_json, instant_text, scope_text, write_companion, write_trace, write_traced_file
from python_trace_reader import reference_iter_trace

from vorn.outputs.export import _header, export_events, write_export
from vorn.reading.span_events import with_span_events
from vorn.reading.trace_archive import opened_sources
from vorn.reading.trace_files import TraceFile
from vorn.reading.trace_reader import ReadPoint, Scope, TraceFormatError, iter_trace, iter_trace_from
from vorn.reading.trace_timeline import timeline_of

NESTED = [
    instant_text("before any scope", 1),
    scope_text("outer", 2, 9, instant_text("one", 3),
               scope_text("inner", 4, 6, instant_text("deep", 5), scope_text("leaf", 5, 5)),
               instant_text("raised ValueError: bad", 8)),
    scope_text("sibling", 9, 12, invoker="other"),
    scope_text("never closed", 12, None, instant_text("last", 13), scope_text("open child", 13, None)),
]  # fmt: skip

HOSTILE = [
    scope_text("caf\u00e9 \U0001f600 \"quoted\" back\\slash / \u0001 \x7f", 1, 2,
               instant_text("tab\there \u2028 \ud83d\ude00"[:-2] + "\U0001f600", 1)),
    '{ "ts": 3, "invoker": "\\u00e9\\ud83d\\ude00\\/\\"", "file": "f.py", "line": -7, "args": "\\b\\f\\n\\r\\t" }',
    '{ "ts" : 4 ,"invoker":"w",  "file": "f.py", "line": 7, "args": "spaced" } ',
    '{ "ts": [1, {"a": null}], "ts": 5, "invoker": "w", "file": "f.py", "line": 7, "args": "twice", "args": "x" }',
    scope_text("huge " + "x" * 1_500_000, 6, 7, instant_text("y" * 2_500_000, 6)),
    '{ "ts": 18446744073709551615, "invoker": "w", "file": "f.py", "line": 9223372036854775807, "args": "" }',
]  # fmt: skip

NOT_UTF8 = [
    b'{\n"invoker": "w\xff",\n"file": "f\xe2\x82.py",\n"line": 1,\n"ts_enter": 1,\n"args": "a\xf0\x80b\\"\xc3",\n'
    b'"events": [\n{ "ts": 1, "invoker": "\xed\xa0\x80", "file": "\xf4\x90", "line": 1, "args": "\xe2\x82\xac\xe2" }'
    b"\n],\n\"ts_exit\": 2\n}",
]

# Lines the writer cannot have written, each put in several places.
BAD_LINES = [
    "garbage", "[", "]", "{ not json }", '{ "ts": -1, "invoker": "w", "file": "f.py", "line": 7, "args": "" }',
    '{ "ts": 1.5, "invoker": "w", "file": "f.py", "line": 7, "args": "" }',
    '{ "ts": 1, "invoker": "w", "file": "f.py", "line": true, "args": "" }',
    '{ "ts": 1, "file": "f.py", "invoker": "w", "line": 7, "args": "" }',
    '{ "ts": 1, "invoker": "w", "file": "f.py", "line": 7, "args": "", "more": 1 }',
    '{ "ts": 1, "invoker": "w", "file": "f.py", "line": 7, "args": "raw\x01control" }',
    '{ "ts": 1, "invoker": "w", "file": "f.py", "line": 7, "args": "\\x" }', '"invoker": 5,', '"line": x,',
    '"line": 123456789012345678901,', '"args": "a"b",', '"ts_exit": -1', '"ts_exit": 1x', "},", "],", "x" * 200,
]  # fmt: skip


def events_of(events):
    """Each event with the item's fields as they were when it came (a
    Scope's exit fills in the object its enter gave), and how it ended."""
    got = []
    try:
        for kind, depth, item in events:
            got.append((kind, depth, tuple(vars(item).items()) if isinstance(item, Scope) else item,
                        getattr(item, "ts_ns", None)))  # fmt: skip
    except TraceFormatError as error:
        return got, (error.line, error.reason)
    return got, None


def assert_same(path, identity=None):
    native = events_of(iter_trace(path, identity))
    assert native == events_of(reference_iter_trace(path, identity))
    return native


def companion_for(path, offset_ns=123_456, **header):
    """A companion whose entries match every timed value in the file, in order."""
    text = path.read_bytes().decode("utf-8", "replace")
    values = re.findall(r'^ *(?:"ts_enter": (\d+),|"ts_exit": (\d+)$|\{ "ts": (\d+),)', text, re.M)
    times = [int("".join(found)) for found in values]
    write_companion(path, [(ms - (ms >= 1 << 63) * (1 << 64)) * 1_000_000 + offset_ns for ms in times], **header)


@pytest.mark.parametrize("elements", [NESTED, HOSTILE], ids=["nested", "hostile"])
@pytest.mark.parametrize("companion", [False, True])
def test_files_read_the_same(tmp_path, elements, companion):
    trace = write_trace(tmp_path / "stl_100.log", *elements)
    if companion:
        companion_for(trace.path)
    events, error = assert_same(trace.path)
    assert error is None and len(events) > 5
    if elements is NESTED:
        assert all((ns is not None) == companion for *_, ns in events if not isinstance(_[2], tuple))


def test_bytes_that_are_not_utf8_read_the_same(tmp_path):
    path = tmp_path / "stl_1.log"
    path.write_bytes(b"[\n" + NOT_UTF8[0] + b"\n")
    events, error = assert_same(path)
    assert error is None and "\ufffd" in events[1][2].args


@pytest.mark.parametrize("cut_companion", [None, "short", "wrong millisecond", "other process"])
def test_files_cut_at_every_byte_read_the_same(tmp_path, cut_companion):
    whole = write_traced_file(tmp_path / "whole" / "stl_100.2.log", *NESTED).path.read_bytes()
    path = tmp_path / "stl_100.2.log"
    path.write_bytes(whole)
    header = {"pid": 7} if cut_companion == "other process" else {}
    companion_for(path, **header)
    if cut_companion == "short":
        write_companion(path, [3_000_000, 4_000_000])
    elif cut_companion == "wrong millisecond":
        write_companion(path, [2_000_000, 3_000_000, 9_000_000])
    for end in range(len(whole) + 1):
        path.write_bytes(whole[:end])
        assert_same(path, TraceFile.of(path))


def test_files_opened_late_read_the_same_from_every_line(tmp_path):
    lines = write_trace(tmp_path / "whole.log", *NESTED).path.read_bytes().split(b"\n")
    path = tmp_path / "stl_100.log"
    for first in range(1, len(lines)):
        path.write_bytes(b"\n".join(lines[first:]))
        companion_for(path)
        assert_same(path)


@pytest.mark.parametrize("bad", BAD_LINES)
def test_malformed_lines_fail_the_same(tmp_path, bad):
    lines = write_trace(tmp_path / "whole.log", scope_text("s", 1, 2, instant_text("r", 1))).path.read_text()
    lines = lines.split("\n")
    path = tmp_path / "stl_1.log"
    for where in range(len(lines)):
        path.write_text("\n".join([*lines[:where], bad, *lines[where:]]))
        events, error = assert_same(path)
        if where in (0, 1, 3, 9):
            assert error is not None, (where, bad)


def test_a_read_starts_again_at_every_point_it_gave(tmp_path):
    trace = write_trace(tmp_path / "stl_100.log", *NESTED[:3], instant_text("after", 14))
    companion_for(trace.path)
    whole = list(iter_trace_from(trace.path))
    points = [index for index, item in enumerate(whole) if isinstance(item, ReadPoint)]
    assert len(points) >= 3
    shown = [(item.kind, item.depth, item.item) if not isinstance(item, ReadPoint) else item for item in whole]
    for index in points:
        rest = [(item.kind, item.depth, item.item) if not isinstance(item, ReadPoint) else item
                for item in iter_trace_from(trace.path, start=whole[index])]  # fmt: skip
        assert rest == shown[index + 1:]


SPANS = [
    instant_text("span 1f.1 begin: fetch [Task-1]", 2).replace('"invoker": "w"', '"invoker": "span"'),
    instant_text("span 1f.1 end: fetch [Task-1] (raised KeyError: 'k')", 5).replace('"invoker": "w"',
                                                                                   '"invoker": "span"'),
]  # fmt: skip


@pytest.mark.parametrize("exact", [False, True])
def test_the_export_writes_the_python_events_byte_for_byte(tmp_path, exact):
    root = tmp_path / "logs"
    write_traced_file(root / "stl_100.log", *HOSTILE[:4], *SPANS, *NESTED)
    companion_for(root / "stl_100.log")
    write_traced_file(root / "stl_101.log", *NESTED[1:], tid=101, thread_name="worker")
    write_traced_file(root / "stl_102.log", scope_text("vorn spans", 1, None, invoker="span")
                      .replace('"f.py"', '"<vorn.span>"'), tid=102)  # fmt: skip
    (root / "stl_103.log").write_text("[\n")
    os.setxattr(root / "stl_103.log", "user.vorn.trace", identity_json(tid=103, thread_name="idle"))
    write_traced_file(root / "stl_200.log", *NESTED, pid=200, tid=200, clock_origin_ms=1765200000250)
    out = tmp_path / "out.json"
    assert write_export([root], out, exact=exact) == 5
    with opened_sources([root]) as (files, _):
        timeline = timeline_of(files)
        header = json.dumps(_header(timeline), ensure_ascii=False)
        events = [json.dumps(event, ensure_ascii=False)
                  for event in with_span_events(export_events(files, timeline, exact))]  # fmt: skip
    assert out.read_text() == header[:-1] + ', "traceEvents": [\n' + ",\n".join(events) + "\n]}\n"
    assert '"ph": "b"' in out.read_text() and "(never closed)" in out.read_text()
