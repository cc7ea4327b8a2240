"""The Python writer of one thread's Perfetto packets that the native
writer replaced, kept as the reference the native one is held to
(test_vorn_perfetto.py): the same bytes."""

from __future__ import annotations

import vorn.outputs.perfetto_export as pe
from vorn.reading.precise_times import NS_PER_MS
from vorn.reading.span_events import SPAN_INVOKER
from vorn.reading.trace_reader import ENTER, EXIT, Scope

MESSAGE, INVOKER, FILE, LINE, NEVER_CLOSED = 1, 2, 3, 4, 5  # the thread sequence's annotation names
SCOPE_CATEGORY, LOG_CATEGORY = 1, 2
BEGIN_SCOPE = pe._uint(pe._TYPE, 1) + pe._uint(pe._CATEGORY_IIDS, SCOPE_CATEGORY)
INSTANT_LOG = pe._uint(pe._TYPE, 3) + pe._uint(pe._CATEGORY_IIDS, LOG_CATEGORY)
END = pe._uint(pe._TYPE, pe._SLICE_END)
END_EVENT = pe._message(pe._TRACK_EVENT, END)
END_NEVER_CLOSED = pe._message(pe._TRACK_EVENT, END + pe._true_annotation(NEVER_CLOSED))


def int_annotation(name_iid, value):
    if not -(1 << 63) <= value < 1 << 63:
        return pe._string_annotation(name_iid, str(value))
    body = pe._uint(pe._ANNOTATION_NAME_IID, name_iid) + pe._uint(4, value % (1 << 64))
    return pe._message(pe._DEBUG_ANNOTATIONS, body)


def location(iid, function, file, line):
    fields = pe._uint(pe._IID, iid) + pe._text(2, file) + pe._text(3, function)
    return fields + pe._uint(4, line) if 0 <= line < 1 << 32 else fields


def reference_write_thread(write, thread, sequence, cleared, spans):
    """perfetto_export._write_thread as the Python writer did it."""
    sequence_fields = pe._uint(pe._SEQUENCE_ID, sequence) + pe._uint(pe._SEQUENCE_FLAGS, pe._NEEDS_INCREMENTAL_STATE)
    names, locations, record_sites = {}, {}, {}
    next_name = next_location = 1
    last = None
    for kind, _, item, time, _ in thread.events():
        precise = (item.ts_enter_ns if kind == ENTER else item.ts_exit_ns) if isinstance(item, Scope) else item.ts_ns
        ns = round((time + thread.moved) * NS_PER_MS) if precise is None else precise + thread.moved * NS_PER_MS
        ns = ns if last is None else max(ns, last)
        last = ns
        body = pe._uint(pe._TIMESTAMP, ns) + sequence_fields
        if kind == EXIT:
            write(pe._packet(body + (END_EVENT if item.ts_exit is not None else END_NEVER_CLOSED)))
            continue
        interned = b""
        name = item.args or item.invoker
        if name not in names:
            names[name] = next_name
            next_name += 1
            interned = pe._message(2, pe._uint(pe._IID, names[name]) + pe._text(pe._INTERNED_NAME, name))
        site = (item.invoker, item.file, item.line)
        if isinstance(item, Scope):
            if site not in locations:
                locations[site] = next_location
                next_location += 1
                interned += pe._message(4, location(locations[site], *site))
            event = BEGIN_SCOPE + pe._uint(pe._NAME_IID, names[name]) + pe._uint(34, locations[site])
        else:
            if site not in record_sites:
                record_sites[site] = (pe._string_annotation(INVOKER, site[0]) + pe._string_annotation(FILE, site[1])
                                      + int_annotation(LINE, site[2]))  # fmt: skip
            event = INSTANT_LOG + pe._uint(pe._NAME_IID, names[name]) + pe._string_annotation(MESSAGE, item.args)
            event += record_sites[site]
            if item.invoker == SPAN_INVOKER:
                spans.record(thread.pid, thread.tid, ns, item.args, item.ts)
        if interned:
            body += pe._message(pe._INTERNED_DATA, interned)
        write(pe._packet(body + pe._message(pe._TRACK_EVENT, event)))
        if len(names) + len(locations) + len(record_sites) >= pe.INTERNING_LIMIT:
            names.clear()
            locations.clear()
            record_sites.clear()
            write(cleared)
    return last
