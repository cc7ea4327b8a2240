"""python -m vorn otlp reads a run as a stream: the spans it sends and
the OTLP/JSON it writes are those of the files read whole."""

import io

import pytest

from conftest import instant_text, scope_text, write_traced_file
from test_vorn_otlp import sources_of, span_record


def write_run(root):
    """Three processes, the first and last of equal resources (pid 41 in two
    pid namespaces) with another between them; nested scopes, a scope that
    raised, records outside scopes, async spans ended on another thread or
    before their begin's file, or never, scopes never closed."""
    a, b, c = root / "a/vorn/vm", root / "b/vorn/vm", root / "c/vorn/vm"
    first = {"pid": 41, "host": "elsewhere", "pidns": 4026532001, "boot_id": "6f1c2a9e"}
    write_traced_file(a / "stl_41.log",
                      scope_text("request", 1, 9, instant_text("accepted", 1),
                                 scope_text("parse", 2, 3, instant_text("headers", 2)),
                                 span_record("begin", 3, "1f.1", "reply", "Task-1"),
                                 span_record("begin", 3, "1f.2", "handed over"),
                                 scope_text("query", 4, 6, span_record("end", 5, "1f.1", "reply", "Task-1"),
                                            instant_text("raised KeyError: 'k'", 6)),
                                 span_record("end", 7, "1f.3", "late", "Task-2")),
                      instant_text("loose", 10),
                      scope_text("held", 11, None, instant_text("waiting", 12), scope_text("inner", 13, None)),
                      tid=41, **first)  # fmt: skip
    write_traced_file(a / "stl_43.log",
                      scope_text("worker", 4, 8, span_record("end", 5, "1f.2", "handed over"),
                                 span_record("begin", 6, "1f.3", "late", "Task-2"),
                                 span_record("begin", 6, "1f.4", "open")),
                      span_record("begin", 9, "1f.5", "outside"), span_record("end", 14, "1f.5", "outside"),
                      tid=43, thread_name="worker", file_id="00000000000000aa", **first)  # fmt: skip
    holder = scope_text("vorn spans", 0, None, invoker="span").replace('"f.py"', '"<vorn.span>"')
    write_traced_file(a / "stl_44.log", holder, tid=44, **first)
    write_traced_file(b / "stl_42.log", scope_text("other", 1, 2, instant_text("note", 1)), pid=42, tid=42,
                      host="elsewhere")  # fmt: skip
    write_traced_file(c / "stl_41.log", scope_text("again", 1, 3, scope_text("deep", 2, 2)), tid=41,
                      **{**first, "pidns": 4026532002})  # fmt: skip
    return [root / "a", root / "b", root / "c"]


@pytest.mark.parametrize("options", [{}, {"service_name": "svc", "trace_per_process": True}])
def test_the_streamed_spans_and_json_are_those_of_the_files_read_whole(tmp_path, options):
    from vorn.outputs.otlp import _write_json
    from vorn.outputs.otlp_json import request_text
    from vorn.outputs.otlp_mapping import process_groups, spans_of
    from vorn.outputs.otlp_stream import iter_spans

    sources = sources_of(*write_run(tmp_path))
    whole = spans_of(sources, **options)
    assert len(whole) == 15 and len({span.span_id for span in whole}) == 15
    assert list(iter_spans(sources, **options)) == whole
    streamed = io.StringIO()
    groups = process_groups(sources)
    written = _write_json(streamed, groups, options.get("service_name"), options.get("trace_per_process", False))
    assert written == 15 and streamed.getvalue() == request_text(whole)
