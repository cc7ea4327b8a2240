"""python -m vorn export --format perfetto: the protobuf trace decoded here
with a wire decoder of its own and Perfetto's published field numbers."""

import json
import time
from collections import defaultdict
from dataclasses import dataclass, field

import pytest

import vorn.outputs.perfetto_export
from _py_vorn import StlLogger
from conftest import instant_text, run_in_fresh_thread, run_python, run_vorn, scope_text, write_trace, write_traced_file
from python_perfetto_thread import reference_write_thread
from test_vorn_async import SPANS_ON_TRACKS
from vorn.__main__ import main
from vorn.outputs.export import export_events, thread_streams
from vorn.outputs.perfetto_export import perfetto_bytes
from vorn.reading.trace_files import find_trace_files
from vorn.reading.trace_reader import read_trace_events

# The subset of Perfetto's trace protos these tests read (field numbers as
# published in protos/perfetto/trace/).
TRACE_PACKET = 1  # Trace.packet
TIMESTAMP, SEQUENCE, TRACK_EVENT, INTERNED, FLAGS, DEFAULTS, DESCRIPTOR = 8, 10, 11, 12, 13, 59, 60
CLEARED, NEEDS_STATE = 1, 2  # TracePacket.SequenceFlags
TRACK_EVENT_DEFAULTS, DEFAULT_TRACK = 11, 11  # TracePacketDefaults, TrackEventDefaults.track_uuid
UUID, TRACK_NAME, PROCESS, THREAD, PARENT = 1, 2, 3, 4, 5  # TrackDescriptor
PID, PROCESS_NAME = 1, 6  # ProcessDescriptor
TID, THREAD_NAME = 2, 5  # ThreadDescriptor (pid = 1)
CATEGORY_IIDS, ANNOTATIONS, TYPE, NAME_IID, TRACK_UUID, LOCATION_IID = 3, 4, 9, 10, 11, 34  # TrackEvent
BEGIN, END, INSTANT = 1, 2, 3  # TrackEvent.Type
INTERNED_TABLES = {1: "categories", 2: "names", 3: "annotations", 4: "locations"}  # InternedData
ANNOTATION_NAME_IID, BOOL, INT, STRING = 1, 2, 4, 6  # DebugAnnotation


def wire_fields(data):
    """The (field number, value) pairs of one protobuf message: an int for a
    varint, bytes for a length-delimited field (no other wire type is
    expected)."""
    fields, at = [], 0

    def varint():
        nonlocal at
        value = shift = 0
        while True:
            byte = data[at]
            at += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    while at < len(data):
        key = varint()
        if key & 7 == 0:
            fields.append((key >> 3, varint()))
        else:
            assert key & 7 == 2, f"wire type {key & 7}"
            size = varint()
            fields.append((key >> 3, data[at:at + size]))
            at += size
    assert at == len(data)
    return fields


def message(data):
    by_number = defaultdict(list)
    for number, value in wire_fields(data):
        by_number[number].append(value)
    return by_number


def one(fields, number, default=None):
    values = fields.get(number, [])
    assert len(values) <= 1, (number, values)
    return values[0] if values else default


@dataclass
class Event:
    type: int
    ts: int
    name: str | None = None
    categories: list = field(default_factory=list)
    annotations: dict = field(default_factory=dict)
    location: tuple | None = None  # (function, file, line)


@dataclass
class Decoded:
    tracks: dict = field(default_factory=dict)  # uuid -> {"pid", "tid", "name", "parent", "sequence"}
    events: dict = field(default_factory=lambda: defaultdict(list))  # track uuid -> [Event]
    interned_names: list = field(default_factory=list)  # (sequence, name) per event name interned


def annotation_value(fields):
    if BOOL in fields:
        return bool(one(fields, BOOL))
    if INT in fields:
        value = one(fields, INT)
        return value - (1 << 64) if value >= 1 << 63 else value
    return one(fields, STRING).decode()


