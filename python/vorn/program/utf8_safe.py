"""Text the loggers can take. They refuse, with TypeError, a str that has no
UTF-8 form: one holding a lone surrogate, as os.fsdecode makes of a file
name's undecodable bytes. The tools that log for their caller pass such text
on with those code points escaped, rather than lose the record."""

from __future__ import annotations

__all__ = ["utf8_safe"]


def utf8_safe(text: str) -> str:
    """`text` with every code point that has no UTF-8 form written as its
    escape, as errors="backslashreplace" shows it; other text unchanged:
    "a\\udcffb" (a lone surrogate) => "a\\\\udcffb"; "é" => "é"."""
    return text.encode("utf-8", "backslashreplace").decode("utf-8")
