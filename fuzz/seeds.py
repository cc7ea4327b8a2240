"""Writes the starting corpus of each fuzz target:

    python3 seeds.py DIRECTORY

DIRECTORY/json_escape and DIRECTORY/trace_records get a few inputs each
that reach the interesting places at once: every escape, every kind of
UTF-8 and ill-formed byte, and for the records the 255-byte, 4095-byte and
24830-byte limits. The record programs use the input format described at
the top of trace_records_fuzz.cpp."""

import struct
import sys
from pathlib import Path

MIXED = 'a"\\\t\n\r\x01\x1b\x7f é€😀\ufffd'.encode() + b"\xff\xc3(\xe2\x82\xed\xa0\x80\xf4\x90"


def text(raw):
    return bytes([0]) + struct.pack("<H", len(raw)) + raw


def repeated(pattern, length):
    return bytes([0xC0]) + struct.pack("<H", length) + bytes([len(pattern)]) + pattern


def open_scope(invoker, file, message, line=10):
    return bytes([0]) + invoker + file + message + struct.pack("<i", line)


def log(message, which=0):
    return bytes([1, which]) + message


def close(which=0):
    return bytes([2, which])


RECORD_PROGRAMS = {
    "nested": open_scope(text(b"main"), text(b"job.py"), text(b"load")) + log(text(b"x"))
    + open_scope(text(b"main"), text(b"job.py"), text(b"parse"), 20) + close(1) + close(),
    "limits": open_scope(repeated(b"\x01", 300), repeated(b"\x1b", 300), repeated(b"\x01", 6000), -1)
    + log(repeated(b"\x01", 6000)) + log(repeated("é".encode(), 6000)) + close(),
    "texts": open_scope(text(MIXED), text(MIXED + b"\0after"), text(MIXED * 3))
    + log(text(MIXED)) + log(repeated(MIXED[:8], 5000)) + close(),
    "deep": b"".join(open_scope(text(b"d%d" % i), text(b"f"), text(b"m"), i) + log(text(b"e"), i)
                     for i in range(20))
    + close(3) + log(text(b"late"), 7) + close(0) + close(12),
}

ESCAPE_TEXTS = {
    "mixed": MIXED,
    "controls": bytes(range(0x20)) + b"\x7f",
    "long_utf8": "€😀é".encode() * 80,
}


def main(directory):
    records = Path(directory) / "trace_records"
    escapes = Path(directory) / "json_escape"
    records.mkdir(parents=True, exist_ok=True)
    escapes.mkdir(parents=True, exist_ok=True)
    for name, program in RECORD_PROGRAMS.items():
        (records / f"seed_{name}").write_bytes(program)
    for name, raw in ESCAPE_TEXTS.items():
        # Capacity and cut limit are read from the input's last four bytes.
        for capacity, limit in ((16, 9), (64, 40), (512, 300)):
            tail = struct.pack("<HH", limit, capacity)
            (escapes / f"seed_{name}_{capacity}").write_bytes(raw + tail)


if __name__ == "__main__":
    main(sys.argv[1])
