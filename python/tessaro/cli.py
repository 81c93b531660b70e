"""The `tessaro` command: list cameras, record, replay, export and benchmark.

A thin layer over `tessaro.open`, `tessaro.recording` and `tessaro.export`. A user error (a
missing file, an unknown mode or camera) ends the command with one line on stderr and exit
status 1; a traceback means a bug.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn

from tessaro import _commands as commands
from tessaro._commands import Verb
from tessaro._sensor import version
from tessaro._batch_command import BATCH
from tessaro.view import VIEW

__all__ = ["VERBS", "build_parser", "main"]

# The verbs in the order --help lists them. A verb of another module is registered by importing
# it above and naming it here.
VERBS: list[Verb] = [
    commands.LIST,
    commands.INFO,
    commands.RECORD,
    commands.REPLAY,
    commands.EXPORT,
    commands.BENCH,
    VIEW,
    BATCH,
]


class _Parser(argparse.ArgumentParser):
    """argparse, but a usage error is one line that points at --help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command and its verbs."""
    parser = _Parser(prog="tessaro", description="Record, replay and look at IMX704 depth data.")
    installed = version()
    parser.add_argument("--version", action="version",
                        version=f"tessaro {installed}" if installed else "tessaro (not installed)")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)
    for verb in VERBS:
        verb_parser = sub.add_parser(verb.name, help=verb.help, description=verb.help)
        verb.add_arguments(verb_parser)
        verb_parser.set_defaults(run=verb.main)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command; returns the exit status."""
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as done:  # --help, --version or a usage error, already reported
        return done.code if isinstance(done.code, int) else 2
    run: Callable[[argparse.Namespace], int] = args.run
    # File names need not be UTF-8: they are printed as the bytes they are, as ls does.
    if isinstance(sys.stdout, io.TextIOWrapper):
        sys.stdout.reconfigure(errors="surrogateescape")
    try:
        status = run(args)
        sys.stdout.flush()  # here, where a closed pipe is caught, not at the interpreter's exit
        return status
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly, as a tool that SIGPIPE ends, and keep
        # the interpreter's last flush from failing again.
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 141
    except KeyboardInterrupt:
        print("tessaro: interrupted", file=sys.stderr)
        return 130
    except commands.USER_ERRORS as error:
        print(f"tessaro {args.command}: error: {_one_line(error)}", file=sys.stderr)
        return 1


def _one_line(error: BaseException) -> str:
    text = " ".join(str(error).split()) or type(error).__name__
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        text = f"{error.filename}: {error.strerror}"
    return text


if __name__ == "__main__":
    sys.exit(main())
