"""tessaro batch on local Dask clusters: frames per second per worker, the speed-up from one
worker to two, and a worker's memory over a long recording.

Throughput: RECORDINGS hard links of one recording of --frames frames, run on an already started
cluster of 1 and of 2 worker processes (the cluster's start is left out), best of --runs.
Memory: one worker's peak resident memory after a warm-up recording, and again after a
recording of --long frames with --zarr; the difference is what the long recording cost beyond
the engine's and the library's own.

Usage: PYTHONPATH=python .venv/bin/python bench/batch_scaling.py [--keep DIR]
"""

import argparse
import logging
import os
import resource
import tempfile
import time
from pathlib import Path

from distributed import Client, LocalCluster

import tessaro
from tessaro._batch_engine import Settings, run

RECORDINGS = 4


def recording(folder: Path, frames: int) -> Path:
    """A synthetic single-depth recording of `frames` frames (kept in `folder` between runs)."""
    path = folder / f"synthetic-{frames}.mcap"
    if not path.exists():
        with tessaro.open("synthetic", mode="single", seed=7) as device:
            device.record(path.with_suffix(".partial"), frames=frames)
        path.with_suffix(".partial").rename(path)
    return path


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def throughput(paths: list[Path], workers: int, out: Path, runs: int) -> float:
    """Frames per second of the batch over `paths` on a started cluster of `workers`."""
    with LocalCluster(n_workers=workers,  # type: ignore[no-untyped-call]
                      threads_per_worker=1, processes=True,
                      dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL,
                      local_directory=str(out / "scratch")) as cluster:
        best = float("inf")
        for _ in range(runs):
            began = time.perf_counter()
            rows = run(paths, out, Settings(), scheduler=cluster.scheduler_address,
                       progress=False)
            best = min(best, time.perf_counter() - began)
    return float(sum(row["frames"] for row in rows)) / best


def memory(short: Path, long: Path, out: Path) -> tuple[float, float]:
    """A worker's peak resident memory in MiB after `short`, and after `long` as well."""
    with LocalCluster(n_workers=1, threads_per_worker=1,  # type: ignore[no-untyped-call]
                      processes=True,
                      dashboard_address="127.0.0.1:0", silence_logs=logging.CRITICAL,
                      local_directory=str(out / "scratch")) as cluster, \
            Client(cluster) as client:  # type: ignore[no-untyped-call]
        peaks = []
        for path in (short, long):
            run([path], out, Settings(zarr=True), scheduler=cluster.scheduler_address,
                progress=False)
            peaks += list(client.run(peak_rss_mib).values())
    return peaks[0], peaks[1]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--long", type=int, default=5000)
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--keep", type=Path, help="keep the recordings here between runs")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="batch-bench-") as scratch:
        folder = args.keep or Path(scratch)
        folder.mkdir(parents=True, exist_ok=True)
        one = recording(folder, args.frames)
        links = Path(scratch) / "links"
        links.mkdir()
        paths = []
        for i in range(RECORDINGS):
            paths.append(links / f"copy{i}.mcap")
            os.link(one, paths[-1])
        out = Path(scratch) / "out"
        rates = {n: throughput(paths, n, out, args.runs) for n in (1, 2)}
        for n, rate in rates.items():
            print(f"{n} worker(s): {rate:.0f} frames/s, {rate / n:.0f} frames/s per worker "
                  f"({RECORDINGS} recordings of {args.frames} frames)")
        print(f"speed-up 1 -> 2 workers: {rates[2] / rates[1]:.2f}x")
        warm, after = memory(recording(folder, 10), recording(folder, args.long), out)
        frame_mib = 395136 / 2**20
        print(f"worker peak memory: {warm:.0f} MiB after a 10-frame recording, {after:.0f} MiB "
              f"after a {args.long}-frame one with --zarr: +{after - warm:.1f} MiB, "
              f"{(after - warm) / frame_mib:.1f} raw frames")


if __name__ == "__main__":
    main()
