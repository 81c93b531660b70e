"""Decoded frames as ROS 2 messages (`sensor_msgs/msg/Image`, `sensor_msgs/msg/PointCloud2`,
`sensor_msgs/msg/CameraInfo`) and the raw-frame message type of recordings, as message
definitions and plain dictionaries that `mcap-ros2-support` encodes. Every header names the
camera's frame (REP 103's optical frame by default) and is stamped in ROS time.

ROS measures in metres (REP 103); the sensor's depths and points are taken to be millimetres,
the unit its default dual-depth limits (200 and 2000) are written in. A zone without a return
(depth 0) becomes NaN, the ROS mark of an invalid depth (REP 118).
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tessaro.errors import ConfigurationError

if TYPE_CHECKING:
    import pelorin

_HEADER = """\
================================================================================
MSG: std_msgs/Header
builtin_interfaces/Time stamp
string frame_id
================================================================================
MSG: builtin_interfaces/Time
int32 sec
uint32 nanosec
"""

RAW_FRAME_TYPE = "tessaro_msgs/msg/RawFrame"
# The text of ros/tessaro_msgs/msg/RawFrame.msg, which a test holds to this one: ROS 2 tools
# publish the raw channels through that package.
RAW_FRAME_MSG = """\
# One raw frame of a tessaro camera: the bytes the library decodes (the compacted image frame, or
# the embedded-data frame recorded with it), and every clock the frame was seen by.

# stamp: the capture time on the Unix epoch (ROS time); frame_id: the camera's optical frame.
std_msgs/Header header

# The embedded data's 32-bit, wrapping counters (frame_buffer.frame_id and .timestamp); 0 when
# the frame's embedded data was not read.
uint32 frame_id
uint32 timestamp

# The sensor's counters from the embedded data, unwrapped; 0 unless has_sensor_time.
bool has_sensor_time
uint64 sensor_timestamp
uint64 frame_index

# The capture time on the host's CLOCK_MONOTONIC in nanoseconds; 0 unless has_capture_time.
bool has_capture_time
uint64 capture_time_ns

# The image stream's frame number; 0 unless has_sequence.
bool has_sequence
uint32 sequence

uint8[] data
"""
RAW_FRAME_DEFINITION = RAW_FRAME_MSG + _HEADER
# The raw-frame type of format version 1 files, which still read.
RAW_FRAME_DEFINITION_V1 = """\
uint32 frame_id
uint32 timestamp
uint8[] data
"""

IMAGE_TYPE = "sensor_msgs/msg/Image"
IMAGE_DEFINITION = """\
std_msgs/Header header
uint32 height
uint32 width
string encoding
uint8 is_bigendian
uint32 step
uint8[] data
""" + _HEADER

POINT_CLOUD_TYPE = "sensor_msgs/msg/PointCloud2"
POINT_CLOUD_DEFINITION = """\
std_msgs/Header header
uint32 height
uint32 width
sensor_msgs/PointField[] fields
bool is_bigendian
uint32 point_step
uint32 row_step
uint8[] data
bool is_dense
================================================================================
MSG: sensor_msgs/PointField
uint8 INT8 = 1
uint8 UINT8 = 2
uint8 INT16 = 3
uint8 UINT16 = 4
uint8 INT32 = 5
uint8 UINT32 = 6
uint8 FLOAT32 = 7
uint8 FLOAT64 = 8
string name
uint32 offset
uint8 datatype
uint32 count
""" + _HEADER

CAMERA_INFO_TYPE = "sensor_msgs/msg/CameraInfo"
CAMERA_INFO_DEFINITION = """\
std_msgs/Header header
uint32 height
uint32 width
string distortion_model
float64[] d
float64[9] k
float64[9] r
float64[12] p
uint32 binning_x
uint32 binning_y
sensor_msgs/RegionOfInterest roi
================================================================================
MSG: sensor_msgs/RegionOfInterest
uint32 x_offset
uint32 y_offset
uint32 height
uint32 width
bool do_rectify
""" + _HEADER

# REP 103's optical frame: the library's axes are already x right, y down, z forward.
DEFAULT_FRAME_ID = "tessaro_optical_frame"
# The output flags whose values the ROS 2 messages carry.
ROS2_OUTPUT_FLAGS = ("enable_cartesian_depth", "enable_radial_depth", "enable_point_cloud")
METRES_PER_UNIT = 0.001
_FLOAT32 = 7


def header(log_time_ns: int, frame_id: str) -> dict[str, Any]:
    """A `std_msgs/Header` stamped `log_time_ns` (nanoseconds since the Unix epoch)."""
    return {"stamp": {"sec": log_time_ns // 1_000_000_000, "nanosec": log_time_ns % 1_000_000_000},
            "frame_id": frame_id}


def optical_frame_id(camera: str) -> str:
    """The default frame id of camera `camera` among several: `<camera>_optical_frame`, with
    what a tf2 frame name cannot hold replaced by underscores."""
    name = re.sub(r"[^A-Za-z0-9_]", "_", camera).strip("_") or "tessaro"
    return f"{name}_optical_frame"


def check_frame_id(frame_id: str) -> str:
    """`frame_id` when tf2 takes it as a frame name; raises ConfigurationError otherwise."""
    if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*(/[A-Za-z_][A-Za-z0-9_]*)*", frame_id):
        raise ConfigurationError(f"frame_id {frame_id!r} is not a frame name (letters, digits "
                                 "and underscores, parts joined by '/', no leading '/')")
    return frame_id


def raw_frame(frame: pelorin.frame_buffer, data: bytes, ebd: bool, log_time_ns: int,
              frame_id: str) -> dict[str, Any]:
    """A `tessaro_msgs/msg/RawFrame` of `data` with the frame's clocks; `ebd` says whether the
    frame's embedded data was read (the counters of one that was not are stale)."""
    sensor, capture, sequence = (bool(ebd and frame.has_sensor_time),
                                 bool(frame.has_capture_time), bool(frame.has_sequence))
    return {"header": header(log_time_ns, frame_id),
            "frame_id": frame.frame_id if ebd else 0, "timestamp": frame.timestamp if ebd else 0,
            "has_sensor_time": sensor,
            "sensor_timestamp": int(frame.sensor_timestamp) if sensor else 0,
            "frame_index": int(frame.frame_index) if sensor else 0,
            "has_capture_time": capture,
            "capture_time_ns": int(frame.capture_time_ns) if capture else 0,
            "has_sequence": sequence, "sequence": int(frame.sequence) if sequence else 0,
            "data": data}


