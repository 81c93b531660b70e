"""The verbs of `tessaro`: each verb's arguments and what it does with them, side by side, and
the argument groups they share. Each body returns the exit status; output goes to stdout,
progress bars to stderr.

A verb is a `Verb`; `tessaro.cli.VERBS` lists those the command offers.
"""

from __future__ import annotations

import argparse
import json
import math
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
from tessaro._sensor import DEFAULT_OUTPUTS, MODE_NAMES, OUTPUTS
from tessaro.errors import ConfigurationError, SourceError, TessaroError, describe
from tessaro.frame import Frame
from tessaro._sources import CAMERA_ID, find_camera, recording_problem
from tessaro import _group_command as several

if TYPE_CHECKING:
    from tqdm import tqdm

    from tessaro.recording import Recording

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


def examples(parser: argparse.ArgumentParser, *lines: str) -> None:
    """Ends the verb's --help with example command lines."""
    parser.epilog = "examples:\n" + "\n".join(f"  {line}" for line in lines)
    parser.formatter_class = argparse.RawDescriptionHelpFormatter


def add_decoding_options(parser: argparse.ArgumentParser,
                         outputs: str = ",".join(DEFAULT_OUTPUTS)) -> None:
    """--echoes and --outputs, which `decoding_outputs` reads back. Every verb decodes the same
    outputs by default, those of `tessaro.open`."""
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


def _print_json(value: Any) -> None:
    print(json.dumps(value, indent=2, allow_nan=False))


def list_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--json", action="store_true", help="print the cameras' information "
                        "as a JSON list")
    examples(parser, "tessaro list", "tessaro list --json")


def list_cameras(args: argparse.Namespace) -> int:
    """tessaro list."""
    found = tessaro.cameras()
    if args.json:
        _print_json(found)
        return 0
    if not found:
        print("no cameras found: no IMX704 on this machine's media devices")
    for info in found:
        modes = ", ".join(_mode_text(int(key, 16), mode["dual_depth_mode"])
                          for key, mode in sorted(info["supported_modes"].items()))
        print(f"{info['id']}  {info['model']}  {info['status']}  modes: {modes}")
    return 0


LIST = Verb("list", "List the cameras attached to this machine.", list_arguments, list_cameras)


def _print_mapping(mapping: dict[str, Any], indent: str = "") -> None:
    for key, value in mapping.items():
        if isinstance(value, dict):
            print(f"{indent}{key}:")
            _print_mapping(value, indent + "  ")
        else:
            print(f"{indent}{key}: {value}")


def info_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("id", metavar="ID", help="a camera id from 'tessaro list', or a recording")
    parser.add_argument("--json", action="store_true", help="print it as a JSON object (a "
                        "recording's with every metadata record)")
    examples(parser, "tessaro info walk.mcap", "tessaro info walk.mcap --json",
             "tessaro info media0/IMX704")
    several.add_camera_choice(parser)


def info(args: argparse.Namespace) -> int:
    """tessaro info ID: a camera's information, or a recording's summary in the way of `ros2 bag
    info`; a damaged recording shows what reads, says where the damage is and exits with 1."""
    if not CAMERA_ID.fullmatch(args.id) or os.path.lexists(args.id):
        if (problem := recording_problem(Path(args.id))) is not None:
            raise SourceError(f"{args.id}: {problem}")
        from tessaro._recording_info import print_info, recording_info
        if args.camera is None and not args.json and \
                several.print_cameras(Path(args.id), _mode_text):
            return 0
        with _progress(None, "reading") as bar:
            def shown(read: int, total: int) -> None:
                bar.total = total
                bar.update(read - bar.n)
            summary, damage = recording_info(Path(args.id), shown, camera=args.camera)
        _print_json(summary) if args.json else print_info(summary)
        if damage is not None:
            raise damage
        return 0
    camera = find_camera(args.id)
    if camera is not None:
        info = camera.get_camera_info()
        _print_json(info) if args.json else _print_mapping(info)
        return 0
    raise SourceError(f"unknown camera '{args.id}': 'tessaro list' shows the attached cameras")


