"""`tessaro batch INPUTS... --out DIR`: tables of many recordings on a Dask cluster.

Exit status 0 when every recording was intact, 1 when some were damaged or unreadable (each
listed), 2 when the job could not run: a usage error, the batch extra missing, or a scheduler
that cannot be reached.
"""

from __future__ import annotations

import argparse
import glob
import os
import sys
from pathlib import Path
from typing import Any

import tessaro
from tessaro._commands import Verb, examples, positive
from tessaro._extras import require
from tessaro.errors import MissingExtraError

HELP = ("Tables of many recordings, in parallel on a local Dask cluster or an existing one: a "
        "Parquet file of frames per recording and a summary Parquet file of all of them.")
GLOB_CHARACTERS = set("*?[")


class UsageError(Exception):
    """A command line the job cannot run with."""



def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The verb's arguments."""
    parser.add_argument("inputs", nargs="+", metavar="INPUT", help="recordings: files, folders "
                        "(every .mcap file inside, recursively) or glob patterns ('**' allowed)")
    parser.add_argument("--out", type=Path, required=True, metavar="DIR",
                        help="folder of the tables (created; on a cluster, one every worker "
                        "can write)")
    parser.add_argument("--zarr", action="store_true", help="also write each recording's "
                        "decoded depth as a Zarr array, chunked by frames")
    engine = parser.add_mutually_exclusive_group()
    engine.add_argument("--workers", type=positive, metavar="N",
                        help="worker processes of the local cluster (default: the cores)")
    engine.add_argument("--scheduler", metavar="ADDRESS",
                        help="use the Dask cluster of this scheduler, e.g. tcp://host:8786")
    parser.add_argument("--echoes", type=int, choices=(1, 2, 3),
                        help="echoes per zone (default: as recorded)")
    parser.add_argument("--outputs", help="comma-separated outputs to decode, or 'all' "
                        "(default: as recorded; depth is always decoded)")
    parser.add_argument("--dual-depth", metavar="NEAR,FAR,WINDOW", help="dual-depth "
                        "parameters in millimetres for dual-depth recordings (default: as "
                        "recorded)")
    examples(parser, "tessaro batch recordings/ --out tables",
             "tessaro batch 'runs/**/*.mcap' --out tables --zarr --workers 2")


def find_recordings(inputs: list[str]) -> list[Path]:
    """Absolute paths of the recordings that `inputs` name, in order, each once."""
    found: list[Path] = []
    for text in inputs:
        path = Path(text)
        if path.is_dir():
            matches = sorted(path.rglob("*.mcap"))
        elif path.exists():
            matches = [path]
        elif GLOB_CHARACTERS & set(text):
            matches = sorted(Path(m) for m in glob.glob(text, recursive=True)
                             if Path(m).is_file())
            if not matches:
                raise UsageError(f"{text} matches no file")
        else:
            raise UsageError(f"no such file or folder: {text}")
        found += [m.absolute() for m in matches]
    unique = list(dict.fromkeys(found))
    if not unique:
        raise UsageError(f"no recordings (.mcap files) in {', '.join(inputs)}")
    return unique


def _settings(args: argparse.Namespace) -> Any:
    from tessaro._batch_engine import Settings
    outputs = None
    if args.outputs is not None:
        outputs = tuple(name.strip() for name in args.outputs.split(",") if name.strip())
        if outputs == ("all",):
            outputs = tuple(tessaro.OUTPUTS)
        unknown = [name for name in outputs if name not in tessaro.OUTPUTS]
        if unknown or not outputs:
            raise UsageError(f"--outputs {args.outputs}: outputs are "
                             f"{', '.join(tessaro.OUTPUTS)} or 'all'")
    dual = None
    if args.dual_depth is not None:
        try:
            near, far, window = (float(part) for part in args.dual_depth.split(","))
        except ValueError:
            raise UsageError(f"--dual-depth {args.dual_depth}: give NEAR,FAR,WINDOW in "
                             "millimetres") from None
        if not 0 <= near <= far < float("inf") or not 0 <= window < float("inf"):
            raise UsageError(f"--dual-depth {args.dual_depth}: needs 0 <= NEAR <= FAR and "
                             "WINDOW >= 0")
        dual = (near, far, window)
    return Settings(echoes=args.echoes, outputs=outputs, dual_depth=dual, zarr=args.zarr)


def main(args: argparse.Namespace) -> int:
    """Run the verb; returns the exit status."""
    try:  # the extra's packages, checked before any work
        require("batch", "the batch job", "distributed", "pyarrow", *(["zarr"] if args.zarr else []))
    except MissingExtraError as error:
        print(f"tessaro batch: error: {error}", file=sys.stderr)
        return 2
    from tessaro import _batch_engine as engine
    try:
        settings = _settings(args)
        paths = find_recordings(args.inputs)
        out = args.out.absolute()
        try:
            out.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise UsageError(f"--out {args.out}: {error.strerror}") from None
        try:
            rows = engine.run(paths, out, settings, workers=args.workers,
                              scheduler=args.scheduler)
        except OSError as error:  # Dask's connection errors are OSErrors too
            if args.scheduler is None:
                raise
            raise UsageError(f"cannot use the scheduler at {args.scheduler}: "
                             f"{' '.join(str(error).split())}") from None
    except UsageError as error:
        print(f"tessaro batch: error: {error}", file=sys.stderr)
        return 2
    damaged = [row for row in rows if row["damage"] is not None]
    for row in damaged:
        where = f"frame {row['damage_frame']}: " if row["damage_frame"] is not None else ""
        print(f"damaged: {row['file']}: {where}{row['damage']}")
    frames = sum(row["frames"] for row in rows)
    print(f"{len(rows)} recordings, {frames} frames: {len(rows) - len(damaged)} intact, "
          f"{len(damaged)} damaged; tables in {os.fspath(args.out)}")
    return 1 if damaged else 0


BATCH = Verb("batch", HELP, add_arguments, main)