def _first_echo(per_echo: Sequence[pelorin.vector_float | pelorin.vector_vector3]
                ) -> npt.NDArray[np.float32] | None:
    if not per_echo:
        return None
    values = np.asarray(per_echo[0])
    return values if len(values) else None


def _computed(per_echo: Sequence[pelorin.vector_float | pelorin.vector_vector3],
              outputs: pelorin.camera_output_configuration | None, flag: str
              ) -> npt.NDArray[np.float32] | None:
    """The first echo of an output, when the output configuration `outputs` computes it (or,
    without one, when the frame holds it)."""
    if outputs is not None and not getattr(outputs, flag):
        return None
    return _first_echo(per_echo)


def depth_image(frame: pelorin.frame_buffer, width: int, height: int, log_time_ns: int,
                outputs: pelorin.camera_output_configuration | None = None,
                frame_id: str = DEFAULT_FRAME_ID) -> dict[str, Any] | None:
    """The first echo's depth as a 32FC1 image in metres: cartesian where the camera computes
    it, else radial; None when the camera computes neither. `outputs` is the camera's output
    configuration: a frame may hold an output that is not computed (cartesian depth is always
    filled in dual-depth modes, with zeros when it is off)."""
    depth = _computed(frame.cartesian_depth, outputs, "enable_cartesian_depth")
    if outputs is None and depth is not None and not depth.any():
        depth = None  # not known to be computed, and what a dual-depth mode leaves when it is not
    if depth is None:
        depth = _computed(frame.radial_depth, outputs, "enable_radial_depth")
    if depth is None:
        return None
    metres = np.where(depth > 0, depth * METRES_PER_UNIT, np.nan).astype("<f4")
    return {"header": header(log_time_ns, frame_id), "height": height, "width": width,
            "encoding": "32FC1", "is_bigendian": 0, "step": width * 4,
            "data": metres.tobytes()}


def point_cloud(frame: pelorin.frame_buffer, width: int, height: int, log_time_ns: int,
                outputs: pelorin.camera_output_configuration | None = None,
                frame_id: str = DEFAULT_FRAME_ID) -> dict[str, Any] | None:
    """The first echo's points as an organised x, y, z cloud in metres; None without points."""
    points = _computed(frame.point_cloud, outputs, "enable_point_cloud")
    if points is None:
        return None
    valid = points[:, 2:3] > 0
    metres = np.where(valid, points * METRES_PER_UNIT, np.nan).astype("<f4")
    fields = [{"name": axis, "offset": 4 * i, "datatype": _FLOAT32, "count": 1}
              for i, axis in enumerate("xyz")]
    return {"header": header(log_time_ns, frame_id), "height": height, "width": width,
            "fields": fields, "is_bigendian": False, "point_step": 12, "row_step": 12 * width,
            "data": metres.tobytes(), "is_dense": False}
