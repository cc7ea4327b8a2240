"""Finding trace files: single files, or whole trace directories.

Each thread writes ``<root>/vorn/<host>/<prefix><thread id>.log``, so a
file's parent directory names its host and the digits at the end of its
name its thread.
"""

from __future__ import annotations

import errno
import os
import re
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import Final

__all__ = ["TraceFile", "find_trace_files", "require_trace_files"]

_TRAILING_DIGITS: Final = re.compile(r"\d+$")


@dataclass(frozen=True)
class TraceFile:
    """One thread's trace file: its path, the host that wrote it (the name
    of its directory) and the thread (the digits that end its name:
    stl_28068.log => "28068"; the whole stem when there are none)."""

    path: Path
    host: str
    thread: str

    @classmethod
    def of(cls, path: str | os.PathLike[str]) -> TraceFile:
        path = Path(path)
        host = path.absolute().parent.name
        match = _TRAILING_DIGITS.search(path.stem)
        return cls(path=path, host=host, thread=match.group() if match else path.stem)


def find_trace_files(paths: Iterable[str | os.PathLike[str]]) -> list[TraceFile]:
    """The trace files named by `paths`: a file is taken as it is, a
    directory is searched recursively for ``*.log`` files. Each file comes
    once, sorted by host and then by thread (numerically where both are
    numbers). A path that does not exist raises FileNotFoundError."""
    found: dict[Path, TraceFile] = {}
    for given in paths:
        path = Path(given)
        if path.is_dir():
            candidates = sorted(entry for entry in path.rglob("*.log") if entry.is_file())
        elif path.exists():
            candidates = [path]
        else:
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), os.fspath(given))
        for candidate in candidates:
            found.setdefault(candidate.resolve(), TraceFile.of(candidate))
    return sorted(found.values(), key=_order)


def require_trace_files(paths: Iterable[str | os.PathLike[str]]) -> list[TraceFile]:
    """find_trace_files, but finding none raises ValueError naming `paths`."""
    paths = list(paths)
    files = find_trace_files(paths)
    if not files:
        named = ", ".join(os.fspath(path) for path in paths)
        raise ValueError(f"no trace files (*.log) in {named}")
    return files


def _order(trace: TraceFile) -> tuple[str, int, int, str, str]:
    numeric = trace.thread.isdecimal() and trace.thread.isascii()
    return (
        trace.host,
        0 if numeric else 1,
        int(trace.thread) if numeric else 0,
        trace.thread,
        str(trace.path),
    )
