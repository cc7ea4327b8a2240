"""Console lines end to end: layout by options, options per thread, and which
stdout the lines reach."""

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
        ({"color": _py_vorn.CLI_LEVEL_INFO}, "\x1b[1;32m{}" + RESET),
        ({}, RESET + "{}" + RESET),
        ({"color": "<<", "workflow_name": ""}, "<<{}" + RESET),
        ({"use_color": False}, "{}"),
        ({"color": ""}, "{}"),
        ({"color": "\0[1;31m"}, "{}"),
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


@pytest.mark.parametrize("use_color", [True, False])
def test_without_header_a_line_is_the_bare_message(capfd, use_color):
    capfd.readouterr()
    worked_example(print_header=False, use_color=use_color, color=_py_vorn.CLI_LEVEL_ERROR)
    assert capfd.readouterr().out == "A\nx\nB\n"


def test_messages_are_literal_end_at_nul_and_only_scopes_cut_them(console):
    set_console_options(print_header=False)
    long = "".join(chr(ord("a") + i % 26) for i in range(5000))
    StdoutLogger.print("%d %s\ntwo lines")
    StdoutLogger.print("cut\0here")
    StdoutLogger.print(long)
    with StdoutLogger(long) as scope:
        scope.log("%n\0y")
    assert console().split("\n") == ["%d %s", "two lines", "cut", long, long[:4095], "%n", ""]


def test_lines_of_a_scope_keep_the_invoker_it_was_opened_with(console):
    def opener():
        return StdoutLogger("opened")

    def other_caller(scope):
        scope.log("logged")
        scope.close()

    other_caller(opener())
    lines = parse_console_lines(console())
    assert [(line["invoker"].rstrip(), line["message"]) for line in lines] == [
        ("opener", "opened"),
        ("opener", "logged"),
    ]


def test_replacing_sys_stdout_does_not_capture_lines_and_fd_1_does(console):
    replacement = io.StringIO()
    with contextlib.redirect_stdout(replacement):
        StdoutLogger.print("to fd 1")
        StdoutLogger("scope").close()
    assert replacement.getvalue() == ""
    assert [line["message"] for line in parse_console_lines(console())] == ["to fd 1", "scope"]


class TestOptions:
    def test_defaults_of_a_record_and_of_a_fresh_thread(self):
        for options in (StdoutLoggerOptions(), run_in_fresh_thread(StdoutLogger.get_options)):
            shown = (options.color, options.workflow_name, options.print_header, options.use_color)
            assert shown == (_py_vorn.CLI_LEVEL_RESET, "NOT SET", True, True)

    def test_options_are_copied_in_and_out_and_belong_to_one_thread(self):
        def thread_a():
            mine = StdoutLoggerOptions()
            mine.workflow_name = "a"
            mine.use_color = False
            StdoutLogger.set_options(mine)
            mine.workflow_name = "changed after set"
            StdoutLogger.get_options().workflow_name = "changed after get"
            current = StdoutLogger.get_options()
            return current.workflow_name, current.use_color

        assert run_in_fresh_thread(thread_a) == ("a", False)
        untouched = run_in_fresh_thread(StdoutLogger.get_options)
        assert (untouched.workflow_name, untouched.use_color) == ("NOT SET", True)

    def test_bad_values_are_refused_and_change_nothing(self):
        def body():
            options = StdoutLoggerOptions()
            for bad in ("not options", None):
                with pytest.raises(TypeError):
                    StdoutLogger.set_options(bad)
            with pytest.raises(TypeError):
                options.use_color = "yes"
            with pytest.raises(TypeError):
                options.color = 3
            with pytest.raises(AttributeError):
                options.colour = "typo"
            options.workflow_name = "nächtlich ✓"
            current = StdoutLogger.get_options()
            return options.use_color, options.color, options.workflow_name, current.workflow_name

        assert run_in_fresh_thread(body) == (True, RESET, "nächtlich ✓", "NOT SET")

    def test_level_attributes(self):
        levels = [_py_vorn.CLI_LEVEL_RESET, _py_vorn.CLI_LEVEL_STATUS, _py_vorn.CLI_LEVEL_INFO]
        levels += [_py_vorn.CLI_LEVEL_WARNING, _py_vorn.CLI_LEVEL_ERROR]
        assert levels == ["\x1b[0m", "\x1b[1;34m", "\x1b[1;32m", "\x1b[1;33m", "\x1b[1;31m"]
