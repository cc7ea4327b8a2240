"""vorn.TraceHandler: logging records as records of the calling thread's
trace, in its innermost open scope, naming the code that logged them."""

import logging
import threading
from pathlib import Path

import pytest

import vorn
from conftest import run_in_fresh_thread, run_python, run_threads, tolerant_json, trace_path
from vorn import Instant, Scope, StlLogger, TraceHandler


class Kept(logging.Handler):
    """Keeps the records it is handed, to say where each one was logged."""

    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def app_logger():
    """The logger "app.db", logging at every level, with a TraceHandler on
    the root logger (where it sees what every logger propagates) and a Kept
    one beside it; both removed afterwards."""
    handler, kept, root = TraceHandler(), Kept(), logging.getLogger()
    root.addHandler(handler)
    root.addHandler(kept)
    logger = logging.getLogger("app.db")
    logger.setLevel(logging.DEBUG)
    yield logger, kept
    root.removeHandler(handler)
    root.removeHandler(kept)
    logger.setLevel(logging.NOTSET)


def like(record, args):
    """The trace record `record` should have become, its time aside."""
    return Instant(0, record.funcName, record.pathname, record.lineno, args)


def untimed(items):
    """`items` with every time zeroed, so that they compare by content."""
    for item in items:
        if isinstance(item, Instant):
            yield Instant(0, item.invoker, item.file, item.line, item.args)
        else:
            yield Scope(item.invoker, item.file, item.line, 0, 0, item.args, list(untimed(item.events)))


def test_records_land_in_their_threads_file_in_the_innermost_scope(trace_root, app_logger):
    logger, kept = app_logger
    threads = {}

    def body(start, index):
        start.wait()
        logger.info("before %d", index)
        with StlLogger("outer", "o", "job.py", 1):
            logger.warning("in outer")
            with StlLogger("inner", "i", "job.py", 2):
                try:
                    raise TimeoutError("read timed out")
                except TimeoutError:
                    logger.exception("retrying")
        logger.debug("after")
        threads[index] = (threading.get_ident(), trace_path(trace_root, threading.get_native_id()))

    run_threads(3, body)
    for index, (ident, path) in threads.items():
        before, outer, retrying, after = [record for record in kept.records if record.thread == ident]
        assert before.funcName == "body" and Path(before.pathname) == Path(__file__)
        expected = [
            like(before, f"INFO app.db: before {index}"),
            Scope("o", "job.py", 1, 0, 0, "outer", [
                like(outer, "WARNING app.db: in outer"),
                Scope("i", "job.py", 2, 0, 0, "inner", [
                    like(retrying, "ERROR app.db: retrying (raised TimeoutError: read timed out)"),
                ]),
            ]),
            like(after, "DEBUG app.db: after"),
        ]  # fmt: skip
        items = vorn.read_trace_events(path)
        assert list(untimed(items)) == expected
        # Each record has its precise time from the file's companion.
        assert path.with_suffix(".times").exists()
        instants = [items[0], items[1].events[0], items[1].events[1].events[0], items[2]]
        assert all(instant.ts_ns is not None and instant.ts_ns // 1_000_000 == instant.ts for instant in instants)


def cut(text):
    """`text` cut as a record's parts are: 999 characters and an ellipsis."""
    return text[:999] + "…"


# (message, the record's text)
HOSTILE = [
    ("lines\nand\r\ttabs \x1b[31m", "WARNING t: lines\nand\r\ttabs \x1b[31m"),
    ('quotes " and \\ "}]', 'WARNING t: quotes " and \\ "}]'),
    ("a lone \udcff surrogate", "WARNING t: a lone \\udcff surrogate"),
    ("%s %d {0}", "WARNING t: %s %d {0}"),
    ("x" * 100_000, cut("WARNING t: " + "x" * 100_000)),
    ("é" * 5000, cut("WARNING t: " + "é" * 5000)),
    ("ends at \x00 the NUL", "WARNING t: ends at "),
]


def logged_in_a_scope(handler, log):
    """Runs log(logger) on a fresh thread inside one trace scope, where
    `handler` is the only handler of the logger "t", which logs at every
    level. Returns the records of that scope."""
    logger = logging.getLogger("t")
    logger.propagate, logger.handlers[:] = False, [handler]
    logger.setLevel(logging.DEBUG)

    def body():
        with StlLogger("s") as scope:
            log(logger)
        return scope.log_file_name

    try:
        path = run_in_fresh_thread(body)
    finally:
        logger.handlers.clear()
        logger.propagate = True
        logger.setLevel(logging.NOTSET)
    return vorn.read_trace_events(path)[0].events


def test_hostile_text_reads_back_as_written(trace_root):
    def log(logger):
        for message, _ in HOSTILE:
            logger.warning("%s", message)
        logger.error("x", exc_info=ValueError("bad \udcff\n" + "y" * 5000))

    assert [record.args for record in logged_in_a_scope(TraceHandler(), log)] == [
        *(text for _, text in HOSTILE),
        f"ERROR t: x ({cut('raised ValueError: bad \\udcff\n' + 'y' * 5000)})",
    ]


def test_the_handlers_level_and_filters_decide_what_is_written(trace_root):
    handler = TraceHandler(logging.WARNING)
    handler.addFilter(lambda record: "secret" not in record.getMessage())

    def log(logger):
        logger.debug("debug")
        logger.info("info")
        logger.warning("warning")
        logger.warning("a secret")
        logger.log(35, "custom")

    assert [record.args for record in logged_in_a_scope(handler, log)] == [
        "WARNING t: warning", "Level 35 t: custom",
    ]  # fmt: skip


# A forked child logs into a file of its own, at its top level, though its
# parent was inside a scope; a file-size limit loses records without a word.
FORKED = """
import logging, os, resource, signal, threading, vorn
logging.basicConfig(level=logging.INFO, handlers=[vorn.TraceHandler()])
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
with vorn.StlLogger("parent"):
    logging.info("before")
    pid = os.fork()
    if pid == 0:
        resource.setrlimit(resource.RLIMIT_FSIZE, ({limit}, resource.RLIM_INFINITY))
        for i in range(50):
            logging.info("child %d", i)
        print(threading.get_native_id(), flush=True)
        os._exit(0)
    os.waitpid(pid, 0)
    logging.info("after")
print(threading.get_native_id())
"""


@pytest.mark.parametrize("limit", [1_000_000, 2500])
def test_a_forked_child_writes_its_own_file_and_a_full_one_loses_records_quietly(tmp_path, limit):
    result = run_python(FORKED.format(limit=limit), env={"VORN_LOG_DIR": str(tmp_path)})
    assert result.stderr == ""
    child, parent = (trace_path(tmp_path, native_id) for native_id in result.stdout.split())
    assert [item.args for item in vorn.read_trace_events(parent)[0].events] == ["INFO root: before",
                                                                                "INFO root: after"]
    text = Path(child).read_text(encoding="utf-8")
    assert len(text) <= limit
    written = [item["args"] for item in tolerant_json(text)]
    assert written == [f"INFO root: child {i}" for i in range(50)][: len(written)]
    assert len(written) == 50 if limit > 2500 else 0 < len(written) < 50
