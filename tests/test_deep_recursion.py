"""Logging from deep inside a recursion: the interpreter keeps only a small
margin of C stack when it stops a recursion with RecursionError, so a call
into the module must fit in it, or the process dies where plain Python goes
on."""

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# Each level of an lru_cache'd recursion (a C frame per level, so the C stack
# runs out) logs in one of these ways.
LEVEL_BODIES = {
    "trace log": "trace.log('level %d' % n)",
    "trace scope": "with StlLogger('level %d' % n): pass",
    "trace scope around the recursion": "with StlLogger('level %d' % n): return fib_body(n)",
    "console print": "StdoutLogger.print('level %d' % n)",
    "console print with invoker": "StdoutLogger.print('level %d' % n, 'worker')",
    "console log": "console.log('level %d' % n)",
    "console scope": "with StdoutLogger('level %d' % n): pass",
}

PROGRAM = """
import functools, sys
from _py_vorn import StdoutLogger, StlLogger
sys.setrecursionlimit(10**6)
trace = StlLogger("outer")
console = StdoutLogger("outer")

def fib_body(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)

@functools.lru_cache(maxsize=None)
def fib(n):
    {body}
    return fib_body(n)

try:
    fib(200000)
except RecursionError:
    sys.stderr.write("caught RecursionError\\n")
console.close()
trace.log("after")
trace.close()
sys.stderr.write("trace file " + trace.get_log_file_name() + "\\n")
"""


@pytest.mark.parametrize("body", LEVEL_BODIES.values(), ids=LEVEL_BODIES.keys())
def test_a_recursion_that_logs_at_every_level_ends_in_recursion_error(tmp_path, body):
    code = PROGRAM.format(body=textwrap.indent(body, " " * 4).strip())
    result = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, timeout=120,
                            env={**os.environ, "VORN_LOG_DIR": str(tmp_path / "logs")})
    assert result.returncode == 0, result.stderr[-2000:]
    assert "caught RecursionError" in result.stderr
    trace_file = result.stderr.rsplit("trace file ", 1)[1].strip()
    elements = json.loads(Path(trace_file).read_text(encoding="utf-8"))
    assert elements[0]["args"] == "outer"
    assert elements[0]["events"][-1]["args"] == "after"