def decode(data):
    """The tracks and track events of a Perfetto trace, every iid resolved
    through its sequence's interning as a reader must: state starts at a
    packet flagged CLEARED and is dropped there again, and an iid never
    changes its value."""
    decoded = Decoded()
    states, ever = {}, defaultdict(dict)
    for number, raw in wire_fields(data):
        assert number == TRACE_PACKET
        packet = message(raw)
        sequence, flags = one(packet, SEQUENCE), one(packet, FLAGS, 0)
        if DESCRIPTOR in packet:
            track = message(one(packet, DESCRIPTOR))
            entry = {"parent": one(track, PARENT), "name": (one(track, TRACK_NAME) or b"").decode()}
            if PROCESS in track:
                process = message(one(track, PROCESS))
                entry.update(pid=one(process, PID), name=one(process, PROCESS_NAME).decode(), kind="process")
            if THREAD in track:
                thread = message(one(track, THREAD))
                entry.update(pid=one(thread, PID), tid=one(thread, TID), name=one(thread, THREAD_NAME).decode(),
                             kind="thread")  # fmt: skip
            assert decoded.tracks.setdefault(one(track, UUID), entry) == entry
        if flags & CLEARED:
            defaults = message(one(packet, DEFAULTS, b""))
            track = one(message(one(defaults, TRACK_EVENT_DEFAULTS, b"")), DEFAULT_TRACK)
            states[sequence] = {"track": track, **{table: {} for table in INTERNED_TABLES.values()}}
        if INTERNED in packet:
            for table_number, entry in wire_fields(one(packet, INTERNED)):
                entry = message(entry)
                table, iid = INTERNED_TABLES[table_number], one(entry, 1)
                value = tuple(one(entry, n) for n in (3, 2, 4)) if table == "locations" else one(entry, 2).decode()
                if table == "locations":
                    value = (value[0].decode(), value[1].decode(), value[2])
                if table == "names":
                    decoded.interned_names.append((sequence, value))
                assert ever[sequence, table].setdefault(iid, value) == value
                states[sequence][table][iid] = value
        if TRACK_EVENT in packet:
            assert flags & NEEDS_STATE and sequence in states
            state, event = states[sequence], message(one(packet, TRACK_EVENT))
            name_iid, location_iid = one(event, NAME_IID), one(event, LOCATION_IID)
            annotations = {state["annotations"][one(note, ANNOTATION_NAME_IID)]: annotation_value(note)
                           for note in map(message, event.get(ANNOTATIONS, []))}  # fmt: skip
            decoded.events[one(event, TRACK_UUID, state["track"])].append(Event(
                one(event, TYPE), one(packet, TIMESTAMP), None if name_iid is None else state["names"][name_iid],
                [state["categories"][iid] for iid in event.get(CATEGORY_IIDS, [])], annotations,
                None if location_iid is None else state["locations"][location_iid]))  # fmt: skip
    return decoded


def slices(events):
    """A track's slices and instants as (name, depth, begin, end), begins
    and ends paired innermost first, in begin order; checks that times never
    go back and that every slice ends."""
    out, stack, at = [], [], 0
    for event in events:
        assert event.ts >= at
        at = event.ts
        if event.type == END:
            out[stack.pop()][3] = event.ts
        else:
            out.append([event.name, len(stack), event.ts, event.ts])
            if event.type == BEGIN:
                stack.append(len(out) - 1)
    assert stack == []
    return [tuple(entry) for entry in out]


def threads_of(decoded):
    """{thread name: its events}."""
    return {track["name"]: decoded.events[uuid] for uuid, track in decoded.tracks.items()
            if track.get("kind") == "thread"}  # fmt: skip


def two_processes(root):
    """Three files: a main thread with a scope that never closed and a
    worker in one process, a thread of another process on another host."""
    main_thread = write_traced_file(
        root / "vorn/vm/stl_100.log",
        scope_text("outer", 2, 9, instant_text("mark", 3), scope_text("inner", 4, 6)),
        scope_text("open", 10, None, instant_text("", 11)))  # fmt: skip
    worker = write_traced_file(root / "vorn/vm/stl_101.log", scope_text("job", 5, 5, line=-3),
                               tid=101, thread_name="worker")  # fmt: skip
    other = write_traced_file(root / "vorn/box/stl_200.log", scope_text("elsewhere", 1, 2), pid=200, tid=200,
                              host="box", clock_origin_ms=1765200000300, cmdline=["tool"])  # fmt: skip
    return [main_thread, worker, other]


