"""What `tessaro info` shows of a recording: what `ros2 bag info` shows of a bag (size, duration,
start and end, messages per topic), then the sensor's settings, the cameras and any damage."""

from __future__ import annotations

import datetime
import json
from collections.abc import Callable
from pathlib import Path
from typing import Any

from tessaro._sensor import OUTPUTS
from tessaro.errors import RecordingError
from tessaro.recording import Recording

# Log times past this are nanoseconds since the Unix epoch (later than 2000-01-01); earlier
# recordings log the sensor's or the host's monotonic clock, which are no dates.
EPOCH_FROM_NS = 946_684_800 * 10**9


def date(ns: int) -> str | None:
    """A log time as a UTC date to the nanosecond, or None for a clock that gives no dates."""
    if ns < EPOCH_FROM_NS:
        return None
    seconds, rest = divmod(ns, 10**9)
    when = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return f"{when:%Y-%m-%d %H:%M:%S}.{rest:09d} UTC"


def _size(count: int) -> str:
    value = float(count)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{value:.1f} {unit}" if unit != "B" else f"{count} B"
        value /= 1024
    raise AssertionError("unreachable")


def _cameras(metadata: dict[str, dict[str, str]]) -> list[dict[str, Any]]:
    try:
        info = json.loads(metadata.get("tessaro.sensor", {}).get("camera_info", "null"))
    except ValueError:
        return []
    if not isinstance(info, dict):
        return []
    return [{key: info.get(key) for key in ("id", "model", "sync_mode")}]


def recording_info(path: Path, progress: Callable[[int, int], None] | None = None,
                   camera: str | None = None) -> tuple[dict[str, Any], RecordingError | None]:
    """A recording's summary, as plain data, and its damage (None when it reads to the end).
    Every frame is read to find damage, `progress(read, frames)` called after each; a file that
    is no recording raises RecordingError. `camera` chooses one of a recording of several."""
    with Recording(path, camera) as recording:
        total = len(recording)
        counts = recording.message_counts(
            None if progress is None else lambda read: progress(read, total))
        types = recording.channel_types()
        frames = len(recording)
        first = recording.log_time(0) if frames else None
        last = recording.log_time(frames - 1) if frames else None
        damage = recording.damage
        about = recording.metadata.get("tessaro.recording", {})
        duration = (last - first) / 1e9 if first is not None and last is not None else 0.0
        summary: dict[str, Any] = {
            "path": str(path),
            "size_bytes": path.stat().st_size,
            "storage": "mcap",
            "duration_s": duration,
            "start_ns": first, "end_ns": last,
            "start": None if first is None else date(first),
            "end": None if last is None else date(last),
            "clock": recording.clock,
            "messages": sum(counts.values()),
            "topics": [{"topic": topic, "type": types.get(topic, ("", ""))[0],
                        "count": counts.get(topic, 0),
                        "serialization_format": types.get(topic, ("", ""))[1]}
                       for topic in sorted(types)],
            "frames": frames,
            "frame_rate_hz": (frames - 1) / duration if frames > 1 and duration > 0 else None,
            "mode": f"{recording.mode:#x}",
            "dual_depth": recording.dual,
            "echoes": recording.echoes,
            "outputs": None if recording.outputs is None else
            [name for name, field in OUTPUTS.items() if recording.outputs.get("enable_" + field)],
            "dual_depth_params": recording.dual_depth_params if recording.dual else None,
            "cameras": _cameras(recording.metadata),
            "format": about.get("format"),
            "format_version": about.get("format_version"),
            "library_version": about.get("library_version"),
            "damage": None if damage is None else {
                "frame": damage.frame, "byte": recording.damage_offset, "what": damage.what},
            "metadata": recording.metadata,
        }
    return summary, damage


def _time(ns: int | None, shown: str | None, clock: str) -> str:
    if ns is None:
        return "-"
    if shown is None:
        return f"{ns / 1e9:.9f} s on the {clock} clock (not a date)"
    return f"{shown} ({ns // 10**9}.{ns % 10**9:09d} s)"


def print_info(summary: dict[str, Any]) -> None:
    """`summary` as `ros2 bag info` lays a bag out, with tessaro's own lines after it."""
    rows = [
        ("Files", summary["path"]),
        ("Bag size", _size(summary["size_bytes"])),
        ("Storage id", summary["storage"]),
        ("Duration", f"{summary['duration_s']:.9f} s"),
        ("Start", _time(summary["start_ns"], summary["start"], summary["clock"])),
        ("End", _time(summary["end_ns"], summary["end"], summary["clock"])),
        ("Messages", str(summary["messages"])),
    ]
    topics = [f"Topic: {t['topic']} | Type: {t['type']} | Count: {t['count']} | "
              f"Serialization Format: {t['serialization_format']}" for t in summary["topics"]]
    rows += [("Topic information" if n == 0 else "", line) for n, line in enumerate(topics)]
    rate = summary["frame_rate_hz"]
    rows += [
        ("Frames", f"{summary['frames']}" + (f" ({rate:.2f} frames/s recorded)" if rate else "")),
        ("Mode", f"{summary['mode']} ({'dual' if summary['dual_depth'] else 'single'} depth)"),
        ("Echoes", str(summary["echoes"])),
        ("Outputs", "not recorded" if summary["outputs"] is None else
         ", ".join(summary["outputs"]) or "none"),
    ]
    if (params := summary["dual_depth_params"]) is not None:
        rows.append(("Dual depth", ", ".join(f"{name} {value:g} mm"
                                             for name, value in params.items())))
    rows += [("Cameras" if n == 0 else "", f"{camera['id']} ({camera['model']}, "
              f"{camera['sync_mode']})") for n, camera in enumerate(summary["cameras"])]
    rows.append(("Format", f"{summary['format']} {summary['format_version']}, written by "
                 f"library {summary['library_version']}"))
    if (damage := summary["damage"]) is not None:
        rows.append(("Damage", f"at frame {damage['frame']} (byte {damage['byte']}): "
                     f"{damage['what']}; the {summary['frames']} frames before it read"))
    for label, value in rows:
        print(f"{label + ':' if label else '':<19}{value}")
