"""One recording as tables: a row per frame and a row for the recording, with no engine.

The unit of parallel work of `tessaro batch` is this function; whatever runs it (the Dask
engine, a loop, another scheduler) gets the same tables for the same recording and settings,
because nothing in them depends on when or where it ran: a replay's delivery times are left
out, and the times kept are the recorded ones.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

import tessaro
from tessaro.errors import ConfigurationError, RecordingError, TessaroError
from tessaro.recording import Recording
from tessaro.recording._format import DUAL_DEPTH_FIELDS

Array = npt.NDArray[Any]
DualDepth = Mapping[str, float] | tuple[float, float, float]
DepthSink = Callable[[Array], None]
"""Called with the depth of every frame that has a row, (echoes, rows, columns) in
millimetres, in row order."""

PER_ECHO_COLUMNS = ("zones", "depth_min", "depth_median", "depth_max")


@dataclass(slots=True)
class Damage:
    """Where a recording is damaged (the first frame that could not be read, None when the
    file as a whole could not be) and why."""
    frame: int | None
    why: str


def damage_of(error: Exception) -> Damage:
    """The damage that `error`, raised while opening or reading a recording, reports."""
    if isinstance(error, RecordingError):
        return Damage(error.frame, error.what)
    if isinstance(error, OSError) and error.strerror:
        return Damage(None, f"cannot open: {error.strerror}")
    return Damage(None, " ".join(str(error).split()) or type(error).__name__)


@dataclass
class Tables:
    """One recording's tables: `frames` maps column names to equal-length arrays (NaN, or a
    masked entry for integers, where a value is unknown); `summary` is one row of plain values."""
    frames: dict[str, Array]
    summary: dict[str, Any] = field(default_factory=dict)


def frame_columns(echoes: int) -> list[str]:
    """The columns of the frame table of a recording decoded with `echoes` echoes, in order."""
    return ["frame", "log_time_ns", "capture_time_ns", "sensor_timestamp_us", "dropped",
            *(f"{name}_{echo}" for echo in range(1, echoes + 1) for name in PER_ECHO_COLUMNS),
            "temperature_c"]


def summary_columns() -> list[str]:
    """The columns of a recording's summary row, in order."""
    return ["file", "size", "camera", "mode", "dual", "echoes", "outputs", *DUAL_DEPTH_FIELDS,
            "frames", "duration_s", "frame_rate", "frames_lost", "frames_failed",
            "damage_frame", "damage"]


class _Columns:
    """The frame table being filled, preallocated for the frames the recording holds, so that
    its memory is known from the start and no frame is kept."""

    def __init__(self, length: int, echoes: int) -> None:
        self.rows = 0
        self.echoes = echoes
        self.ints = {name: np.zeros(length, np.int64) for name in
                     ("frame", "log_time_ns", "capture_time_ns", "sensor_timestamp_us",
                      "dropped", *(f"zones_{e}" for e in range(1, echoes + 1)))}
        self.known = {name: np.zeros(length, bool) for name in
                      ("capture_time_ns", "sensor_timestamp_us")}
        self.floats = {name: np.full(length, np.nan) for name in frame_columns(echoes)
                       if name not in self.ints}

    def add(self, index: int, log_time: int, capture: int | None, sensor: int | None,
            dropped: int, depth: Array, temperature: float) -> None:
        row = self.rows
        for name, value in (("frame", index), ("log_time_ns", log_time), ("dropped", dropped),
                            ("capture_time_ns", capture), ("sensor_timestamp_us", sensor)):
            if value is not None:
                self.ints[name][row] = value
                if name in self.known:
                    self.known[name][row] = True
        for echo in range(1, self.echoes + 1):
            valid = depth[echo - 1][depth[echo - 1] > 0]
            self.ints[f"zones_{echo}"][row] = valid.size
            if valid.size:
                self.floats[f"depth_min_{echo}"][row] = valid.min()
                self.floats[f"depth_median_{echo}"][row] = np.median(valid)
                self.floats[f"depth_max_{echo}"][row] = valid.max()
        self.floats["temperature_c"][row] = temperature
        self.rows += 1

    def table(self) -> dict[str, Array]:
        columns: dict[str, Array] = {}
        for name in frame_columns(self.echoes):
            if name in self.known:
                columns[name] = np.ma.masked_array(self.ints[name][:self.rows],
                                                   mask=~self.known[name][:self.rows])
            elif name in self.ints:
                columns[name] = self.ints[name][:self.rows]
            else:
                columns[name] = self.floats[name][:self.rows]
        return columns