def test_scopes_and_records_are_slices_and_instants_on_the_json_exports_timeline(tmp_path):
    files = two_processes(tmp_path)
    decoded = decode(perfetto_bytes(files))

    # A process track per process, a thread track per file; names as the
    # JSON export gives them, the host included; no two threads share a tid.
    names = {(event["pid"], event["tid"]): event["args"]["name"] for event in export_events(files)
             if event["ph"] == "M"}  # fmt: skip
    tracks = sorted((track["kind"], track["pid"], track.get("tid"), track["name"],
                     decoded.tracks[track["parent"]]["name"] if track["parent"] else None)
                    for track in decoded.tracks.values())  # fmt: skip
    assert tracks == [
        ("process", 1, None, names[1, 0], None), ("process", 2, None, names[2, 0], None),
        ("thread", 1, 1, "MainThread 100", names[1, 0]), ("thread", 1, 3, "worker 101", names[1, 0]),
        ("thread", 2, 2, "MainThread 200", names[2, 0]),
    ]  # fmt: skip
    assert names[1, 0].endswith(" (pid 100) on vm") and names[2, 0] == "tool (pid 200) on box"

    # Each thread's slices and instants at the JSON export's times (µs), to
    # the nanosecond; a scope that never closed ends at its thread's last moment.
    json_times = defaultdict(list)
    for event in export_events(files):
        if event["ph"] in "XI":
            json_times[names[event["pid"], 0], names[event["pid"], event["tid"]]].append(
                (event["name"], event["ts"] * 1000, (event["ts"] + event.get("dur", 0)) * 1000))
    threads = threads_of(decoded)
    for uuid, track in decoded.tracks.items():
        if track.get("kind") == "thread":
            found = sorted((name, begin, end) for name, _, begin, end in slices(decoded.events[uuid]))
            assert found == sorted((name.removesuffix(" (never closed)"), round(begin), round(end)) for name, begin, end
                                   in json_times[decoded.tracks[track["parent"]]["name"], track["name"]])  # fmt: skip
    main_events = threads["MainThread 100"]
    assert [(name, depth) for name, depth, _, _ in slices(main_events)] == [
        ("outer", 0), ("mark", 1), ("inner", 1), ("open", 0), ("w", 1)]
    assert slices(main_events)[3][3] == main_events[-1].ts == max(event.ts for event in main_events)
    # Only the end of a scope that never closed says so.
    assert [event.annotations for event in main_events if event.type == END] == [{}, {}, {"never_closed": True}]

    # Scopes carry their invoker, file and line as an interned source
    # location, records theirs and their message as debug annotations.
    by_name = {event.name: event for events in threads.values() for event in events if event.name}
    assert [(by_name[name].categories, by_name[name].annotations, by_name[name].location)
            for name in ("outer", "open", "mark", "w", "job")] == [
        (["scope"], {}, ("w", "f.py", 7)),
        (["scope"], {}, ("w", "f.py", 7)),
        (["log"], {"message": "mark", "invoker": "w", "file": "f.py", "line": 7}, None),
        (["log"], {"message": "", "invoker": "w", "file": "f.py", "line": 7}, None),
        (["scope"], {}, ("w", "f.py", None)),  # a line that is no uint32 is left out
    ]  # fmt: skip


# A thread whose events all share one millisecond, the first scope's
# children included: nesting comes from the order alone.
ONE_MILLISECOND = [
    scope_text("a", 4, 4, scope_text("b", 4, 4, instant_text("r", 4)), scope_text("c", 4, 4)),
    scope_text("a", 4, 4),
    scope_text("d", 4, None, scope_text("e", 4, 4), scope_text("f", 4, None)),
]  # fmt: skip
ONE_MILLISECOND_TREE = [("a", 0), ("b", 1), ("r", 2), ("c", 1), ("a", 0), ("d", 0), ("e", 1), ("f", 1)]


@pytest.mark.parametrize("exact, limit", [(False, 1 << 16), (True, 1 << 16), (True, 2), (False, 1)])
def test_equal_times_nest_as_in_the_file_and_interning_restarts_cleanly(tmp_path, monkeypatch, exact, limit):
    monkeypatch.setattr(vorn.outputs.perfetto_export, "INTERNING_LIMIT", limit)
    trace = write_trace(tmp_path / "vorn/h/stl_1.log", *ONE_MILLISECOND)
    decoded = decode(perfetto_bytes([trace], exact))
    [events] = threads_of(decoded).values()
    found = slices(events)
    assert [(name, depth) for name, depth, _, _ in found] == ONE_MILLISECOND_TREE
    if exact:  # every event at the same nanosecond: order is all there is
        assert {event.ts for event in events} == {4_000_000}
    # Names are interned once per sequence, until the tables are dropped.
    interned = [name for _, name in decoded.interned_names]
    assert len(interned) == len(set(interned)) if limit > 2 else len(interned) > len(set(interned))


