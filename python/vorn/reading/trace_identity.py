"""Who wrote a trace file, and when its clock started.

Each trace file carries one extended attribute, ``user.vorn.trace``, set by
the writer when the file is opened: a compact JSON object naming the
process (pid, its start time in clock ticks since boot, parent pid, command
line), the thread (id, system name and Python's name for it), the host and
the clock origin, the Unix milliseconds every time in the file counts from:

    {"version":1,"pid":4242,"start":987654,"ppid":1000,"tid":4243,
     "thread_name":"request-handler","python_thread_name":"request-handler-7",
     "cmdline":["python3.14","app.py","-v"],
     "host":"vm","clock_origin_ms":1765200000123,"pidns":4026531836,
     "boot_id":"0f6f2c59-...","file_id":"9c1e0d4b7a2f6e31"}

"thread_name" is the system's name, at most 15 bytes (the main thread's is
the program's); "python_thread_name", threading's name for the thread, is
left out for threads Python did not start. A TraceIdentity's thread_name is
Python's name where the file has one, the system's otherwise.

"pidns" (the inode of the writer's pid namespace), "boot_id" (the kernel's
boot id), "file_id" (random, one per file) and "python_thread_name" came
later: older files lack them. A pid and start time name one process only within one pid namespace
of one boot, and a file's name (its sibling number) can change while it is
being written; file_id stays with the file.

A file copied without its attributes, written before they existed, or kept
on a file system that refuses them has none: it reads as having no identity.
So does an attribute that is not what the writer writes (not JSON, fields
missing, mistyped or out of range), with one warning line naming the file.
"""

from __future__ import annotations

import json
import os
import re
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from typing import Any, Final, Protocol

from vorn.reading.terminal_text import printable

