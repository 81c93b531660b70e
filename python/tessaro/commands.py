"""What each sub-command of `tessaro` does, given its parsed arguments; each returns the exit
status. Output goes to stdout, progress bars to stderr."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np

import tessaro
from tessaro.errors import SourceError, TessaroError
from tessaro.frame import Frame
from tessaro.sources import CAMERA_ID, recording_problem
from tessaro.status import describe

USER_ERRORS = (TessaroError, OSError)
MODES = {"single": 0x211C, "dual": 0x301C}


def version() -> str:
    """The installed package's version."""
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed
    try:
        return f"tessaro {installed('pelorin')}"
    except PackageNotFoundError:
        return "tessaro (not installed)"


def _outputs(args: argparse.Namespace) -> list[str] | str:
    text: str = args.outputs
    return "all" if text == "all" else [name.strip() for name in text.split(",") if name.strip()]


@contextmanager
def _progress(total: int | None, what: str) -> Iterator[Any]:
    """A tqdm bar on stderr, shown only when stderr is a terminal."""
    from tqdm import tqdm
    with tqdm(total=total, unit="frame", desc=what, disable=None, file=sys.stderr,
              leave=False) as bar:
        yield bar


def _mode_text(mode: int, dual: bool) -> str:
    return f"{mode:#x} ({'dual' if dual else 'single'} depth)"


def list_cameras(args: argparse.Namespace) -> int:
    """tessaro list."""
    found = tessaro.cameras()
    if not found:
        print("no cameras found: no IMX704 on this machine's media devices")
    for info in found:
        modes = ", ".join(_mode_text(int(key, 16), mode["dual_depth_mode"])
                          for key, mode in sorted(info["supported_modes"].items()))
        print(f"{info['id']}  {info['model']}  {info['status']}  modes: {modes}")
    return 0


def _print_mapping(mapping: dict[str, Any], indent: str = "") -> None:
    for key, value in mapping.items():
        if isinstance(value, dict):
            print(f"{indent}{key}:")
            _print_mapping(value, indent + "  ")
        else:
            print(f"{indent}{key}: {value}")


def info(args: argparse.Namespace) -> int:
    """tessaro info ID: a camera's information, or a recording's metadata; a damaged recording
    shows what reads and ends in its damage (exit status 1)."""
    if not CAMERA_ID.fullmatch(args.id) or os.path.lexists(args.id):
        if (problem := recording_problem(Path(args.id))) is not None:
            raise SourceError(f"{args.id}: {problem}")
        from tessaro.recording import Recording
        with Recording(args.id) as recording:
            readable = "readable frames" if recording.damage else "frames"
            print(f"{args.id}: {len(recording)} {readable}, mode "
                  f"{_mode_text(recording.mode, recording.dual)}")
            _print_mapping(dict(recording.metadata))
            if recording.damage is not None:
                raise recording.damage
        return 0
    for camera in tessaro.cameras():
        if camera["id"] == args.id:
            _print_mapping(camera)
            return 0
    raise SourceError(f"unknown camera '{args.id}': 'tessaro list' shows the attached cameras")


def record(args: argparse.Namespace) -> int:
    """tessaro record FILE (--camera ID | --synthetic)."""
    source = "synthetic" if args.synthetic else args.camera
    options = {"seed": args.seed} if args.synthetic else {}
    frames = args.frames if args.frames or args.duration else 100
    with tessaro.open(source, mode=args.mode, echoes=args.echoes, outputs=_outputs(args),
                      **options) as device, _progress(frames, "recording") as bar:
        summary = device.record(args.output, frames=frames, duration=args.duration,
                                ros2=args.ros2, progress=lambda n: bar.update(1),
                                overwrite=args.force)
    print(f"wrote {summary.frames_written} frames of {device.name} in mode "
          f"{_mode_text(device.mode, device.dual)} to {summary.path}"
          + (f"; {summary.frames_failed} failed frames not written" if summary.frames_failed
             else "") + ("; interrupted" if summary.interrupted else ""))
    return 0


def frame_line(frame: Frame) -> str:
    """One line of statistics of a frame: ids, valid zones and depth of the first echo."""
    text = f"frame {frame.index:5d}  id {frame.frame_id:5d}  t {frame.timestamp:10d}"
    if "depth" in frame.outputs:
        depth = frame.depth[0]
        valid = depth[depth > 0]
        text += f"  {valid.size:3d}/{depth.size} zones"
        if valid.size:
            text += (f"  depth min {valid.min():7.1f}  median {np.median(valid):7.1f}  "
                     f"max {valid.max():7.1f} mm")
    return text + (f"  ({frame.dropped} dropped before)" if frame.dropped else "")


