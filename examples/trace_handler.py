"""A program's own logging records, in its trace: vorn.TraceHandler.

    python3 examples/trace_handler.py

Three worker threads each load a few rows inside a traced function; the
rows log through the standard logging module, and one retry logs the
exception it caught. Each thread's trace file then holds those records
inside the scope that was open when they were logged, naming the function
and line that logged them. The example prints each file read back.

Trace files go under $VORN_LOG_DIR, "./vorn_logs" unless set.
"""

from __future__ import annotations

import logging
import os
import threading

# Read by each thread when it opens its trace file, so set it before the
# first scope.
os.environ.setdefault("VORN_LOG_DIR", "./vorn_logs")

import vorn  # noqa: E402  (after the environment is settled)

log = logging.getLogger("app.rows")


@vorn.traced
def load(worker: int) -> None:
    for row in range(3):
        if worker == 1 and row == 2:
            try:
                raise TimeoutError("read timed out")
            except TimeoutError:
                log.warning("row %d: retrying", row, exc_info=True)
        log.info("row %d loaded", row)


def worker(index: int, files: dict[int, str]) -> None:
    log.info("worker %d starts", index)  # no scope open yet: a top-level record
    load(index)
    files[index] = vorn.StlLogger("done").log_file_name


def show(items: list[vorn.Scope | vorn.Instant], depth: int = 0) -> None:
    for item in items:
        if isinstance(item, vorn.Scope):
            print(f"{'  ' * depth}scope {item.args}")
            show(item.events, depth + 1)
        else:
            print(f"{'  ' * depth}{item.invoker}:{item.line} {item.args}")


def main() -> None:
    logging.basicConfig(level=logging.INFO, handlers=[vorn.TraceHandler()])
    files: dict[int, str] = {}
    threads = [threading.Thread(target=worker, args=(index, files)) for index in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for index in sorted(files):
        print(files[index])
        show(vorn.read_trace_events(files[index]))


if __name__ == "__main__":
    main()
