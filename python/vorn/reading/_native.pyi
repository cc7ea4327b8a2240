# The native trace reader (src/reader_module): private to vorn.reading and
# the tools that read whole files. Descriptors passed in become its own.
from collections.abc import Callable
from typing import Any

# (line, reason before the text, the text, reason after it)
FormatErrorFound = tuple[int, str, bytes | None, str]

class EventBatches:
    def __init__(self, fd: int, companion_fd: int, count: int, first: int, warn: Callable[[str], None],
                 offset: int, line: int, timed: int, array_started: bool, late: bool, read_points: bool) -> None: ...
    def batch(self, limit: int) -> tuple[list[tuple[Any, ...]], FormatErrorFound | None]: ...

# (scopes, records, measured, groups, never closed, span records, records to judge)
FileTotals = tuple[int, int, bool, list[tuple[str, str, int, int, int, int, int, int, int, bytes]],
                   list[tuple[str, str, int, int, str, int | None]],
                   list[tuple[int, str, str, int, str, int | None]], list[tuple[int, str]]]

def summarize_file(fd: int, companion_fd: int, count: int,
                   warn: Callable[[str], None]) -> tuple[FileTotals | None, FormatErrorFound | None]: ...

# ("empty", "written" or "span_logger"; its last moment; its span records)
ThreadWritten = tuple[str, int | float | None, list[tuple[int | float, str, int]]]

def export_thread(fd: int, companion_fd: int, count: int, warn: Callable[[str], None], pid: int, tid: int,
                  moved: int, exact: bool, thread_name_line: bytes,
                  write: Callable[[bytes], object]) -> tuple[ThreadWritten | None, FormatErrorFound | None]: ...

# (the time of its last event in ns, None without events; its span records (ns, text, ms))
ThreadPackets = tuple[int | None, list[tuple[int, str, int]]]

def perfetto_thread(fd: int, companion_fd: int, count: int, warn: Callable[[str], None], sequence: int,
                    moved: int, exact: bool, cleared_packet: bytes, interning_limit: int,
                    write: Callable[[bytes], object]) -> tuple[ThreadPackets | None, FormatErrorFound | None]: ...

class PageLane:
    # (texts in the order the lane first used them, the indices of those that are records to judge)
    def texts(self) -> tuple[list[str], list[int]]: ...
    # (scopes, records, first, high, last, measured, depth, (scopes, records) outside, last moment, span thread)
    def extent(self) -> tuple[int, int, float | None, float | None, float | None, int, int, tuple[int, int],
                              float | None, bool]: ...
    # (position, display time, ts, invoker, file, line, args, ts_ns) of each span record
    def span_records(self) -> list[tuple[tuple[int, ...], float, int, str, str, int, str, int | None]]: ...
    # the scope and record columns as JSON, the lane's text indices turned into the page's
    def encoded(self, page_index: list[int]) -> tuple[str, str]: ...

def page_lane(fd: int, companion_fd: int, count: int, warn: Callable[[str], None], moved: int, exact: bool,
              low: float, high: float) -> tuple[PageLane | None, FormatErrorFound | None]: ...
