"""python -m vorn summary on the traces of a real program: self time and
percentiles from busy-waits, raised and never-closed scopes and spans, two
processes, and the span logger's thread nowhere."""

import json
import subprocess
import sys
import textwrap

import pytest

from conftest import run_vorn

PROGRAM = textwrap.dedent("""
    import asyncio, os, subprocess, sys, time
    import vorn
    from vorn import StlLogger

    def busy(ms):
        end = time.perf_counter_ns() + ms * 1_000_000
        while time.perf_counter_ns() < end:
            pass

    with StlLogger("parent", "parent"):
        busy(2)
        for number in range(4):
            with StlLogger(f"child {number}", "child"):
                busy(1)

    @vorn.traced
    def fails():
        raise ValueError("no")

    for _ in range(2):
        try:
            fails()
        except ValueError:
            pass

    async def handle(number):
        async with vorn.span(f"handle {number}"):
            await asyncio.sleep(0)
            if number == 2:
                raise KeyError(number)

    async def main():
        await asyncio.gather(*(handle(number) for number in range(3)), return_exceptions=True)
        vorn.span("left open").__enter__()

    asyncio.run(main())
    subprocess.run([sys.executable, "-c", "from vorn import StlLogger\\nwith StlLogger('parent', 'parent'): pass"],
                   check=True)
    stuck = StlLogger("stuck", "stuck")
    os._exit(0)  # "stuck" never closes
""")


@pytest.fixture(scope="module")
def logs(tmp_path_factory):
    root = tmp_path_factory.mktemp("program")
    subprocess.run([sys.executable, "-c", PROGRAM], cwd=root, check=True, timeout=60,
                   env={**__import__("os").environ, "VORN_LOG_DIR": str(root / "logs")})  # fmt: skip
    return root / "logs"


def summary_json(logs, *options):
    result = run_vorn("summary", "--format", "json", *options, str(logs))
    assert result.returncode == 0 and result.stderr == "", result.stderr
    return json.loads(result.stdout)


def rows_by_message(document):
    return {(row["kind"], row["message"], row["process"]): row for row in document["rows"]}


def test_self_time_is_the_scope_less_its_children_and_percentiles_are_nearest_rank(logs):
    rows = rows_by_message(summary_json(logs, "--by", "process"))
    [main] = {process for _, _, process in rows if process and (("scope", "child N", process) in rows)}
    parent, children = rows[("scope", "parent", main)], rows[("scope", "child N", main)]
    assert (parent["count"], children["count"]) == (1, 4)
    assert parent["self_ms"] == pytest.approx(parent["total_ms"] - children["total_ms"], abs=1e-5)
    assert 2 <= parent["self_ms"] < parent["total_ms"] and children["self_ms"] == children["total_ms"]
    exact = [row["total_ms"] for row in summary_json(logs, "--exact-messages")["rows"]
             if row["message"].startswith("child ")]  # fmt: skip
    assert sorted(exact)[1] == pytest.approx(children["p50_ms"]) and 1 <= children["p50_ms"]  # rank ceil(0.5 * 4)
    assert children["p95_ms"] == children["max_ms"] == pytest.approx(max(exact))  # rank ceil(0.95 * 4)
    assert children["mean_ms"] == pytest.approx(children["total_ms"] / 4)


def test_raised_and_never_closed_are_counted_for_scopes_and_spans(logs):
    document = summary_json(logs)
    counted = {(row["kind"], row["message"]): (row["count"], row["raised"], row["never_closed"], row["self_ms"])
               for row in document["rows"]}  # fmt: skip
    assert {key: counted[key][:3] for key in [("scope", "fails"), ("scope", "stuck"), ("span", "handle N"),
                                              ("span", "left open")]} == {  # fmt: skip
        ("scope", "fails"): (2, 2, 0),
        ("scope", "stuck"): (0, 0, 1),
        ("span", "handle N"): (3, 1, 0),
        ("span", "left open"): (0, 0, 1),
    }
    assert counted[("span", "handle N")][3] is None and document["spans"] == 4
    [stuck] = document["never_closed_scopes"]
    assert (stuck["message"], stuck["process"]) == ("stuck", document["processes"][0]["name"])


def test_by_process_splits_the_rows_and_names_processes_as_the_timeline_does(logs):
    document = summary_json(logs, "--by", "process", "--by", "message")
    names = [process["name"] for process in document["processes"]]
    assert len(names) == 2 and all(" -c (pid " in name for name in names)
    parents = [row for row in document["rows"] if row["message"] == "parent"]
    assert sorted(row["process"] for row in parents) == sorted(names)
    assert {row["invoker"] for row in parents} == {None}
    [run] = document["runs"]
    assert (run["run"], run["processes"], run["threads"]) == (1, 2, 2)
    lines = run_vorn("summary", "--by", "process", "-n", "1", str(logs)).stdout.splitlines()
    header = next(index for index, line in enumerate(lines) if line.startswith("total ms"))
    assert [lines[header + 1], lines[header + 3]] == names and lines[header + 4].endswith("parent   parent")


def test_the_span_logger_thread_is_nowhere(logs):
    text = run_vorn("summary", str(logs)).stdout
    document = summary_json(logs)
    assert "vorn spans" not in text and "vorn spans" not in json.dumps(document)
    assert [len(process["threads"]) for process in document["processes"]] == [1, 1]
    assert text.splitlines()[0] == "2 trace files: 9 scopes, 9 records, 4 spans"


def test_the_table_fits_in_100_columns_with_a_column_per_figure(logs):
    lines = run_vorn("summary", "--by", "process", str(logs)).stdout.splitlines()
    header = next(line for line in lines if line.lstrip().startswith("total ms"))
    assert header.split() == ["total", "ms", "self", "ms", "count", "mean", "p50", "p95", "max", "raised",
                              "unclosed", "invoker", "message"]  # fmt: skip
    table = lines[lines.index(header):]
    assert all(len(line) <= 100 for line in table), table
