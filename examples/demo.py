"""A first tour of _py_vorn: audit a small source tree with both loggers.

    python3 examples/demo.py [DIRECTORY]

Without a directory the demo audits a small sample project that it writes
under its log directory. It walks the tree, inspects every file on two
worker threads and checks the trace files those threads wrote. Every phase,
directory and file is a trace scope (StlLogger) whose findings are `log`
records; the console (StdoutLogger) shows progress in colour. At the end it
prints where the trace files are and the first lines of one, and writes
this run's traces as an HTML timeline (trace.html) and as a Trace Event
Format file (trace.json) next to them.

Trace files go under $VORN_LOG_DIR, "./vorn_logs" unless set.
"""

import json
import os
import shutil
import sys
import threading
from dataclasses import dataclass, field
from pathlib import Path

# Read by each thread when it opens its trace file, so set it before the
# first scope.
os.environ.setdefault("VORN_LOG_DIR", "./vorn_logs")

import vorn  # noqa: E402  (after the environment is settled)
from vorn.outputs.export import write_export  # noqa: E402
from vorn.outputs.summary_text import summary_text  # noqa: E402
from vorn.outputs.view import write_view  # noqa: E402

WORKFLOW = "source-audit"
LONG_LINE = 100
MARKERS = ("TODO", "FIXME")

SAMPLE_PROJECT = {
    "README.md": "# inventory\n\nTracks stock levels for the shop.\n",
    "inventory/__init__.py": '"""Stock keeping."""\n',
    "inventory/stock.py": (
        "def reorder(level, minimum):\n"
        "    # TODO: read the minimum from the config file\n"
        "    return level < minimum\n"
        "\n"
        "PRICES = {'apple': 0.30, 'pear': 0.40, 'plum': 0.20, 'cherry': 0.05, 'quince': 0.90,"
        " 'fig': 0.70, 'date': 1.10}\n"
    ),
    "inventory/config.json": '{"minimum": 12, "currency": "EUR"}\n',
    "inventory/broken.json": '{"minimum": 12, "currency": }\n',
    "data/stock.csv": "item,level\napple,40\npear,7\n",
}
# Latin-1 bytes, not UTF-8: a file the audit can't read as text.
SAMPLE_LEGACY = ("data/legacy.txt", "Größe;Menge\n".encode("latin-1"))


@dataclass
class Finding:
    level: str  # "warning" or "error"
    file: str
    text: str


@dataclass
class WorkerReport:
    findings: list = field(default_factory=list)
    files: int = 0
    trace_file: str = ""


def console_options(color):
    """The calling thread's console options with `color` for the next lines.
    Options belong to the thread, so every thread sets its own."""
    options = vorn.StdoutLogger.get_options()
    options.workflow_name = WORKFLOW
    options.use_color = sys.stdout.isatty()
    options.color = color
    vorn.StdoutLogger.set_options(options)


def write_sample_project(root):
    """A small tree with something to find: a TODO, a long line, broken JSON
    and a file that is not UTF-8. Rewritten on every run."""
    shutil.rmtree(root, ignore_errors=True)
    for relative, text in SAMPLE_PROJECT.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text, encoding="utf-8")
    relative, data = SAMPLE_LEGACY
    (root / relative).write_bytes(data)


def scan(root):
    """Walks the tree: one scope per directory, one record per file found."""
    files = []
    with vorn.StlLogger(f"scan {root}") as phase, vorn.StdoutLogger(f"scanning {root}") as console:
        for directory, subdirectories, names in os.walk(root):
            subdirectories.sort()
            relative = Path(directory).relative_to(root)
            with vorn.StlLogger(f"directory {relative}") as scope:
                for name in sorted(names):
                    scope.log(f"found {relative / name}")
                    files.append(Path(directory) / name)
        phase.log(f"{len(files)} files")
        console_options(vorn.CLI_LEVEL_INFO)
        console.log(f"found {len(files)} files")
    return files


def inspect_text(path, text):
    """The findings in one decoded file."""
    findings = []
    for number, line in enumerate(text.splitlines(), start=1):
        if len(line) > LONG_LINE:
            finding = f"line {number} has {len(line)} characters"
            findings.append(Finding("warning", str(path), finding))
        for marker in MARKERS:
            if marker in line:
                findings.append(Finding("warning", str(path), f"line {number} has a {marker}"))
    if path.suffix == ".json":
        try:
            json.loads(text)
        except json.JSONDecodeError as error:
            findings.append(Finding("error", str(path), f"invalid JSON: {error}"))
    return findings


