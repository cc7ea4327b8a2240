"""Trace files packed into one archive, with their identities.

A trace file's identity lives in an extended attribute, which plain copies
(cp, scp, most uploads) drop. ``python -m vorn pack`` puts the files into a
gzip-compressed tar archive whose members carry the attribute as the pax
header ``SCHILY.xattr.user.vorn.trace``, the key GNU tar --xattrs uses, so
``tar --xattrs -xf`` restores it too. Members are laid out as in a trace
root, ``vorn/<host>/<file>``.

Every tool takes such an archive where it takes a trace file or directory:
opened_trace_files extracts the members into a temporary directory, removed
when the tool is done, and takes each identity from its pax header, never
from the extracted file (a temporary directory may refuse attributes).
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import os
import shutil
import tarfile
import tempfile
import zlib
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path, PurePosixPath
from typing import Final

from vorn.output_file import file_key, written_output
from vorn.trace_files import TraceFile, find_trace_files
from vorn.trace_files import _order as _file_order
from vorn.trace_identity import PAX_KEY, identity_fields, parse_identity, read_identity_bytes

__all__ = ["TraceSource", "is_trace_archive", "opened_sources", "opened_trace_files", "opened_trace_sources", "pack"]


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
def opened_trace_files(paths: Iterable[str | os.PathLike[str]]) -> Iterator[list[TraceFile]]:
    """The trace files under `paths`, as find_trace_files finds them, and
    those inside the archives among `paths`, readable until the block ends.
    Finding none raises ValueError naming `paths`."""
    paths = list(paths)
    with _sources(paths) as sources:
        yield [source.trace for source in sources]


@contextlib.contextmanager
def opened_sources(
    paths: Iterable[str | os.PathLike[str]],
) -> Iterator[tuple[list[TraceFile], set[tuple[int, int]]]]:
    """opened_trace_files, and the device and inode of every file read
    (the trace files and the archives given), which no output may be."""
    paths = list(paths)
    with _sources(paths) as sources:
        yield [source.trace for source in sources], _input_keys(paths, sources)


@contextlib.contextmanager
def opened_trace_sources(
    paths: Iterable[str | os.PathLike[str]],
) -> Iterator[tuple[list[TraceSource], set[tuple[int, int]]]]:
    """opened_sources, with each file's raw identity attribute (from the
    archive's pax header for a packed file, never from the extracted copy)."""
    paths = list(paths)
    with _sources(paths) as sources:
        yield sources, _input_keys(paths, sources)


def pack(paths: Iterable[str | os.PathLike[str]], output: str | os.PathLike[str]) -> int:
    """Writes the trace files under `paths` (archives included) into the
    gzip-compressed tar archive `output`, whole or not at all (a device or
    pipe is written directly); returns how many files it holds. An output
    that is one of the inputs raises ValueError."""
    paths = list(paths)
    with _sources(paths) as sources:
        with written_output(output, _input_keys(paths, sources), binary=True) as stream:
            with tarfile.open(fileobj=stream, mode="w|gz", format=tarfile.PAX_FORMAT) as archive:
                taken: set[str] = set()
                for source in sources:
                    _add(archive, source, _member_name(source.trace, taken))
        return len(sources)


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
        for given in paths:
            if is_trace_archive(given):
                directory = Path(cleanup.enter_context(tempfile.TemporaryDirectory(prefix="vorn-")))
                sources += _extract(Path(given), directory)
            else:
                plain.append(given)
        found = find_trace_files(plain, skip_non_traces=True)
        sources += [TraceSource(trace, read_identity_bytes(trace.path)) for trace in found]
        if not sources:
            named = ", ".join(os.fspath(path) for path in paths)
            raise ValueError(f"no trace files (*.log) in {named}")
        sources.sort(key=lambda source: _file_order(source.trace))
        yield sources


def _extract(archive_path: Path, directory: Path) -> list[TraceSource]:
    """The archive's trace files, each written under `directory` by a path
    made here (a member's own name is never trusted as a path)."""
    try:
        with tarfile.open(archive_path, "r:*") as archive:
            return _extract_members(archive, archive_path, directory)
    except (tarfile.TarError, EOFError, zlib.error) as error:
        # A cut or corrupt archive: one line naming it, like a bad trace.
        raise ValueError(f"{archive_path}: not a readable archive: {error}") from None


def _extract_members(archive: tarfile.TarFile, archive_path: Path, directory: Path) -> list[TraceSource]:
    sources = []
    for index, member in enumerate(archive):
        name = PurePosixPath(member.name)
        if not member.isfile() or not name.name.endswith(".log"):
            continue
        host = name.parent.name
        target = directory / str(index) / (host if host not in ("", ".", "..") else "_") / name.name
        target.parent.mkdir(parents=True)
        stream = archive.extractfile(member)
        if stream is None:  # pragma: no cover: regular members always have data
            raise OSError(errno.EIO, "unreadable member", f"{archive_path}:{member.name}")
        with stream, open(target, "wb") as copy:
            shutil.copyfileobj(stream, copy)
        value = member.pax_headers.get(PAX_KEY)
        attribute = None if value is None else value.encode("utf-8", "surrogateescape")
        identity = None if attribute is None else parse_identity(attribute)
        trace = dataclasses.replace(TraceFile.of(target), host=host, **identity_fields(identity))
        sources.append(TraceSource(trace, attribute))
    return sources


def _member_name(trace: TraceFile, taken: set[str]) -> str:
    """vorn/<host>/<file>, or <n>/vorn/<host>/<file> for a second file of
    that name (two trace roots packed together)."""
    name = f"vorn/{trace.host}/{trace.path.name}"
    number = 1
    while name in taken:
        number += 1
        name = f"{number}/vorn/{trace.host}/{trace.path.name}"
    taken.add(name)
    return name


def _add(archive: tarfile.TarFile, source: TraceSource, name: str) -> None:
    with open(source.trace.path, "rb") as stream:
        info = archive.gettarinfo(arcname=name, fileobj=stream)
        if source.attribute is not None:
            info.pax_headers = {PAX_KEY: source.attribute.decode("utf-8", "surrogateescape")}
        archive.addfile(info, stream)
