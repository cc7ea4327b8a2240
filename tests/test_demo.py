"""The demo a new user runs first: it works, twice, and leaves valid traces."""

import json
import re
import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[1] / "examples" / "demo.py"


def test_the_demo_runs_twice_and_its_trace_files_load(tmp_path):
    for _ in range(2):
        result = subprocess.run(
            [sys.executable, str(DEMO)], cwd=tmp_path, capture_output=True, text=True, check=True
        )
        assert "audit done: 7 files, 2 warnings, 2 errors" in result.stdout
        assert "\x1b[" not in result.stdout and result.stderr == ""  # no colour into a pipe
        names = re.findall(r"^  (\./vorn_logs/\S+\.log)$", result.stdout, re.MULTILINE)
        assert len(names) == 3
        for name in names:
            assert json.loads((tmp_path / name).read_text(encoding="utf-8"))
        # This run's threads, and only them, as a timeline page and as trace events.
        logs = tmp_path / "vorn_logs"
        page, events = logs / "trace.html", logs / "trace.json"
        assert f"  vorn_logs/trace.html: a timeline of its 3 threads; open {page.as_uri()}" in result.stdout
        assert "  vorn_logs/trace.json: trace events; open it in Perfetto UI" in result.stdout
        assert page.read_text(encoding="utf-8").lstrip().lower().startswith("<!doctype html>")
        threads = [event["args"]["name"] for event in
                   json.loads(events.read_text(encoding="utf-8"))["traceEvents"]
                   if event["name"] == "thread_name"]  # fmt: skip
        # "<system thread name> <tid>" ("MainThread 4242"): the files carry their thread names
        assert sorted(name.rsplit(" ", 1)[-1] for name in threads) == sorted(
            Path(name).stem.split("_")[-1] for name in names)
        assert re.search(r"^  total ms +self ms +count +mean +p50 +p95 +max .*invoker +message$", result.stdout,
                         re.MULTILINE)  # fmt: skip
