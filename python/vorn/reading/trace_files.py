"""Finding trace files: single files, or whole trace directories.

Each thread writes ``<root>/vorn/<host>/<prefix><thread id>.log``, so a
file's parent directory names its host and the digits at the end of its
name its thread. A thread whose usual name was taken (an ended thread of
the same process had the same id, or another live process writes there)
writes ``<prefix><thread id>.<n>.log`` with n = 2, 3, ...: the same thread
id, and the sibling number n. Where the file has an identity its thread id
comes from there, so that a prefix ending in digits and a dot ("job42.")
is never read as the thread.

Beside each trace file its writer may keep a companion of precise times,
the name with ".times" for ".log" (stl_28068.times). It is never a trace
file: directory scans look for *.log only, and a companion named among the
paths (a shell glob of a trace directory) is passed over.
"""

from __future__ import annotations

import errno
import os
import re
import sys
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import Final

from vorn.reading.terminal_text import printable
from vorn.reading.trace_identity import TraceIdentity, identity_fields, read_identity
from vorn.reading.trace_reader import begins_like_a_trace

__all__ = ["COMPANION_SUFFIX", "TraceFile", "find_trace_files", "require_trace_files"]

# The thread id that ends a stem, and the sibling number after it, if any.
_THREAD_AND_SIBLING: Final = re.compile(r"(\d+)(?:\.(\d+))?$")
# How the companion of precise times of a trace file ends (vorn.reading.precise_times).
COMPANION_SUFFIX: Final = ".times"


@dataclass(frozen=True)
class TraceFile:
    """One thread's trace file: its path, the host that wrote it (the name
    of its directory), the thread (its identity's thread id; without one,
    the digits that end its name: stl_28068.log => "28068", and so does the
    sibling stl_28068.3.log; the whole stem when there are none) and the
    sibling number (1 for the usual name, n for <prefix><thread id>.<n>.log)."""

    path: Path
    host: str
    thread: str
    sibling: int = 1
    # Who wrote the file, from its identity attribute; None each for a file
    # without one (copied without attributes, older, or on a file system
    # that keeps none).
    pid: int | None = None
    process: str | None = None  # a short display name: "app.py -v"
    start: int | None = None  # process start, clock ticks since boot
    ppid: int | None = None
    thread_name: str | None = None
    clock_origin_ms: int | None = None  # Unix ms that the file's times count from
    tid: int | None = None
    pidns: int | None = None  # the writer's pid namespace (inode), where recorded
    boot_id: str | None = None  # the boot it was written in, where recorded
    file_id: str | None = None  # random, one per file, where recorded

    @classmethod
    def of(cls, path: str | os.PathLike[str]) -> TraceFile:
        path = Path(path)
        return cls.with_identity(path, read_identity(path))

    @classmethod
    def with_identity(cls, path: Path, identity: TraceIdentity | None) -> TraceFile:
        """The TraceFile of `path` written by `identity` (None: unknown)."""
        host = path.absolute().parent.name
        match = _THREAD_AND_SIBLING.search(path.stem)
        if identity is not None:
            thread = str(identity.tid)
            sibling = _sibling_of(path.stem, thread, match)
        elif match is None:
            thread, sibling = path.stem, 1
        else:
            thread, sibling = match.group(1), int(match.group(2)) if match.group(2) else 1
        return cls(path=path, host=host, thread=thread, sibling=sibling, **identity_fields(identity))


def _sibling_of(stem: str, tid: str, match: re.Match[str] | None) -> int:
    """The sibling number of a file of thread `tid` named `stem`: as the
    name reads where its digits are that thread; else the prefix ended in
    digits and a dot ("job42.1234"), and only what follows the thread id
    counts."""
    if match is not None and match.group(1) == tid:
        return int(match.group(2)) if match.group(2) else 1
    if stem.endswith(tid):
        return 1
    after = re.search(rf"{tid}\.(\d+)$", stem)
    return int(after.group(1)) if after else 1


def find_trace_files(paths: Iterable[str | os.PathLike[str]], skip_non_traces: bool = False) -> list[TraceFile]:
    """The trace files named by `paths`: a file is taken as it is, a
    directory is searched recursively for ``*.log`` files. Each file comes
    once, sorted by host and then by thread (numerically where both are
    numbers), a thread's sibling files after its usual one, by number. A
    path that does not exist raises FileNotFoundError. With
    `skip_non_traces`, a *.log found in a directory that does not begin as
    a trace does (a program's own log beside the traces) is left out with
    one warning line on standard error; a file named itself is always
    taken, and reading it reports what is wrong."""
    found: dict[Path, TraceFile] = {}
    for given in paths:
        path = Path(given)
        if path.is_dir():
            candidates = []
            for entry in sorted(entry for entry in path.rglob("*.log") if entry.is_file()):
                if not skip_non_traces or _begins_like_a_trace(entry):
                    candidates.append(entry)
                else:
                    print(f"python -m vorn: skipping {printable(str(entry))}: not a trace file", file=sys.stderr)
        elif path.name.endswith(COMPANION_SUFFIX) and path.is_file():
            candidates = []  # a companion of precise times, read with its trace file
        elif path.exists():
            if not path.is_file():
                # A named pipe or a device would hang the reader or never end.
                raise OSError(errno.EINVAL, "not a regular file", os.fspath(given))
            candidates = [path]
        else:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(given))
        for candidate in candidates:
            found.setdefault(candidate.resolve(), TraceFile.of(candidate))
    return sorted(found.values(), key=_order)


def _begins_like_a_trace(path: Path) -> bool:
    """A trace file is empty (its thread has not written yet), begins with
    the "[" of its array, or, opened late, with a line the writer writes."""
    try:
        with open(path, "rb") as stream:
            head = stream.read(64)
    except OSError:
        return True  # reading it later reports the error
    return begins_like_a_trace(head)


def require_trace_files(paths: Iterable[str | os.PathLike[str]]) -> list[TraceFile]:
    """find_trace_files, but finding none raises ValueError naming `paths`."""
    paths = list(paths)
    files = find_trace_files(paths)
    if not files:
        named = ", ".join(os.fspath(path) for path in paths)
        raise ValueError(f"no trace files (*.log) in {named}")
    return files


def _order(trace: TraceFile) -> tuple[str, int, int, str, int, str]:
    numeric = trace.thread.isdecimal() and trace.thread.isascii()
    return (
        trace.host,
        0 if numeric else 1,
        int(trace.thread) if numeric else 0,
        trace.thread,
        trace.sibling,
        str(trace.path),
    )
