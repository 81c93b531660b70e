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
from pathlib import Path
from typing import Any, NoReturn

from tessaro import commands


class _Parser(argparse.ArgumentParser):
    """argparse, but a usage error is one line that points at --help."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _seed(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def _seconds(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0 seconds, not {text}")
    return value


def _decoding(parser: argparse.ArgumentParser, outputs: str = "depth,points") -> None:
    parser.add_argument("--echoes", type=int, default=3, help="echoes per zone, 1 to 3 "
                        "(default %(default)s)")
    parser.add_argument("--outputs", default=outputs, help="comma-separated outputs to decode, "
                        "from depth, cartesian_depth, points, peak_height, peak_status, noise, "
                        "histogram, pdc, or 'all' (default %(default)s)")


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the command and its sub-commands."""
    parser = _Parser(prog="tessaro", description="Record, replay and look at IMX704 depth data.")
    parser.add_argument("--version", action="version", version=commands.version())
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                parser_class=_Parser)

    def command(name: str, run: Callable[[argparse.Namespace], int], text: str
                ) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=text, description=text)
        p.set_defaults(run=run)
        return p

    command("list", commands.list_cameras, "List the cameras attached to this machine.")

    p = command("info", commands.info, "Show a camera's information, or a recording's metadata.")
    p.add_argument("id", metavar="ID", help="a camera id from 'tessaro list', or a recording")

    p = command("record", commands.record, "Record raw frames from a camera or the synthetic "
                "sensor into an MCAP file.")
    p.add_argument("output", metavar="FILE", type=Path, help="the recording to write (.mcap)")
    origin = p.add_mutually_exclusive_group(required=True)
    origin.add_argument("--camera", metavar="ID", help="a camera id from 'tessaro list'")
    origin.add_argument("--synthetic", action="store_true", help="the synthetic sensor")
    amount = p.add_mutually_exclusive_group()
    amount.add_argument("--frames", type=_positive, help="frames to record (default 100)")
    amount.add_argument("--duration", type=_seconds, help="seconds to record")
    p.add_argument("--mode", default="single", help="sensor mode: an id such as 0x211c, or "
                   "'single' / 'dual' (default %(default)s)")
    p.add_argument("--seed", type=_seed, default=0, help="synthetic sensor seed, 0 or more")
    p.add_argument("--force", action="store_true", help="replace FILE if it exists")
    p.add_argument("--ros2", action="store_true", help="also write decoded depth images and "
                   "point clouds as ROS 2 messages")
    _decoding(p)

    p = command("replay", commands.replay, "Replay a recording through the library and print "
                "per-frame statistics and a summary.")
    p.add_argument("file", metavar="FILE", type=Path, help="a recording (.mcap)")
    p.add_argument("--every", type=_positive, default=1, metavar="K",
                   help="print every K-th frame (default %(default)s)")
    p.add_argument("--quiet", action="store_true", help="print only the summary")
    _decoding(p)

    p = command("export", commands.export, "Export one frame of a recording as a depth PNG, "
                "a point-cloud PLY and all decoded outputs as .npz.")
    p.add_argument("file", metavar="FILE", type=Path, help="a recording (.mcap)")
    p.add_argument("--frame", type=int, default=0, metavar="K", help="frame index, from 0; "
                   "negative counts from the end (default %(default)s)")
    p.add_argument("--out", metavar="PREFIX", help="output path without suffix, or a folder "
                   "to write into (default: FILE's name with -frameK)")
    p.add_argument("--echo", type=int, default=1, help="echo shown in the PNG, from 1")
    _decoding(p, outputs="all")

    p = command("bench", commands.bench, "Frames per second of replay through the whole chain "
                "(offline camera, decoding, merge, embedded data), single and dual depth.")
    p.add_argument("--frames", type=_positive, default=200, help="frames per mode "
                   "(default %(default)s)")
    p.add_argument("--file", type=Path, action="append", metavar="FILE",
                   help="bench this recording instead of synthetic ones (repeatable)")
    _decoding(p, outputs="all")
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


def _one_line(error: Any) -> str:
    text = " ".join(str(error).split()) or type(error).__name__
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        text = f"{error.filename}: {error.strerror}"
    return text


if __name__ == "__main__":
    sys.exit(main())