INFO = Verb("info", "Show a camera's information, or a recording's duration, start and end, "
            "messages per topic, settings and damage.", info_arguments, info)


def record_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("output", metavar="FILE", type=Path, help="the recording to write (.mcap)")
    several.add_record_sources(parser)
    amount = parser.add_mutually_exclusive_group()
    amount.add_argument("--frames", type=positive, help="frames to record (default 100)")
    amount.add_argument("--duration", type=seconds, help="seconds to record")
    parser.add_argument("--mode", default="single", help="sensor mode: an id such as 0x211c, or "
                        "'single' / 'dual' (default %(default)s)")
    parser.add_argument("--seed", type=_seed, default=0, help="synthetic sensor seed, 0 or more")
    parser.add_argument("--fast", action="store_true", help="render the synthetic sensor's "
                        "frames as fast as possible, none lost, instead of at its frame rate; "
                        "the log times then follow the rendering, the sensor times the rate")
    parser.add_argument("--force", action="store_true", help="replace FILE if it exists")
    parser.add_argument("--frame-id", action="append", metavar="NAME", help="the camera's frame "
                        "in the ROS messages (default tessaro_optical_frame; with several cameras "
                        "<camera>_optical_frame); repeat it, in the cameras' order, for several")
    parser.add_argument("--ros2", action="store_true", help="also write decoded depth images and "
                        "point clouds as ROS 2 messages")
    add_decoding_options(parser)
    examples(parser, "tessaro record walk.mcap --synthetic --mode dual --duration 5",
             "tessaro record fast.mcap --synthetic --frames 300 --fast --seed 2",
             "tessaro record desk.mcap --camera media0/IMX704 --frames 100 --ros2")


@contextmanager
def _recording_progress(frames: int | None, duration: float | None
                        ) -> Iterator[Callable[[int], None]]:
    """The progress of a recording: of its frames, or of its seconds when it is timed, so that
    the bar has a total either way."""
    if duration is None:
        with _progress(frames, "recording") as bar:
            yield lambda written: bar.update(1)
        return
    from tqdm import tqdm
    began = time.monotonic()
    with tqdm(total=duration, unit="s", desc="recording", disable=None, file=sys.stderr,
              leave=False, bar_format="{desc}: {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s "
              "{postfix}") as bar:
        def update(written: int) -> None:
            bar.n = min(duration, time.monotonic() - began)
            bar.set_postfix_str(f"{written} frames", refresh=True)
        yield update


def _one_frame_id(args: argparse.Namespace) -> str | None:
    if args.frame_id and len(args.frame_id) > 1:
        raise ConfigurationError(f"{len(args.frame_id)} --frame-id for one camera: give one")
    return args.frame_id[0] if args.frame_id else None


def record(args: argparse.Namespace) -> int:
    """tessaro record FILE (--camera ID... | --all | --synthetic [--sensors N])."""
    if args.fast and not args.synthetic:
        raise ConfigurationError("--fast applies to the synthetic sensor: a camera delivers at "
                                 "its own rate")
    frames = args.frames if args.frames or args.duration else 100
    if several.records_a_group(args):
        return several.record_group(args, frames, {"mode": args.mode, "echoes": args.echoes,
                                                   "outputs": decoding_outputs(args)},
                                    _mode_text, _progress)
    source = "synthetic" if args.synthetic else args.camera[0]
    options = {"seed": args.seed, "pace": not args.fast} if args.synthetic else {}
    with tessaro.open(source, mode=args.mode, echoes=args.echoes, outputs=decoding_outputs(args),
                      **options) as device, \
            _recording_progress(frames, args.duration) as progress:
        summary = device.record(args.output, frames=frames, duration=args.duration,
                                ros2=args.ros2, progress=progress, overwrite=args.force,
                                frame_id=_one_frame_id(args))
        dropped = int(device.camera.get_dropped_frames())
    print(f"wrote {summary.frames_written} frames of {device.name} in mode "
          f"{_mode_text(device.mode, device.dual)} to {summary.path}"
          + (f"; {summary.frames_failed} failed frames not written" if summary.frames_failed
             else "") + (f"; {dropped} frames lost by the source" if dropped else "")
          + (f"; {summary.frames_dropped} frames dropped (the disk was behind)"
             if summary.frames_dropped else "")
          + ("; interrupted" if summary.interrupted else ""))
    return 0


