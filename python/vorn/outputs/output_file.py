"""Writing an output file whole, or straight into a device or pipe.

A regular file is replaced whole or not at all: the output goes to a
temporary file made with a fresh random name in the target's directory
(never a fixed name beside it, which a planted symlink could redirect) and
then takes the target's place. A target that is not a regular file (a
terminal, /dev/null, /dev/stdout, a named pipe) is written directly: it
cannot be replaced, and replacing /dev/null with a regular file would
break the system. A target that is one of the inputs is refused before
anything is written, since the output would destroy what it is read from.
"""

from __future__ import annotations

import contextlib
import io
import os
import stat
import sys
import tempfile
from collections.abc import Iterator
from typing import IO, Any

__all__ = ["MissingOutputDirectory", "written_output"]


class MissingOutputDirectory(ValueError):
    """The directory that should hold the output does not exist."""


@contextlib.contextmanager
def written_output(output: str | os.PathLike[str], inputs: set[tuple[int, int]],
                   binary: bool = False) -> Iterator[IO[Any]]:  # fmt: skip
    """A stream to write `output` through ("-": standard output). Raises
    ValueError when `output` is one of the files whose keys are `inputs`,
    MissingOutputDirectory when its directory does not exist."""
    target = os.fspath(output)
    if target == "-":
        yield sys.stdout.buffer if binary else sys.stdout
        return
    directory = os.path.dirname(target) or "."
    if not os.path.isdir(directory):
        raise MissingOutputDirectory(f"{target}: the output directory {directory} does not exist")
    try:
        info: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        info = None
    if info is not None and (info.st_dev, info.st_ino) in inputs:
        raise ValueError(f"{target}: the output is one of the inputs; name another output file")
    if info is not None and not stat.S_ISREG(info.st_mode):
        with _stream(open(target, "wb"), binary) as stream:
            yield stream
        return
    descriptor, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(target)}.", suffix=".tmp")
    try:
        # mkstemp makes the file private; give it the mode the target had,
        # or the one a newly created file would get.
        os.fchmod(descriptor, stat.S_IMODE(info.st_mode) if info is not None else 0o666 & ~_umask())
        with _stream(os.fdopen(descriptor, "wb"), binary) as stream:
            yield stream
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _stream(raw: IO[bytes], binary: bool) -> IO[Any]:
    """`raw`, or UTF-8 text with "\n" line ends written through it."""
    return raw if binary else io.TextIOWrapper(raw, encoding="utf-8", newline="\n")


def _umask() -> int:
    """The process's umask, read without changing it (os.umask would, for
    a moment, for every thread)."""
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    return 0o022
