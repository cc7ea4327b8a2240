"""Hostile input from Python: every call either works as documented or raises
a clear Python exception, the process never crashes, and a refused call
writes nothing."""

import json
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _py_vorn
from _py_vorn import StdoutLogger, StdoutLoggerOptions, StlLogger
from conftest import PROPERTY, run_in_fresh_thread, set_console_options, trace_path

BOTH_CLASSES = pytest.mark.parametrize("cls", [StlLogger, StdoutLogger])


def odd(**methods):
    """An object whose special methods are `methods` (index=f is __index__)."""
    return type("Odd", (), {f"__{name}__": body for name, body in methods.items()})()


def raising(error):
    def method(self):
        raise error("refused")

    return method


INDEX_RAISES, STR_RAISES = odd(index=raising(ValueError)), odd(str=raising(LookupError))
SEVEN = odd(index=lambda self: 7)


REFUSED_ARGUMENTS = [
    {"message": None}, {"message": ["x"]}, {"message": memoryview(b"x")},
    {"message": STR_RAISES}, {"invoker": 5}, {"invoker": STR_RAISES}, {"file": None},
    {"line": 2**64}, {"line": 10**100}, {"line": -(10**100)}, {"line": None}, {"line": "1"},
    {"line": INDEX_RAISES}, {"line": odd(index=lambda self: 2**70)},
    {"line": odd(index=lambda self: "7")},
    {"tid": -(2**63) - 1}, {"tid": 10**100}, {"tid": INDEX_RAISES},
    {"msg": "a keyword that does not exist"},
]  # fmt: skip


def trace_and_console_of(body, trace_root, capfdbinary):
    """Runs body on a fresh thread; returns its trace file's scopes (None when
    it wrote none) and what reached fd 1 meanwhile."""
    capfdbinary.readouterr()
    native_id = run_in_fresh_thread(lambda: (body(), threading.get_native_id())[1])
    path = trace_path(trace_root, native_id)
    scopes = json.loads(path.read_text(encoding="utf-8")) if path.exists() else None
    return scopes, capfdbinary.readouterr().out


REFUSED_CALLS = [
    lambda logger: logger.log(), lambda logger: logger.log(None), lambda logger: logger.log(5),
    lambda logger: logger.log(STR_RAISES), lambda logger: logger.log(message=memoryview(b"x")),
    lambda logger: logger.__exit__(None, None), lambda logger: logger.__exit__(None, None, None, None),
] + [lambda logger, kwargs=kwargs: type(logger)(**kwargs) for kwargs in REFUSED_ARGUMENTS]  # fmt: skip


@BOTH_CLASSES
@pytest.mark.parametrize("call", REFUSED_CALLS)
def test_refused_calls_raise_type_error_write_nothing_and_leave_no_error_pending(
    trace_root, capfdbinary, cls, call
):
    def body():
        set_console_options(print_header=False)
        logger = cls("scope")
        with pytest.raises(TypeError):
            call(logger)
        logger.log("after")
        logger.close()
        cls("next").close()

    scopes, console = trace_and_console_of(body, trace_root, capfdbinary)
    if cls is StlLogger:
        shape = [(s["args"], [e["args"] for e in s["events"]]) for s in scopes]
        assert shape == [("scope", ["after"]), ("next", [])]
    else:
        assert console == b"scope\nafter\nnext\n"


@pytest.mark.parametrize("call", [
    lambda: StdoutLogger.print(5), lambda: StdoutLogger.print(None),
    lambda: StdoutLogger.print("m", 5), lambda: StdoutLogger.print("m", STR_RAISES),
    lambda: StdoutLogger.set_options(None), lambda: StdoutLogger.set_options("x"),
    lambda: StdoutLogger.set_options(StdoutLoggerOptions),
    lambda: setattr(StdoutLoggerOptions(), "color", 5),
    lambda: setattr(StdoutLoggerOptions(), "workflow_name", STR_RAISES),
    lambda: setattr(StdoutLoggerOptions(), "use_color", "yes"),
])  # fmt: skip
def test_refused_console_calls_raise_type_error_and_change_nothing(capfdbinary, call):
    def body():
        set_console_options(print_header=False)
        with pytest.raises(TypeError):
            call()
        options = StdoutLogger.get_options()
        return options.color, options.workflow_name, options.print_header, options.use_color

    capfdbinary.readouterr()
    assert run_in_fresh_thread(body) == (_py_vorn.CLI_LEVEL_RESET, "NOT SET", False, True)
    assert capfdbinary.readouterr().out == b""


@pytest.mark.parametrize("field", ["color", "workflow_name"])
def test_console_text_options_take_utf8_bytes_and_refuse_others(field):
    options = StdoutLoggerOptions()
    setattr(options, field, "caf\u00e9".encode())
    assert getattr(options, field) == "caf\u00e9"
    with pytest.raises(UnicodeDecodeError):
        setattr(options, field, bytearray(b"\xff"))
    assert getattr(options, field) == "caf\u00e9"


