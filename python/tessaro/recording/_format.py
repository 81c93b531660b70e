"""The recording file format: its version, channels, clocks and metadata records.

A recording keeps the raw frames, not the decoded ones: decoding is the library's job and can
be repeated. Every channel is a ROS 2 message in CDR (MCAP's `ros2` profile), so standard tools
open the file; `docs/recording.md` describes the channels and the metadata.
"""

from __future__ import annotations

import functools
import json
import math
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from tessaro._sensor import OUTPUT_FLAGS, mode_table, version

if TYPE_CHECKING:
    import pelorin

FORMAT = "tessaro-raw"
# 2: log times on the Unix epoch, raw frames with a header and every clock, camera_info.
FORMAT_VERSION = 2
IMAGE_TOPIC = "/tessaro/raw/image"
EBD_TOPIC = "/tessaro/raw/ebd"
DEPTH_TOPIC = "/tessaro/depth"
POINTS_TOPIC = "/tessaro/points"
CAMERA_INFO_TOPIC = "/tessaro/camera_info"
CAMERA_MODEL_RECORD = "tessaro.camera_model"
# The clock of the log times: the Unix epoch from version 2 on; in version 1 files, the sensor's
# timestamp or the host's monotonic clock.
EPOCH_CLOCK = "unix_epoch"
# The recorder's counts, written when the recording ends: frames written, dropped, failed.
RECORDER_RECORD = "tessaro.recorder"
SENSOR_CLOCK = "sensor_timestamp"
HOST_CLOCK = "host_monotonic"
# The embedded-data timestamp is taken to count microseconds.
TIMESTAMP_UNIT_NS = 1000
DUAL_DEPTH_FIELDS = ("select_near", "select_far", "merge_window")


def outputs_to_dict(config: pelorin.camera_output_configuration) -> dict[str, bool]:
    """A `pelorin.camera_output_configuration` as a plain dictionary of its eight flags."""
    return {flag: bool(getattr(config, flag)) for flag in OUTPUT_FLAGS}


def outputs_from_dict(flags: dict[str, bool]) -> pelorin.camera_output_configuration:
    """The `pelorin.camera_output_configuration` with the given flags set (others off)."""
    import pelorin
    config = pelorin.camera_output_configuration()
    for flag in OUTPUT_FLAGS:
        setattr(config, flag, bool(flags.get(flag, False)))
    return config


def metadata_records(info: dict[str, Any], outputs: pelorin.camera_output_configuration | None,
                     times: dict[str, str], frame_id: str) -> dict[str, dict[str, str]]:
    """The metadata records of a recording from a camera with information `info`; `times` are
    the log clock's values (`LogClock.metadata`)."""
    mode = info["supported_modes"][f"{info['mode']:x}"]
    return {
        "tessaro.recording": {"format": FORMAT, "format_version": str(FORMAT_VERSION),
                              "library_version": version() or "unknown", "clock": EPOCH_CLOCK,
                              **times, "timestamp_unit_ns": str(TIMESTAMP_UNIT_NS)},
        "tessaro.sensor": {"mode": f"0x{info['mode']:x}", "frame_id": frame_id,
                           "dual_depth_mode": json.dumps(info["dual_depth_mode"]),
                           "number_of_echo": str(info["number_of_echo"]),
                           "raw_size_image": str(mode["raw_size_image"]),
                           "raw_size_ebd": str(mode["raw_size_ebd"]),
                           "sensor_width": str(mode["sensor_width"]),
                           "sensor_height": str(mode["sensor_height"]),
                           "camera_info": json.dumps(info)},
        "tessaro.processing": {
            "outputs": json.dumps(None if outputs is None else outputs_to_dict(outputs)),
            "dual_depth_params": json.dumps(info["dual_depth_params"])},
    }


@functools.cache
def record_limit() -> int:
    """The largest record, or chunk uncompressed, that a recording holds: a frame of the largest
    mode (raw image and embedded data) twice over, and a MiB for the ROS messages and the
    schemas. A larger one is damage or a crafted file: refusing it before reading keeps the
    reader's memory within a few frames whatever the file declares."""
    largest: int = max(mode["raw_size_image"] + mode["raw_size_ebd"]
                  for mode in mode_table().values())
    return 2 * largest + (1 << 20)


