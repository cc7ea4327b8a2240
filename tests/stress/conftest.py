"""Stress runs take minutes and start hundreds of processes, so plain
`pytest` and `make test` leave them out; `make stress` (tools/stress) sets
VORN_STRESS=1 to collect them."""

import os

collect_ignore_glob = [] if os.environ.get("VORN_STRESS") == "1" else ["test_*.py"]
