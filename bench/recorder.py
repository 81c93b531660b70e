"""The recorder, dual-depth frames of the synthetic sensor, three echoes, every output.

- Codecs: CPU time to compress a chunk (the frame's raw image and embedded data) and the size
  it keeps, one frame or four to a chunk; one core's frames per second beside each.
- Writer: CPU time of the writer's thread per frame, through the recorder's own MCAP writer to a
  temporary file (compression, CRC, MCAP records, the file's writes); aim >= 300 frames/s.
- Capture: CPU time of the capturing thread inside `record`, per frame, less the camera's own
  `get_frame`, set against one copy of the raw frame; aim <= 0.5 ms. With --before REV the
  recorder of git revision REV is measured in the same run beside it.
Every figure is the median of --rounds rounds.
"""

from __future__ import annotations

import argparse
import importlib.util
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from collections.abc import Callable
from pathlib import Path
from types import ModuleType
from typing import Any, cast

import lz4.frame
import zstandard
from mcap.writer import CompressionType

import pelorin
from tessaro._sensor import OUTPUTS, FrameFeeder, Mode, output_configuration
from tessaro.recording import _writer
from tessaro.recording._clock import LogClock
from tessaro.recording._background import copy_frame
from tessaro.synthetic import SyntheticSensor

WRITER = "python/tessaro/recording/_writer.py"
CODECS: dict[str, Callable[[bytes], bytes]] = {
    "none": bytes,
    "lz4": lz4.frame.compress,  # what MCAP's writer calls for lz4
    **{f"zstd {level}": zstandard.ZstdCompressor(level=level).compress
       for level in (-5, -1, 1, 3)},  # 3: MCAP's writer for zstd
}


def rendered(count: int) -> tuple[list[bytes], list[bytes]]:
    sensor = SyntheticSensor(Mode.DUAL, seed=3)
    return ([sensor.raw_frame(i).tobytes() for i in range(1, count + 1)],
            [sensor.ebd_frame(i).tobytes() for i in range(1, count + 1)])


def cpu_ms(work: Callable[[], object], count: int) -> float:
    start = time.thread_time()
    work()
    return (time.thread_time() - start) / count * 1e3


def codec_table(images: list[bytes], ebds: list[bytes], rounds: int) -> None:
    print("codec      frames/chunk  ms/frame  frames/s  size   KB/frame")
    for per_chunk in (1, 4):
        chunks = [b"".join(images[i:i + per_chunk] + ebds[i:i + per_chunk])
                  for i in range(0, len(images) - per_chunk + 1, per_chunk)]
        raw = sum(map(len, chunks))
        for name, compress in CODECS.items():
            size = sum(len(compress(chunk)) for chunk in chunks)
            ms = statistics.median(cpu_ms(lambda: [zlib.crc32(c) + len(compress(c))
                                                   for c in chunks], len(chunks) * per_chunk)
                                   for _ in range(rounds))
            print(f"  {name:9} {per_chunk:6}  {ms:10.2f} {1e3 / ms:9.0f}  {size / raw:5.1%}"
                  f" {size / len(chunks) / per_chunk / 1024:8.0f}")


def writer_table(images: list[bytes], ebds: list[bytes], rounds: int, count: int) -> None:
    source = camera(images, ebds)
    info, frame = source.get_camera_info(), copy_frame(source.get_frame(1000), True)
    print(f"writer thread, {count} frames per round   ms/frame  frames/s  (aim >= 300 with "
          f"the chosen codec, {_writer.COMPRESSION.name.lower()})")
    chosen = _writer.COMPRESSION
    for codec in (CompressionType.LZ4, CompressionType.ZSTD, CompressionType.NONE):
        for ros2 in (False, True):
            def write() -> None:
                with tempfile.TemporaryFile() as file:
                    sink = _writer._FrameWriter(file, info, output_configuration(OUTPUTS), ros2)
                    times = LogClock(0).metadata()
                    sink.write_metadata(times)
                    for i in range(count):
                        n = i % len(images)
                        sink.write_frame(i, cast(Any, frame), images[n], ebds[n], i * 1000)
                    sink.finish(times, {})
            _writer.COMPRESSION = codec
            ms = statistics.median(cpu_ms(write, count) for _ in range(rounds))
            print(f"  {codec.name.lower():5} {'raw + ROS 2' if ros2 else 'raw':12}"
                  f"{ms:19.2f} {1e3 / ms:9.0f}")
    _writer.COMPRESSION = chosen


