"""The tools given metadata and archives they cannot trust: a malformed
identity reads as none with one warning naming the file, an archive cannot
fill the disk, and no command ends in a traceback."""

import gzip
import io
import json
import os
import tarfile

import pytest

from conftest import identity_json, run_vorn, scope_text, write_trace
from vorn.reading.trace_files import TraceFile

NESTED = b"[" * 50_000  # deep enough to exhaust the parser's recursion, short enough to be read
# Attribute values that must read as no identity (each with a warning).
MALFORMED = [
    NESTED,
    b"[" * 200_000,
    identity_json(clock_origin_ms=10**30),
    identity_json(pid=-1),
    identity_json(start=2**64),
    identity_json(version=True),
    identity_json(pidns=-5),
    identity_json(boot_id=["x"]),
    identity_json(file_id="not hex at all!!"),
    b"\xff{",
]  # fmt: skip


def archive_of(members):
    """A .tar.gz of (name, data, pax headers or None, member type) members."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w:gz", format=tarfile.PAX_FORMAT) as archive:
        for name, data, headers in members:
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.pax_headers = headers or {}
            archive.addfile(info, io.BytesIO(data))
    return raw.getvalue()


def attribute_header(value):
    return {"SCHILY.xattr.user.vorn.trace": value.decode("utf-8", "surrogateescape")}


def test_a_malformed_identity_reads_as_none_with_one_warning_and_every_command_goes_on(tmp_path, capfd):
    root = tmp_path / "logs"
    good = scope_text("good", 0, 1)
    for number, value in enumerate(MALFORMED):
        path = root / f"vorn/vm/stl_{number}.log"
        write_trace(path, good)
        if len(value) < 4000:  # what a file system keeps as an attribute
            os.setxattr(path, "user.vorn.trace", value)
    archive = tmp_path / "bad.tar.gz"
    archive.write_bytes(archive_of([(f"vorn/vm/stl_{n}.log", b"[\n" + good.encode() + b"\n", attribute_header(value))
                                    for n, value in enumerate(MALFORMED)]))  # fmt: skip
    capfd.readouterr()
    on_disk = [TraceFile.of(path) for path in sorted(root.glob("vorn/vm/*.log"))]
    assert all(trace.pid is None and trace.clock_origin_ms is None for trace in on_disk)
    warned = capfd.readouterr().err.splitlines()
    assert len(warned) == sum(len(value) < 4000 for value in MALFORMED)
    assert all(line.startswith(f"python -m vorn: {root}/vorn/vm/stl_") and "read without its identity" in line
               for line in warned)  # fmt: skip

    for command in (["summary"], ["export", "-o", "-"], ["view", "-o", str(tmp_path / "t.html")],
                    ["pack", "-o", str(tmp_path / "again.tar.gz")]):  # fmt: skip
        result = run_vorn(*command, str(archive))
        assert result.returncode == 0 and "Traceback" not in result.stderr, result.stderr
        lines = result.stderr.splitlines()
        assert len(lines) == len(MALFORMED) and all(f"{archive}:vorn/vm/stl_" in line for line in lines)
    result = run_vorn("summary", str(root))
    assert result.returncode == 0 and "Traceback" not in result.stderr and "10 trace files" in result.stdout


def sparse_archive(size):
    """A .tar.gz of one GNU sparse member standing for `size` bytes of zeros,
    all of them a hole: a few hundred bytes once compressed."""
    info = tarfile.TarInfo("vorn/vm/stl_1.log")
    info.type = tarfile.GNUTYPE_SPARSE
    header = bytearray(info.tobuf(tarfile.GNU_FORMAT))
    header[483:495] = tarfile.itn(size, 12, tarfile.GNU_FORMAT)  # the size it stands for
    header[148:156] = b"%06o\0 " % tarfile.calc_chksums(header)[0]
    return gzip.compress(bytes(header) + bytes(1024))


def test_an_archive_cannot_fill_the_disk(tmp_path, monkeypatch):
    archive = tmp_path / "sparse.tar.gz"
    archive.write_bytes(sparse_archive(64 * 1024 * 1024))
    assert archive.stat().st_size < 400
    result = run_vorn("summary", str(archive))
    assert (result.returncode, result.stderr) == (
        1, f"python -m vorn summary: {archive}:vorn/vm/stl_1.log: a sparse member, which trace archives never hold\n")

    big = tmp_path / "big.tar.gz"
    trace = ("[\n" + scope_text("x" * 3000, 0, 1) + "\n").encode()
    big.write_bytes(archive_of([("vorn/vm/stl_1.log", trace, None), ("vorn/vm/stl_2.log", trace, None)]))
    monkeypatch.setenv("VORN_UNPACK_LIMIT", str(len(trace) * 2 - 1))
    result = run_vorn("summary", str(big))
    assert result.stderr == (f"python -m vorn summary: {big}:vorn/vm/stl_2.log: unpacking it would pass the limit "
                             f"of {len(trace) * 2 - 1} bytes for the archives read; set VORN_UNPACK_LIMIT to a "
                             "larger number of bytes to allow more\n")  # fmt: skip
    assert result.returncode == 1
    monkeypatch.setenv("VORN_UNPACK_LIMIT", str(len(trace) * 2))
    assert "2 trace files" in run_vorn("summary", str(big)).stdout
    monkeypatch.setenv("VORN_UNPACK_LIMIT", "lots")
    result = run_vorn("summary", str(big))
    assert result.stderr == "python -m vorn summary: VORN_UNPACK_LIMIT=lots: not a number of bytes\n"
