"""What the command does with several cameras: recording them together, and choosing one camera
of a recording of several. The verbs of `_commands` and `view` call in here."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

import tessaro
from tessaro.errors import SourceError

MAX_SENSORS = 16


def sensors(text: str) -> int:
    """An argument type: a number of synthetic sensors."""
    value = int(text)
    if not 1 <= value <= MAX_SENSORS:
        raise argparse.ArgumentTypeError(f"must be 1 to {MAX_SENSORS}, not {value}")
    return value


def add_camera_choice(parser: argparse.ArgumentParser) -> None:
    """--camera, which `camera_option` reads back."""
    parser.add_argument("--camera", metavar="ID", help="the camera to read from a recording of "
                        "several ('tessaro info FILE' lists them)")


def camera_option(args: argparse.Namespace) -> dict[str, Any]:
    """The option of `tessaro.open` that --camera asks for."""
    return {} if args.camera is None else {"camera": args.camera}


def export_infix(args: argparse.Namespace) -> str:
    """What `tessaro export --camera` adds to the names of its files, so that the frames of
    the cameras of one recording do not overwrite each other."""
    from tessaro.recording._cameras import segments
    return "" if args.camera is None else "-" + segments([args.camera])[0]


def add_record_sources(parser: argparse.ArgumentParser) -> None:
    """The sources of `tessaro record`: one or several cameras, all of them, or the synthetic
    sensor (several with --sensors)."""
    origin = parser.add_mutually_exclusive_group(required=True)
    origin.add_argument("--camera", metavar="ID", action="append",
                        help="a camera id from 'tessaro list'; repeat it to record several "
                        "cameras together")
    origin.add_argument("--all", action="store_true", help="every camera 'tessaro list' shows")
    origin.add_argument("--synthetic", action="store_true", help="the synthetic sensor, at its "
                        "mode's frame rate as a camera delivers (see --fast)")
    parser.add_argument("--sensors", type=sensors, default=1, metavar="N",
                        help="with --synthetic: N sensors looking at one scene from different "
                        "places (default %(default)s)")


def records_a_group(args: argparse.Namespace) -> bool:
    """Whether `tessaro record` records several cameras, or might (--all)."""
    if args.sensors > 1 and not args.synthetic:
        raise SourceError("--sensors applies to the synthetic sensor (--synthetic)")
    return bool(args.all or len(args.camera or ()) > 1 or args.sensors > 1)


def record_group(args: argparse.Namespace, frames: int, decoding: dict[str, Any],
                 mode_text: Any, progress: Any) -> int:
    """`tessaro record` of several cameras into one recording."""
    if args.synthetic:
        group = tessaro.open_group("synthetic", sensors=args.sensors, seed=args.seed, **decoding)
    else:
        ids = args.camera or [info["id"] for info in tessaro.cameras()]
        if not ids:
            raise SourceError("no cameras found: no IMX704 on this machine's media devices")
        group = tessaro.open_group(list(dict.fromkeys(ids)), **decoding)
    total = frames * len(group.names) if args.frames or not args.duration else None
    with group, progress(total, "recording") as bar:
        summary = group.record(args.output, frames=frames, duration=args.duration,
                               ros2=args.ros2, progress=lambda n: bar.update(1),
                               overwrite=args.force, frame_ids=args.frame_id)
    modes = {mode_text(d.mode, d.dual) for d in group.devices.values()}
    written = ", ".join(f"{count} frames of {name}"
                        for name, count in summary.frames_written.items())
    failed = sum(summary.frames_failed.values())
    dropped = sum(summary.frames_dropped.values())
    print(f"wrote {written} in mode {', '.join(sorted(modes))} to {summary.path}"
          + (f"; {failed} failed frames not written" if failed else "")
          + (f"; {dropped} frames dropped (the disk was behind)" if dropped else "")
          + (f"; stopped recording {', '.join(summary.stopped)} after failures in a row"
             if summary.stopped else "") + ("; interrupted" if summary.interrupted else ""))
    return 0


def print_cameras(path: Path, mode_text: Any) -> bool:
    """The cameras of a recording of several, a line each, for `tessaro info` without --camera;
    False for a recording of one camera, which is shown as it always was."""
    from tessaro._group import recording_cameras
    from tessaro.recording import Recording
    ids = recording_cameras(path)
    if len(ids) < 2:
        return False
    print(f"{path}: {len(ids)} cameras ('tessaro info {path} --camera ID' shows one)")
    for camera in ids:
        with Recording(path, camera) as recording:
            readable = "readable frames" if recording.damage else "frames"
            print(f"  {camera}: {len(recording)} {readable}, mode "
                  f"{mode_text(recording.mode, recording.dual)}")
            if recording.damage is not None:
                raise recording.damage
    return True


def add_view_choices(parser: argparse.ArgumentParser) -> None:
    """--sensors and --camera of `tessaro view`, which `view_sources` reads back."""
    parser.add_argument("--sensors", type=sensors, default=1, metavar="N",
                        help="show 'synthetic' as N sensors looking at one scene from "
                        "different places (default %(default)s)")
    parser.add_argument("--camera", metavar="ID", help="of a recording of several cameras, "
                        "show only this one (by default each is shown)")


def view_sources(args: argparse.Namespace) -> list[tuple[str, object, dict[str, Any]]]:
    """What `tessaro view` shows: (label, what to open where the label does not say, options
    of `tessaro.open`) per picture. A recording of several cameras shows each, or the one
    --camera names."""
    from tessaro._group import recording_cameras
    from tessaro._sensor import Mode
    from tessaro._sources import CAMERA_ID, parse_mode, recording_problem
    shown: list[tuple[str, object, dict[str, Any]]] = []
    for label in args.sources:
        if label == "synthetic" and args.sensors > 1:
            from tessaro.synthetic._rig import synthetic_rig
            mode = Mode.SINGLE if args.mode is None else parse_mode(args.mode)
            shown.extend((rig.name, rig.camera, {})
                         for rig in synthetic_rig(args.sensors, mode, seed=args.seed))
        elif label == "synthetic" or CAMERA_ID.fullmatch(label) or \
                recording_problem(Path(label)) is not None:
            shown.append((label, None, {}))  # tessaro.open says what is wrong with it
        else:
            ids = recording_cameras(label)
            if args.camera is not None:
                ids = (args.camera,)
            elif len(ids) < 2:
                shown.append((label, None, {}))
                continue
            shown.extend((f"{label}:{camera}", label, {"camera": camera}) for camera in ids)
    return shown
