"""A reproducible stream of trace operations for a process that is killed
while it runs, and the model of what its trace file holds after the first n
of them. Imported by the test and by the worker process alike."""

import random

from _py_vorn import StlLogger

# Characters that exercise the escaping and the UTF-8 handling: quotes,
# backslashes, every kind of control character, two- to four-byte UTF-8.
ALPHABET = 'ab yz09"\\\t\n\r\x01\x1b\x7féß€\u2028\ufeff𝄞😀'
MAX_DEPTH = 6
IDENTITY_LIMIT = 255  # bytes kept of an invoker or file
MESSAGE_LIMIT = 4095  # bytes kept of a message


def _text(rng, limit):
    """A random text of at most `limit` UTF-8 bytes: mostly short, now and
    then long."""
    length = rng.randrange(40) if rng.random() < 0.95 else rng.randrange(limit)
    text = "".join(rng.choice(ALPHABET) for _ in range(length))
    while len(text.encode()) > limit:
        text = text[:-1]
    return text


def operations(seed):
    """An endless stream of ("open", message, invoker, file, line),
    ("log", message) and ("close",) operations that keeps scopes nested
    properly and at most MAX_DEPTH deep."""
    rng = random.Random(seed)
    depth = 0
    while True:
        roll = rng.random()
        if depth == 0 or (depth < MAX_DEPTH and roll < 0.3):
            depth += 1
            yield ("open", _text(rng, MESSAGE_LIMIT), _text(rng, IDENTITY_LIMIT),
                   _text(rng, IDENTITY_LIMIT), rng.randrange(2**32))
        elif roll < 0.7:
            yield ("log", _text(rng, MESSAGE_LIMIT))
        else:
            depth -= 1
            yield ("close",)


def perform(op, scopes):
    """Carries out one operation; `scopes` holds the open scope objects."""
    if op[0] == "open":
        _, message, invoker, file, line = op
        scopes.append(StlLogger(message, invoker, file, line))
    elif op[0] == "log":
        scopes[-1].log(op[1])
    else:
        scopes.pop().close()


def closing(ops):
    """The closes that end every scope `ops` left open."""
    depth = sum({"open": 1, "close": -1}.get(op[0], 0) for op in ops)
    return [("close",)] * depth


def visible_after(ops):
    """The scope tree (times left out, closed scopes marked "ts_exit": True)
    that a trace file shows once `ops` have returned. A record written by
    `log` is held back until the thread's next record, so when the last
    operation is a `log`, its record is not in the file yet."""
    top, stack = [], []
    for op in ops:
        if op[0] == "open":
            _, message, invoker, file, line = op
            scope = {"invoker": invoker, "file": file, "line": _signed32(line),
                     "args": message, "events": []}
            (stack[-1]["events"] if stack else top).append(scope)
            stack.append(scope)
        elif op[0] == "log":
            scope = stack[-1]
            scope["events"].append({"invoker": scope["invoker"], "file": scope["file"],
                                    "line": scope["line"], "args": op[1]})
        else:
            stack.pop()["ts_exit"] = True
    if ops and ops[-1][0] == "log":
        stack[-1]["events"].pop()
    return top


def _signed32(value):
    return value - 2**32 if value >= 2**31 else value
