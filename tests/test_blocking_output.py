"""Output that blocks or fails: a console write that cannot go on stops only
its own thread, lines written while other threads run stay whole, and
standard output that failed and recovered prints again. Each case runs in a
child interpreter whose file descriptor 1 the test chooses."""

import os
import re
import select
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


# Child helpers: fill the pipe on fd 1, and wait until a thread is in its
# write system call (read from /proc, by the call's number).
PIPE_HELPERS = """
import fcntl, os, platform, threading, time
WRITE_CALLS = {{"x86_64": ("1", "20"), "aarch64": ("64", "66")}}[platform.machine()]

def fill_stdout():
    flags = fcntl.fcntl(1, fcntl.F_GETFL)
    fcntl.fcntl(1, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    try:
        while True:
            os.write(1, b"f" * 4096)
    except BlockingIOError:
        pass
    fcntl.fcntl(1, fcntl.F_SETFL, flags)

def wait_until_writing(native_id):
    deadline = time.monotonic() + {bound}
    while time.monotonic() < deadline:
        with open(f"/proc/self/task/{{native_id}}/syscall") as call:
            if call.read().split()[0] in WRITE_CALLS:
                return
    raise AssertionError("the thread never blocked in its write")
""".format(bound=BOUND)


def start_on_a_pipe_nobody_reads(program, *arguments):
    """The child runs with fd 1 a pipe that it fills and that only
    finish_reading drains; returns it and the pipe's read end."""
    read_end, write_end = os.pipe()
    env = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}  # stdio buffers
    child = subprocess.Popen([sys.executable, "-c", PIPE_HELPERS + program, *arguments], stdout=write_end,
                             stderr=subprocess.PIPE, env=env)  # fmt: skip
    os.close(write_end)
    return child, read_end


def first_report(child):
    """The child's first line on stderr, waited for a bounded time."""
    report = b""
    while not report.endswith(b"\n"):
        if not select.select([child.stderr], [], [], BOUND)[0]:
            child.kill()
            child.wait()
            pytest.fail(f"no report from the child; so far {report!r}")
        piece = os.read(child.stderr.fileno(), 1)
        assert piece, report
        report += piece
    return report.decode().strip()


def finish_reading(child, read_end):
    """Drains the child's stdout; returns it without the fill, and the rest
    of its stderr."""
    with os.fdopen(read_end, "rb") as output:
        stdout = output.read()
    _, stderr = child.communicate(timeout=BOUND)
    assert child.returncode == 0, stderr
    return stdout.lstrip(b"f").decode(), stderr.decode()


INTERRUPTED_PROGRAM = """
import signal, sys
from _py_vorn import StdoutLogger, StdoutLoggerOptions
options = StdoutLoggerOptions()
options.print_header = sys.argv[1] == "scope"  # its message is cut: the header makes it long
StdoutLogger.set_options(options)
signal.signal(signal.SIGUSR1, lambda signum, frame: print("handled", file=sys.stderr, flush=True))
kind, length, signal_name = sys.argv[1], int(sys.argv[2]), sys.argv[3]
main = threading.get_native_id()

def interrupt():
    wait_until_writing(main)
    signal.pthread_kill(threading.main_thread().ident, getattr(signal, signal_name))

fill_stdout()
threading.Thread(target=interrupt).start()
try:
    StdoutLogger.print("m" * length) if kind == "print" else StdoutLogger("m" * length)
except KeyboardInterrupt:
    print("KeyboardInterrupt", file=sys.stderr, flush=True)
else:
    print("finished", file=sys.stderr, flush=True)
"""


# A console line waiting on a full pipe runs the signal handlers as os.write
# does: one that raises (Ctrl-C) ends the line, which has written nothing
# yet, and the exception leaves the call; after one that returns, the whole
# line follows.
@pytest.mark.parametrize("kind, length, signal_name, report, written", [
    ("print", 100, "SIGINT", "KeyboardInterrupt", ""),
    ("print", 20000, "SIGINT", "KeyboardInterrupt", ""),
    ("scope", 20000, "SIGINT", "KeyboardInterrupt", ""),
    ("print", 100, "SIGUSR1", "handled", "m" * 100 + "\n"),
    ("print", 20000, "SIGUSR1", "handled", "m" * 20000 + "\n"),
])  # fmt: skip
def test_a_signal_reaches_its_handler_while_a_console_line_waits_on_a_full_pipe(kind, length, signal_name,
                                                                                report, written):  # fmt: skip
    child, read_end = start_on_a_pipe_nobody_reads(INTERRUPTED_PROGRAM, kind, str(length), signal_name)
    assert first_report(child) == report
    stdout, stderr = finish_reading(child, read_end)
    assert stdout == written
    assert stderr == ("" if report == "KeyboardInterrupt" else "finished\n")


FORK_PROGRAM = """
import ctypes, sys, warnings
from _py_vorn import StdoutLogger, StdoutLoggerOptions
warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running

def blocked_line():
    options = StdoutLoggerOptions()
    options.print_header = False
    StdoutLogger.set_options(options)
    StdoutLogger.print("blocked line")

libc = ctypes.CDLL(None)
libc.setvbuf(ctypes.c_void_p.in_dll(libc, "stdout"), None, 0, 4096)  # _IOFBF: stdio buffers fd 1
fill_stdout()
writer = threading.Thread(target=blocked_line)
writer.start()
wait_until_writing(writer.native_id)
if os.fork() == 0:
    libc.fflush(None)  # what exit() writes of stdio's buffers
    os._exit(0)
print("forked", file=sys.stderr, flush=True)
os.wait()
writer.join()
"""


# A child forked while another thread's console line waits on a full pipe
# has nothing of that line to write, also when stdio buffers stdout.
def test_a_child_forked_while_a_line_waits_never_writes_it():
    child, read_end = start_on_a_pipe_nobody_reads(FORK_PROGRAM)
    assert first_report(child) == "forked"
    assert finish_reading(child, read_end) == ("blocked line\n", "")
