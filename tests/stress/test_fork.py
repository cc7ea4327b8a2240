"""Forks while other threads trace: no child deadlocks, writes into a file
of its parent, or carries a parent's record into its own file."""

import json
import os
import re
import subprocess
import sys
from pathlib import Path

from conftest import trace_path

from .support import stress_count

WORKER = Path(__file__).with_name("fork_worker.py")
CHILD_TIMEOUT_S = 30  # a child normally ends within milliseconds
ARGS = re.compile(r'"args": "([^"\\]*)"')


def tracer_scopes(name, rounds):
    """What a tracer thread of fork_worker leaves in its file."""
    return [{"args": f"{name} scope {i}", "events": [
        {"args": f"{name} event {i}.0"},
        {"args": f"{name} inner {i}", "events": [{"args": f"{name} event {i}.1"}]},
        {"args": f"{name} event {i}.2"},
    ]} for i in range(rounds)]  # fmt: skip


def messages(records):
    """The scope tree reduced to messages and nesting."""
    return [{"args": record["args"], **({"events": messages(record["events"])} if "events" in record else {})}
            for record in records]  # fmt: skip


def test_forks_while_threads_trace_keep_every_file_to_its_own_process(tmp_path, capsys):
    forks = stress_count("VORN_STRESS_FORKS", 200)
    threads = 4
    run = subprocess.run(
        [sys.executable, str(WORKER), str(forks), str(threads), str(CHILD_TIMEOUT_S)],
        env={**os.environ, "VORN_LOG_DIR": str(tmp_path)},
        capture_output=True, text=True, check=True, timeout=forks * CHILD_TIMEOUT_S + 60,
    )
    report = json.loads(run.stdout)
    children = report["children"]
    assert run.stderr == ""
    assert [child["status"] for child in children] == [0] * forks  # no deadlock, no crash

    expected = {trace_path(tmp_path, report["main_tid"]): [
        {"args": "main", "events": [{"args": f"main before fork {n}"} for n in range(forks)]}
    ]}
    for name, thread in report["threads"].items():
        assert thread["rounds"] > 0
        expected[trace_path(tmp_path, thread["tid"])] = tracer_scopes(name, thread["rounds"])
    for child in children:
        number = child["number"]
        path = trace_path(tmp_path, child["pid"])
        assert path.exists(), f"child {number} wrote no file of its own"
        if child["way"] == 2:
            # The inherited scope is not open on the child's thread; however
            # the file holds a record logged on it, that is its only record.
            text = path.read_text(encoding="utf-8")
            assert ARGS.findall(text) == [f"child {number} on the inherited scope"], text
        else:
            expected[path] = [{"args": f"child {number}",
                               "events": [{"args": f"child {number} event"}]}]

    for path, scopes in expected.items():
        assert messages(json.loads(path.read_text(encoding="utf-8"))) == scopes, path
    written = set(trace_path(tmp_path, 0).parent.iterdir())
    assert written == set(expected) | {trace_path(tmp_path, c["pid"]) for c in children}
    with capsys.disabled():
        rounds = sum(thread["rounds"] for thread in report["threads"].values())
        print(f"\n{forks} forks while {threads} threads traced {rounds} rounds: "
              "no deadlock, every file holds its own process's records only")