def test_accepted_odd_values_work_as_documented(trace_root, capfdbinary):
    class Text(str):
        def __str__(self):
            raise LookupError("never asked")

    def body():
        StlLogger(Text("str subclass"), Text("inv"), line=SEVEN, tid=SEVEN).close()
        StlLogger("extremes", line=2**32 - 1, tid=2**63 - 1).close()
        StlLogger("extremes", line=0, tid=-(2**63)).close()
        with StlLogger("x" * 1_000_000, "i" * 100_000, "f" * 100_000) as huge:
            huge.log("y" * 1_000_000)

    scopes, _ = trace_and_console_of(body, trace_root, capfdbinary)
    assert [(s["args"], s["invoker"], s["line"]) for s in scopes[:3]] == [
        ("str subclass", "inv", 7), ("extremes", "body", -1), ("extremes", "body", 0)
    ]  # fmt: skip
    huge = scopes[3]
    assert (huge["args"], huge["invoker"], huge["file"]) == ("x" * 4095, "i" * 255, "f" * 255)
    assert huge["events"][0]["args"] == "y" * 4095


class RaisingKey(str):
    """Equal in hash to "__file__", but comparing it with anything raises."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise LookupError("no comparison")


@pytest.mark.parametrize(
    ("file_entry", "error"),
    [({"__file__": odd(str=lambda self: 5)}, TypeError), ({RaisingKey("__file__"): "job.py"}, LookupError)],
)
@pytest.mark.parametrize(
    "call", ["vorn.StlLogger('m')", "vorn.StdoutLogger('m', 'given')", "vorn.StdoutLogger.print('m')"]
)
def test_module_globals_that_cannot_name_the_caller_fail_the_call_writing_nothing(
    trace_root, capfdbinary, call, file_entry, error
):
    def body():
        with pytest.raises(error):
            exec(call, {"vorn": _py_vorn, **file_entry})

    assert trace_and_console_of(body, trace_root, capfdbinary) == (None, b"")
    assert not trace_root.exists()


class TracingName:
    """A __file__ whose str() traces a scope of its own while the module is
    naming the caller."""

    def __str__(self):
        with StlLogger("from __str__", "name") as scope:
            scope.log("inside")
        return "/srv/job.py"


def test_a_caller_name_that_traces_while_it_is_read_leaves_both_scopes_whole(trace_root, capfdbinary):
    def body():
        exec("scope = vorn.StlLogger('outer'); scope.log('y'); scope.close()",
             {"vorn": _py_vorn, "__file__": TracingName()})  # fmt: skip

    scopes, _ = trace_and_console_of(body, trace_root, capfdbinary)
    assert [(s["invoker"], s["args"], [e["args"] for e in s["events"]]) for s in scopes] == [
        ("name", "from __str__", ["inside"]), ("job.py", "outer", ["y"])
    ]  # fmt: skip


# Bytes that are not UTF-8, or only partly: whole characters, cut ones,
# surrogates, overlong forms, NUL, and random bytes.
FRAGMENTS = [b"a", b"\0", b"\x80", b"\xff", b"\xc3\xa9", b"\xe2\x82", b"\xe2\x82\xac",
             b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf0\x9f\x98\x80", b"\xf0\x9f", b"\xc0\xaf"]  # fmt: skip
BYTES = st.one_of(st.binary(max_size=100), st.lists(st.sampled_from(FRAGMENTS), max_size=25).map(b"".join))


def as_text(raw):
    """The text a trace file gives back for raw bytes: up to the first NUL,
    with what is not UTF-8 replaced as Python's decoder replaces it."""
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


@settings(PROPERTY, max_examples=150)
@given(message=BYTES, invoker=BYTES, file=BYTES, kind=st.sampled_from([bytes, bytearray]))
def test_bytes_that_are_not_utf8_keep_the_trace_file_utf8_json(trace_root, message, invoker, file, kind):
    def body():
        with StlLogger(kind(message), kind(invoker), kind(file)) as scope:
            scope.log(kind(message))
        return threading.get_native_id()

    path = trace_path(trace_root, run_in_fresh_thread(body))
    try:
        (scope,) = json.loads(path.read_bytes().decode("utf-8"))
    finally:
        path.unlink()
    expected = (as_text(message), as_text(invoker), as_text(file))
    assert (scope["args"], scope["invoker"], scope["file"]) == expected
    assert scope["events"][0]["args"] == expected[0]


@pytest.mark.parametrize("kind", [bytes, bytearray])
def test_console_lines_carry_bytes_as_given(capfdbinary, kind):
    raw = b"caf\xc3\xa9 \xff\xe2\x82 end\0unseen"

    def body():
        set_console_options(print_header=False)
        with StdoutLogger(kind(raw)) as scope:
            scope.log(kind(raw))
        StdoutLogger.print(kind(raw))

    capfdbinary.readouterr()
    run_in_fresh_thread(body)
    assert capfdbinary.readouterr().out == b"caf\xc3\xa9 \xff\xe2\x82 end\n" * 3
