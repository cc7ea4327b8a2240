"""Helpers of the stress runs: run sizes, trace file paths, and reading
files that a killed process left unfinished."""

import json
import os
import re
import socket
from pathlib import Path


def stress_count(name, default):
    """A run size from the environment (VORN_STRESS_KILLS, ...), at least 1."""
    return max(1, int(os.environ.get(name, default)))


def trace_path(root, thread_id):
    """Where a thread with this id writes under the trace root `root`."""
    return Path(root) / "vorn" / socket.gethostname() / f"stl_{thread_id}.log"


# A whole JSON string (the writer escapes line ends, so none spans lines),
# a bracket, or a quote that opens a string never closed.
_STRUCTURE = re.compile(r'"(?:[^"\\\n]|\\.)*"|[][{}]|"')


def close_open_brackets(text):
    """`text`, a trace file that may stop after any record, made into a
    complete JSON document: the trailing comma dropped and every bracket
    still open closed. A file that stops inside a string is no record
    boundary and raises ValueError."""
    closers = []
    for match in _STRUCTURE.finditer(text):
        token = match.group()
        if token == '"':
            raise ValueError("the file stops inside a string")
        if token in "[{":
            closers.append("]" if token == "[" else "}")
        elif token in "]}":
            if not closers or closers.pop() != token:
                raise ValueError(f"unbalanced {token!r}")
    body = text.rstrip()
    if body.endswith(","):
        body = body[:-1]
    return body + "".join(reversed(closers))


def read_tolerantly(path):
    """The scopes a possibly unfinished trace file holds; [] when the file
    is missing or empty.

    A process killed in the middle of a write can leave the last operation
    torn: the kernel stops copying a large write between pages when SIGKILL
    arrives. What that write left is dropped: a last line without its line
    end, and an enter record that lacks its "events" line."""
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        return []
    data = data[: data.rfind(b"\n") + 1]
    if not data:
        return []
    text = data.decode("utf-8")  # strict: whole lines hold whole characters
    return _complete_records(json.loads(close_open_brackets(text)))


def _complete_records(records):
    kept = []
    for record in records:
        if "events" in record:
            record["events"] = _complete_records(record["events"])
        elif "ts" not in record:
            continue  # an enter record cut short
        kept.append(record)
    return kept


def event_tokens(scopes):
    """The scope tree as the sequence of its operations in file order:
    ("open", invoker, file, line, message), ("log", ...) and ("close",) for
    a scope that has its exit record."""
    tokens = []
    for record in scopes:
        identity = (record["invoker"], record["file"], record["line"], record["args"])
        if "events" in record:
            tokens.append(("open", *identity))
            tokens += event_tokens(record["events"])
            if record.get("ts_exit"):
                tokens.append(("close",))
        else:
            tokens.append(("log", *identity))
    return tokens


def without_times(scopes):
    """The scope tree with every time value checked (a non-negative integer)
    and removed; a closed scope keeps "ts_exit" as True."""
    result = []
    for record in scopes:
        record = dict(record)
        for key in ("ts", "ts_enter", "ts_exit"):
            if key in record:
                value = record.pop(key)
                assert isinstance(value, int) and value >= 0, record
                if key == "ts_exit":
                    record[key] = True
        if "events" in record:
            record["events"] = without_times(record["events"])
        result.append(record)
    return result
