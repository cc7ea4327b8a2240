"""How large the HTML timeline's page is, how long it takes to render and to
open, for traces of a known size.

    tools/py314 python3.14 bench/view_load.py                 # 100k, 1M and 2M scopes
    tools/py314 python3.14 bench/view_load.py --scopes 20000 --vorn OTHER/python

Makes traces of N scopes (four threads, each top-level scope holding one
child scope and one record) in a temporary directory outside the repository,
writes their page with vorn.outputs.view in a fresh interpreter (time and peak
memory), then opens the page in headless Chromium, driven over the DevTools
protocol on a pipe, and reports in ms:

- drawn: from navigation to the page's "vorn-drawn" mark (data parsed,
  lanes built, the first view painted on the canvas);
- zoom: one zoom step ("+" or "-") until the frame after it has painted
  (a requestAnimationFrame, then a task after that frame), the slowest of
  six steps in and out;
- heap: the page's JavaScript heap once drawn.

`--vorn` renders with another copy of the package, to compare before and after.
"""

from __future__ import annotations

import argparse
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

THREADS = 4
SPAN_MS = 60_000  # the traces cover one minute

# Run in the page once it has loaded; resolves to what it measured.
PROBE = r"""
(async () => {
  const frame = () => new Promise((done) => requestAnimationFrame(() => done()));
  const afterFrame = () => new Promise((done) => { const c = new MessageChannel(); c.port1.onmessage = done; c.port2.postMessage(0); });
  await frame();
  await afterFrame();
  const drawn = performance.getEntriesByName("vorn-drawn")[0];
  const out = {state: document.documentElement.dataset.state, drawn: drawn ? drawn.startTime : null,
               heap: performance.memory ? performance.memory.usedJSHeapSize / 1e6 : null, zooms: []};
  for (const key of ["+", "+", "+", "-", "-", "-"]) {
    const began = performance.now();
    window.dispatchEvent(new KeyboardEvent("keydown", {key}));
    await frame();
    await afterFrame();
    out.zooms.push(performance.now() - began);
  }
  out.zoom = Math.max(...out.zooms);
  return out;
})()
"""


class DevTools:
    """Chromium driven over --remote-debugging-pipe: JSON messages ended by
    NUL, commands on the child's fd 3, answers and events on its fd 4."""

    def __init__(self, chromium: str, profile: Path) -> None:
        to_child, self._commands = os.pipe()
        self._answers, from_child = os.pipe()

        def wire() -> None:  # in the child: its ends as fd 3 and 4, whatever numbers they had
            reading, writing = os.dup(to_child), os.dup(from_child)
            os.dup2(reading, 3)
            os.dup2(writing, 4)

        flags = ("headless no-sandbox disable-gpu disable-background-networking disable-extensions "
                 "no-first-run no-default-browser-check window-size=1200,800 remote-debugging-pipe").split()
        self.process = subprocess.Popen([chromium, *(f"--{flag}" for flag in flags), f"--user-data-dir={profile}"],
                                        pass_fds=(3, 4), preexec_fn=wire,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # fmt: skip
        os.close(to_child)
        os.close(from_child)
        self._buffer = b""
        self._next = 0

    def call(self, method: str, params: dict | None = None, session: str | None = None,
             timeout: float = 300) -> dict:  # fmt: skip
        self._next += 1
        message = {"id": self._next, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        while True:
            answer = self.receive(timeout)
            if answer.get("id") == self._next:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]

    def receive(self, timeout: float) -> dict:
        deadline = time.monotonic() + timeout
        while b"\0" not in self._buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._answers], [], [], left)[0]:
                raise TimeoutError("Chromium did not answer")
            chunk = os.read(self._answers, 1 << 20)
            if not chunk:
                raise EOFError("Chromium ended")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def wait_for(self, method: str, timeout: float) -> dict:
        while True:
            event = self.receive(timeout)
            if event.get("method") == method:
                return event

    def close(self) -> None:
        self.process.kill()
        self.process.wait()
        os.close(self._commands)
        os.close(self._answers)


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


def scopes_of(page: Path) -> str:
    return page.parent.name


def load(page: Path, profile: Path) -> dict[str, Any] | None:
    """What PROBE measures in the page, with the wall time from navigation
    to its answer; None when the page never answered (its renderer died)."""
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if chromium is None:
        raise SystemExit("bench/view_load.py: chromium is not installed")
    browser = DevTools(chromium, profile)
    try:
        target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
        session = browser.call("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
        browser.call("Page.enable", session=session)
        began = time.perf_counter()
        browser.call("Page.navigate", {"url": page.as_uri()}, session)
        browser.wait_for("Page.loadEventFired", 600)
        answer = browser.call("Runtime.evaluate", {"expression": PROBE, "awaitPromise": True, "returnByValue": True},
                              session, timeout=600)  # fmt: skip
        result: dict[str, Any] = answer["result"].get("value") or {}
        if not result:
            return None
        result["chromium_s"] = time.perf_counter() - began
        return result
    except (EOFError, TimeoutError, RuntimeError) as error:
        print(f"  ({scopes_of(page)}: {error})", file=sys.stderr)
        return None
    finally:
        browser.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--scopes", type=int, nargs="+", default=[100_000, 1_000_000, 2_000_000])
    parser.add_argument("--vorn", default="", help="a directory holding another vorn package to render with")
    arguments = parser.parse_args()
    print(f"{'scopes':>9} {'page MB':>8} {'render s':>9} {'render MB':>10} {'drawn ms':>9} {'zoom ms':>8} "
          f"{'heap MB':>8} {'chromium s':>10}")  # fmt: skip
    for scopes in arguments.scopes:
        with tempfile.TemporaryDirectory(prefix="vorn-view-bench-") as temporary:
            root = Path(temporary)
            write_traces(root / "logs", scopes)
            page = root / "trace.html"
            made = render(root / "logs", page, arguments.vorn)
            loaded = load(page, root / "profile")
            browser = ("  the renderer ended without drawing (out of memory?)" if loaded is None else
                       f"{loaded['drawn']:>9.0f} {loaded['zoom']:>8.0f} {loaded['heap'] or 0:>8.0f} "
                       f"{loaded['chromium_s']:>10.1f}")  # fmt: skip
            print(f"{scopes:>9} {page.stat().st_size / 1e6:>8.1f} {made['seconds']:>9.2f} {made['peak_mb']:>10.0f} "
                  f"{browser}", flush=True)


if __name__ == "__main__":
    main()
