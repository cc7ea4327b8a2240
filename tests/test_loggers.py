"""Logger objects: arguments, lifetime, the with protocol and what reaches the
trace file. Trace bodies run on fresh threads, each with its own file."""

import asyncio
import json
import logging
import os
import sys
from pathlib import Path

import pytest

import vorn
from _py_vorn import StdoutLogger, StlLogger
from conftest import parse_console_lines, run_in_fresh_thread, run_python

BOTH_CLASSES = pytest.mark.parametrize("cls", [StlLogger, StdoutLogger])


def read_json(path):
    return json.loads(Path(path).read_text(encoding="utf-8"))


def test_arguments_by_position_or_keyword_none_as_omitted_and_texts_literal_up_to_nul(traced):
    def opener():
        StlLogger().close()
        StlLogger("m", None, tid=None).close()
        StlLogger("load", "main", "job.py", 10, 987654321987).close()
        StlLogger(tid=-1, line=4294967295, file="job.py", invoker="main", message="load").close()
        with StlLogger("100%s %d %n\0cut", "in\0voker", "fi\0le.py") as logger:
            logger.log("%s%p\0cut")

    run = traced(opener)
    scopes = json.loads(run.text)
    assert [(s["invoker"], s["file"], s["line"], s["args"]) for s in scopes] == [
        ("opener", "<python>", 0, ""),
        ("opener", "<python>", 0, "m"),
        ("main", "job.py", 10, "load"),
        ("main", "job.py", -1, "load"),  # the unsigned line keeps its bits
        ("in", "fi", 0, "100%s %d %n"),
    ]
    assert scopes[-1]["events"][0]["args"] == "%s%p"
    assert "987654321987" not in run.text  # the tid is written nowhere


@pytest.mark.parametrize(
    "kwargs",
    [{"line": -1}, {"line": 4294967296}, {"line": 1.0}, {"tid": 1.0}, {"tid": "1"},
     {"tid": 2**63}, {"message": "\udcff"}, {"invoker": "\ud800"}, {"message": 5}],
)  # fmt: skip
@BOTH_CLASSES
def test_unconvertible_arguments_raise_type_error_and_write_nothing(traced, capfd, cls, kwargs):
    def body():
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            cls(**kwargs)

    capfd.readouterr()
    assert traced(body).text is None
    assert capfd.readouterr().out == ""


def test_a_trace_directory_that_cannot_be_made_raises_runtime_error(trace_root):
    trace_root.write_text("")  # a file where the directory has to go
    with pytest.raises(RuntimeError, match="logs"):
        run_in_fresh_thread(StlLogger, "m")


@BOTH_CLASSES
def test_a_scope_ends_once_and_a_closed_or_bare_logger_refuses_log_and_with(traced, cls):
    def body():
        closed = cls("once")
        closed.__init__("ignored")
        closed.close()
        closed.close()
        assert closed.__exit__(1, "two", [3]) is None
        bare = cls.__new__(cls)  # __init__ never ran: no scope to end
        bare.close()
        bare.__exit__(None, None, None)
        for logger in (closed, bare):
            with pytest.raises(RuntimeError, match="^logger is closed$"):
                logger.log("late")
            with pytest.raises(RuntimeError, match="^logger is closed$"):
                with logger:
                    raise AssertionError("the body must not run")

    run = traced(body)
    if cls is StlLogger:
        assert run.text.count('"ts_exit"') == 1
        assert [scope["args"] for scope in json.loads(run.text)] == ["once"]


def test_with_binds_the_logger_itself_and_an_exception_leaves_after_the_exit_record(traced):
    error = ValueError("boom")

    def body():
        logger = StlLogger("first")
        references = sys.getrefcount(logger)
        with logger as bound:
            pass
        binding = [bound is logger]
        del bound
        binding.append(sys.getrefcount(logger) - references)  # no reference kept
        try:
            with StlLogger("second") as second:
                second.log("before")
                raise error
        except ValueError as caught:
            return binding, caught, read_json(second.log_file_name)

    binding, caught, at_catch = traced(body).result
    assert binding == [True, 0] and caught is error
    assert [event["args"] for event in at_catch[1]["events"]] == ["before"]


