"""Who wrote a trace file, and when its clock started.

Each trace file carries one extended attribute, ``user.vorn.trace``, set by
the writer when the file is opened: a compact JSON object naming the
process (pid, its start time in clock ticks since boot, parent pid, command
line), the thread (id and system name), the host and the clock origin, the
Unix milliseconds every time in the file counts from:

    {"version":1,"pid":4242,"start":987654,"ppid":1000,"tid":4243,
     "thread_name":"worker","cmdline":["python3.14","app.py","-v"],
     "host":"vm","clock_origin_ms":1765200000123}

A file copied without its attributes, written before they existed, or kept
on a file system that refuses them has none: it reads as having no identity.
"""

from __future__ import annotations

import json
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Any, Final

__all__ = [
    "ATTRIBUTE",
    "PAX_KEY",
    "TraceIdentity",
    "display_name",
    "identity_fields",
    "iso_time",
    "parse_identity",
    "read_identity",
    "read_identity_bytes",
]

ATTRIBUTE: Final = "user.vorn.trace"
# The pax header GNU tar --xattrs uses for the same attribute, so that an
# archive made by ``python -m vorn pack`` restores it with tar too.
PAX_KEY: Final = "SCHILY.xattr." + ATTRIBUTE
DISPLAY_WIDTH: Final = 40

_PYTHON: Final = re.compile(r"python[\d.]*[dmtu]*(\.exe)?", re.IGNORECASE)
# Interpreter options that take the next argument as their value.
_OPTIONS_WITH_VALUE: Final = frozenset({"-W", "-X", "-Q"})


@dataclass(frozen=True)
class TraceIdentity:
    pid: int
    start: int
    ppid: int
    tid: int
    thread_name: str
    cmdline: tuple[str, ...]
    host: str
    clock_origin_ms: int

    @property
    def process(self) -> str:
        return display_name(self.cmdline)


def identity_fields(identity: TraceIdentity | None) -> dict[str, Any]:
    """What a TraceFile records of `identity`: every field None without one."""
    if identity is None:
        return dict.fromkeys(("pid", "process", "start", "ppid", "thread_name", "clock_origin_ms"))
    return {
        "pid": identity.pid,
        "process": identity.process,
        "start": identity.start,
        "ppid": identity.ppid,
        "thread_name": identity.thread_name,
        "clock_origin_ms": identity.clock_origin_ms,
    }


def read_identity_bytes(path: str | os.PathLike[str]) -> bytes | None:
    """The raw attribute of the file at `path`; None when it has none or
    its file system keeps no attributes."""
    try:
        return os.getxattr(path, ATTRIBUTE)
    except OSError:
        # ENODATA: none set; ENOTSUP: no attributes here; anything else
        # (a file gone meanwhile) surfaces when the file itself is read.
        return None


def read_identity(path: str | os.PathLike[str]) -> TraceIdentity | None:
    raw = read_identity_bytes(path)
    return None if raw is None else parse_identity(raw)


def parse_identity(raw: bytes | str) -> TraceIdentity | None:
    """The identity an attribute value holds; None for a value this reader
    does not understand (another version, missing or mistyped fields), so
    that such a file still reads, only without alignment."""
    try:
        value: Any = json.loads(raw)
    except ValueError:
        return None
    if not isinstance(value, dict) or value.get("version") != 1:
        return None
    numbers = ("pid", "start", "ppid", "tid", "clock_origin_ms")
    if not all(type(value.get(key)) is int for key in numbers):
        return None
    texts = (value.get("thread_name"), value.get("host"))
    cmdline = value.get("cmdline")
    if not all(isinstance(text, str) for text in texts) or not isinstance(cmdline, list):
        return None
    if not all(isinstance(argument, str) for argument in cmdline):
        return None
    return TraceIdentity(
        pid=value["pid"],
        start=value["start"],
        ppid=value["ppid"],
        tid=value["tid"],
        thread_name=value["thread_name"],
        cmdline=tuple(cmdline),
        host=value["host"],
        clock_origin_ms=value["clock_origin_ms"],
    )


def display_name(cmdline: Sequence[str], width: int = DISPLAY_WIDTH) -> str:
    """A short name for a process, from its command line: for Python, the
    script and its arguments; what Python was told to run otherwise:

        ["python3.14", "app.py", "-v"]          => "app.py -v"
        ["python3.14", "-u", "/srv/app.py"]     => "app.py"
        ["python3.14", "-m", "pkg.tool", "x"]   => "-m pkg.tool x"
        ["python3.14", "-c", "import x; ..."]   => "python3.14 -c"
        ["/usr/bin/make", "-j8"]                => "make -j8"
        []                                      => ""

    Control characters become spaces; a name longer than `width` is cut
    with an ellipsis."""
    if not cmdline:
        return ""
    program = os.path.basename(cmdline[0]) or cmdline[0]
    words = [program, *cmdline[1:]]
    if _PYTHON.fullmatch(program):
        index = 1
        while index < len(cmdline):
            argument = cmdline[index]
            if argument == "-m":
                words = list(cmdline[index:])
                break
            if argument == "-c" or (argument.startswith("-c") and not argument.startswith("--")):
                words = [program, "-c"]
                break
            if argument == "-" or not argument.startswith("-"):
                words = [os.path.basename(argument) or argument, *cmdline[index + 1 :]]
                break
            index += 2 if argument in _OPTIONS_WITH_VALUE else 1
    name = " ".join(words)
    name = "".join(" " if ord(ch) < 0x20 or 0x7F <= ord(ch) < 0xA0 else ch for ch in name)
    return name if len(name) <= width else name[: width - 1] + "…"


def iso_time(unix_ms: int) -> str:
    """Unix milliseconds as ISO 8601 UTC: 1765200000123 => "2025-12-08T13:20:00.123Z"."""
    seconds, milliseconds = divmod(unix_ms, 1000)  # no float rounding
    moment = datetime.fromtimestamp(seconds, UTC).replace(microsecond=milliseconds * 1000)
    return moment.isoformat(timespec="milliseconds").replace("+00:00", "Z")
