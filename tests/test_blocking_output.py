"""Output that blocks or fails: a console write that cannot go on stops only
its own thread, lines written while other threads run stay whole, and
standard output that failed and recovered prints again. Each case runs in a
child interpreter whose file descriptor 1 the test chooses."""

import os
import re
import subprocess
import sys

import pytest

# Every bound on waiting; nothing here waits for a fixed time.
BOUND = 10

STUCK_PIPE_PROGRAM = """
import os, select, sys, threading, time
from _py_vorn import StdoutLogger
started = threading.Event()

def flood():
    started.set()
    while True:
        StdoutLogger.print("x" * 60000)

threading.Thread(target=flood, daemon=True).start()
assert started.wait({bound})
# fd 1 stops being writable once the pipe is full: the flooding thread is then
# stuck in its write, and this thread must still get to run.
deadline = time.monotonic() + {bound}
while select.select([], [1], [], 0)[1]:
    assert time.monotonic() < deadline, "the pipe never filled"
with open(sys.argv[1], "w") as marker:
    marker.write(str(sum(range(10**6))))
os._exit(0)
"""


def test_a_print_stuck_on_a_full_pipe_lets_the_other_threads_run(tmp_path):
    marker = tmp_path / "marker"
    read_end, write_end = os.pipe()  # never read: the child's writes fill it
    try:
        child = subprocess.Popen([sys.executable, "-c", STUCK_PIPE_PROGRAM.format(bound=BOUND), marker],
                                 stdout=write_end, stderr=subprocess.PIPE, text=True)  # fmt: skip
        os.close(write_end)
        try:
            _, stderr = child.communicate(timeout=3 * BOUND)
        except subprocess.TimeoutExpired:
            child.kill()
            child.communicate()
            pytest.fail("the main thread stopped while another thread's print was blocked")
    finally:
        os.close(read_end)
    assert child.returncode == 0, stderr
    assert marker.read_text() == str(sum(range(10**6)))


MIXED_OUTPUT_PROGRAM = """
KINDS = KINDS_GIVEN
import ctypes, os, sys, threading
from _py_vorn import StdoutLogger, StdoutLoggerOptions
libc = ctypes.CDLL(None)
start = threading.Barrier(16)

def write(index):
    options = StdoutLoggerOptions()
    options.print_header = False
    StdoutLogger.set_options(options)
    start.wait()
    for n in range(300):
        fill = n * 37 % 6000
        kind = KINDS[(index + n) % len(KINDS)]
        if kind == "vorn":
            StdoutLogger.print(f"vorn {index} {n} {fill} " + "v" * fill)
        elif kind == "printf":
            libc.printf(b"printf %d %d %d %s\\n", index, n, fill, b"p" * fill)
        else:
            os.write(1, f"os {index} {n} {fill} {'o' * fill}\\n".encode())

threads = [threading.Thread(target=write, args=(index,)) for index in range(16)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
libc.fflush(None)
"""

MIXED_LINE = re.compile(r"(vorn|printf|os) (\d+) (\d+) (\d+) ([vpo]*)")


# Console lines among C stdio output (fully buffered: stdout is a file) and
# among direct writes. Not both at once: stdio itself may hand one of its
# lines to the file in two writes, and a direct write can come between them.
@pytest.mark.parametrize("kinds", [["vorn", "printf"], ["vorn", "os"]], ids=["printf", "os.write"])
def test_lines_of_16_threads_never_mix_with_other_output(tmp_path, kinds):
    output = tmp_path / "out"
    with output.open("wb") as stdout:
        subprocess.run([sys.executable, "-c", MIXED_OUTPUT_PROGRAM.replace("KINDS_GIVEN", repr(kinds))], stdout=stdout,
                       check=True, timeout=6 * BOUND)  # fmt: skip
    seen = set()
    for line in output.read_text().splitlines():
        match = MIXED_LINE.fullmatch(line)
        assert match, line[:200]
        kind, index, n, fill, text = match.groups()
        assert text == {"vorn": "v", "printf": "p", "os": "o"}[kind] * int(fill), line[:200]
        seen.add((int(index), int(n)))
    assert len(seen) == 16 * 300


RECOVERED_PROGRAM = """
import os, sys
from _py_vorn import StdoutLogger, StdoutLoggerOptions
options = StdoutLoggerOptions()
options.print_header = False
StdoutLogger.set_options(options)
os.dup2(os.open("/dev/full", os.O_WRONLY), 1)
for length in (10, 3000, 9000):
    StdoutLogger.print("lost " + "x" * length)
console = StdoutLogger("lost scope")
os.dup2(os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 1)
StdoutLogger.print("back")
console.log("back in a scope")
StdoutLogger.print("long " + "y" * 9000)
"""


def test_standard_output_that_failed_and_recovered_prints_again(tmp_path):
    output = tmp_path / "out"
    result = subprocess.run([sys.executable, "-c", RECOVERED_PROGRAM, output], capture_output=True,
                            text=True, timeout=BOUND)  # fmt: skip
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert output.read_text().splitlines() == ["back", "back in a scope", "long " + "y" * 9000]
