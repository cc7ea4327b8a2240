"""python -m vorn summary: the summary of a run's trace files, as the table
of vorn.outputs.summary or the JSON document of vorn.outputs.summary_json."""

from __future__ import annotations

import os
from collections.abc import Iterable

from vorn.outputs.summary import format_summary, summarize
from vorn.outputs.summary_json import summary_json
from vorn.reading.trace_archive import opened_trace_files

__all__ = ["summary_text"]


def summary_text(paths: Iterable[str | os.PathLike[str]], limit: int | None = None, by: str = "both",
                 fold: bool = True, run: str | None = "all", by_process: bool = False,
                 form: str = "text") -> str:  # fmt: skip
    """The formatted summary of the trace files found under `paths` (`form`
    "text" or "json"); raises ValueError when there are none."""
    if form == "json":
        return summary_json(paths, limit, by, fold, run, by_process)
    with opened_trace_files(paths, run, "summary") as files:
        return format_summary(summarize(files, by, fold, by_process), limit)
