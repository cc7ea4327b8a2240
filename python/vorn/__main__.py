"""python -m vorn: export, view, summarise or pack trace files.

    python -m vorn export vorn_logs -o trace.json    # Trace Event Format
    python -m vorn view vorn_logs -o trace.html      # self-contained timeline
    python -m vorn summary vorn_logs                 # where the time went
    python -m vorn pack vorn_logs -o traces.tar.gz   # one archive, identities kept

Each PATH is a trace file, a directory searched for *.log files (such as a
whole trace root with vorn/<host>/ inside) or an archive made by pack.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from pathlib import Path


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m vorn",
        description="Export, view, summarise or pack vorn trace files.",
        epilog="Each PATH is a trace file, a directory searched for *.log files, "
        "or an archive made by pack.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    export = commands.add_parser(
        "export",
        help="write a Trace Event Format file (Perfetto UI, chrome://tracing, speedscope)",
        description="Write the traces as one Trace Event Format JSON file, for Perfetto UI, "
        "chrome://tracing or speedscope.",
    )
    export.add_argument("paths", nargs="+", metavar="PATH")
    export.add_argument("-o", "--output", required=True, metavar="OUT",
                        help='the JSON file to write, "-" for standard output')

    view = commands.add_parser(
        "view",
        help="write a self-contained HTML timeline",
        description="Write the traces as one self-contained HTML timeline.",
    )
    view.add_argument("paths", nargs="+", metavar="PATH")
    view.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="the HTML file to write")

    summary = commands.add_parser(
        "summary",
        help="print where the time went",
        description="Print the count, total, mean and longest duration of the scopes of each "
        "invoker and message, by total time, and the scopes that never closed.",
    )
    summary.add_argument("paths", nargs="+", metavar="PATH")
    summary.add_argument("-n", "--top", type=_positive, metavar="N",
                         help="show the first N rows only")

    pack = commands.add_parser(
        "pack",
        help="write the trace files and their identities into one .tar.gz",
        description="Write the trace files into one gzip-compressed tar archive, each with its "
        "process identity and clock origin (kept as the pax header SCHILY.xattr.user.vorn.trace, "
        "which tar --xattrs restores), for copying elsewhere; every command reads it as a PATH.",
    )
    pack.add_argument("paths", nargs="+", metavar="PATH")
    pack.add_argument("-o", "--output", required=True, metavar="OUT",
                      help="the archive to write, such as traces.tar.gz")
    return parser


def _positive(text: str) -> int:
    number = int(text)
    if number < 1:
        raise argparse.ArgumentTypeError(f"not a positive number: {text}")
    return number


def main(argv: Sequence[str] | None = None) -> int:
    arguments = _parser().parse_args(argv)
    try:
        if arguments.command == "export":
            from vorn.export import write_export

            count = write_export(arguments.paths, arguments.output)
            if arguments.output != "-":
                print(f"exported {_files(count)} to {arguments.output}")
        elif arguments.command == "view":
            from vorn.view import write_view

            count = write_view(arguments.paths, arguments.output)
            page = Path(arguments.output).resolve().as_uri()
            print(f"drew {_files(count)} into {arguments.output}; open it in a browser: {page}")
        elif arguments.command == "pack":
            from vorn.trace_archive import pack

            count = pack(arguments.paths, arguments.output)
            print(f"packed {_files(count)} into {arguments.output}")
        else:
            from vorn.summary import summary_text

            sys.stdout.write(summary_text(arguments.paths, arguments.top))
    except (OSError, ValueError) as error:
        # Missing paths, unreadable files and files that are not traces:
        # one line naming the file, not a traceback.
        print(f"python -m vorn {arguments.command}: {error}", file=sys.stderr)
        return 1
    return 0


def _files(count: int) -> str:
    return f"{count} trace file{'' if count == 1 else 's'}"


if __name__ == "__main__":
    sys.exit(main())