def replay(args: argparse.Namespace) -> int:
    """tessaro replay FILE: per-frame statistics and a summary."""
    with tessaro.open(args.file, echoes=args.echoes, outputs=_outputs(args),
                      on_error="skip") as device, _progress(len(device), "replaying") as bar:
        began = time.perf_counter()
        for frame in device:
            if not args.quiet and frame.index % args.every == 0:
                bar.write(frame_line(frame), file=sys.stdout)
            bar.update(1)
    elapsed = time.perf_counter() - began
    print(f"{args.file}: {device.frames_delivered} frames in {elapsed:.2f} s "
          f"({device.frames_delivered / elapsed:.0f} frames/s), mode "
          f"{_mode_text(device.mode, device.dual)}, {device.echoes} echo(es); "
          f"{device.frames_failed} failed, {device.frames_dropped} dropped")
    return 0


def export(args: argparse.Namespace) -> int:
    """tessaro export FILE --frame K: PNG, PLY and .npz of one frame."""
    from tessaro import export as to_file
    with tessaro.open(args.file, echoes=args.echoes, outputs=_outputs(args)) as device:
        count, damage = len(device), device.source.recording.damage
        index = args.frame + count if args.frame < 0 else args.frame
        if not 0 <= index < count:
            held = f"frames 0 to {count - 1}" if count else "no readable frames"
            raise SourceError(f"{args.file} has {held}; there is no frame {args.frame}"
                              + (f" ({damage.what} at frame {damage.frame})" if damage else ""))
        if not 1 <= args.echo <= device.echoes:
            raise SourceError(f"--echo {args.echo}: the frames have echoes 1 to {device.echoes}")
        device.source.seek(index)
        frame = next(iter(device.frames(1)), None)
        if frame is None:  # the replay ended before it: a failing frame raises instead
            raise SourceError(f"{args.file}: frame {index} cannot be read")
    name = f"{args.file.stem}-frame{index}"
    prefix = Path(args.out, name) if args.out and (args.out.endswith(os.sep) or
                                                  Path(args.out).is_dir()) else \
        Path(args.out or name)
    written = []
    if "depth" in frame.outputs:
        written.append(Path(f"{prefix}.png"))
        to_file.depth_png(frame, written[-1], echo=args.echo - 1)
        if "points" in frame.outputs:
            written.append(Path(f"{prefix}.ply"))
            to_file.point_cloud_ply(frame, written[-1])
    written.append(Path(f"{prefix}.npz"))
    to_file.frame_npz(frame, written[-1])
    print(f"frame {index} of {args.file}: wrote {', '.join(map(str, written))}")
    return 0


def decode_and_copy(path: Path, echoes: int, outputs: list[str] | str,
                    frames: int) -> tuple[float, float]:
    """Seconds per frame of get_frame on the recording's first frames held in memory (the
    library's decoding, merge and embedded data, without reading the file) and of copying each
    decoded frame into the arrays of a Frame."""
    import pelorin
    from tessaro.recording import Recording
    from tessaro.wire import frame_player
    with Recording(path) as recording:
        count = min(len(recording), 10)
        images = [np.frombuffer(recording.raw_image(i), np.uint8) for i in range(count)]
        ebds = [np.frombuffer(recording.raw_ebd(i) or b"", np.uint8) for i in range(count)
                if recording.has_ebd]
        mode = recording.mode
    camera = pelorin.create_camera_offline("bench")  # the module itself, to leave the file out
    camera.add_stream(pelorin.stream_image, frame_player(images, repeat=True))
    if ebds:
        camera.add_stream(pelorin.stream_ebd, frame_player(ebds, repeat=True))
    decode = copy = 0.0
    with tessaro.open(camera, mode=mode, echoes=echoes, outputs=outputs) as device:
        for _ in range(frames):
            t0 = time.perf_counter()
            record = device.camera.get_frame(1000)
            t1 = time.perf_counter()
            device.views(record).take(copy=True)
            copy += time.perf_counter() - t1
            decode += t1 - t0
            if record.error:
                raise tessaro.FrameError(f"bench frame failed: {describe(record.error)}",
                                         record.error)
    return decode / frames, copy / frames


def bench(args: argparse.Namespace) -> int:
    """tessaro bench: replay throughput through the whole chain, and the cost of the copy."""
    with tempfile.TemporaryDirectory() as scratch:
        files = args.file or []
        if not files:
            for name, mode in MODES.items():
                files.append(Path(scratch) / f"{name}.mcap")
                with tessaro.open("synthetic", mode=mode) as device:
                    device.record(files[-1], frames=args.frames)
        for path in files:
            with tessaro.open(path, echoes=args.echoes, outputs=_outputs(args),
                              loop=True) as device:
                began = time.perf_counter()
                for _ in device.frames(args.frames):
                    pass
                rate = args.frames / (time.perf_counter() - began)
            decode, copy = decode_and_copy(path, args.echoes, _outputs(args), args.frames)
            print(f"{path.name}: mode {_mode_text(device.mode, device.dual)}, {device.echoes} "
                  f"echo(es), outputs {','.join(device.outputs)}: {rate:.0f} frames/s from the "
                  f"file through tessaro.open; per frame from memory: get_frame "
                  f"{decode * 1e3:.3f} ms, copy into a Frame {copy * 1e3:.3f} ms "
                  f"({100 * copy / decode:.0f} % of get_frame)")
    return 0
