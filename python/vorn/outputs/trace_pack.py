"""python -m vorn pack: trace files (archives included) and their companions
of precise times as one gzip-compressed tar archive, each file's identity
in its member's pax header, so that the files can be read elsewhere."""

from __future__ import annotations

import io
import os
import stat
import tarfile
from collections.abc import Iterable
from pathlib import Path

from vorn.outputs.output_file import written_output
from vorn.reading.precise_times import companion_path
from vorn.reading.trace_archive import TraceSource, opened_trace_sources
from vorn.reading.trace_files import COMPANION_SUFFIX, TraceFile
from vorn.reading.trace_identity import PAX_KEY

__all__ = ["pack"]


def pack(paths: Iterable[str | os.PathLike[str]], output: str | os.PathLike[str]) -> int:
    """Writes the trace files under `paths` (archives included) into the
    gzip-compressed tar archive `output`, whole or not at all (a device or
    pipe is written directly); returns how many files it holds. An output
    that is one of the inputs raises ValueError."""
    paths = list(paths)
    with opened_trace_sources(paths) as (sources, inputs):
        with written_output(output, inputs, binary=True) as stream:
            with tarfile.open(fileobj=stream, mode="w|gz", format=tarfile.PAX_FORMAT) as archive:
                taken: set[str] = set()
                for source in sources:
                    name = _member_name(source.trace, taken)
                    _add(archive, source, name)
                    _add_companion(archive, source.trace.path, name)
        return len(sources)


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


def _add_companion(archive: tarfile.TarFile, trace: Path, name: str) -> None:
    """Adds the companion of precise times of `trace`, if it has one that
    is a regular file (never through a link), as the member beside `name`."""
    companion = companion_path(trace)
    if companion is None or not name.endswith(".log"):
        return
    try:
        descriptor = os.open(companion, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return  # none, or a link: the trace goes without precise times
    with open(descriptor, "rb") as stream:
        if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
            return
        info = archive.gettarinfo(arcname=name[:-4] + COMPANION_SUFFIX, fileobj=stream)
        # Read whole first: its writer cuts it to its entries when its thread
        # ends, and a member must hold as many bytes as its header says.
        # Eight bytes per record: small beside the trace itself.
        data = stream.read()
    info.size = len(data)
    archive.addfile(info, io.BytesIO(data))
