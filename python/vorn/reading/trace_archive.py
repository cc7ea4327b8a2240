"""Trace files packed into one archive, with their identities.

A trace file's identity lives in an extended attribute, which plain copies
(cp, scp, most uploads) drop. ``python -m vorn pack`` puts the files into a
gzip-compressed tar archive whose members carry the attribute as the pax
header ``SCHILY.xattr.user.vorn.trace``, the key GNU tar --xattrs uses, so
``tar --xattrs -xf`` restores it too. Members are laid out as in a trace
root, ``vorn/<host>/<file>``.

Each trace file's companion of precise times (stl_7.times beside
stl_7.log) goes in too, under its trace member's name with ".times" for
".log", and comes out beside the extracted trace file under the matching
name, where the reader looks for it.

Every tool takes such an archive where it takes a trace file or directory:
opened_trace_files extracts the members into a temporary directory, removed
when the tool is done, and takes each identity from its pax header, never
from the extracted file (a temporary directory may refuse attributes).
An archive is not trusted: only regular members are taken (no links,
devices or sparse members), a member's name never makes a path, and what
all archives of one command may unpack is capped (VORN_UNPACK_LIMIT bytes,
4 GiB by default), since a few hundred compressed bytes can stand for
gigabytes.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import io
import os
import tarfile
import tempfile
import zlib
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Final

from vorn.reading.precise_times import companion_path
from vorn.reading.terminal_text import printable
from vorn.reading.trace_files import COMPANION_SUFFIX, TraceFile, find_trace_files
from vorn.reading.trace_files import _order as _file_order
from vorn.reading.trace_identity import PAX_KEY, checked_identity, read_identity_bytes

__all__ = ["UNPACK_LIMIT_VARIABLE", "TraceSource", "file_key", "is_trace_archive", "opened_sources", "opened_trace_files",
           "opened_trace_sources"]  # fmt: skip

UNPACK_LIMIT_VARIABLE: Final = "VORN_UNPACK_LIMIT"
DEFAULT_UNPACK_LIMIT: Final = 4 * 1024**3
_CHUNK: Final = 1024 * 1024


@dataclass(frozen=True)
class TraceSource:
    """A trace file found or unpacked, and its identity attribute as the
    writer stored it (None without one). Tools that need the whole
    identity (the thread id, the command line) parse `attribute`: a
    TraceFile keeps only what the viewers show."""

    trace: TraceFile
    attribute: bytes | None


# How tar archives begin: compressed by gzip, bzip2, xz or zstd, or plain
# (the ustar magic at offset 257). Told by their first bytes, so that a cut
# or damaged archive is still taken for one, and reported as such.
_COMPRESSED_MAGIC: Final = (b"\x1f\x8b", b"BZh", b"\xfd7zXZ\x00", b"\x28\xb5\x2f\xfd")


def is_trace_archive(path: str | os.PathLike[str]) -> bool:
    """True for a file that is a tar archive (compressed or not); trace
    files are JSON text and begin with "["."""
    path = Path(path)
    if not path.is_file() or path.name.endswith(".log"):
        return False
    with open(path, "rb") as stream:
        head = stream.read(262)
    return head.startswith(_COMPRESSED_MAGIC) or head[257:262] == b"ustar"


@contextlib.contextmanager
def opened_trace_files(paths: Iterable[str | os.PathLike[str]], run: str | None = "all",
                       command: str = "") -> Iterator[list[TraceFile]]:  # fmt: skip
    """The trace files under `paths`, as find_trace_files finds them, and
    those inside the archives among `paths`, readable until the block ends,
    of the run `run` names (vorn.reading.runs.select_run: None for the latest,
    "all" for every file), with one line on standard error, headed by
    `command`, naming the runs left out. Finding none raises ValueError
    naming `paths`."""
    paths = list(paths)
    with _sources(paths) as sources:
        yield _of_run([source.trace for source in sources], run, command)


@contextlib.contextmanager
def opened_sources(
    paths: Iterable[str | os.PathLike[str]], run: str | None = "all", command: str = "",
) -> Iterator[tuple[list[TraceFile], set[tuple[int, int]]]]:
    """opened_trace_files, and the device and inode of every file found
    (the trace files of every run and the archives given), which no output
    may be."""
    paths = list(paths)
    with _sources(paths) as sources:
        yield _of_run([source.trace for source in sources], run, command), _input_keys(paths, sources)


def _of_run(files: list[TraceFile], run: str | None, command: str) -> list[TraceFile]:
    if run == "all":
        return files
    from vorn.reading.runs import take_run

    return take_run(files, run, command)


@contextlib.contextmanager
def opened_trace_sources(
    paths: Iterable[str | os.PathLike[str]],
) -> Iterator[tuple[list[TraceSource], set[tuple[int, int]]]]:
    """opened_sources, with each file's raw identity attribute (from the
    archive's pax header for a packed file, never from the extracted copy)."""
    paths = list(paths)
    with _sources(paths) as sources:
        yield sources, _input_keys(paths, sources)