RECORD = Verb("record", "Record raw frames from a camera or the synthetic sensor into an MCAP "
              "file.", record_arguments, record)


def frame_line(frame: Frame) -> str:
    """One line of statistics of a frame: ids, sensor time, valid zones and depth of the first
    echo."""
    sensor = frame.sensor_timestamp
    shown = "     no sensor time" if sensor is None else f"t {sensor / 1e6:14.6f} s"
    text = f"frame {frame.index:5d}  id {frame.frame_id:5d}  {shown}"
    if "depth" in frame.outputs:
        depth = frame.depth[0]
        valid = depth[depth > 0]
        text += f"  {valid.size:3d}/{depth.size} zones"
        if valid.size:
            text += (f"  depth min {valid.min():7.1f}  median {np.median(valid):7.1f}  "
                     f"max {valid.max():7.1f} mm")
    return text + (f"  ({frame.dropped} dropped before)" if frame.dropped else "")


def rate(text: str) -> float:
    """An argument type: a speed factor above 0."""
    value = float(text)
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"must be a number above 0, not {text}")
    return value


def replay_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", type=Path, help="a recording (.mcap)")
    parser.add_argument("--start", type=int, default=0, metavar="K", help="the frame to start "
                        "from, counted from 0; negative counts from the end (default 0)")
    parser.add_argument("--pace", action="store_true", help="deliver the frames at their "
                        "recorded intervals (from the log times) instead of as fast as possible")
    parser.add_argument("--rate", type=rate, metavar="R", help="paced at R times the recorded "
                        "speed (implies --pace; 2 plays twice as fast)")
    parser.add_argument("--loop", action="store_true", help="start again at frame 0 after the "
                        "last one, until Ctrl-C")
    parser.add_argument("--every", type=positive, default=1, metavar="K",
                        help="print every K-th frame (default %(default)s)")
    parser.add_argument("--quiet", action="store_true", help="print only the summary")
    several.add_camera_choice(parser)
    add_decoding_options(parser)
    examples(parser, "tessaro replay walk.mcap --every 10", "tessaro replay walk.mcap --pace "
             "--start 100", "tessaro replay walk.mcap --rate 0.5 --loop --quiet")


def recorded_rate(recording: Recording) -> tuple[float, float | None]:
    """The seconds between a recording's first and last log times, and its frames per second
    over them (None for fewer than two frames)."""
    count = len(recording)
    if count < 2:
        return 0.0, None
    span = (recording.log_time(count - 1) - recording.log_time(0)) / 1e9
    return span, (count - 1) / span if span > 0 else None


def _start_frame(args: argparse.Namespace, count: int) -> int:
    index: int = args.start + count if args.start < 0 else args.start
    if not 0 <= index < count:
        held = f"frames 0 to {count - 1}" if count else "no readable frames"
        raise SourceError(f"--start {args.start}: {args.file} has {held}")
    return index


