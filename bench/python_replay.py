"""Offline replay from Python against what it cannot avoid, measured in one run.

A feeder that copies a prepared frame into the array it is given is replayed through an offline
camera (three echoes, every output). Each frame is set against the C++ decode of a frame of the
same mode (the C++ benchmark, run from here) plus one numpy copy of the frame's bytes; what is
left over is the cost of the Python layer. Beside it: a numpy decoder of the same frame written
the way a user would (numpy_decoder.py; in dual depth it merges the sub-frames too, and its
outputs are checked to equal the replay's before it is timed), and `tessaro.open` with its default outputs against
pelorin's get_frame with the same outputs, both waiting without the interpreter lock as
`tessaro.open` does. Every figure is CPU time of three runs, printed as minimum / median.
"""

import argparse
import json
import statistics
import subprocess
import tempfile
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np
import numpy.typing as npt

import numpy_decoder
import pelorin
import tessaro
from tessaro._sensor import DEFAULT_OUTPUTS, OUTPUTS, FrameFeeder, Mode, output_configuration
from tessaro.synthetic import wire

RUNS = 3


def per_call_us(call: Callable[[], object], count: int) -> float:
    """CPU time of one call in microseconds, over `count` calls."""
    start = time.thread_time_ns()
    for _ in range(count):
        call()
    return (time.thread_time_ns() - start) / count / 1e3


def feeding_camera(frame: npt.NDArray[np.uint8]) -> pelorin.camera:
    camera = pelorin.create_camera_offline("replay")
    camera.add_stream(pelorin.stream_image, FrameFeeder(lambda index: frame))
    return camera


def replay_camera(frame: npt.NDArray[np.uint8], dual: bool,
                  outputs: tuple[str, ...] = tuple(OUTPUTS)) -> pelorin.camera:
    camera = feeding_camera(frame)
    started = (camera.open(Mode.DUAL if dual else Mode.SINGLE), camera.configure_camera_echo(3),
               camera.configure_camera_output(output_configuration(outputs)), camera.start())
    if started != (0, 0, 0, 0) or camera.get_frame(100).error != 0:
        raise RuntimeError(f"the replay camera did not start: {started}")
    return camera


def python_figures(dual: bool, count: int) -> dict[str, list[float]]:
    frame = wire.encode_raw_frame(wire.random_values(7, dual), dual)
    camera = replay_camera(frame, dual)
    target = np.empty_like(frame)
    plain = replay_camera(frame, dual, DEFAULT_OUTPUTS)
    plain.release_gil = True
    figures: dict[str, list[float]] = {"replay": [], "copy": [], "numpy": [], "get_frame": [],
                                       "open": []}
    differ = numpy_decoder.differences(numpy_decoder.decode(frame, dual), camera.get_frame(100))
    if differ:
        raise RuntimeError(f"the numpy decoder's {', '.join(differ)} differ from the replay's")
    with tessaro.open(feeding_camera(frame), mode="dual" if dual else "single") as device:
        frames = device.frames()
        for _ in range(RUNS):
            figures["replay"].append(per_call_us(lambda: camera.get_frame(100), count))
            figures["copy"].append(per_call_us(lambda: np.copyto(target, frame), count))
            figures["numpy"].append(per_call_us(lambda: numpy_decoder.decode(frame, dual), count // 10))
            figures["get_frame"].append(per_call_us(lambda: plain.get_frame(100), count))
            figures["open"].append(per_call_us(lambda: next(frames), count))
    if camera.get_frame(100).error != 0 or plain.get_frame(100).error != 0:
        raise RuntimeError("the replay failed")
    return figures


def cpp_decode_figures(bench: Path) -> dict[bool, list[float]]:
    """The C++ benchmark's decode of a frame with three echoes and every output, per run."""
    names = {"single/3 echoes/all outputs": False, "dual/3 echoes/all outputs": True}
    with tempfile.NamedTemporaryFile(suffix=".json") as out:
        subprocess.run([str(bench), "--benchmark_filter=^(" + "|".join(names) + ")(/|$)",
                        f"--benchmark_out={out.name}", "--benchmark_out_format=json"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        runs = json.loads(Path(out.name).read_text())["benchmarks"]
    figures: dict[bool, list[float]] = {False: [], True: []}
    for run in runs:
        name = run["run_name"].split("/min_time")[0]
        if run.get("run_type") == "iteration" and name in names:
            scale = {"ns": 1e-3, "us": 1.0, "ms": 1e3}[run["time_unit"]]
            figures[names[name]].append(run["cpu_time"] * scale)
    return figures


def spread(values: list[float]) -> str:
    return f"{min(values):7.1f} / {statistics.median(values):7.1f}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpp-bench", type=Path, default=Path("build/bench/tessaro_bench"))
    parser.add_argument("--frames", type=int, default=2000)
    args = parser.parse_args()
    decode = cpp_decode_figures(args.cpp_bench)
    print("\nPython offline replay, 3 echoes, all outputs (CPU us per frame, min / median of "
          f"{RUNS} runs)")
    for dual in (False, True):
        figures = python_figures(dual, args.frames // (2 if dual else 1))
        replay, copy, cpp = figures["replay"], figures["copy"], decode[dual]
        aim = [d + c + 5.0 for d, c in zip(sorted(cpp), sorted(copy))]
        left = [r - d - c for r, d, c in zip(sorted(replay), sorted(cpp), sorted(copy))]
        mode = "dual" if dual else "single"
        print(f"  {mode:6} replay {spread(replay)}   C++ decode {spread(cpp)}   numpy copy "
              f"{spread(copy)}")
        print(f"  {mode:6} replay / (decode + copy + 5 us) {min(replay) / min(aim):5.2f}x / "
              f"{statistics.median(replay) / statistics.median(aim):5.2f}x   Python layer "
              f"{spread(left)} us")
        numpy = figures["numpy"]
        print(f"  {mode:6} numpy decoder {spread(numpy)}   same outputs, numpy decoder / replay "
              f"{min(numpy) / min(replay):5.2f}x / {statistics.median(numpy) / statistics.median(replay):5.2f}x")
        opened, plain = figures["open"], figures["get_frame"]
        print(f"  {mode:6} tessaro.open {spread(opened)}   get_frame {spread(plain)}   default outputs, "
              f"open / get_frame {min(opened) / min(plain):5.2f}x / "
              f"{statistics.median(opened) / statistics.median(plain):5.2f}x")


if __name__ == "__main__":
    main()
