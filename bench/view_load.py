"""How long the HTML timeline takes to render and to open, for traces of a
known size.

    tools/py314 python3.14 bench/view_load.py                 # 100k and 1M scopes
    tools/py314 python3.14 bench/view_load.py --scopes 20000 --vorn OTHER/python

Makes traces of N scopes (four threads, each top-level scope holding one
child scope and one record) in a temporary directory outside the repository,
writes their page with vorn.outputs.view in a fresh interpreter (time and peak
memory), then loads the page in headless Chromium with a small driver
script appended, allowed by its hash like the page's own. The driver runs
right after the page's script and reports, in ms since navigation began:

- drawn: the page's script has built and drawn every lane (JSON parsed,
  elements made), and the browser has laid them out;
- zoom: one zoom step ("+"), redrawn and laid out again.

Painting is left out: --dump-dom gives no frame to wait for. `--vorn`
renders with another copy of the package, to compare before and after.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from html import unescape
from pathlib import Path

THREADS = 4
SPAN_MS = 60_000  # the traces cover one minute

DRIVER = r"""
(() => {
  const layout = () => document.getElementById("lanes").getBoundingClientRect().height;
  const out = {state: document.documentElement.dataset.state, parsed: performance.now()};
  out.height = layout();
  out.drawn = performance.now();
  const before = performance.now();
  window.dispatchEvent(new KeyboardEvent("keydown", {key: "+"}));
  layout();
  out.zoom = performance.now() - before;
  out.elements = document.getElementsByTagName("*").length;
  const report = document.createElement("pre");
  report.id = "bench";
  report.textContent = JSON.stringify(out);
  document.body.append(report);
})();
"""


def write_traces(root: Path, scopes: int) -> None:
    """`scopes` scopes over THREADS files, as the writer lays them out."""
    per_thread = scopes // THREADS // 2  # top-level scopes, each with one child
    step = SPAN_MS / per_thread
    for thread in range(THREADS):
        path = root / "vorn" / "bench-host" / f"stl_{1000 + thread}.log"
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "w", encoding="utf-8") as stream:
            stream.write("[\n")
            for i in range(per_thread):
                enter = int(i * step)
                exit = int(i * step + step * 0.8)
                if i:
                    stream.write(",\n")
                stream.write(
                    f'{{\n"invoker": "worker",\n"file": "job.py",\n"line": 12,\n"ts_enter": {enter},\n'
                    f'"args": "item {i}",\n"events": [\n'
                    f'{{ "ts": {enter}, "invoker": "worker", "file": "job.py", "line": 13, "args": "start {i}" }},\n'
                    f'{{\n"invoker": "parse",\n"file": "job.py",\n"line": 20,\n"ts_enter": {enter},\n'
                    f'"args": "parse {i}",\n"events": [\n],\n"ts_exit": {(enter + exit) // 2}\n}}\n'
                    f'],\n"ts_exit": {exit}\n}}\n'
                )
            stream.write("]\n")


RENDER = r"""
import json, resource, sys, time
sys.path.insert(0, sys.argv[3]) if sys.argv[3] else None
from vorn.outputs.view import write_view
began = time.perf_counter()
write_view([sys.argv[1]], sys.argv[2])
print(json.dumps({"seconds": time.perf_counter() - began,
                  "peak_mb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def render(traces: Path, page: Path, package: str) -> dict[str, float]:
    env = {**os.environ, "VORN_VIEW_LIMIT": str(10**9)}  # measure, whatever the limit
    done = subprocess.run([sys.executable, "-c", RENDER, str(traces), str(page), package], env=env,
                          capture_output=True, text=True, check=True)  # fmt: skip
    made: dict[str, float] = json.loads(done.stdout)
    return made


def load(page: Path, profile: Path) -> dict[str, float] | None:
    """What the driver reports, with the wall time of the whole Chromium run;
    None when the page never reported (its renderer ran out of memory)."""
    digest = base64.b64encode(hashlib.sha256(DRIVER.encode()).digest()).decode()
    html = page.read_text(encoding="utf-8").replace("script-src ", f"script-src 'sha256-{digest}' ", 1)
    driven = page.with_name("driven.html")
    driven.write_text(html.replace("</body>", f"<script>{DRIVER}</script></body>"), encoding="utf-8")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        raise SystemExit("bench/view_load.py: chromium is not installed")
    flags = ("headless no-sandbox disable-gpu disable-background-networking disable-extensions "
             "no-first-run no-default-browser-check window-size=1200,800 dump-dom").split()
    began = time.perf_counter()
    done = subprocess.run([chromium, *(f"--{flag}" for flag in flags), f"--user-data-dir={profile}",
                           driven.as_uri()], capture_output=True, timeout=900, check=True)  # fmt: skip
    wall = time.perf_counter() - began
    found = re.search(r'<pre id="bench">(.*?)</pre>', done.stdout.decode())
    if found is None:
        return None
    result: dict[str, float] = json.loads(unescape(found[1]))
    result["chromium_s"] = wall
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scopes", type=int, nargs="+", default=[100_000, 1_000_000])
    parser.add_argument("--vorn", default="", help="a directory holding another vorn package to render with")
    arguments = parser.parse_args()
    print(f"{'scopes':>9} {'page MB':>8} {'render s':>9} {'render MB':>10} {'drawn ms':>9} {'zoom ms':>8} "
          f"{'chromium s':>10}")  # fmt: skip
    for scopes in arguments.scopes:
        with tempfile.TemporaryDirectory(prefix="vorn-view-bench-") as temporary:
            root = Path(temporary)
            write_traces(root / "logs", scopes)
            page = root / "trace.html"
            made = render(root / "logs", page, arguments.vorn)
            loaded = load(page, root / "profile")
            browser = ("  the renderer ended without drawing (out of memory?)" if loaded is None else
                       f"{loaded['drawn']:>9.0f} {loaded['zoom']:>8.0f} {loaded['chromium_s']:>10.1f}")  # fmt: skip
            print(f"{scopes:>9} {page.stat().st_size / 1e6:>8.1f} {made['seconds']:>9.2f} {made['peak_mb']:>10.0f} "
                  f"{browser}", flush=True)


if __name__ == "__main__":
    main()