def replay(args: argparse.Namespace) -> int:
    """tessaro replay FILE: per-frame statistics and a summary, on damage and Ctrl-C too."""
    paced = args.pace or args.rate is not None
    device = tessaro.open(args.file, echoes=args.echoes, outputs=decoding_outputs(args),
                          on_error="skip", loop=args.loop, pace=paced, rate=args.rate or 1.0,
                          **several.camera_option(args))
    stopped: BaseException | None = None
    with device:
        assert device.replayer is not None, "a recording opens with its replayer"
        recording = device.replayer.recording
        first = _start_frame(args, len(device))
        if first:
            device.replayer.seek(first)
        total = None if args.loop else len(device) - first
        began = time.perf_counter()
        with _progress(total, "replaying") as bar:
            try:
                for frame in device:
                    if not args.quiet and frame.index % args.every == 0:
                        bar.write(frame_line(frame), file=sys.stdout)
                    bar.update(1)
            except (TessaroError, KeyboardInterrupt) as error:
                stopped = error
        elapsed = time.perf_counter() - began
        span, recorded = recorded_rate(recording)
    delivered = device.frames_delivered
    throughput = f"{delivered / elapsed:.1f} frames/s" if elapsed > 0 else "-"
    speed = f", paced at {args.rate or 1.0:g}x the recorded speed" if paced else ""
    print(f"{args.file}: replayed {delivered} frames in {elapsed:.3f} s ({throughput}{speed}); "
          f"recorded: {len(recording)} frames over {span:.3f} s"
          + (f" ({recorded:.2f} frames/s)" if recorded else "")
          + f"; mode {_mode_text(device.mode, device.dual)}, {device.echoes} echo(es); "
          f"{device.frames_failed} failed, {device.frames_dropped} dropped"
          + ("; interrupted" if isinstance(stopped, KeyboardInterrupt) else "")
          + (f"; stopped by damage at frame {stopped.frame}"
             if isinstance(stopped, tessaro.RecordingError) else ""))
    if isinstance(stopped, KeyboardInterrupt):
        return 130
    if stopped is not None:
        raise stopped
    return 0


REPLAY = Verb("replay", "Replay a recording through the library and print per-frame statistics "
              "and a summary.", replay_arguments, replay)


FORMATS = ("png", "ply", "npz")


def frame_range(text: str) -> slice:
    """An argument type: 'all', or START:END (frames START to END - 1, from 0; either may be
    left out, and negative ones count from the end)."""
    if text == "all":
        return slice(None)
    start, colon, end = text.partition(":")
    try:
        if not colon:
            raise ValueError
        return slice(int(start) if start.strip() else None, int(end) if end.strip() else None)
    except ValueError:
        raise argparse.ArgumentTypeError(f"give START:END (frames START to END-1, from 0) or "
                                         f"'all', not '{text}'") from None


def colour_range(text: str) -> tuple[float, float]:
    """An argument type: LOW:HIGH in millimetres, 0 <= LOW < HIGH."""
    low, colon, high = text.partition(":")
    try:
        values = (float(low), float(high)) if colon else None
    except ValueError:
        values = None
    if values is None or not (0 <= values[0] < values[1] < math.inf):
        raise argparse.ArgumentTypeError(f"give LOW:HIGH in millimetres with 0 <= LOW < HIGH, "
                                         f"not '{text}'")
    return values


def formats(text: str) -> tuple[str, ...]:
    """An argument type: comma-separated names of FORMATS."""
    names = tuple(dict.fromkeys(name.strip() for name in text.split(",") if name.strip()))
    if not names or (unknown := [n for n in names if n not in FORMATS]):
        raise argparse.ArgumentTypeError(f"choose from {','.join(FORMATS)}, not '{text}'")
    return names


def export_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE", type=Path, help="a recording (.mcap)")
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--frame", type=int, default=0, metavar="K", help="one frame, counted "
                       "from 0; negative counts from the end (default %(default)s)")
    which.add_argument("--frames", type=frame_range, metavar="START:END", help="frames START "
                       "to END-1, counted as --frame (either may be left out), or 'all'")
    parser.add_argument("--format", type=formats, metavar="LIST", help="comma-separated, from "
                        f"{','.join(FORMATS)} (default: those the outputs allow, all three by "
                        "default)")
    parser.add_argument("--out", type=Path, default=Path("."), metavar="DIR", help="folder to "
                        "write into, created if missing (default: the current one); files are "
                        "named FILE's name with -frameK")
    parser.add_argument("--echo", type=int, default=0, metavar="E", help="echo drawn in the PNG, "
                        "counted from 0 as --frame; negative counts from the last (default 0)")
    parser.add_argument("--range", type=colour_range, metavar="LOW:HIGH", help="fixed colour "
                        "range of the PNG in millimetres, so that pictures of several frames "
                        "compare (default: each frame's own depth range)")
    several.add_camera_choice(parser)
    add_decoding_options(parser)
    examples(parser, "tessaro export walk.mcap --frame -1",
             "tessaro export walk.mcap --frames 10:20 --format png --range 0:4000 --out pictures",
             "tessaro export walk.mcap --frames all --format npz --outputs all --out arrays")


