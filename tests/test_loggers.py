"""Logger objects: arguments, lifetime, the with protocol and what reaches the
trace file. Trace bodies run on fresh threads, each with its own file."""

import copy
import gc
import json
import os
import pickle
import sys
import threading

import pytest

from _py_vorn import StdoutLogger, StlLogger
from conftest import expected_trace_path, run_in_fresh_thread, run_python

BOTH_CLASSES = pytest.mark.parametrize("cls", [StlLogger, StdoutLogger])


def fields(scope):
    return tuple(scope[key] for key in ("invoker", "file", "line", "args"))


class TestArguments:
    def test_defaults_none_positional_and_keyword(self, traced):
        def opener():
            StlLogger().close()
            StlLogger("m", None, tid=None).close()
            StlLogger("load", "main", "job.py", 10, 987654321987).close()
            StlLogger(tid=-1, line=10, file="job.py", invoker="main", message="load").close()
            StlLogger(b"raw", bytearray(b"inv"), b"f.py", 4294967295, 2**63 - 1).close()

        run = traced(opener)
        assert [fields(scope) for scope in run.load()] == [
            ("opener", "<python>", 0, ""),
            ("opener", "<python>", 0, "m"),
            ("main", "job.py", 10, "load"),
            ("main", "job.py", 10, "load"),
            ("inv", "f.py", -1, "raw"),  # the unsigned line keeps its bits
        ]
        # The tid is written nowhere.
        assert "987654321987" not in run.text and str(2**63 - 1) not in run.text
        assert run.load()[0]["events"] == []

    def test_texts_are_literal_and_end_at_nul(self, traced):
        def body():
            with StlLogger("100%s %d %n\0cut", "in\0voker", "fi\0le.py") as logger:
                logger.log("%s%p\0cut")

        (scope,) = traced(body).load()
        assert fields(scope) == ("in", "fi", 0, "100%s %d %n")
        assert scope["events"][0]["args"] == "%s%p"

    @pytest.mark.parametrize(
        "kwargs",
        [{"line": -1}, {"line": 4294967296}, {"line": 1.0}, {"tid": 1.0}, {"tid": "1"},
         {"tid": 2**63}, {"message": "\udcff"}, {"invoker": "\ud800"}, {"file": "\udfff.py"},
         {"message": 5}],
    )  # fmt: skip
    @BOTH_CLASSES
    def test_unconvertible_arguments_raise_type_error_and_write_nothing(
        self, traced, capfd, cls, kwargs
    ):
        capfd.readouterr()

        def body():
            with pytest.raises(TypeError, match="incompatible constructor arguments"):
                cls(**kwargs)

        assert not traced(body).path.exists()
        assert capfd.readouterr().out == ""

    def test_an_uncreatable_trace_directory_raises_and_is_retried(self, tmp_path, monkeypatch):
        blocker = tmp_path / "not_a_directory"
        blocker.write_text("")
        monkeypatch.setenv("VORN_LOG_DIR", str(blocker))

        def body():
            with pytest.raises(RuntimeError, match="not_a_directory"):
                StlLogger("first")
            blocker.unlink()
            with StlLogger("second") as logger:
                return logger.log_file_name

        with open(run_in_fresh_thread(body), encoding="utf-8") as stream:
            assert [scope["args"] for scope in json.load(stream)] == ["second"]


