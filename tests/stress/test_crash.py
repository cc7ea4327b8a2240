"""SIGKILL at random moments: whatever the kill interrupts, the trace file
holds every record written before it, intact, except the one record the
writer holds back as pending, and closing its open brackets recovers them.
Only the operation the kill lands in may be torn, and nothing after it is
there."""

import bisect
import itertools
import mmap
import os
import random
import signal
import struct
import subprocess
import sys
import time
from pathlib import Path

from conftest import run_in_fresh_thread, trace_path

from .support import event_tokens, read_tolerantly, stress_count

from .trace_program import closing, operations, perform, visible_after

WORKER = Path(__file__).with_name("crash_worker.py")
MOST_OPERATIONS = 100_000  # the worker gives up after this many
PATIENCE_S = 120  # for a worker that never reaches its target


def kill_after(counter, process, target, spin):
    """Waits (busily, watching the shared counter) until the worker has
    returned from `target` operations, lets it run for `spin` more turns of
    this loop, and kills it."""
    deadline = time.monotonic() + PATIENCE_S
    while struct.unpack_from("<Q", counter)[0] < target:
        assert process.poll() is None, "the worker ended before it was killed"
        assert time.monotonic() < deadline, "the worker stalled"
    for _ in range(spin):
        pass
    process.send_signal(signal.SIGKILL)


def check_file(path, ops, done, context):
    """The file holds all the records the first `done` operations wrote and
    at most what the next one wrote. Returns whether that one is torn."""
    found = event_tokens(read_tolerantly(path))
    returned = event_tokens(visible_after(ops[:done]))
    with_next = event_tokens(visible_after(ops[: done + 1]))
    assert found[: len(returned)] == returned, f"{context}: a record written before it is lost"
    assert with_next[: len(found)] == found, f"{context}: a record is not what was traced"
    return found not in (returned, with_next)


def test_every_record_but_the_pending_one_survives_sigkill(tmp_path, capsys):
    kills = stress_count("VORN_STRESS_KILLS", 30)
    rng = random.Random(20240611)
    operations_done, torn = [], 0
    for kill in range(kills):
        root = tmp_path / f"kill{kill}"
        counter_path = tmp_path / f"counter{kill}"
        counter_path.write_bytes(bytes(8))
        with open(counter_path, "r+b") as counter_file:
            counter = mmap.mmap(counter_file.fileno(), 8)
        seed, target = kill, rng.randrange(1, 3000)
        process = subprocess.Popen(
            [sys.executable, str(WORKER), str(counter_path), str(seed), str(MOST_OPERATIONS)],
            env={**os.environ, "VORN_LOG_DIR": str(root)},
        )
        try:
            kill_after(counter, process, target, rng.randrange(5000))
        finally:
            process.kill()
            process.wait()
        assert process.returncode == -signal.SIGKILL
        done = struct.unpack_from("<Q", counter)[0]
        # The kill lands after `done` operations returned, in the next one
        # (or after it returned, before the counter went up).
        ops = list(itertools.islice(operations(seed), done + 1))
        torn += check_file(trace_path(root, process.pid), ops, done, f"kill {kill}")
        operations_done.append(done)
    with capsys.disabled():
        print(f"\n{kills} SIGKILLs survived after {min(operations_done)} to "
              f"{max(operations_done)} operations ({torn} in the middle of a write): "
              "every record but the pending one recovered")


def test_a_file_cut_at_any_byte_keeps_every_record_written_before_the_cut(trace_root):
    """What a kill inside a write leaves, for writes of every kind: the
    file's bytes up to any offset hold every record of the operations whose
    writes lie before it (but the pending one) and nothing else."""
    ops = list(itertools.islice(operations(seed=99), 400))
    ops += closing(ops)

    def trace():
        scopes, ends = [], []
        first = None
        for op in ops:
            perform(op, scopes)
            first = first or scopes[0]
            ends.append(os.path.getsize(first.log_file_name))
        return first.log_file_name, ends

    path, ends = run_in_fresh_thread(trace)
    data = Path(path).read_bytes()
    rng = random.Random(5)
    near_ends = {end - back for end in ends for back in range(4) if end >= back}
    cut_file = trace_root / "cut.log"
    for cut in sorted(near_ends | set(rng.sample(range(len(data) + 1), 300))):
        cut_file.write_bytes(data[:cut])
        # bisect: the operations whose writes all lie before the cut
        check_file(cut_file, ops, bisect.bisect_right(ends, cut), f"cut at {cut}")