def test_dropping_an_open_logger_ends_its_scope_and_a_closed_one_writes_nothing(traced):
    def body():
        path = Path(StlLogger("dropped at once").log_file_name)
        after_open_drop = path.read_text(encoding="utf-8")
        closed = StlLogger("dropped closed")
        closed.close()
        before = path.read_text(encoding="utf-8")
        del closed
        return after_open_drop, path.read_text(encoding="utf-8") == before

    after_open_drop, unchanged_by_closed_drop = traced(body).result
    assert after_open_drop.endswith("  }\n]\n") and unchanged_by_closed_drop


def test_dropping_a_logger_while_an_exception_propagates_keeps_it(traced):
    def body():
        try:
            # The logger waits on the evaluation stack and is destroyed while
            # ZeroDivisionError is already set.
            [StlLogger("temporary"), 1 / 0]
        except ZeroDivisionError as error:
            return error.__context__

    run = traced(body)
    assert run.result is None
    assert [scope["args"] for scope in json.loads(run.text)] == ["temporary"]


def test_loggers_still_open_at_interpreter_exit_are_closed(tmp_path):
    code = "import _py_vorn\nkept = _py_vorn.StlLogger('open')\nkept.log('x')\n"
    result = run_python(code + "print(kept.log_file_name)", env={"VORN_LOG_DIR": str(tmp_path)})
    (scope,) = read_json(result.stdout.strip())
    assert [event["args"] for event in scope["events"]] == ["x"] and "ts_exit" in scope


def test_the_log_file_name_is_the_calling_threads_on_any_logger_open_or_closed(traced):
    def closed_logger():
        logger = StlLogger("elsewhere")
        logger.close()
        return logger

    def body():
        made_elsewhere = run_in_fresh_thread(closed_logger)
        before = made_elsewhere.log_file_name
        StlLogger("own scope").close()
        return before, made_elsewhere.log_file_name, made_elsewhere.get_log_file_name()

    run = traced(body)
    assert run.result == ("", str(run.path), str(run.path))


def test_a_log_file_name_that_is_not_utf8_raises_unicode_decode_error(tmp_path, monkeypatch):
    monkeypatch.setenv("VORN_LOG_DIR", str(tmp_path))
    monkeypatch.setenv("VORN_LOG_PREFIX", "\udcff_")  # the byte 0xFF in the environment

    def body():
        with StlLogger("m") as logger, pytest.raises(UnicodeDecodeError):
            logger.get_log_file_name()

    run_in_fresh_thread(body)


# A str with no UTF-8 form, as os.fsdecode makes of an undecodable file name.
SURROGATE = os.fsdecode(b"\xff")


def test_tools_that_log_for_their_caller_pass_on_text_without_utf8_form_escaped(traced, console):
    with pytest.raises(TypeError):
        StdoutLogger.print(SURROGATE)  # the loggers themselves keep refusing it
    failure = type("Bad", (Exception,), {"__qualname__": f"Bad{SURROGATE}"})

    def body():
        namespace = {}
        exec(compile("def work(fail):\n    if fail:\n        raise fail\n", f"/jobs/{SURROGATE}.py", "exec"), namespace)
        work = namespace["work"]
        work.__qualname__ = f"work{SURROGATE}"
        decorated = vorn.traced(work)
        decorated(None)
        with pytest.raises(failure):
            decorated(failure)
        with vorn.span(f"span {SURROGATE}"):
            pass

        async def main():
            await asyncio.create_task(vorn.traced(name="step")(asyncio.sleep)(0), name=f"task {SURROGATE}")

        asyncio.run(main())

    elements = json.loads(traced(body).text)
    escaped = "\\udcff"
    assert [(e["invoker"], e["file"]) for e in elements[:2]] == [(f"work{escaped}", f"/jobs/{escaped}.py")] * 2
    assert elements[1]["events"][0]["args"] == f"raised Bad{escaped}"
    assert [e["args"].split(": ", 1)[1] for e in elements[2:4]] == [f"span {escaped} []"] * 2
    assert elements[4]["args"] == f"step start [task {escaped}]"

    handler = vorn.ConsoleHandler()
    handler.handle(logging.LogRecord("job", logging.INFO, f"/jobs/{SURROGATE}.py", 1, f"message {SURROGATE}",
                                     None, None, func="<module>"))  # fmt: skip
    (line,) = parse_console_lines(console())
    assert (line["invoker"].rstrip(), line["message"]) == (f"{escaped}.py", f"message {escaped}")