def _output_names(recording: Recording, outputs: Iterable[str] | str | None) -> list[str]:
    """The outputs to decode: those given, else those recorded; depth always, as the tables
    come from it."""
    if outputs == "all":
        return list(tessaro.OUTPUTS)
    if outputs is None:
        recorded = recording.outputs or {}
        outputs = [name for name, attr in tessaro.OUTPUTS.items()
                   if recorded.get("enable_" + attr)]
    names = list(outputs)
    return names if "depth" in names else ["depth", *names]


def _dual_depth(recording: Recording, given: DualDepth | None) -> dict[str, float] | None:
    if not recording.dual:
        return None  # parameters given for a batch apply to its dual-depth recordings only
    if given is None:
        return {name: float(recording.dual_depth_params[name]) for name in DUAL_DEPTH_FIELDS}
    values = [given[name] for name in DUAL_DEPTH_FIELDS] if isinstance(given, Mapping) \
        else given
    return dict(zip(DUAL_DEPTH_FIELDS, map(float, values), strict=True))


def recording_tables(path: str | os.PathLike[str], *, echoes: int | None = None,
                     outputs: Iterable[str] | str | None = None,
                     dual_depth: DualDepth | None = None,
                     depth: DepthSink | None = None) -> Tables:
    """The frame table and summary row of the recording at `path`, decoded with the recorded
    echo count, outputs and dual-depth parameters unless others are given (`dual_depth`
    applies to dual-depth recordings only; depth is always decoded). `depth`, when given,
    receives each row's depth.

    A recording that cannot be opened, or whose frames stop at damage, is not an error: its
    summary row says where and why in `damage_frame` and `damage`, and the frame table holds
    the frames before the damage. ConfigurationError (an echo count or output the sensor does
    not take) is raised, as it is the caller's.
    """
    path = Path(path)
    summary: dict[str, Any] = dict.fromkeys(summary_columns())
    summary.update(file=str(path), frames=0, frames_lost=0, frames_failed=0)
    columns = _Columns(0, 0)
    try:
        summary["size"] = path.stat().st_size
        with Recording(path) as recording:
            info = recording.metadata.get("tessaro.sensor", {}).get("camera_info")
            count = recording.echoes if echoes is None else echoes
            names = _output_names(recording, outputs)
            params = _dual_depth(recording, dual_depth)
            summary.update(camera=_camera_id(info), mode=f"{recording.mode:#x}",
                           dual=bool(recording.dual), echoes=count, outputs=",".join(names),
                           **(params or {}))
        columns = _Columns(0, count)
        with tessaro.open(path, echoes=count, outputs=names, dual_depth=params,
                          on_error="skip") as device:
            columns = _Columns(len(device), count)
            try:
                _fill(device, columns, depth)
            finally:
                summary.update(frames_lost=device.frames_dropped,
                               frames_failed=device.frames_failed)
    except ConfigurationError:
        raise
    except (TessaroError, OSError) as error:
        found = damage_of(error)
        summary.update(damage_frame=found.frame, damage=found.why)
    tables = Tables(columns.table(), summary)
    summary["frames"] = columns.rows
    if columns.rows:
        times = tables.frames["log_time_ns"]
        duration = (int(times[-1]) - int(times[0])) / 1e9
        summary["duration_s"] = duration
        summary["frame_rate"] = (columns.rows - 1) / duration if duration > 0 else None
    return tables


def _fill(device: tessaro.Device, columns: _Columns, depth: DepthSink | None) -> None:
    replayer = device.replayer
    assert replayer is not None, "a recording opens with its replayer"
    recording: Recording = replayer.recording
    for frame in device:
        index = replayer.position - 1  # frames that failed to decode leave gaps in `index`
        log_time = recording.log_time(index)
        sensor = frame.sensor_timestamp
        # The temperature comes from the embedded data: unknown for a frame without it.
        temperature = float(device.camera.get_sensor_info().temperature) \
            if sensor is not None else np.nan
        columns.add(index, log_time, recording.clocks(index).capture_time_ns, sensor,
                    frame.dropped, frame.depth, temperature)
        if depth is not None:
            depth(frame.depth)


def _camera_id(info: str | None) -> str | None:
    try:
        return str(json.loads(info)["id"]) if info else None
    except (ValueError, KeyError, TypeError):
        return None