def test_spans_are_slices_on_an_async_track_per_task_and_lane(tmp_path):
    run_python(SPANS_ON_TRACKS, env={"VORN_LOG_DIR": str(tmp_path / "logs")})
    files = find_trace_files([tmp_path / "logs"])
    decoded = decode(perfetto_bytes(files))
    [process_uuid] = [uuid for uuid, track in decoded.tracks.items() if track.get("kind") == "process"]
    # The span logger's thread is left out.
    assert len(files) == 2 and len(threads_of(decoded)) == 1
    async_tracks = [uuid for uuid, track in decoded.tracks.items() if "kind" not in track]
    assert {decoded.tracks[uuid]["parent"] for uuid in async_tracks} == {process_uuid}
    lanes = {decoded.tracks[uuid]["name"]: slices(decoded.events[uuid]) for uuid in async_tracks}
    assert {lane: [(name, depth) for name, depth, _, _ in found] for lane, found in lanes.items()} == {
        "outside tasks": [("setup", 0)],
        "task x": [("first", 0), ("inner", 1), ("left open (never closed)", 0)],
        "task x (2)": [("second", 0)],
    }  # fmt: skip
    # A span begins at its begin record; one never ended runs to the process's last moment.
    [thread_events] = threads_of(decoded).values()
    records = {event.annotations["message"].split(":")[0]: event.ts for event in thread_events
               if event.type == INSTANT}  # fmt: skip
    span_events = [event for uuid in async_tracks for event in decoded.events[uuid] if event.type == BEGIN]
    assert all(event.ts == records[f"span {event.annotations['span']} begin"] for event in span_events)
    assert lanes["task x"][2][3] == max(event.ts for event in thread_events)
    assert {event.annotations["task"] for event in span_events} == {"", "x"}
    assert all(event.categories == ["span"] for event in span_events)


def test_a_real_trace_exports_smaller_than_a_third_of_the_json(tmp_path, monkeypatch):
    def work():
        for number in range(4000):
            with StlLogger(f"item {number % 50}", file="work.py", line=number % 7) as scope:
                if number % 10 == 0:
                    scope.log(f"checkpoint {number}")
                with StlLogger("step"):
                    pass

    monkeypatch.setenv("VORN_LOG_DIR", str(tmp_path / "logs"))
    run_in_fresh_thread(work)
    monkeypatch.chdir(tmp_path)
    timings = {}
    for arguments in (["-o", "trace.json"], ["--format", "perfetto"]):
        start = time.perf_counter()
        assert main(["export", *arguments, str(tmp_path / "logs")]) == 0
        timings[arguments[-1]] = time.perf_counter() - start
    pftrace, trace_json = tmp_path / "trace.pftrace", tmp_path / "trace.json"
    ratio = pftrace.stat().st_size / trace_json.stat().st_size
    print(f"perfetto/json size {ratio:.3f}, time {timings['perfetto'] / timings['trace.json']:.2f}")
    assert ratio <= 0.3

    [events] = threads_of(decode(pftrace.read_bytes())).values()
    found = slices(events)
    assert sum(event.type == BEGIN for event in events) == 8000 and len(found) == 8400
    assert len(json.loads(trace_json.read_text())["traceEvents"]) == 8400 + 2
    # The precise times, on the timeline.
    [thread] = thread_streams(find_trace_files([tmp_path / "logs"]))
    scopes = [item for item in walk_scopes(read_trace_events(thread.trace.path, thread.trace))]
    begins = [event.ts for event in events if event.type == BEGIN]
    precise = [(begin, scope.ts_enter_ns + thread.moved * 1_000_000) for begin, scope in zip(begins, scopes)
               if scope.ts_enter_ns is not None]  # fmt: skip
    assert precise and all(begin == expected for begin, expected in precise)

    result = run_vorn("export", "--format", "perfetto", str(tmp_path / "logs"), "-o", str(tmp_path / "x"))
    assert (result.returncode, result.stdout) == (0, f"exported 1 trace file to {tmp_path / 'x'}\n")
    assert (tmp_path / "x").read_bytes() == pftrace.read_bytes()


@pytest.mark.parametrize("exact, limit", [(False, 1 << 16), (True, 3), (False, 1)])
def test_each_threads_packets_are_the_bytes_the_python_writer_wrote(tmp_path, monkeypatch, exact, limit):
    # Files with and without precise times, spans, equal times, a scope
    # that never closed, interning dropped often or never.
    run_python(SPANS_ON_TRACKS, env={"VORN_LOG_DIR": str(tmp_path / "logs")})
    files = [*two_processes(tmp_path), write_trace(tmp_path / "vorn/h/stl_1.log", *ONE_MILLISECOND),
             *find_trace_files([tmp_path / "logs"])]  # fmt: skip
    assert any(file.path.with_suffix(".times").exists() for file in files)
    monkeypatch.setattr(vorn.outputs.perfetto_export, "INTERNING_LIMIT", limit)
    native = perfetto_bytes(files, exact)
    monkeypatch.setattr(vorn.outputs.perfetto_export, "_write_thread", reference_write_thread)
    assert native == perfetto_bytes(files, exact)


def walk_scopes(items):
    for item in items:
        if hasattr(item, "events"):
            yield item
            yield from walk_scopes(item.events)
