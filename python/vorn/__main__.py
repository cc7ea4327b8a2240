"""python -m vorn: export, view, summarise or pack trace files.

    python -m vorn export vorn_logs                  # Trace Event Format, trace.json
    python -m vorn export --format speedscope vorn_logs   # trace.speedscope.json
    python -m vorn export --format perfetto vorn_logs     # trace.pftrace, Perfetto's protobuf
    python -m vorn view vorn_logs                    # self-contained timeline, trace.html
    python -m vorn summary vorn_logs                 # where the time went
    python -m vorn pack vorn_logs -o traces.tar.gz   # one archive, identities kept
    python -m vorn runs vorn_logs                    # the runs the files hold

Each PATH is a trace file, a directory searched for *.log files (such as a
whole trace root with vorn/<host>/ inside) or an archive made by pack.
export, view and summary take the latest run the files hold (--run).
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Sequence
from pathlib import Path

from vorn.outputs import otlp
from vorn.outputs.output_file import MissingOutputDirectory
from vorn.reading.terminal_text import count, printable

PATHS_HELP = "trace files, directories searched for *.log files, or archives made by pack"
EXACT_HELP = ("keep the file's millisecond times as they are; by default the events of a thread "
              "that share a millisecond are spread inside it in file order, so that viewers nest "
              "them as they happened")  # fmt: skip
RUN_HELP = ('which run to take: "all", a run number as "runs" lists it, or a pid (a number larger '
            'than the number of runs, or pid:N); default: the latest')  # fmt: skip


def _parser(prog: str = "python -m vorn") -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Export, view, summarise or pack vorn trace files.",
        epilog="Each PATH is a trace file, a directory searched for *.log files, "
        "or an archive made by pack. Example: python -m vorn view vorn_logs",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    export = commands.add_parser(
        "export",
        help="write a Trace Event Format file (Perfetto UI, Chrome DevTools, chrome://tracing), "
        "a speedscope file or a Perfetto trace",
        description="Write the traces as one Trace Event Format JSON file, for Perfetto UI, "
        "Chrome DevTools or chrome://tracing, in speedscope's own format, or as a Perfetto "
        "protobuf trace for Perfetto UI and trace_processor.",
        epilog="Example: python -m vorn export vorn_logs -o trace.json",
    )
    export.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    export.add_argument("--format", choices=("trace-event", "speedscope", "perfetto"), default="trace-event",
                        help="the file format (default: trace-event)")
    export.add_argument("-o", "--output", metavar="OUT",
                        help='the file to write, "-" for standard output (default: trace.json, '
                        "trace.speedscope.json for speedscope or trace.pftrace for perfetto, "
                        "in the current directory)")
    export.add_argument("--exact-times", action="store_true", help=EXACT_HELP)
    export.add_argument("--run", metavar="RUN", help=RUN_HELP)

    view = commands.add_parser(
        "view",
        help="write a self-contained HTML timeline",
        description="Write the traces as one self-contained HTML timeline. Traces of more than "
        "3,000,000 scopes and records (VORN_VIEW_LIMIT) are too large for one page: draw a time "
        "range of them with --from and --to.",
        epilog="Example: python -m vorn view vorn_logs -o trace.html; "
        "python -m vorn view --from 1200 --to 1500 vorn_logs",
    )
    view.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    view.add_argument("-o", "--output", metavar="OUT",
                      help="the HTML file to write (default: trace.html in the current directory)")
    view.add_argument("--exact-times", action="store_true", help=EXACT_HELP)
    view.add_argument("--run", metavar="RUN", help=RUN_HELP)
    view.add_argument("--from", dest="time_from", type=float, metavar="MS",
                      help="draw only what overlaps the timeline from MS milliseconds on (the times "
                      "the page's axis shows); the rest is counted in the page's header")
    view.add_argument("--to", dest="time_to", type=float, metavar="MS",
                      help="draw only what overlaps the timeline up to MS milliseconds")

    summary = commands.add_parser(
        "summary",
        help="print where the time went",
        description="Print, for the scopes of each invoker and message and the spans of each "
        "message, by total time: how many closed, their total, self time (less the scopes inside), "
        "mean, p50, p95 (nearest rank) and longest duration, how many raised and how many never "
        'closed; then the scopes that never closed. Numbers standing as words in messages are '
        'folded ("item 12" and "item 13" add up as "item N").',
        epilog="Example: python -m vorn summary --by message -n 20 vorn_logs; "
        "python -m vorn summary --by process --format json vorn_logs",
    )
    summary.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    summary.add_argument("-n", "--top", type=_positive, metavar="N",
                         help="show the first N rows only")
    summary.add_argument("--by", choices=("both", "invoker", "message", "process"), action="append",
                         help="group by invoker or by message alone (default: by both); "
                         "process splits the rows by process (give --by twice to do both)")
    summary.add_argument("--format", choices=("text", "json"), default="text",
                         help="a table for people (default) or one JSON object")
    summary.add_argument("--exact-messages", action="store_true",
                         help="group messages as written, without folding their numbers")
    summary.add_argument("--run", metavar="RUN", help=RUN_HELP)

    runs = commands.add_parser(
        "runs",
        help="list the runs the trace files hold",
        description="List the runs the trace files hold, oldest first: processes that overlap in "
        "time, follow each other within a second, or are parent and child. export, view and summary "
        "take the latest; --run N takes the run numbered N here.",
        epilog="Example: python -m vorn runs vorn_logs",
    )
    runs.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)

    pack = commands.add_parser(
        "pack",
        help="write the trace files and their identities into one .tar.gz",
        description="Write the trace files into one gzip-compressed tar archive, each with its "
        "process identity and clock origin (kept as the pax header SCHILY.xattr.user.vorn.trace, "
        "which tar --xattrs restores), for copying elsewhere; every command reads it as a PATH.",
        epilog="Example: python -m vorn pack vorn_logs -o traces.tar.gz",
    )
    pack.add_argument("paths", nargs="+", metavar="PATH", help=PATHS_HELP)
    pack.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="the archive to write, such as traces.tar.gz")
    otlp.add_parser(commands)
    return parser


def _positive(text: str) -> int:
    number = int(text)
    if number < 1:
        raise argparse.ArgumentTypeError(f"not a positive number: {text}")
    return number


# export's default output, by format.
OUTPUTS = {"trace-event": "trace.json", "speedscope": "trace.speedscope.json", "perfetto": "trace.pftrace"}


def main(argv: Sequence[str] | None = None, prog: str = "python -m vorn") -> int:
    arguments = _parser(prog).parse_args(argv)
    if arguments.command == "otlp":
        return otlp.run(arguments)
    try:
        if arguments.command == "export":
            from vorn.outputs.export import write_export

            speedscope = arguments.format == "speedscope"
            output = arguments.output or OUTPUTS[arguments.format]
            if arguments.format == "perfetto":
                from vorn.outputs.perfetto_export import write_perfetto_export

                files = write_perfetto_export(arguments.paths, output, arguments.exact_times, arguments.run)
            else:
                files = write_export(arguments.paths, output, arguments.exact_times, speedscope, arguments.run)
            if output != "-":
                print(f"exported {count(files, 'trace file')} to {output}")
        elif arguments.command == "view":
            from vorn.outputs.view import write_view

            output = arguments.output or "trace.html"
            window = None
            if arguments.time_from is not None or arguments.time_to is not None:
                window = (-math.inf if arguments.time_from is None else arguments.time_from,
                          math.inf if arguments.time_to is None else arguments.time_to)  # fmt: skip
            files = write_view(arguments.paths, output, arguments.exact_times, window, run=arguments.run)
            if output != "-":
                page = Path(output).resolve().as_uri()
                print(f"drew {count(files, 'trace file')} into {output}; open it in a browser: {page}")
        elif arguments.command == "pack":
            from vorn.outputs.trace_pack import pack

            files = pack(arguments.paths, arguments.output)
            print(f"packed {count(files, 'trace file')} into {arguments.output}")
        elif arguments.command == "runs":
            from vorn.reading.runs import format_runs, group_runs
            from vorn.reading.trace_archive import opened_trace_files

            with opened_trace_files(arguments.paths) as found:
                sys.stdout.write(format_runs(group_runs(found)))
        else:
            from vorn.outputs.summary import grouping
            from vorn.outputs.summary_text import summary_text

            by, by_process = grouping(arguments.by or ())
            sys.stdout.write(summary_text(arguments.paths, arguments.top, by, not arguments.exact_messages,
                                          arguments.run, by_process, arguments.format))  # fmt: skip
    except MissingOutputDirectory as error:
        print(f"python -m vorn {arguments.command}: {printable(str(error))}", file=sys.stderr)
        return 2
    except (OSError, ValueError) as error:
        # Missing paths, unreadable files and files that are not traces:
        # one line naming the file, not a traceback.
        print(f"python -m vorn {arguments.command}: {printable(str(error))}", file=sys.stderr)
        return 1
    return 0


def entry() -> None:
    """The installed ``vorn`` command."""
    sys.exit(main(prog="vorn"))


if __name__ == "__main__":
    entry()
