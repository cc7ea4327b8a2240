"""Console lines end to end: options set from Python shape the lines, options
belong to one thread, and the lines go to file descriptor 1."""

import contextlib
import io
import socket

import pytest

import _py_vorn
from _py_vorn import StdoutLogger, StdoutLoggerOptions
from conftest import parse_console_lines, run_in_fresh_thread, set_console_options

RESET = "\x1b[0m"


def worked_example(**options):
    """In a function run: scope A, log x, nested scope B opened and closed,
    A closed; on a fresh thread with the given options."""

    def run():
        set_console_options(**options)
        with StdoutLogger("A") as a:
            a.log("x")
            StdoutLogger("B").close()

    run_in_fresh_thread(run)


@pytest.mark.parametrize(
    ("options", "framed"),
    [
        ({"color": _py_vorn.CLI_LEVEL_INFO, "workflow_name": "nightly"}, "\x1b[1;32m{}" + RESET),
        ({}, RESET + "{}" + RESET),
        ({"use_color": False, "workflow_name": ""}, "{}"),
        ({"color": "\0[1;31m"}, "{}"),  # cut at the NUL: no colour text, so no colour
    ],
)
def test_header_lines_follow_the_options(capfd, options, framed):
    capfd.readouterr()
    worked_example(**options)
    lines = parse_console_lines(capfd.readouterr().out)
    assert [line["message"] for line in lines] == [framed.format(m) for m in "AxB"]
    assert {(line["host"], line["invoker"], line["workflow"]) for line in lines} == {
        (socket.gethostname(), "run" + " " * 27, options.get("workflow_name", "NOT SET"))
    }


def test_lines_reach_fd_1_not_sys_stdout_and_without_header_are_the_message_up_to_nul(console):
    set_console_options(print_header=False)
    with contextlib.redirect_stdout(io.StringIO()) as replacement:
        StdoutLogger.print("%d %s\ntwo lines")
        StdoutLogger.print("cut\0here")
        with StdoutLogger("%s\0x") as scope:
            scope.log("%n\0y")
    assert replacement.getvalue() == ""
    assert console() == "%d %s\ntwo lines\ncut\n%s\n%n\n"


def test_options_are_copied_in_and_out_and_belong_to_one_thread():
    def set_then_change():
        mine = StdoutLoggerOptions()
        mine.workflow_name = "a"
        StdoutLogger.set_options(mine)
        mine.workflow_name = "changed after set"
        StdoutLogger.get_options().workflow_name = "changed after get"
        return StdoutLogger.get_options().workflow_name

    assert run_in_fresh_thread(set_then_change) == "a"
    assert run_in_fresh_thread(StdoutLogger.get_options).workflow_name == "NOT SET"
