"""A trace scope closed where it is not the innermost open scope of its own
thread is written as always, and warned about once per place in the code;
under -W error the warning goes to sys.unraisablehook and nothing raises."""

import json
import os
import re
import subprocess
import sys

from vorn import find_trace_files

PROGRAM = r"""
import asyncio, json, sys, threading, warnings, _py_vorn, vorn

def out_of_order():
    outer, inner = _py_vorn.StlLogger("outer"), _py_vorn.StlLogger("inner")
    outer.close()  # MARK not innermost
    inner.close()  # MARK not innermost

def on_threads():
    handed, dropped = _py_vorn.StlLogger("handed"), [_py_vorn.StlLogger("dropped")]
    for work in (lambda: handed.close(),  # MARK closed on another thread
                 lambda: dropped.clear()):  # MARK dropped on another thread
        thread = threading.Thread(target=work)
        thread.start()
        thread.join()
    del handed

async def handle(name, gate):
    with _py_vorn.StlLogger(name):  # MARK not innermost
        await gate.wait()

async def gathered():
    gate = asyncio.Event()
    tasks = [asyncio.create_task(handle(name, gate)) for name in "ab"]
    await asyncio.sleep(0)
    gate.set()
    await asyncio.gather(*tasks)

def scoped():
    block = vorn.scope("block")
    block.__enter__()
    inner = _py_vorn.StlLogger("inner")
    block.__exit__(None, None, None)  # MARK not innermost
    inner.close()  # MARK not innermost

def in_order():
    with _py_vorn.StlLogger("a"), vorn.scope("b"), _py_vorn.StlLogger("c"):
        pass
    _py_vorn.StlLogger("dropped in order")

with warnings.catch_warnings(record=True) as caught:  # under -W error, the filters stay as they were
    if not sys.warnoptions:
        warnings.simplefilter("always")  # the once per place is the module's own
    for _ in range(3):
        out_of_order()
    on_threads()
    asyncio.run(gathered())
    scoped()
    in_order()
print(json.dumps([[w.lineno, w.filename == __file__, w.category.__name__, str(w.message)] for w in caught]))
"""

WHAT = {"not innermost": "was closed while it was not the innermost open scope of its thread",
        "closed on another thread": "was closed on another thread than the one that opened it",
        "dropped on another thread": "was dropped on another thread than the one that opened it"}  # fmt: skip


def expected_warnings(program):
    """(line, what) for each MARK comment, in the order of the lines."""
    found = []
    for number, line in enumerate(program.splitlines(), 1):
        if "# MARK " in line:
            found += [(number, WHAT[what.strip()]) for what in line.split("# MARK ")[1].split(",")]
    return found


def masked(tmp_path):
    """The trace files' texts, times masked, by file name."""
    return {trace.path.name: re.sub(r'"(ts_enter|ts_exit|ts)": \d+', r'"\1": 0', trace.path.read_text())
            for trace in find_trace_files([tmp_path])}  # fmt: skip


def test_scopes_closed_out_of_order_warn_once_per_place_and_write_the_same_bytes(tmp_path):
    script = tmp_path / "order.py"
    script.write_text(PROGRAM)
    runs = {}
    for mode in ("default", "error"):
        env = {**os.environ, "VORN_LOG_DIR": str(tmp_path / mode)}
        env.pop("PYTHONWARNINGS", None)
        result = subprocess.run([sys.executable, "-W", mode, str(script)], env=env, capture_output=True, text=True,
                                check=True, timeout=120)  # fmt: skip
        runs[mode] = (json.loads(result.stdout), result.stderr, masked(tmp_path / mode))
    expected = expected_warnings(PROGRAM)

    caught, stderr, files = runs["default"]
    assert [(line, message.split(": ", 1)[0].split(") ", 1)[1]) for line, _, _, message in caught] == expected
    assert all(here and kind == "RuntimeWarning" and "vorn.span" in message for _, here, kind, message in caught)
    assert stderr == ""

    caught, stderr, error_files = runs["error"]
    assert caught == [], "close() and __exit__ never raise"
    assert stderr.count("Exception ignored while warning that a trace scope closed out of order") == len(expected)
    assert stderr.count("RuntimeWarning: a trace scope (StlLogger) was") == len(expected), stderr
    assert sorted(error_files.values()) == sorted(files.values()), "the warning changes no byte"
