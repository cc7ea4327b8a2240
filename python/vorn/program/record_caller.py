"""Who logged a standard-library logging record, as a trace or console
invoker names it."""

from __future__ import annotations

import logging
import os

__all__ = ["invoker_of"]


def invoker_of(record: logging.LogRecord) -> str:
    """record.funcName, or for module-level code ("<module>") the file's
    name; "python" when neither is known:
    funcName "load" => "load"; "<module>" in /srv/job.py => "job.py"."""
    function = record.funcName
    if function and function not in ("<module>", "(unknown function)"):
        return function
    file_name = os.path.basename(record.pathname or "")
    if file_name and not (file_name.startswith("<") and file_name.endswith(">")):
        return file_name
    return "python"
