"""The demo a new user runs first: it works, twice, and leaves valid traces."""

import json
import re
import subprocess
import sys
from pathlib import Path

DEMO = Path(__file__).resolve().parents[1] / "examples" / "demo.py"


def run_demo(cwd):
    return subprocess.run(
        [sys.executable, str(DEMO)], cwd=cwd, capture_output=True, text=True, check=True
    )


def test_the_demo_runs_twice_and_its_trace_files_load(tmp_path):
    for _ in range(2):
        result = run_demo(tmp_path)
        assert "audit done: 7 files, 2 warnings, 2 errors" in result.stdout
        assert "\x1b[" not in result.stdout  # no colour into a pipe
        names = re.findall(r"^  (\./vorn_logs/\S+\.log)$", result.stdout, re.MULTILINE)
        assert len(names) == 3
        for name in names:
            with open(tmp_path / name, encoding="utf-8") as stream:
                assert json.load(stream)
        assert result.stderr == ""