class TestLifetime:
    def test_close_exit_and_second_init_write_once(self, traced):
        def body():
            logger = StlLogger("once")
            logger.__init__("ignored")
            logger.close()
            logger.close()
            assert logger.__exit__(None, None, None) is None

        run = traced(body)
        assert [scope["args"] for scope in run.load()] == ["once"]
        assert run.text.count('"ts_exit"') == 1

    @BOTH_CLASSES
    def test_a_closed_or_never_initialised_logger_refuses_log_and_with(self, traced, cls):
        def body():
            closed = cls("m")
            closed.close()
            bare = cls.__new__(cls)  # __init__ never ran: no scope to end
            bare.close()
            bare.__exit__(None, None, None)
            for logger in (closed, bare):
                with pytest.raises(RuntimeError, match="^logger is closed$"):
                    logger.log("late")
                with pytest.raises(RuntimeError, match="^logger is closed$"):
                    with logger:
                        raise AssertionError("the body must not run")
            del bare

        run = traced(body)
        assert cls is StdoutLogger or "late" not in run.text

    @BOTH_CLASSES
    def test_with_binds_the_very_object_and_keeps_no_reference(self, traced, cls):
        def body():
            logger = cls("m")
            before = sys.getrefcount(logger)
            with logger as bound:
                same = bound is logger
            del bound
            return same, sys.getrefcount(logger) - before

        assert traced(body).result == (True, 0)

    def test_an_exception_in_the_body_propagates_after_the_exit_record(self, traced):
        error = ValueError("boom")

        def body():
            logger = StlLogger("outer")
            try:
                with logger:
                    logger.log("before")
                    raise error
            except ValueError as caught:
                with open(logger.log_file_name, encoding="utf-8") as stream:
                    return caught, json.load(stream)

        caught, at_catch = traced(body).result
        assert caught is error
        assert [event["args"] for event in at_catch[0]["events"]] == ["before"]

    def test_exit_takes_three_positional_arguments(self, traced):
        def body():
            logger = StlLogger("m")
            with pytest.raises(TypeError):
                logger.__exit__(None, None)
            with pytest.raises(TypeError):
                logger.__exit__(arg0=None, arg1=None, arg2=None)
            logger.__exit__(1, "two", [3])

        assert len(traced(body).load()) == 1

    def test_dropping_open_and_closed_loggers(self, traced):
        def body():
            def text():
                with open(path, encoding="utf-8") as stream:
                    return stream.read()

            logger = StlLogger("dropped open")
            path = logger.log_file_name
            del logger
            after_open_drop = text()
            closed = StlLogger("dropped closed")
            closed.close()
            before = text()
            del closed
            gc.collect()
            return after_open_drop, before == text()

        run = traced(body)
        after_open_drop, unchanged_by_closed_drop = run.result
        assert after_open_drop.endswith("  }\n]\n") and unchanged_by_closed_drop
        assert [scope["args"] for scope in run.load()] == ["dropped open", "dropped closed"]

    def test_dropping_while_an_exception_propagates_keeps_it(self, traced):
        def consume(*_):
            raise AssertionError("never reached")

        def body():
            try:
                # The logger is a temporary on the evaluation stack: it is
                # destroyed while ZeroDivisionError is already set.
                consume(StlLogger("temporary"), 1 / 0)
            except ZeroDivisionError as error:
                return error.__context__

        run = traced(body)
        assert run.result is None
        assert [scope["args"] for scope in run.load()] == ["temporary"]

    def test_loggers_still_open_at_interpreter_exit_are_closed(self, tmp_path):
        code = "import _py_vorn\nkept = _py_vorn.StlLogger('open')\nkept.log('x')\n"
        code += "print(kept.log_file_name)"
        result = run_python(code, env={"VORN_LOG_DIR": str(tmp_path)})
        with open(result.stdout.strip(), encoding="utf-8") as stream:
            (scope,) = json.load(stream)
        assert [event["args"] for event in scope["events"]] == ["x"] and "ts_exit" in scope
        assert scope["ts_enter"] in (0, 1)  # the process's first clock reading is the origin

    def test_loggers_cannot_be_copied_or_pickled(self):
        logger = StdoutLogger.__new__(StdoutLogger)
        for duplicate in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError):
                duplicate(logger)


def test_nested_scopes_and_records_in_order(traced):
    def run():
        with StlLogger("load", file="job.py", line=10) as outer:
            outer.log("x")
            with StlLogger("parse", file="job.py", line=20):
                pass
            outer.log("y" * 5000)

    (scope,) = traced(run).load()
    x, inner, y = scope["events"]
    assert fields(scope) == ("run", "job.py", 10, "load")
    assert (x["args"], x["invoker"], x["line"]) == ("x", "run", 10)
    assert fields(inner) == ("run", "job.py", 20, "parse")
    assert y["args"] == "y" * 4095
    times = [scope["ts_enter"], x["ts"], inner["ts_enter"], inner["ts_exit"], y["ts"]]
    times.append(scope["ts_exit"])
    assert times == sorted(times)


class TestLogFileName:
    def test_answers_for_the_calling_thread_open_or_closed(self, traced, trace_root):
        made = []

        def owner():
            made.append(StlLogger("owned"))
            made[0].close()
            return made[0].get_log_file_name(), made[0].log_file_name

        owner_run = traced(owner)
        assert owner_run.result == (str(owner_run.path),) * 2
        logger = made.pop()

        def stranger():
            before = (logger.get_log_file_name(), logger.log_file_name)
            StlLogger("own scope").close()
            return before, logger.log_file_name, threading.get_native_id()

        before, after, native_id = run_in_fresh_thread(stranger)
        assert before == ("", "")
        assert after == expected_trace_path(trace_root, native_id)
        with pytest.raises(AttributeError):
            logger.log_file_name = "elsewhere"

    def test_prefix_and_relative_root(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.delenv("VORN_LOG_DIR", raising=False)
        monkeypatch.setenv("VORN_LOG_PREFIX", "job_")

        def body():
            with StlLogger("m") as logger:
                return logger.log_file_name, threading.get_native_id()

        name, native_id = run_in_fresh_thread(body)
        assert name == expected_trace_path("./vorn_logs", native_id, prefix="job_")
        assert (tmp_path / name).is_file()

    def test_a_name_that_is_not_utf8_raises_unicode_decode_error(self, tmp_path, monkeypatch):
        monkeypatch.setenv("VORN_LOG_DIR", str(tmp_path))
        monkeypatch.setenv("VORN_LOG_PREFIX", "\udcff_")  # the byte 0xFF in the environment

        def body():
            with StlLogger("m") as logger:
                with pytest.raises(UnicodeDecodeError):
                    logger.get_log_file_name()
                with pytest.raises(UnicodeDecodeError):
                    logger.log_file_name

        run_in_fresh_thread(body)
        (written,) = (tmp_path / "vorn").rglob("*.log")
        assert os.fsencode(written.name).startswith(b"\xff_")
