"""python -m vorn summary: where the time went, per invoker and message."""

from conftest import instant_text, run_vorn, scope_text, write_trace


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
        "total ms  count  mean ms  max ms  invoker  message\n"
        "      40      2     20.0      30  w        load\n"
        "      19      4      4.8      10  w        parse\n"
        "       9      1      9.0       9  w        write all [31m\n"  # no escape reaches the terminal
        "       0      1      0.0       0  w        odd clock\n"
        "\n"
        "1 scope never closed:\n"
        "  host h1, thread 1, entered at 40 ms  w  stuck\n"
    )
    assert run_vorn("summary", "-n", "1", str(tmp_path)).stdout.splitlines()[3:5] == [
        "      40      2     20.0      30  w        load",
        "... 3 more rows",
    ]


def test_summary_of_nothing_closed_and_of_bad_input(tmp_path):
    write_trace(tmp_path / "vorn/h/stl_3.log", scope_text("open", 0, None))
    assert run_vorn("summary", str(tmp_path)).stdout.splitlines()[2] == "no closed scopes (0 scopes)"
    result = run_vorn("summary", str(tmp_path / "nothing"))
    assert result.returncode == 1 and "No such file or directory" in result.stderr
    assert run_vorn("summary", "-n", "0", str(tmp_path)).returncode == 2  # a usage error
