"""The verbs of `tessaro`: each verb's arguments and what it does with them, side by side, and
the argument groups they share. Each body returns the exit status; output goes to stdout,
progress bars to stderr.

A verb is a `Verb`; `tessaro.cli.VERBS` lists those the command offers.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

import tessaro
from tessaro._extras import require
from tessaro._sensor import MODE_NAMES, OUTPUTS
from tessaro.errors import SourceError, TessaroError, describe
from tessaro.frame import Frame
from tessaro._sources import CAMERA_ID, recording_problem

if TYPE_CHECKING:
    from tqdm import tqdm

USER_ERRORS = (TessaroError, OSError)


@dataclass(frozen=True)
class Verb:
    """A sub-command: its name, the line `--help` shows for it, a function that adds its
    arguments to its parser and one that runs it on the parsed arguments."""
    name: str
    help: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    main: Callable[[argparse.Namespace], int]


def positive(text: str) -> int:
    """An argument type: a whole number of at least 1."""
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _seed(text: str) -> int:
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def seconds(text: str) -> float:
    """An argument type: a number of seconds above 0."""
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0 seconds, not {text}")
    return value


def add_decoding_options(parser: argparse.ArgumentParser, outputs: str = "depth,points") -> None:
    """--echoes and --outputs, which `decoding_outputs` reads back."""
    parser.add_argument("--echoes", type=int, default=3, help="echoes per zone, 1 to 3 "
                        "(default %(default)s)")
    parser.add_argument("--outputs", default=outputs, help="comma-separated outputs to decode, "
                        f"from {', '.join(OUTPUTS)}, or 'all' (default %(default)s)")


def decoding_outputs(args: argparse.Namespace) -> list[str] | str:
    """The outputs that --outputs names."""
    text: str = args.outputs
    return "all" if text == "all" else [name.strip() for name in text.split(",") if name.strip()]


@contextmanager
def _progress(total: int | None, what: str) -> Iterator[tqdm[Any]]:
    """A tqdm bar on stderr, shown only when stderr is a terminal."""
    from tqdm import tqdm
    with tqdm(total=total, unit="frame", desc=what, disable=None, file=sys.stderr,
              leave=False) as bar:
        yield bar


def _mode_text(mode: int, dual: bool) -> str:
    return f"{mode:#x} ({'dual' if dual else 'single'} depth)"


def _no_arguments(parser: argparse.ArgumentParser) -> None:
    pass


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


LIST = Verb("list", "List the cameras attached to this machine.", _no_arguments, list_cameras)


def _print_mapping(mapping: dict[str, Any], indent: str = "") -> None:
    for key, value in mapping.items():
        if isinstance(value, dict):
            print(f"{indent}{key}:")
            _print_mapping(value, indent + "  ")
        else:
            print(f"{indent}{key}: {value}")


def info_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("id", metavar="ID", help="a camera id from 'tessaro list', or a recording")


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


INFO = Verb("info", "Show a camera's information, or a recording's metadata.", info_arguments,
            info)


def record_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", metavar="FILE", type=Path, help="the recording to write (.mcap)")
    origin = parser.add_mutually_exclusive_group(required=True)
    origin.add_argument("--camera", metavar="ID", help="a camera id from 'tessaro list'")
    origin.add_argument("--synthetic", action="store_true", help="the synthetic sensor")
    amount = parser.add_mutually_exclusive_group()
    amount.add_argument("--frames", type=positive, help="frames to record (default 100)")
    amount.add_argument("--duration", type=seconds, help="seconds to record")
    parser.add_argument("--mode", default="single", help="sensor mode: an id such as 0x211c, or "
                        "'single' / 'dual' (default %(default)s)")
    parser.add_argument("--seed", type=_seed, default=0, help="synthetic sensor seed, 0 or more")
    parser.add_argument("--force", action="store_true", help="replace FILE if it exists")
    parser.add_argument("--ros2", action="store_true", help="also write decoded depth images and "
                        "point clouds as ROS 2 messages")
    add_decoding_options(parser)


def record(args: argparse.Namespace) -> int:
    """tessaro record FILE (--camera ID | --synthetic)."""
    source = "synthetic" if args.synthetic else args.camera
    options = {"seed": args.seed} if args.synthetic else {}
    frames = args.frames if args.frames or args.duration else 100
    with tessaro.open(source, mode=args.mode, echoes=args.echoes, outputs=decoding_outputs(args),
                      **options) as device, _progress(frames, "recording") as bar:
        summary = device.record(args.output, frames=frames, duration=args.duration,
                                ros2=args.ros2, progress=lambda n: bar.update(1),
                                overwrite=args.force)
    print(f"wrote {summary.frames_written} frames of {device.name} in mode "
          f"{_mode_text(device.mode, device.dual)} to {summary.path}"
          + (f"; {summary.frames_failed} failed frames not written" if summary.frames_failed
             else "") + ("; interrupted" if summary.interrupted else ""))
    return 0


RECORD = Verb("record", "Record raw frames from a camera or the synthetic sensor into an MCAP "
              "file.", record_arguments, record)


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


def replay_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", type=Path, help="a recording (.mcap)")
    parser.add_argument("--every", type=positive, default=1, metavar="K",
                        help="print every K-th frame (default %(default)s)")
    parser.add_argument("--quiet", action="store_true", help="print only the summary")
    add_decoding_options(parser)


def replay(args: argparse.Namespace) -> int:
    """tessaro replay FILE: per-frame statistics and a summary."""
    with tessaro.open(args.file, echoes=args.echoes, outputs=decoding_outputs(args),
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


REPLAY = Verb("replay", "Replay a recording through the library and print per-frame statistics "
              "and a summary.", replay_arguments, replay)


def export_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", type=Path, help="a recording (.mcap)")
    parser.add_argument("--frame", type=int, default=0, metavar="K", help="frame index, from 0; "
                        "negative counts from the end (default %(default)s)")
    parser.add_argument("--out", metavar="PREFIX", help="output path without suffix, or a folder "
                        "to write into (default: FILE's name with -frameK)")
    parser.add_argument("--echo", type=int, default=1, help="echo shown in the PNG, from 1")
    add_decoding_options(parser, outputs="all")


def export(args: argparse.Namespace) -> int:
    """tessaro export FILE --frame K: PNG, PLY and .npz of one frame."""
    from tessaro import export as to_file
    require("export", "writing pictures and point clouds")  # before any file is written
    with tessaro.open(args.file, echoes=args.echoes, outputs=decoding_outputs(args)) as device:
        assert device.replayer is not None, "a recording opens with its replayer"
        count, damage = len(device), device.replayer.recording.damage
        index = args.frame + count if args.frame < 0 else args.frame
        if not 0 <= index < count:
            held = f"frames 0 to {count - 1}" if count else "no readable frames"
            raise SourceError(f"{args.file} has {held}; there is no frame {args.frame}"
                              + (f" ({damage.what} at frame {damage.frame})" if damage else ""))
        if not 1 <= args.echo <= device.echoes:
            raise SourceError(f"--echo {args.echo}: the frames have echoes 1 to {device.echoes}")
        device.replayer.seek(index)
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


EXPORT = Verb("export", "Export one frame of a recording as a depth PNG, a point-cloud PLY and "
              "all decoded outputs as .npz.", export_arguments, export)


def decode_and_copy(path: Path, echoes: int, outputs: list[str] | str,
                    frames: int) -> tuple[float, float]:
    """Seconds per frame of get_frame on the recording's first frames held in memory (the
    library's decoding, merge and embedded data, without reading the file) and of copying each
    decoded frame into the arrays of a Frame."""
    import pelorin
    from tessaro.recording import Recording
    from tessaro.synthetic.wire import frame_player
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


def bench_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--frames", type=positive, default=200, help="frames per mode "
                        "(default %(default)s)")
    parser.add_argument("--file", type=Path, action="append", metavar="FILE",
                        help="bench this recording instead of synthetic ones (repeatable)")
    add_decoding_options(parser, outputs="all")


def bench(args: argparse.Namespace) -> int:
    """tessaro bench: replay throughput through the whole chain, and the cost of the copy."""
    with tempfile.TemporaryDirectory() as scratch:
        files = args.file or []
        if not files:
            for name, mode in MODE_NAMES.items():
                files.append(Path(scratch) / f"{name}.mcap")
                with tessaro.open("synthetic", mode=mode) as device:
                    device.record(files[-1], frames=args.frames)
        for path in files:
            with tessaro.open(path, echoes=args.echoes, outputs=decoding_outputs(args),
                              loop=True) as device:
                began = time.perf_counter()
                for _ in device.frames(args.frames):
                    pass
                rate = args.frames / (time.perf_counter() - began)
            decode, copy = decode_and_copy(path, args.echoes, decoding_outputs(args), args.frames)
            print(f"{path.name}: mode {_mode_text(device.mode, device.dual)}, {device.echoes} "
                  f"echo(es), outputs {','.join(device.outputs)}: {rate:.0f} frames/s from the "
                  f"file through tessaro.open; per frame from memory: get_frame "
                  f"{decode * 1e3:.3f} ms, copy into a Frame {copy * 1e3:.3f} ms "
                  f"({100 * copy / decode:.0f} % of get_frame)")
    return 0


BENCH = Verb("bench", "Frames per second of replay through the whole chain (offline camera, "
             "decoding, merge, embedded data), single and dual depth.", bench_arguments, bench)
