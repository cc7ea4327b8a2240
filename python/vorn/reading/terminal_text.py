"""Texts the command-line tools print: counted nouns, and text from trace
files or paths made safe to show on a terminal."""

from __future__ import annotations

__all__ = ["count", "printable"]


def count(number: int, noun: str) -> str:
    """count(1, "scope") => "1 scope"; count(2, "process") => "2 processes";
    count(3, "trace file") => "3 trace files"."""
    return f"{number} {noun}{'' if number == 1 else 'es' if noun.endswith('s') else 's'}"


def _is_control(character: str) -> bool:
    code = ord(character)
    return code < 0x20 or 0x7F <= code < 0xA0


def printable(text: str) -> str:
    """`text` with control characters shown as spaces, so that it can
    neither break a line nor send escape sequences to the terminal:
    "bad\\x1b]0;x\\x07.log" => "bad ]0;x .log"."""
    return "".join(" " if _is_control(ch) else ch for ch in text)
