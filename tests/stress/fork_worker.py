"""Forks again and again while other threads trace, and reports what every
thread and child did as JSON on stdout.

    python3 fork_worker.py FORKS THREADS CHILD_TIMEOUT_S

The main thread holds a scope open across all forks, with a record pending
at every fork. Each child takes one of three ways out:
  0  traces a scope of its own and leaves with os._exit, at once;
  1  traces a scope of its own, then raises SystemExit, which closes the
     inherited scope on its way out and runs the interpreter's shutdown;
  2  logs on the inherited scope object, then exits normally.
"""

import json
import os
import random
import select
import signal
import sys
import threading
import warnings

from _py_vorn import StlLogger

# Forking a process that has threads is what this run is about.
warnings.filterwarnings("ignore", "This process", DeprecationWarning)


ROUNDS_PER_FORK = 5


class Pace:
    """Keeps the tracers a few rounds ahead of the forks, so that the files
    stay small however long a fork takes. A tracer that is ahead waits with
    two scopes open and a record pending: the state a fork must not copy."""

    def __init__(self):
        self.forks = 0
        self.stopped = False
        self.changed = threading.Condition()

    def wait_turn(self, rounds):
        with self.changed:
            self.changed.wait_for(
                lambda: self.stopped or rounds < (self.forks + 1) * ROUNDS_PER_FORK)

    def advance(self, stop=False):
        with self.changed:
            self.forks += 1
            self.stopped = stop
            self.changed.notify_all()


def tracer(name, pace, results):
    """Traces a fixed pattern of nested scopes until told to stop."""
    rounds = 0
    while not pace.stopped:
        with StlLogger(f"{name} scope {rounds}") as scope:
            scope.log(f"{name} event {rounds}.0")
            with StlLogger(f"{name} inner {rounds}") as inner:
                inner.log(f"{name} event {rounds}.1")
                pace.wait_turn(rounds)
            scope.log(f"{name} event {rounds}.2")
        rounds += 1
    results[name] = {"tid": threading.get_native_id(), "rounds": rounds}


def child(number, way, inherited):
    if way == 2:
        inherited.log(f"child {number} on the inherited scope")
        sys.exit(0)
    with StlLogger(f"child {number}") as scope:
        scope.log(f"child {number} event")
    if way == 0:
        os._exit(0)
    raise SystemExit(0)


def wait_for(pid, timeout):
    """The child's exit status, or "timeout" (after killing it) when it has
    not ended within `timeout` seconds: a child that deadlocked."""
    pidfd = os.pidfd_open(pid)
    try:
        ready, _, _ = select.select([pidfd], [], [], timeout)
    finally:
        os.close(pidfd)
    if not ready:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        return "timeout"
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


def main(forks, thread_count, timeout):
    rng = random.Random(7)
    pace = Pace()
    results = {}
    threads = [threading.Thread(target=tracer, args=(f"t{i}", pace, results))
               for i in range(thread_count)]
    for thread in threads:
        thread.start()
    children = []
    with StlLogger("main") as main_scope:
        for number in range(forks):
            main_scope.log(f"main before fork {number}")  # pending at the fork
            for _ in range(rng.randrange(20_000)):  # let the tracers move on
                pass
            way = number % 3
            pid = os.fork()
            if pid == 0:
                child(number, way, main_scope)
            children.append({"number": number, "way": way, "pid": pid,
                             "status": wait_for(pid, timeout)})
            pace.advance()
    pace.advance(stop=True)
    for thread in threads:
        thread.join()
    json.dump({"main_tid": threading.get_native_id(), "threads": results,
               "children": children}, sys.stdout)


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]))
