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