@dataclass(frozen=True, slots=True)
class RecordedSettings:
    """What the metadata says the camera was doing, checked."""
    mode: int
    dual: bool
    echoes: int
    raw_size_image: int
    outputs: dict[str, bool] | None
    dual_depth_params: dict[str, float]
    clock: str
    version: int


def _json(record: dict[str, str], key: str) -> Any:
    try:
        return json.loads(record[key])
    except (ValueError, RecursionError) as error:  # a value nested deeper than the parser goes
        raise ValueError(f"metadata {key} is not valid JSON ({type(error).__name__})") from None


def _number(value: Any) -> bool:
    # Beyond float32 the library's parameters become infinite.
    return type(value) in (int, float) and math.isfinite(value) and abs(value) <= 3.4e38


def recorded_settings(metadata: dict[str, dict[str, str]]) -> RecordedSettings:
    """The settings in a recording's metadata records. Raises ValueError naming the first value
    that is missing, malformed or out of the range the library accepts, so that replaying never
    configures a camera with something the recorder could not have written."""
    about = metadata.get("tessaro.recording", {})
    if about.get("format") != FORMAT:
        raise ValueError(f"not a {FORMAT} recording (no recording metadata)")
    version = about.get("format_version", "")
    if not (re.fullmatch(r"[0-9]{1,6}", version) and 1 <= int(version) <= FORMAT_VERSION):
        raise ValueError(f"format version {version!r} is not supported "
                         f"(this reader knows 1 to {FORMAT_VERSION})")
    sensor = metadata.get("tessaro.sensor", {})
    processing = metadata.get("tessaro.processing", {})
    for record, keys in ((sensor, ("mode", "dual_depth_mode", "number_of_echo",
                                   "raw_size_image")),
                         (processing, ("outputs", "dual_depth_params"))):
        if missing := [key for key in keys if key not in record]:
            raise ValueError(f"incomplete recording metadata (no {', '.join(missing)})")
    if not re.fullmatch(r"0x[0-9a-fA-F]{1,8}", sensor["mode"]):
        raise ValueError(f"mode {sensor['mode']!r} is not a mode id")
    mode = int(sensor["mode"], 16)
    if (known := mode_table().get(mode)) is None:
        raise ValueError(f"mode 0x{mode:x} is not one the library knows")
    dual = _json(sensor, "dual_depth_mode")
    if dual is not known["dual_depth_mode"]:
        raise ValueError(f"dual_depth_mode {sensor['dual_depth_mode']!r} does not match mode "
                         f"0x{mode:x}")
    echoes = sensor["number_of_echo"]
    if not (re.fullmatch(r"[0-9]{1,2}", echoes) and 1 <= int(echoes) <= known["max_echo"]):
        raise ValueError(f"number_of_echo {echoes!r} is not 1 to {known['max_echo']}")
    if sensor["raw_size_image"] != str(known["raw_size_image"]):
        raise ValueError(f"raw_size_image {sensor['raw_size_image']!r} is not the "
                         f"{known['raw_size_image']} bytes of mode 0x{mode:x}")
    outputs = _json(processing, "outputs")
    if outputs is not None and not (isinstance(outputs, dict) and all(
            flag in OUTPUT_FLAGS and type(on) is bool for flag, on in outputs.items())):
        raise ValueError(f"outputs is not null nor a set of the flags {', '.join(OUTPUT_FLAGS)}")
    params = _json(processing, "dual_depth_params")
    if not (isinstance(params, dict) and all(_number(params.get(f)) for f in DUAL_DEPTH_FIELDS)
            and 0 <= params["select_near"] <= params["select_far"]
            and params["merge_window"] >= 0):
        raise ValueError("dual_depth_params is not finite select_near <= select_far and "
                         "merge_window, none negative")
    first = int(version) == 1
    clock = about.get("clock", HOST_CLOCK if first else "")
    clocks = (SENSOR_CLOCK, HOST_CLOCK) if first else (EPOCH_CLOCK,)
    if clock not in clocks:
        raise ValueError(f"clock {clock!r} is not {' nor '.join(clocks)} (format version "
                         f"{int(version)})")
    return RecordedSettings(mode, dual, int(echoes), known["raw_size_image"], outputs,
                            {field: float(params[field]) for field in DUAL_DEPTH_FIELDS}, clock,
                            int(version))
