"""python -m vorn summary: where the time went, per invoker and message."""

import json
import random
from array import array

import pytest

from conftest import instant_text, run_vorn, scope_text, write_trace, write_traced_file
from vorn.outputs.percentiles import nearest_ranks


def test_the_table_adds_up_closed_scopes_by_total_and_lists_open_ones_apart(tmp_path):
    write_trace(tmp_path / "vorn/h1/stl_1.log", scope_text(
        "load", 0, 30, scope_text("parse", 1, 11), instant_text("r", 2), scope_text("parse", 12, 14),
        scope_text("parse", 15, 18), scope_text("write\tall\x1b[31m", 20, 29),
    ), scope_text("stuck", 40, None, scope_text("parse", 41, 45)))  # fmt: skip
    write_trace(tmp_path / "vorn/h2/stl_9.log", scope_text("load", 0, 10), scope_text("odd clock", 9, 5))
    result = run_vorn("summary", str(tmp_path))
    assert result.stdout == (
        "2 trace files: 9 scopes, 1 record\n"
        "\n"
        "total ms  self ms  count  mean  p50  p95  max  unclosed  invoker  message\n"
        "      40       16      2    20   10   30   30            w        load\n"
        "      19       19      4  4.75    3   10   10            w        parse\n"
        "       9        9      1     9    9    9    9            w        write all [31m\n"  # no escape
        "       0        0      1     0    0    0    0            w        odd clock\n"
        "       0        0      0     -    -    -    -         1  w        stuck\n"
        "\n"
        "1 scope never closed:\n"
        "  host h1, thread 1, entered at 40 ms  w  stuck\n"
    )
    assert run_vorn("summary", "-n", "1", str(tmp_path)).stdout.splitlines()[3:5] == [
        "      40       16      2    20   10   30   30  w        load",
        "... 4 more rows",
    ]


def test_summary_of_nothing_closed_and_of_bad_input(tmp_path):
    write_trace(tmp_path / "vorn/h/stl_3.log", scope_text("open", 0, None))
    row = run_vorn("summary", str(tmp_path)).stdout.splitlines()[3]
    assert row.split() == ["0", "0", "0", "-", "-", "-", "-", "1", "w", "open"]  # never closed: a row still
    result = run_vorn("summary", str(tmp_path / "nothing"))
    assert result.returncode == 1 and "No such file or directory" in result.stderr
    assert run_vorn("summary", "-n", "0", str(tmp_path)).returncode == 2  # a usage error


def span_record(span_id, kind, message, ts, raised=""):
    return instant_text(f"span {span_id} {kind}: {message} [Task-1]{raised}", ts).replace('"w"', '"span"', 1)


def test_spans_pair_across_the_threads_of_a_process_and_the_span_logger_is_left_out(tmp_path):
    threads = tmp_path / "vorn/vm"
    write_traced_file(threads / "stl_100.log", span_record("1.100", "begin", "fetch 1", 2),
                      scope_text("work", 3, 9, span_record("2.100", "end", "fetch 2", 8)),
                      span_record("3.100", "begin", "idle", 9))  # fmt: skip
    write_traced_file(threads / "stl_101.log", span_record("2.100", "begin", "fetch 2", 4),
                      span_record("1.100", "end", "fetch 1", 7, " (raised KeyError)"), tid=101)  # fmt: skip
    holder = scope_text("vorn spans", 0, None, invoker="span").replace('"f.py"', '"<vorn.span>"')
    write_traced_file(threads / "stl_102.log", holder, tid=102, thread_name="vorn spans")
    result = run_vorn("summary", "--format", "json", str(tmp_path))
    document = json.loads(result.stdout)
    assert [(row["kind"], row["invoker"], row["message"], row["count"], row["total_ms"], row["self_ms"],
             row["p50_ms"], row["max_ms"], row["raised"], row["never_closed"]) for row in document["rows"]] == [
        ("span", "span", "fetch N", 2, 9, None, 4, 5, 1, 0),
        ("scope", "w", "work", 1, 6, 6, 6, 6, 0, 0),
        ("span", "span", "idle", 0, 0, None, None, None, 0, 1),
    ]  # fmt: skip
    assert (document["trace_files"], document["spans"], document["never_closed_scopes"]) == (2, 3, [])
    assert [process["threads"] for process in document["processes"]] == [["MainThread 100", "MainThread 101"]]
    assert "vorn spans" not in run_vorn("summary", str(tmp_path)).stdout + result.stdout


def test_self_time_subtracts_direct_children_only_and_never_goes_below_zero(tmp_path):
    write_trace(tmp_path / "vorn/h/stl_1.log", scope_text(
        "outer", 0, 20, scope_text("mid", 1, 15, scope_text("inner", 2, 12)), instant_text("r", 16),
        scope_text("clock set back", 16, 40),  # longer than "outer" around it
    ))  # fmt: skip
    rows = {row["message"]: row["self_ms"] for row in json.loads(
        run_vorn("summary", "--format", "json", str(tmp_path)).stdout)["rows"]}  # fmt: skip
    assert rows == {"outer": 0, "mid": 4, "inner": 10, "clock set back": 24}


@pytest.mark.parametrize("size", [1, 2, 3, 20, 1001])
@pytest.mark.parametrize("chunk", [7, 1 << 20])
def test_nearest_rank_percentiles_in_chunks_match_a_whole_sort(size, chunk):
    draw = random.Random(size)
    values = [draw.uniform(0, 10) for _ in range(size)]
    ordered = sorted(values)
    expected = [ordered[max(1, -(-percent * size // 100)) - 1] for percent in (1, 50, 95, 100)]
    assert nearest_ranks(array("d", values), (1, 50, 95, 100), chunk) == expected