def _export_plan(args: argparse.Namespace, count: int, damage: Exception | None,
                 outputs: tuple[str, ...], echoes: int) -> tuple[range, tuple[str, ...], int]:
    """The frames, formats and echo (from 0) that the export's arguments ask for; raises the
    one-line error of the first that the recording or the outputs cannot give."""
    held = f"frames 0 to {count - 1}" if count else "no readable frames"
    why = f" ({damage})" if damage else ""
    if args.frames is None:
        index = args.frame + count if args.frame < 0 else args.frame
        if not 0 <= index < count:
            raise SourceError(f"{args.file} has {held}; there is no frame {args.frame}{why}")
        frames = range(index, index + 1)
    else:
        for bound in (args.frames.start, args.frames.stop):
            if bound is not None and not -count <= bound <= count:
                raise SourceError(f"--frames: {args.file} has {held}; {bound} is out of range"
                                  f"{why}")
        frames = range(*args.frames.indices(count))
        if not frames:
            shown = ":".join("" if b is None else str(b)
                             for b in (args.frames.start, args.frames.stop))
            raise SourceError(f"--frames {shown} selects no frames: {args.file} has {held}{why}")
    needs = {"png": ("depth",), "ply": ("depth", "points"), "npz": ()}
    chosen = args.format or tuple(f for f in FORMATS if all(o in outputs for o in needs[f]))
    for name in chosen:
        if missing := [o for o in needs[name] if o not in outputs]:
            raise ConfigurationError(f"--format {name} needs the output {missing[0]}: add it to "
                                     "--outputs")
    echo = args.echo + echoes if args.echo < 0 else args.echo
    if not 0 <= echo < echoes:
        raise SourceError(f"--echo {args.echo}: the frames have echoes 0 to {echoes - 1}")
    return frames, chosen, echo


def export(args: argparse.Namespace) -> int:
    """tessaro export FILE [--frame K | --frames A:B]: a depth PNG, a point-cloud PLY and an .npz
    of the decoded outputs per frame."""
    from tessaro import export as to_file
    written: list[Path] = []
    with tessaro.open(args.file, echoes=args.echoes, outputs=decoding_outputs(args),
                      **several.camera_option(args)) as device:
        assert device.replayer is not None, "a recording opens with its replayer"
        frames, chosen, echo = _export_plan(args, len(device), device.replayer.recording.damage,
                                            device.outputs, device.echoes)
        needed = [module for name, module in (("png", "matplotlib"), ("ply", "plyfile"))
                  if name in chosen]
        if needed:  # before any file is written
            require("export", "writing pictures and point clouds", *needed)
        args.out.mkdir(parents=True, exist_ok=True)
        device.replayer.seek(frames.start)
        names = iter(frames)
        with _progress(len(frames), "exporting") as bar:
            for frame in device.frames(len(frames)):
                index = next(names)
                stem = args.out / f"{args.file.stem}{several.export_infix(args)}-frame{index}"
                if "png" in chosen:
                    written.append(stem.with_name(stem.name + ".png"))
                    to_file.depth_png(frame, written[-1], echo=echo, limits=args.range)
                if "ply" in chosen:
                    written.append(stem.with_name(stem.name + ".ply"))
                    to_file.point_cloud_ply(frame, written[-1])
                if "npz" in chosen:
                    written.append(stem.with_name(stem.name + ".npz"))
                    to_file.frame_npz(frame, written[-1])
                bar.update(1)
    if len(frames) == 1:
        print(f"frame {frames.start} of {args.file}: wrote {', '.join(map(str, written))}")
    else:
        print(f"frames {frames.start} to {frames[-1]} of {args.file}: wrote {len(written)} "
              f"files ({', '.join(chosen)}) into {args.out}")
    return 0


