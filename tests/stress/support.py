"""Helpers of the stress runs: run sizes, and reading files that a killed
process left unfinished."""

import os
from pathlib import Path

from conftest import tolerant_json


def stress_count(name, default):
    """A run size from the environment (VORN_STRESS_KILLS, ...), at least 1."""
    return max(1, int(os.environ.get(name, default)))


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
    # Strict decoding: whole lines hold whole characters.
    return _complete_records(tolerant_json(data[: data.rfind(b"\n") + 1].decode("utf-8")))


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
    a scope that has its exit record. Every time must be a non-negative
    integer."""
    tokens = []
    for record in scopes:
        times = [record[key] for key in ("ts", "ts_enter", "ts_exit") if key in record]
        assert all(isinstance(value, int) and value >= 0 for value in times), record
        identity = (record["invoker"], record["file"], record["line"], record["args"])
        if "events" in record:
            tokens += [("open", *identity), *event_tokens(record["events"])]
            tokens += [("close",)] * ("ts_exit" in record)
        else:
            tokens.append(("log", *identity))
    return tokens
