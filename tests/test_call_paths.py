"""The logger methods answer every way of calling them alike: the ordinary
positional call (handled without pybind11's dispatcher) and keyword calls,
bytearray texts, subclasses and unconstructed instances (handed to pybind11)
give the same records and the same errors."""

import json

import pytest

from _py_vorn import StdoutLogger, StlLogger


class Sub(StlLogger):
    pass


CONSTRUCTIONS = [  # (args, kwargs) -> (invoker, file, line, args); None: derived
    ((), {}, None, "<python>", 0, ""),
    (("m",), {}, None, "<python>", 0, "m"),
    (("m", None), {}, None, "<python>", 0, "m"),
    (("m", "inv"), {}, "inv", "<python>", 0, "m"),
    ((b"m", b"inv"), {}, "inv", "<python>", 0, "m"),
    ((bytearray(b"m"), bytearray(b"inv")), {}, "inv", "<python>", 0, "m"),
    (("m",), {"invoker": "inv", "line": 4}, "inv", "<python>", 4, "m"),
    (("m", "inv", "f.py", 3, 7), {}, "inv", "f.py", 3, "m"),
]


@pytest.mark.parametrize("cls", [StlLogger, Sub])
@pytest.mark.parametrize("args, kwargs, invoker, file, line, message", CONSTRUCTIONS)
def test_every_construction_writes_the_scope_it_names(traced, cls, args, kwargs, invoker, file,
                                                       line, message):
    def caller():
        logger = cls(*args, **kwargs)
        logger.log("a")
        logger.log(message=b"b")
        logger.log(bytearray(b"c"))
        logger.close()

    [scope] = json.loads(traced(caller).text)
    assert (scope["invoker"], scope["file"], scope["line"], scope["args"]) == (
        invoker or "caller", file, line, message)
    assert [event["args"] for event in scope["events"]] == ["a", "b", "c"]


@pytest.mark.parametrize("cls", [StlLogger, StdoutLogger])
@pytest.mark.parametrize("call, error, text", [
    (lambda cls: cls(5), TypeError, "incompatible constructor arguments"),
    (lambda cls: cls("m", 5), TypeError, "incompatible constructor arguments"),
    (lambda cls: cls("\udcff"), TypeError, "incompatible constructor arguments"),
    (lambda cls: cls("m", "i").log(5), TypeError, "incompatible function arguments"),
    (lambda cls: cls("m", "i").log("\ud800"), TypeError, "incompatible function arguments"),
    (lambda cls: cls("m", "i").log(), TypeError, "incompatible function arguments"),
    (lambda cls: cls("m", "i").__exit__(None, None), TypeError, "incompatible function arguments"),
    (lambda cls: cls("m", "i").close(1), TypeError, "incompatible function arguments"),
    (lambda cls: cls.__new__(cls).log("x"), RuntimeError, "logger is closed"),
    (lambda cls: cls.__new__(cls).__enter__(), RuntimeError, "logger is closed"),
])  # fmt: skip
def test_calls_outside_the_ordinary_form_raise_pybind11s_errors(tmp_path, monkeypatch, cls, call,
                                                                 error, text, capfd):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=text):
        call(cls)


@pytest.mark.parametrize("cls", [StlLogger, StdoutLogger])
def test_closed_and_bare_loggers_keep_their_behaviour(tmp_path, monkeypatch, cls, capfd):
    monkeypatch.chdir(tmp_path)
    logger = cls("m", "i")
    with logger as entered:
        assert entered is logger
    logger.close()
    assert logger.__exit__(None, None, None) is None
    with pytest.raises(RuntimeError, match="logger is closed"):
        logger.log("late")
    with pytest.raises(RuntimeError, match="logger is closed"):
        logger.__enter__()
    bare = cls.__new__(cls)
    bare.close()
    assert bare.__exit__(None, None, None) is None

    class Skips(cls):
        def __init__(self):
            pass

    with pytest.raises(TypeError, match="must be called when overriding __init__"):
        Skips()


def test_methods_keep_pybind11s_names_and_docstrings():
    for cls in (StlLogger, StdoutLogger):
        for name in ("__init__", "log", "close", "__enter__", "__exit__"):
            method = getattr(cls, name)
            assert method.__name__ == name
            assert method.__doc__.startswith(f"{name}(self: _py_vorn.{cls.__name__}")
