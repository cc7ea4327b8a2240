"""The precise times of a trace file, from its companion file.

A trace file counts whole milliseconds since its process's clock origin.
Beside it the writer keeps ``<name>.times`` (``stl_123.log`` =>
``stl_123.times``): the nanosecond of each timed record, in file order, from
the same clock reading that gave the record its millisecond.

    offset 0   8 bytes   "VORNTIME"
    offset 8   u32       format version, 1
    offset 12  u32       header size, where the entries begin (64)
    offset 16  i64       pid of the writing process
    offset 24  u64       process start (clock ticks since boot; 0 unknown)
    offset 32  i64       thread id
    offset 40  i64       clock_origin_ms
    offset 48  u64       entry count: how many entries are valid
    offset 56  u64       reserved
    offset 64  i64 ...   one entry per timed record, nanoseconds since the origin

All little-endian. The k-th timed record of the trace file (a ``ts_enter``,
``ts`` or ``ts_exit`` value, counted in file order from 0) has entry k, and
the entry's millisecond is the record's. The writer stores an entry before
it counts it, and may reserve room past the count: bytes past the count mean
nothing.

The reader pairs record k with entry k as long as that holds. A companion
that belongs to another file (its header does not match the trace file's
identity), that ends before the trace file's records do, or whose entry
disagrees with its record's millisecond is used up to there; the records
after it have no precise time, and one line on standard error names the
companion and why. A trace file without companion reads as before: no
record has a precise time.

Entries are read in blocks as the trace file is read, never all at once.
"""

from __future__ import annotations

import os
import re
import struct
import sys
from dataclasses import dataclass
from typing import BinaryIO, Final

from vorn.reading.terminal_text import printable

__all__ = ["Expected", "PreciseTimes", "companion_path", "expected_of", "open_precise_times"]

MAGIC: Final = b"VORNTIME"
VERSION: Final = 1
HEADER: Final = struct.Struct("<8sIIqQqqQQ")
ENTRY_SIZE: Final = 8
COUNT_OFFSET: Final = 48
NS_PER_MS: Final = 1_000_000
BLOCK_ENTRIES: Final = 8192  # 64 KiB read at a time

# The thread id that ends a trace file's stem, before any sibling number.
_THREAD_IN_NAME: Final = re.compile(r"(\d+)(?:\.\d+)?$")

# Companions already warned about in this process, with the reason: a tool
# may read one file several times (its first event, then all of it).
_warned: set[tuple[str, str]] = set()


def companion_path(path: str | os.PathLike[str]) -> str | None:
    """Where the companion of the trace file at `path` is: its final ".log"
    replaced by ".times" ("stl_1.2.log" => "stl_1.2.times"); None for a name
    that does not end in ".log"."""
    name = os.fspath(path)
    return name[: -len(".log")] + ".times" if name.endswith(".log") else None


@dataclass(frozen=True)
class Expected:
    """What a companion's header must say to belong to a trace file; None
    for what is not known (a file without identity)."""

    pid: int | None = None
    start: int | None = None
    tid: int | None = None
    clock_origin_ms: int | None = None


def expected_of(path: str | os.PathLike[str], identity: object = None) -> Expected:
    """The header a companion of the trace file at `path` must have: from
    `identity` (anything with pid, start, tid or clock_origin_ms, such as a
    TraceIdentity or a TraceFile; read from the file's attribute when not
    given), the thread id from the file's name where the identity has none."""
    if identity is None:
        from vorn.reading.trace_identity import read_identity

        identity = read_identity(path)
    tid = getattr(identity, "tid", None)
    if tid is None:
        match = _THREAD_IN_NAME.search(os.path.basename(os.fspath(path)).removesuffix(".log"))
        tid = int(match.group(1)) if match else None
    return Expected(getattr(identity, "pid", None), getattr(identity, "start", None), tid,
                    getattr(identity, "clock_origin_ms", None))  # fmt: skip