__all__ = [
    "ATTRIBUTE",
    "PAX_KEY",
    "TraceIdentity",
    "checked_identity",
    "display_name",
    "identity_fields",
    "iso_time",
    "parse_identity",
    "process_key",
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
# The writer's value is at most 1024 bytes; an archive's pax header could
# hold anything.
MAX_ATTRIBUTE: Final = 64 * 1024
# What each number may be. Pids and thread ids are positive 32-bit values on
# Linux (pid_max is at most 2**22); start ticks and namespace inodes are
# unsigned 64-bit; a clock origin must be a time datetime can show (up to
# 9999-12-31T23:59:59.999Z).
_NUMBERS: Final = {
    "pid": (0, 2**31 - 1),
    "start": (0, 2**64 - 1),
    "ppid": (0, 2**31 - 1),
    "tid": (0, 2**31 - 1),
    "clock_origin_ms": (0, 253402300799999),
}
_PIDNS_RANGE: Final = (0, 2**64 - 1)
_BOOT_ID: Final = re.compile(r"[0-9A-Za-z-]{1,64}")
_FILE_ID: Final = re.compile(r"[0-9a-f]{16}")
# Files whose attribute was reported unreadable, so each is named once.
_warned: set[str] = set()


@dataclass(frozen=True)
class TraceIdentity:
    pid: int
    start: int
    ppid: int
    tid: int
    thread_name: str  # Python's name for the thread where known, else the system's
    cmdline: tuple[str, ...]
    host: str
    clock_origin_ms: int
    pidns: int | None = None  # inode of the writer's /proc/self/ns/pid
    boot_id: str | None = None  # /proc/sys/kernel/random/boot_id when written
    file_id: str | None = None  # 16 hex digits, random, one per trace file
    system_thread_name: str | None = None  # at most 15 bytes; the main thread's is the program's

    @property
    def process(self) -> str:
        return display_name(self.cmdline)


class _ProcessFields(Protocol):
    @property
    def host(self) -> str: ...
    @property
    def pid(self) -> int | None: ...
    @property
    def start(self) -> int | None: ...
    @property
    def pidns(self) -> int | None: ...
    @property
    def boot_id(self) -> str | None: ...


def process_key(who: _ProcessFields) -> tuple[object, ...]:
    """What names one process, for a TraceIdentity or a TraceFile: host,
    pid and start time (a pid comes back, not with the same start), and,
    where the writer recorded them, its pid namespace and boot (two
    containers of one host name can each run pid 2 started at the same
    tick). Without either of those the key is what it was before they
    existed, so that older files keep their ids."""
    if who.pidns is None and who.boot_id is None:
        return (who.host, who.pid, who.start)
    return (who.host, who.pid, who.start, who.pidns, who.boot_id)


_FILE_FIELDS: Final = ("pid", "process", "start", "ppid", "thread_name", "clock_origin_ms", "tid", "pidns",
                       "boot_id", "file_id")  # fmt: skip


def identity_fields(identity: TraceIdentity | None) -> dict[str, Any]:
    """What a TraceFile records of `identity`: every field None without one."""
    if identity is None:
        return dict.fromkeys(_FILE_FIELDS)
    return {name: getattr(identity, name) for name in _FILE_FIELDS}


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
    """The identity of the file at `path`: checked_identity of its attribute."""
    return checked_identity(read_identity_bytes(path), os.fspath(path))


def checked_identity(raw: bytes | str | None, where: str) -> TraceIdentity | None:
    """parse_identity(raw), but a value that is not what the writer writes
    is also reported, once per `where` (the file's name), on one line of
    standard error. A value of another version is left alone quietly: a
    later writer's, which this reader does not claim to know."""
    if raw is None:
        return None
    found = _parsed(raw)
    if isinstance(found, str):
        if where not in _warned:
            _warned.add(where)
            print(f"python -m vorn: {printable(where)}: {found}; read without its identity", file=sys.stderr)
        return None
    return found


def parse_identity(raw: bytes | str) -> TraceIdentity | None:
    """The identity an attribute value holds; None for a value this reader
    does not understand (another version, missing, mistyped or out of range
    fields), so that such a file still reads, only without alignment."""
    found = _parsed(raw)
    return found if isinstance(found, TraceIdentity) else None


def _parsed(raw: bytes | str) -> TraceIdentity | str | None:
    """The identity; None for another version; what is wrong, otherwise."""
    wrong = "an unreadable user.vorn.trace attribute"
    if len(raw) > MAX_ATTRIBUTE:
        return f"{wrong} (longer than {MAX_ATTRIBUTE} bytes)"
    try:
        value: Any = json.loads(raw)
    except (ValueError, RecursionError):
        # RecursionError: thousands of nested brackets.
        return f"{wrong} (not JSON)"
    if not isinstance(value, dict):
        return f"{wrong} (not a JSON object)"
    version = value.get("version")
    if type(version) is int and version != 1:
        return None
    if type(version) is not int or not all(_in_range(value.get(key), *bounds) for key, bounds in _NUMBERS.items()):
        return f"{wrong} (a number missing or out of range)"
    texts = (value.get("thread_name"), value.get("host"))
    cmdline = value.get("cmdline")
    if not all(isinstance(text, str) for text in texts) or not isinstance(cmdline, list):
        return f"{wrong} (a text missing)"
    if not all(isinstance(argument, str) for argument in cmdline):
        return f"{wrong} (a command line that is not all text)"
    python_thread_name = value.get("python_thread_name")
    if not (python_thread_name is None or isinstance(python_thread_name, str)):
        return f"{wrong} (a Python thread name that is not text)"
    pidns, boot_id, file_id = value.get("pidns"), value.get("boot_id"), value.get("file_id")
    if not (pidns is None or _in_range(pidns, *_PIDNS_RANGE)):
        return f"{wrong} (a pid namespace out of range)"
    if not (boot_id is None or (isinstance(boot_id, str) and _BOOT_ID.fullmatch(boot_id))):
        return f"{wrong} (a malformed boot id)"
    if not (file_id is None or (isinstance(file_id, str) and _FILE_ID.fullmatch(file_id))):
        return f"{wrong} (a malformed file id)"
    return TraceIdentity(
        pid=value["pid"],
        start=value["start"],
        ppid=value["ppid"],
        tid=value["tid"],
        thread_name=python_thread_name or value["thread_name"],
        cmdline=tuple(cmdline),
        host=value["host"],
        clock_origin_ms=value["clock_origin_ms"],
        pidns=pidns,
        boot_id=boot_id,
        file_id=file_id,
        system_thread_name=value["thread_name"],
    )


def _in_range(value: object, low: int, high: int) -> bool:
    return type(value) is int and low <= value <= high


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