def file_key(path: str | os.PathLike[str]) -> tuple[int, int] | None:
    """The device and inode of `path` (links followed), None when absent."""
    try:
        info = os.stat(path)
    except (FileNotFoundError, NotADirectoryError):
        return None
    return info.st_dev, info.st_ino


def _input_keys(paths: list[str | os.PathLike[str]], sources: list[TraceSource]) -> set[tuple[int, int]]:
    """The device and inode of the trace files read and of the archives given."""
    keys = {file_key(source.trace.path) for source in sources}
    keys |= {file_key(path) for path in paths if is_trace_archive(path)}
    return {key for key in keys if key is not None}


@contextlib.contextmanager
def _sources(paths: list[str | os.PathLike[str]]) -> Iterator[list[TraceSource]]:
    with contextlib.ExitStack() as cleanup:
        sources: list[TraceSource] = []
        plain: list[str | os.PathLike[str]] = []
        budget = _Budget(_unpack_limit())
        for given in paths:
            if is_trace_archive(given):
                directory = Path(cleanup.enter_context(tempfile.TemporaryDirectory(prefix="vorn-")))
                sources += _extract(Path(given), directory, budget)
            else:
                plain.append(given)
        found = find_trace_files(plain, skip_non_traces=True)
        sources += [TraceSource(trace, read_identity_bytes(trace.path)) for trace in found]
        if not sources:
            named = ", ".join(os.fspath(path) for path in paths)
            raise ValueError(f"no trace files (*.log) in {named}")
        sources.sort(key=lambda source: _file_order(source.trace))
        yield sources


def _unpack_limit() -> int:
    text = os.environ.get(UNPACK_LIMIT_VARIABLE) or str(DEFAULT_UNPACK_LIMIT)
    try:
        limit = int(text)
    except ValueError:
        limit = -1
    if limit < 0:
        raise ValueError(f"{UNPACK_LIMIT_VARIABLE}={printable(text)}: not a number of bytes")
    return limit


class _Budget:
    """What the archives of one command may still unpack, in bytes."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.left = limit

    def take(self, size: int, where: str) -> None:
        if size > self.left:
            raise ValueError(f"{where}: unpacking it would pass the limit of {self.limit} bytes for the "
                             f"archives read; set {UNPACK_LIMIT_VARIABLE} to a larger number of bytes "
                             "to allow more")  # fmt: skip
        self.left -= size


def _extract(archive_path: Path, directory: Path, budget: _Budget) -> list[TraceSource]:
    """The archive's trace files, each written under `directory` by a path
    made here (a member's own name is never trusted as a path)."""
    try:
        with tarfile.open(archive_path, "r:*") as archive:
            return _extract_members(archive, archive_path, directory, budget)
    except (tarfile.TarError, EOFError, zlib.error) as error:
        # A cut or corrupt archive: one line naming it, like a bad trace.
        raise ValueError(f"{archive_path}: not a readable archive: {error}") from None


def _extract_members(archive: tarfile.TarFile, archive_path: Path, directory: Path,
                     budget: _Budget) -> list[TraceSource]:  # fmt: skip
    sources = []
    targets: dict[str, Path] = {}  # a trace member's name => where it was written
    companions: list[tuple[str, Path]] = []  # the trace member's name each belongs to, and where it waits
    for index, member in enumerate(archive):
        name = PurePosixPath(member.name)
        companion = name.name.endswith(COMPANION_SUFFIX)
        if not member.isfile() or not (name.name.endswith(".log") or companion):
            continue
        where = f"{archive_path}:{member.name}"
        if member.issparse():
            # Its holes would be written out: a few bytes may stand for gigabytes.
            raise ValueError(f"{where}: a sparse member, which trace archives never hold")
        budget.take(member.size, where)
        if companion:
            target = directory / "times" / str(index)
            companions.append((str(name.with_name(name.name[: -len(COMPANION_SUFFIX)] + ".log")), target))
        else:
            host = name.parent.name
            target = directory / str(index) / (host if host not in ("", ".", "..") else "_") / name.name
            targets[str(name)] = target
        target.parent.mkdir(parents=True, exist_ok=True)
        _copy_member(archive, member, target, where)
        if companion:
            continue
        value = member.pax_headers.get(PAX_KEY)
        attribute = None if value is None else value.encode("utf-8", "surrogateescape")
        identity = checked_identity(attribute, where)
        trace = dataclasses.replace(TraceFile.with_identity(target, identity), host=host)
        sources.append(TraceSource(trace, attribute))
    for trace_name, waiting in companions:
        beside = targets.get(trace_name)
        place = None if beside is None else companion_path(beside)
        if place is not None:
            waiting.replace(place)
    return sources


def _copy_member(archive: tarfile.TarFile, member: tarfile.TarInfo, target: Path, where: str) -> None:
    """Writes the member's data to `target`, never more than its size."""
    stream = archive.extractfile(member)
    if stream is None:  # pragma: no cover: regular members always have data
        raise OSError(errno.EIO, "unreadable member", where)
    left = member.size
    with stream, open(target, "xb") as copy:
        while left > 0:
            chunk = stream.read(min(left, _CHUNK))
            if not chunk:
                break
            copy.write(chunk)
            left -= len(chunk)