def camera(images: list[bytes], ebds: list[bytes]) -> pelorin.camera:
    camera = pelorin.create_camera_offline("bench")
    camera.add_stream(pelorin.stream_image, FrameFeeder(lambda i: images[i % len(images)]))
    camera.add_stream(pelorin.stream_ebd, FrameFeeder(lambda i: ebds[i % len(ebds)]))
    started = (camera.open(Mode.DUAL), camera.configure_camera_echo(3),
               camera.configure_camera_output(output_configuration(OUTPUTS)), camera.start())
    if started != (0, 0, 0, 0):
        raise RuntimeError(f"the bench camera did not start: {started}")
    return camera


class _Timed:
    """The camera, paced at `rate` frames per second so that the writer keeps up, with the CPU
    time of its `get_frame` kept apart."""

    def __init__(self, camera: pelorin.camera, rate: float) -> None:
        self.camera, self.period, self.inside = camera, 1 / rate, 0.0
        self.due = time.monotonic()

    def get_camera_info(self) -> dict[str, Any]:
        return cast(dict[str, Any], self.camera.get_camera_info())

    def get_frame(self, timeout_ms: int) -> pelorin.frame_buffer:
        start = time.thread_time()
        self.due += self.period
        time.sleep(max(0.0, self.due - time.monotonic()))
        frame = self.camera.get_frame(timeout_ms)
        self.inside += time.thread_time() - start
        return frame


def recorder_before(revision: str, folder: Path) -> ModuleType:
    text = subprocess.run(["git", "show", f"{revision}:{WRITER}"], check=True, text=True,
                          capture_output=True).stdout
    (folder / "writer_before.py").write_text(text)
    found = importlib.util.spec_from_file_location("writer_before", folder / "writer_before.py")
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules["writer_before"] = module  # its dataclasses look themselves up there
    found.loader.exec_module(module)
    return module


def capture_ms(record: Callable[..., Any], source: pelorin.camera, count: int,
               ros2: bool) -> tuple[float, int]:
    """Milliseconds of the capturing thread's CPU per frame, and the frames dropped."""
    timed = _Timed(source, rate=60)
    with tempfile.TemporaryDirectory() as folder:
        start = time.thread_time()
        summary = record(timed, Path(folder) / "bench.mcap", frames=count, ros2=ros2,
                         outputs=output_configuration(OUTPUTS))
        spent = time.thread_time() - start - timed.inside
    return spent / count * 1e3, getattr(summary, "frames_dropped", 0)


def capture_table(images: list[bytes], ebds: list[bytes], rounds: int, count: int,
                  before: str | None, folder: Path) -> None:
    recorders = {"now": _writer.record}
    if before:
        recorders["before"] = recorder_before(before, folder).record
    target = bytearray(len(images[0]))
    copy = statistics.median(cpu_ms(lambda: [target.__setitem__(slice(None), f)
                                             for f in images], len(images)) for _ in range(9))
    print(f"capture thread inside record, {count} frames at 60/s   ms/frame   (aim <= 0.5; "
          f"one copy of the raw frame {copy:.3f})")
    source = camera(images, ebds)
    for ros2 in (False, True):
        for name, record in recorders.items():
            figures = [capture_ms(record, source, count, ros2) for _ in range(rounds)]
            ms = statistics.median(f[0] for f in figures)
            print(f"  {name:7} {'raw + ROS 2' if ros2 else 'raw':12} {ms:24.3f}   "
                  f"{ms / copy:6.1f}x the copy   dropped {max(f[1] for f in figures)}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", help="git revision of a recorder to measure beside")
    parser.add_argument("--frames", type=int, default=120, help="frames per round")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    images, ebds = rendered(8)
    print("Recorder, dual-depth frames (CPU time, median of "
          f"{args.rounds} rounds)")
    codec_table(images, ebds, args.rounds)
    writer_table(images, ebds, args.rounds, args.frames)
    with tempfile.TemporaryDirectory() as folder:
        capture_table(images, ebds, args.rounds, args.frames, args.before, Path(folder))
    # The writer's threads end with each recording: nothing is left running.
    assert threading.active_count() == 1, threading.enumerate()


if __name__ == "__main__":
    main()
