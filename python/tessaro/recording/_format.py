"""The recording file format: its version, channels, clocks and metadata records.

A recording keeps the raw frames, not the decoded ones: decoding is the library's job and can
be repeated. Every channel is a ROS 2 message in CDR (MCAP's `ros2` profile), so standard tools
open the file; `docs/recording.md` describes the channels and the metadata.
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

from tessaro._sensor import OUTPUT_FLAGS, version

if TYPE_CHECKING:
    import pelorin

FORMAT = "tessaro-raw"
FORMAT_VERSION = 1
IMAGE_TOPIC = "/tessaro/raw/image"
EBD_TOPIC = "/tessaro/raw/ebd"
DEPTH_TOPIC = "/tessaro/depth"
POINTS_TOPIC = "/tessaro/points"
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
                     clock: str) -> dict[str, dict[str, str]]:
    """The metadata records of a recording from a camera with information `info`."""
    mode = info["supported_modes"][f"{info['mode']:x}"]
    return {
        "tessaro.recording": {"format": FORMAT, "format_version": str(FORMAT_VERSION),
                              "library_version": version() or "unknown", "clock": clock,
                              "timestamp_unit_ns": str(TIMESTAMP_UNIT_NS)},
        "tessaro.sensor": {"mode": f"0x{info['mode']:x}",
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

