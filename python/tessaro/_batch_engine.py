"""`tessaro batch` on Dask distributed: `recording_tables` mapped over recordings on a local
cluster of worker processes or an existing one, each worker writing its recordings' tables.

Layout of the output folder: frames/NAME.parquet (one per recording), depth/NAME.zarr (with
zarr), summary.parquet (one row per recording, in the order the recordings were given). NAME is
the recording's file name without its suffix, made unique in input order.
"""

from __future__ import annotations

import logging
import os
import shutil
import sys
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from tessaro.batch import Array, Tables, recording_tables, summary_columns

FRAMES = "frames"
DEPTH = "depth"
SUMMARY = "summary.parquet"

_SUMMARY_TYPES: dict[str, pa.DataType] = {
    "name": pa.string(), "file": pa.string(), "size": pa.int64(), "camera": pa.string(),
    "mode": pa.string(), "dual": pa.bool_(), "echoes": pa.int64(), "outputs": pa.string(),
    "select_near": pa.float64(), "select_far": pa.float64(), "merge_window": pa.float64(),
    "frames": pa.int64(), "duration_s": pa.float64(), "frame_rate": pa.float64(),
    "frames_lost": pa.int64(), "frames_failed": pa.int64(), "damage_frame": pa.int64(),
    "damage": pa.string()}
SUMMARY_SCHEMA = pa.schema([(name, _SUMMARY_TYPES[name])
                            for name in ["name", *summary_columns()]])


@dataclass(frozen=True)
class Settings:
    """How every recording of a batch is decoded (None: as recorded) and what is written."""
    echoes: int | None = None
    outputs: tuple[str, ...] | None = None
    dual_depth: tuple[float, float, float] | None = None
    zarr: bool = False
    chunk_frames: int = 256


def unique_names(paths: Sequence[Path]) -> list[str]:
    """A name per recording for its output files: its stem, with -2, -3, ... for a stem seen
    before, so that the same inputs always give the same names."""
    names: list[str] = []
    taken: set[str] = set()
    for path in paths:
        name, n = path.stem, 1
        while name in taken:
            n += 1
            name = f"{path.stem}-{n}"
        taken.add(name)
        names.append(name)
    return names


def frame_table(columns: dict[str, Array]) -> pa.Table:
    """A frame table as Arrow: NaN and masked entries become nulls."""
    return pa.table({name: pa.array(values, from_pandas=True) for name, values in columns.items()})


class _ZarrDepth:
    """Depth arrays appended to a Zarr array a chunk of frames at a time, so that a worker
    holds at most one chunk."""

    def __init__(self, path: Path, chunk_frames: int) -> None:
        self.path, self.chunk_frames = path, chunk_frames
        self.block: list[Array] = []
        self.array: Any = None
        shutil.rmtree(path, ignore_errors=True)  # left by an earlier run, or a dead worker

    def __call__(self, depth: Array) -> None:
        self.block.append(np.array(depth, dtype=np.float32))
        if len(self.block) == self.chunk_frames:
            self.flush()

    def flush(self) -> None:
        if not self.block:
            return
        import zarr
        block = np.stack(self.block)
        if self.array is None:
            self.array = zarr.open_array(str(self.path), mode="w", shape=(0, *block.shape[1:]),
                                         chunks=(self.chunk_frames, *block.shape[1:]),
                                         dtype="float32", fill_value=0.0)
        self.array.append(block, axis=0)
        self.block = []


def _failed(path: str, name: str, why: str) -> dict[str, Any]:
    row: dict[str, Any] = dict.fromkeys(SUMMARY_SCHEMA.names)
    row.update(name=name, file=path, frames=0, frames_lost=0, frames_failed=0, damage=why)
    return row