def inspect_file(path, report):
    """Reads and checks one file inside its own trace scope."""
    with vorn.StlLogger(f"inspect {path.name}", file=str(path)) as scope:
        data = path.read_bytes()
        scope.log(f"{len(data)} bytes")
        try:
            findings = inspect_text(path, data.decode("utf-8"))
        except UnicodeDecodeError as error:
            reason = f"not UTF-8: {error.reason} at byte {error.start}"
            findings = [Finding("error", str(path), reason)]
        for finding in findings:
            scope.log(f"{finding.level}: {finding.text}")
            color = vorn.CLI_LEVEL_ERROR if finding.level == "error" else vorn.CLI_LEVEL_WARNING
            console_options(color)
            vorn.StdoutLogger.print(f"{path.name}: {finding.text}")
        report.files += 1
        report.findings.extend(findings)
        report.trace_file = scope.log_file_name


def inspect_all(files, workers=2):
    """Inspects the files on worker threads, each taking its share (every
    workers-th file); each thread writes its own trace file, and keeps its
    own console options."""
    reports = [WorkerReport() for _ in range(workers)]

    def inspect_share(number):
        console_options(vorn.CLI_LEVEL_STATUS)
        report = reports[number]
        with vorn.StlLogger(f"worker {threading.current_thread().name}"):
            for path in files[number::workers]:
                inspect_file(path, report)

    with vorn.StlLogger(f"inspect {len(files)} files on {workers} threads"):
        console_options(vorn.CLI_LEVEL_STATUS)
        vorn.StdoutLogger.print(f"inspecting {len(files)} files on {workers} threads")
        threads = [threading.Thread(target=inspect_share, args=(number,), name=f"inspector-{number}")
                   for number in range(workers)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    return [report for report in reports if report.trace_file]


def verify(trace_files):
    """Loads the worker threads' trace files: every scope there is closed,
    so each is a complete JSON array."""
    with vorn.StlLogger("verify") as phase:
        for name in trace_files:
            with open(name, encoding="utf-8") as stream:
                scopes = json.load(stream)
            events = sum(len(scope["events"]) for scope in scopes)
            phase.log(f"{name}: {len(scopes)} top-level scopes, {events} events")
            console_options(vorn.CLI_LEVEL_INFO)
            vorn.StdoutLogger.print(
                f"trace file ok: {len(scopes)} scopes, {events} events in {Path(name).name}"
            )


def count(number, noun):
    """count(1, "error") => "1 error"; count(2, "error") => "2 errors"."""
    return f"{number} {noun}{'' if number == 1 else 's'}"


def audit(root):
    with vorn.StlLogger(f"audit {root}") as run:
        console_options(vorn.CLI_LEVEL_STATUS)
        vorn.StdoutLogger.print(f"audit of {root} starts")
        files = scan(root)
        reports = inspect_all(files)
        verify(sorted({report.trace_file for report in reports}))
        findings = [finding for report in reports for finding in report.findings]
        errors = sum(finding.level == "error" for finding in findings)
        warnings = len(findings) - errors
        summary = ", ".join(
            [count(len(files), "file"), count(warnings, "warning"), count(errors, "error")]
        )
        run.log(summary)
        console_options(vorn.CLI_LEVEL_ERROR if errors else vorn.CLI_LEVEL_INFO)
        vorn.StdoutLogger.print(f"audit done: {summary}")
        return run.log_file_name, sorted({report.trace_file for report in reports})


def main(argv):
    sys.stdout.reconfigure(line_buffering=True)  # keep print() in step with console lines
    if len(argv) > 1:
        root = Path(argv[1])
    else:
        root = Path(os.environ["VORN_LOG_DIR"]) / "demo_input"
        write_sample_project(root)

    main_trace, worker_traces = audit(root)

    print()
    print(f"Trace files of this run (one per thread), under {os.environ['VORN_LOG_DIR']}:")
    for name in [main_trace, *worker_traces]:
        print(f"  {name}")
    print()
    print(f"First lines of {main_trace}:")
    with open(main_trace, encoding="utf-8") as stream:
        for _, line in zip(range(16), stream):
            print(f"  {line.rstrip()}")
    print("  ...")

    look_at(Path(os.environ["VORN_LOG_DIR"]), [main_trace, *worker_traces])
    return 0


def look_at(log_dir, trace_files):
    """Writes this run's traces as a timeline page and as trace events beside
    them (earlier runs' files stay out), and says how to open them."""
    page, events = log_dir / "trace.html", log_dir / "trace.json"
    threads = write_view(trace_files, page)
    write_export(trace_files, events)
    print()
    print("Where the time went (python -m vorn summary):")
    for line in summary_text(trace_files, limit=5).splitlines():
        print(f"  {line}".rstrip())
    print()
    print("Look at this run:")
    print(f"  {page}: a timeline of its {threads} threads;"
          f" open {page.resolve().as_uri()} in a browser")
    print(f"  {events}: trace events; open it in Perfetto UI, chrome://tracing or speedscope")


if __name__ == "__main__":
    sys.exit(main(sys.argv))
