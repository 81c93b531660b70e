"""make demo: the main job end to end. Looks for real cameras; without one, records a short
single-depth and a dual-depth recording from the synthetic sensor, replays both through the whole
chain (offline camera, decoding, near/far merge, embedded data), prints per-frame statistics and
the throughput, and writes a depth PNG and a PLY point cloud of the last frame."""

import sys
import time
from pathlib import Path
from typing import Any

import tessaro
from tessaro import export
from tessaro._commands import frame_line
from tessaro._sensor import MODE_NAMES

OUT = Path(sys.argv[1] if len(sys.argv) > 1 else "build/demo")
FRAMES = 30


def find_source() -> str:
    found = tessaro.cameras()
    if not found:
        print("no IMX704 camera found: running on the synthetic sensor")
        return "synthetic"
    print(f"found {', '.join(c['id'] for c in found)}: recording from {found[0]['id']}")
    return str(found[0]["id"])


def record_and_replay(source: str, name: str, mode: int) -> None:
    path = OUT / f"{name}.mcap"
    options: dict[str, Any] = {"seed": 7} if source == "synthetic" else {}
    with tessaro.open(source, mode=mode, **options) as device:
        summary = device.record(path, frames=FRAMES)
    print(f"\n{name} depth: recorded {summary.frames_written} frames in mode {mode:#x} "
          f"to {path} ({path.stat().st_size // 1024} KiB)")

    with tessaro.open(path, echoes=3, outputs="all") as device:
        began = time.perf_counter()
        for frame in device:
            if frame.index % 10 == 0 or frame.index == len(device) - 1:
                print("  " + frame_line(frame))
        elapsed = time.perf_counter() - began
        temperature = device.camera.get_sensor_info().temperature
    print(f"  replayed {device.frames_delivered} frames in {elapsed * 1e3:.0f} ms "
          f"({device.frames_delivered / elapsed:.0f} frames/s), {device.frames_failed} failed, "
          f"{device.frames_dropped} dropped; sensor at {temperature:.0f} C")

    png, ply = OUT / f"{name}-depth.png", OUT / f"{name}-points.ply"
    export.depth_png(frame, png)
    points = export.point_cloud_ply(frame, ply)
    print(f"  last frame: {png}, {ply} ({points} points)")


def main() -> None:
    began = time.perf_counter()
    OUT.mkdir(parents=True, exist_ok=True)
    source = find_source()
    for name, mode in MODE_NAMES.items():
        record_and_replay(source, name, mode)
    print(f"\ndone in {time.perf_counter() - began:.1f} s")


if __name__ == "__main__":
    main()