EXPORT = Verb("export", "Export frames of a recording as depth PNGs, point-cloud PLYs and .npz "
              "archives of the decoded outputs.", export_arguments, export)


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
    parser.add_argument("--json", action="store_true", help="print the results as a JSON list, "
                        "one object per recording")
    add_decoding_options(parser)
    examples(parser, "tessaro bench", "tessaro bench --frames 50 --outputs all --json",
             "tessaro bench --file walk.mcap --echoes 1")


# A result's key, its column's heading and the format of its cells.
BENCH_COLUMNS = (("recording", "recording", "{}"), ("mode", "mode", "{}"), ("depth", "depth", "{}"),
                 ("echoes", "echoes", "{}"), ("outputs", "outputs", "{}"),
                 ("frames_per_s", "frames/s", "{:.0f}"), ("get_frame_ms", "get_frame ms", "{:.3f}"),
                 ("copy_ms", "copy ms", "{:.3f}"), ("copy_percent", "copy %", "{:.0f}"))


def bench_row(path: Path, args: argparse.Namespace) -> dict[str, Any]:
    """One recording's results: replay throughput from the file through tessaro.open, and per
    frame from memory the time of get_frame and of the copy into a Frame."""
    with tessaro.open(path, echoes=args.echoes, outputs=decoding_outputs(args),
                      loop=True) as device:
        began = time.perf_counter()
        for _ in device.frames(args.frames):
            pass
        throughput = args.frames / (time.perf_counter() - began)
    decode, copy = decode_and_copy(path, args.echoes, decoding_outputs(args), args.frames)
    return {"recording": path.name, "mode": f"{device.mode:#x}",
            "depth": "dual" if device.dual else "single", "echoes": device.echoes,
            "outputs": ",".join(device.outputs), "frames_per_s": throughput,
            "get_frame_ms": decode * 1e3, "copy_ms": copy * 1e3,
            "copy_percent": 100 * copy / decode if decode > 0 else 0.0}


def print_table(rows: list[dict[str, Any]], columns: tuple[tuple[str, str, str], ...]) -> None:
    """Rows as a table under the columns' headings, text left-aligned and numbers right-aligned."""
    cells = [[form.format(row[key]) for key, _, form in columns] for row in rows]
    widths = [max([len(heading)] + [len(line[n]) for line in cells])
              for n, (_, heading, _) in enumerate(columns)]
    numeric = [bool(rows) and isinstance(rows[0][key], (int, float)) for key, _, _ in columns]
    for line in [[heading for _, heading, _ in columns]] + cells:
        print("  ".join(cell.rjust(width) if right else cell.ljust(width)
                        for cell, width, right in zip(line, widths, numeric)).rstrip())


def bench(args: argparse.Namespace) -> int:
    """tessaro bench: replay throughput through the whole chain, and the cost of the copy."""
    rows = []
    with tempfile.TemporaryDirectory() as scratch:
        files = args.file or []
        if not files:
            for name, mode in MODE_NAMES.items():
                files.append(Path(scratch) / f"{name}.mcap")
                with tessaro.open("synthetic", mode=mode) as device:
                    device.record(files[-1], frames=args.frames)
        for path in files:
            rows.append(bench_row(path, args))
    if args.json:
        _print_json(rows)
    else:
        print_table(rows, BENCH_COLUMNS)
        print("frames/s: from the file through tessaro.open; get_frame and copy: per frame, "
              "from memory (decoding, merge and embedded data; the copy into a Frame)")
    return 0


BENCH = Verb("bench", "Frames per second of replay through the whole chain (offline camera, "
             "decoding, merge, embedded data), single and dual depth.", bench_arguments, bench)
