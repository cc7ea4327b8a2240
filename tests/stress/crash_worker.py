"""Traces the operations of trace_program with the given seed until it is
killed, recording in a shared counter file how many have returned.

    python3 crash_worker.py COUNTER_FILE SEED MAX_OPERATIONS
"""

import itertools
import mmap
import struct
import sys

from trace_program import operations, perform


def main(counter_path, seed, limit):
    with open(counter_path, "r+b") as counter_file:
        counter = mmap.mmap(counter_file.fileno(), 8)
    scopes = []
    for done, op in enumerate(itertools.islice(operations(seed), limit), start=1):
        perform(op, scopes)
        # A store into shared memory survives SIGKILL and costs no system
        # call, so the kill can land anywhere inside the tracing.
        struct.pack_into("<Q", counter, 0, done)
    sys.exit(3)  # never killed: the parent waited too long


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]))
