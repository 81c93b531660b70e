"""Time to render a synthetic sensor's frame (raw image and embedded data), per mode, on one core.

With --before REV the sensor as it was at git revision REV is loaded beside the current one and
both render the same frames, in turn, in the same run: its figure and the ratio are printed too.
CPU time of this process is measured, so that other work on the machine weighs less.
"""

from __future__ import annotations

import argparse
import importlib
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType

import tessaro.synthetic

PACKAGE = "python/tessaro/synthetic"
MODULES = ("__init__", "_model", "_scene", "wire")


def load_before(revision: str, folder: Path) -> ModuleType:
    """The synthetic package of `revision`, importable as `synthetic_before`."""
    root = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True, text=True,
                          capture_output=True).stdout.strip()
    package = folder / "synthetic_before"
    package.mkdir()
    for name in MODULES:
        text = subprocess.run(["git", "-C", root, "show", f"{revision}:{PACKAGE}/{name}.py"],
                              check=True, text=True, capture_output=True).stdout
        (package / f"{name}.py").write_text(text.replace("tessaro.synthetic", "synthetic_before"))
    sys.path.insert(0, str(folder))
    return importlib.import_module("synthetic_before")


def per_frame_ms(make: Callable[[int], object], frames: range) -> float:
    start = time.process_time()
    for index in frames:
        make(index)
    return (time.process_time() - start) / len(frames) * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--before", help="git revision of the sensor to compare with")
    parser.add_argument("--frames", type=int, default=40, help="frames per round")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        packages = {"now": tessaro.synthetic}
        if args.before:
            packages["before"] = load_before(args.before, Path(folder))
        print(f"ms per frame (raw image and embedded data), median of {args.rounds} rounds of "
              f"{args.frames} frames")
        print(f"  {'mode':8} {'now':>8}" + (f" {'before':>8} {'ratio':>7}" if args.before else ""))
        for mode in sorted(tessaro.synthetic.MODES):
            times: dict[str, list[float]] = {name: [] for name in packages}
            for round_ in range(args.rounds):
                # Every round renders frames neither sensor has rendered before.
                frames = range(1 + round_ * args.frames, 1 + (round_ + 1) * args.frames)
                for name, package in packages.items():
                    sensor = package.SyntheticSensor(mode, seed=3)

                    def frame(index: int, sensor: "tessaro.synthetic.SyntheticSensor" = sensor
                              ) -> object:
                        return sensor.raw_frame(index), sensor.ebd_frame(index)

                    frame(0)
                    times[name].append(per_frame_ms(frame, frames))
            now = statistics.median(times["now"])
            line = f"  {mode:#8x} {now:8.2f}"
            if args.before:
                before = statistics.median(times["before"])
                line += f" {before:8.2f} {before / now:6.2f}x"
            print(line, flush=True)


if __name__ == "__main__":
    main()