class PreciseTimes:
    """Hands out the precise times of one trace file's timed records, in
    file order: take(ms) for each record, with the record's millisecond,
    gives its nanoseconds since the clock origin, or None once the
    companion has stopped matching (and for every record after that)."""

    __slots__ = ("_block", "_count", "_index", "_name", "_stream", "_taken", "_used")

    def __init__(self, name: str, stream: BinaryIO, count: int, first: int = 0) -> None:
        self._name = name
        self._stream = stream
        self._count = count  # entries valid, as last read from the header
        self._block: tuple[int, ...] = ()
        self._index = 0  # in _block
        self._taken = first  # entries handed out (or passed over) before _block
        self._used = True

    @property
    def name(self) -> str:
        """The companion's path, for warnings."""
        return self._name

    @property
    def count(self) -> int:
        """The entries its header says are valid."""
        return self._count

    def fileno(self) -> int:
        """The companion's open descriptor, its header checked."""
        return self._stream.fileno()

    def take(self, ms: int) -> int | None:
        """The precise time of the next timed record, whose millisecond is `ms`."""
        if not self._used:
            return None
        index = self._index
        if index >= len(self._block):
            if not self._next_block():
                return None
            index = 0
        ns = self._block[index]
        self._index = index + 1
        # A negative entry (a clock set back) may have been cut towards zero
        # into its millisecond rather than down.
        if ns // NS_PER_MS != ms and not (ns < 0 and -(-ns // NS_PER_MS) == ms):
            self._stop(self._taken + index, f"entry {self._taken + index} is in millisecond "
                                            f"{ns // NS_PER_MS}, its record in millisecond {ms}")  # fmt: skip
            return None
        return ns

    def _next_block(self) -> bool:
        self._taken += len(self._block)
        self._block, self._index = (), 0
        try:
            if self._taken >= self._count:
                # The writer may have counted more since the header was read.
                self._count = max(self._count, _read_count(self._stream))
            wanted = min(BLOCK_ENTRIES, self._count - self._taken)
            if wanted > 0:
                self._stream.seek(HEADER.size + self._taken * ENTRY_SIZE)
                data = self._stream.read(wanted * ENTRY_SIZE)
                got = len(data) // ENTRY_SIZE
                self._block = struct.unpack(f"<{got}q", data[: got * ENTRY_SIZE])
        except OSError as error:
            self._stop(self._taken, f"not read further: {error.strerror or error}")
            return False
        if not self._block:
            self._stop(self._taken, f"it holds {self._taken} times, the trace file has more timed records")
            return False
        return True

    def _stop(self, used: int, reason: str) -> None:
        self._used = False
        warn(self._name, f"precise times used for the first {used} records only: {reason}")
        self.close()

    def close(self) -> None:
        self._stream.close()


def warn(name: str, reason: str) -> None:
    """One line on standard error about the companion `name`, once per reason."""
    if (name, reason) in _warned:
        return
    _warned.add((name, reason))
    print(f"python -m vorn: {printable(name)}: {printable(reason)}", file=sys.stderr)


def _read_count(stream: BinaryIO) -> int:
    stream.seek(COUNT_OFFSET)
    data = stream.read(8)
    return struct.unpack("<Q", data)[0] if len(data) == 8 else 0


def open_precise_times(path: str | os.PathLike[str], expected: Expected | None = None,
                       first: int = 0) -> PreciseTimes | None:  # fmt: skip
    """The precise times of the trace file at `path` from its companion,
    handed out from entry `first` on (a read that starts again further in);
    None when it has none, or none that belongs to it (with one warning
    line). `expected` defaults to expected_of(path)."""
    name = companion_path(path)
    if name is None:
        return None
    try:
        stream = open(name, "rb")
    except FileNotFoundError:
        return None
    except OSError as error:
        warn(name, f"not read: {error.strerror or error}")
        return None
    try:
        problem = _header_problem(stream.read(HEADER.size), expected or expected_of(path))
    except OSError as error:
        problem = f"not read: {error.strerror or error}"
    if problem is not None:
        stream.close()
        warn(name, f"precise times not used: {problem}")
        return None
    return PreciseTimes(name, stream, _read_count(stream), first)


def _header_problem(header: bytes, expected: Expected) -> str | None:
    """Why `header` is not that of a companion belonging to the trace file
    `expected` describes; None when it is."""
    if len(header) < HEADER.size or header[:8] != MAGIC:
        return "not a companion file of precise times"
    _, version, size, pid, start, tid, origin, _, _ = HEADER.unpack(header)
    if version != VERSION or size != HEADER.size:
        return f"format version {version}, header size {size}: not readable here"
    for field, found in (("pid", pid), ("start", start), ("tid", tid), ("clock_origin_ms", origin)):
        wanted = getattr(expected, field)
        if wanted is not None and wanted != found:
            return f"its {field} is {found}, the trace file's {wanted}"
    return None