def process(path: str, name: str, out: str, settings: Settings) -> dict[str, Any]:
    """Tables of one recording written into `out`; returns its summary row. Runs on a worker,
    and may run again on another when a worker dies: every file it writes is replaced whole."""
    folder = Path(out)
    try:
        sink = _ZarrDepth(folder / DEPTH / f"{name}.zarr", settings.chunk_frames) \
            if settings.zarr else None
        tables: Tables = recording_tables(path, echoes=settings.echoes,
                                          outputs=settings.outputs,
                                          dual_depth=settings.dual_depth, depth=sink)
        if sink is not None:
            sink.flush()
        target = folder / FRAMES / f"{name}.parquet"
        partial = target.with_name(f".{name}.parquet.{os.getpid()}")
        pq.write_table(frame_table(tables.frames), partial)
        os.replace(partial, target)
    except Exception as error:  # one recording's failure, whatever it is, is its row's
        return _failed(path, name, f"{type(error).__name__}: {error}")
    return {"name": name, **tables.summary}


def _prepare(out: Path, settings: Settings) -> None:
    (out / FRAMES).mkdir(parents=True, exist_ok=True)
    if settings.zarr:
        (out / DEPTH).mkdir(exist_ok=True)


def _finish(out: Path, rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    pq.write_table(pa.Table.from_pylist(rows, schema=SUMMARY_SCHEMA), out / SUMMARY)
    return rows


def run_serial(paths: Sequence[Path], out: Path, settings: Settings) -> list[dict[str, Any]]:
    """The batch in this process, one recording after the other: what a cluster must match."""
    _prepare(out, settings)
    return _finish(out, [process(str(path), name, str(out), settings)
                         for path, name in zip(paths, unique_names(paths))])


def run(paths: Sequence[Path], out: Path, settings: Settings, *, workers: int | None = None,
        scheduler: str | None = None, progress: bool = True) -> list[dict[str, Any]]:
    """The batch on Dask: a local cluster of `workers` processes (default: one per core), or
    the cluster whose scheduler is at `scheduler`. Returns the summary rows in input order.
    `paths` and `out` must be absolute and, on a cluster, the same on every worker."""
    import dask
    from distributed import Client, LocalCluster, as_completed
    from distributed.client import Future
    from tqdm import tqdm
    _prepare(out, settings)
    names = unique_names(paths)
    rows: list[dict[str, Any] | None] = [None] * len(paths)
    with tempfile.TemporaryDirectory(prefix="tessaro-batch-") as scratch, \
            dask.config.set({"temporary-directory": scratch}):
        cluster = None
        if scheduler is None:
            cluster = LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=workers or _cores(),
                threads_per_worker=1, processes=True, local_directory=scratch,
                # The scheduler always serves HTTP: on a free local port, so that runs side
                # by side do not compete for 8787.
                dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL)
        try:
            with Client(cluster if cluster is not None  # type: ignore[no-untyped-call]
                        else scheduler, timeout=10) as client:
                futures: dict[Future[dict[str, Any]], int] = {}
                for i, (path, name) in enumerate(zip(paths, names)):
                    future = client.submit(process, str(path), name, str(out), settings,
                                           key=f"tessaro-batch-{i}-{name}", pure=False)
                    futures[future] = i
                with tqdm(total=len(paths), unit="recording", desc="batch",
                          disable=None if progress else True, file=sys.stderr,
                          leave=False) as bar:
                    for future in as_completed(futures):  # type: ignore[no-untyped-call]
                        i = futures[future]
                        rows[i] = _result(future, str(paths[i]), names[i])
                        bar.update(1)
        finally:
            if cluster is not None:
                cluster.close()
    return _finish(out, [row for row in rows if row is not None])


def _cores() -> int:
    """The cores this process may run on (all of the machine's where the system cannot say)."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _result(future: Any, path: str, name: str) -> dict[str, Any]:
    """A finished task's row; a task that Dask gave up on (its workers kept dying) is a row
    too."""
    from distributed import KilledWorker
    try:
        row: dict[str, Any] = future.result()
        return row
    except KilledWorker:
        return _failed(path, name, "the workers reading it died (allowed failures reached)")
    except Exception as error:  # whatever came back instead of a row
        return _failed(path, name, f"{type(error).__name__}: {error}")
