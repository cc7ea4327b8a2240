"""How a scope ended, as the trace tells it: closed, raised or never closed.

A trace file has no field for an exception. ``vorn.traced`` and
``vorn.scope`` say it in the scope's last record, written just before the
scope closes:

    raised ValueError                       (older traces: the type only)
    raised ValueError: bad input 42         (type and message, cut to fit)
    raised http.client.RemoteDisconnected: Remote end closed connection

so a scope raised when its last event is such a record. A program's own
``log("raised ...")`` as a scope's last record reads the same; nothing in
the file tells them apart.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Final, NamedTuple

from vorn.reading.trace_reader import Instant, Scope

__all__ = ["Raised", "raised_by_record", "raised_of"]

# A type name is a dotted run of identifiers (a qualname may hold "<locals>").
_RAISED: Final = re.compile(r"raised (?P<type>[^\W\d][\w.<>]*)(?:: (?P<message>.*))?", re.DOTALL)


class Raised(NamedTuple):
    """The exception a scope's last record names: its type, and its message
    ("" when the record gives none)."""

    type: str
    message: str

    def __str__(self) -> str:
        return f"{self.type}: {self.message}" if self.message else self.type


def raised_by_record(record: Instant) -> Raised | None:
    """The exception `record` reports, if it is a "raised ..." record.
      "raised KeyError: 'k'" => Raised("KeyError", "'k'")
      "raised KeyError"      => Raised("KeyError", "")
      "raised"               => None"""
    match = _RAISED.fullmatch(record.args)
    if match is None:
        return None
    return Raised(match["type"], match["message"] or "")


def raised_of(scope: Scope, events: Sequence[Scope | Instant] | None = None) -> Raised | None:
    """The exception that left `scope`, from its last event (`events` when
    the scope's own list is not kept, as when streaming); None when it
    closed normally or its last event is no such record."""
    items = scope.events if events is None else events
    if not items:
        return None
    last = items[-1]
    return raised_by_record(last) if isinstance(last, Instant) else None
