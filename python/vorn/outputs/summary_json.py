"""The summary as one JSON object (summary --format json), for programs.

    {
      "trace_files": 3, "scopes": 21, "records": 22, "spans": 4,
      "start_time": "2025-12-08T13:20:00.000Z",          null without clock origins
      "runs": [{"run": 2, "start_time": "...", "duration_ms": 50, "processes": 2,
                "threads": 3, "command": "app.py -v (pid 100)"}],
      "processes": [{"name": "app.py -v (pid 100)", "host": "vm", "pid": 100, "ppid": 1,
                     "from_ms": 0, "threads": ["MainThread 100", "worker 101"]}],
      "rows": [{"message": "load", "invoker": "load", "kind": "scope", "process": null,
                "count": 2, "total_ms": 40.0, "self_ms": 24.0, "mean_ms": 20.0,
                "p50_ms": 10.0, "p95_ms": 30.0, "max_ms": 30.0, "raised": 0, "never_closed": 0}],
      "never_closed_scopes": [{"host": "vm", "process": "app.py -v (pid 100)",
                               "thread": "MainThread 100", "entered_ms": 40,
                               "invoker": "w", "message": "stuck"}]
    }

The rows are the text table's, in its order (longest total first; `-n`
keeps the first N). In a row, `kind` is "scope" or "span"; `invoker` is
null when the rows group by message alone, `message` null when by invoker
alone, `process` null unless the rows are split by process. Durations are
milliseconds, to the nanosecond where measured; `self_ms` is null for
spans, and `mean_ms`, `p50_ms`, `p95_ms` and `max_ms` are null for a row
with nothing closed. `runs` are the runs read, numbered as ``python -m
vorn runs`` numbers them; `from_ms` is where the process's clock starts on
the timeline (null for files without a clock origin).
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable
from typing import Any

from vorn.reading.runs import group_runs, take_run
from vorn.outputs.summary import Row, Summary, process_name, shown_rows, summarize
from vorn.reading.trace_archive import opened_trace_files
from vorn.reading.trace_identity import iso_time
from vorn.reading.trace_timeline import thread_name

__all__ = ["summary_document", "summary_json"]


def summary_json(paths: Iterable[str | os.PathLike[str]], limit: int | None = None, by: str = "both",
                 fold: bool = True, run: str | None = "all", by_process: bool = False) -> str:  # fmt: skip
    """summary_text's JSON form: the document, indented, and a line end."""
    with opened_trace_files(paths, "all") as every:
        files = every if run == "all" else take_run(every, run, "summary")
        taken = {id(trace) for trace in files}
        runs = [found for found in group_runs(every) if any(id(trace) in taken for trace in found.files)]
        summary = summarize(files, by, fold, by_process)
        read = {id(trace) for trace in summary.traces}
        document = summary_document(summary, limit)
        document["runs"] = [{
            "run": found.number, "start_time": iso_time(found.start_ms), "duration_ms": found.duration_ms,
            "processes": found.processes, "threads": sum(id(trace) in read for trace in found.files),
            "command": found.command,
        } for found in runs]  # fmt: skip
    # Escaped to ASCII: a message may hold a lone surrogate, which no
    # encoding of standard output takes.
    return json.dumps(document, indent=2) + "\n"


def summary_document(summary: Summary, limit: int | None = None) -> dict[str, Any]:
    """The summary as the JSON object above, without its runs (empty)."""
    timeline = summary.timeline
    processes = []
    if timeline is not None:
        for process in timeline.processes:
            first = process.threads[0]
            processes.append({
                "name": process_name(timeline, process), "host": process.host, "pid": process.pid,
                "ppid": process.ppid,
                "from_ms": None if first.clock_origin_ms is None else timeline.offset(first),
                "threads": [timeline.thread_label(trace) for trace in process.threads],
            })  # fmt: skip
    rows = shown_rows(summary, limit)
    return {
        "trace_files": summary.files,
        "scopes": summary.scopes,
        "records": summary.records,
        "spans": summary.spans,
        "start_time": None if timeline is None else timeline.start_time,
        "runs": [],
        "processes": processes,
        "rows": [_row(summary, row) for row in rows],
        "never_closed_scopes": [{
            "host": entry.trace.host, "process": entry.process,
            "thread": thread_name(entry.trace) if timeline is None else timeline.thread_label(entry.trace),
            "entered_ms": entry.entered, "invoker": entry.scope.invoker, "message": entry.scope.args,
        } for entry in summary.open_scopes],  # fmt: skip
    }


def _row(summary: Summary, row: Row) -> dict[str, Any]:
    return {
        "message": None if summary.by == "invoker" else row.message,
        "invoker": None if summary.by == "message" else row.invoker,
        "kind": row.kind,
        "process": row.process if summary.by_process else None,
        "count": row.count,
        "total_ms": _ms(row.total),
        "self_ms": _ms(row.self_time),
        "mean_ms": _ms(row.mean),
        "p50_ms": _ms(row.p50),
        "p95_ms": _ms(row.p95),
        "max_ms": _ms(row.longest),
        "raised": row.raised,
        "never_closed": row.never_closed,
    }


def _ms(value: float | None) -> float | None:
    """Milliseconds to the nanosecond, without float noise: 0.1500000001 => 0.15."""
    return None if value is None else round(value, 6)
