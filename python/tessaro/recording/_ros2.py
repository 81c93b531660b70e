"""Decoded frames as ROS 2 messages (`sensor_msgs/msg/Image`, `sensor_msgs/msg/PointCloud2`) and
the raw-frame message type of recordings, as message definitions and plain dictionaries that
`mcap-ros2-support` encodes.

ROS measures in metres (REP 103); the sensor's depths and points are taken to be millimetres,
the unit its default dual-depth limits (200 and 2000) are written in. A zone without a return
(depth 0) becomes NaN, the ROS mark of an invalid depth (REP 118).
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    import pelorin

RAW_FRAME_TYPE = "tessaro_msgs/msg/RawFrame"
RAW_FRAME_DEFINITION = """\
uint32 frame_id
uint32 timestamp
uint8[] data
"""

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

FRAME_ID = "imx704"
# The output flags whose values the ROS 2 messages carry.
ROS2_OUTPUT_FLAGS = ("enable_cartesian_depth", "enable_radial_depth", "enable_point_cloud")
METRES_PER_UNIT = 0.001
_FLOAT32 = 7


def _header(log_time_ns: int) -> dict[str, Any]:
    return {"stamp": {"sec": log_time_ns // 1_000_000_000, "nanosec": log_time_ns % 1_000_000_000},
            "frame_id": FRAME_ID}


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
                outputs: pelorin.camera_output_configuration | None = None
                ) -> dict[str, Any] | None:
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
    return {"header": _header(log_time_ns), "height": height, "width": width,
            "encoding": "32FC1", "is_bigendian": 0, "step": width * 4,
            "data": metres.tobytes()}


def point_cloud(frame: pelorin.frame_buffer, width: int, height: int, log_time_ns: int,
                outputs: pelorin.camera_output_configuration | None = None
                ) -> dict[str, Any] | None:
    """The first echo's points as an organised x, y, z cloud in metres; None without points."""
    points = _computed(frame.point_cloud, outputs, "enable_point_cloud")
    if points is None:
        return None
    valid = points[:, 2:3] > 0
    metres = np.where(valid, points * METRES_PER_UNIT, np.nan).astype("<f4")
    fields = [{"name": axis, "offset": 4 * i, "datatype": _FLOAT32, "count": 1}
              for i, axis in enumerate("xyz")]
    return {"header": _header(log_time_ns), "height": height, "width": width, "fields": fields,
            "is_bigendian": False, "point_step": 12, "row_step": 12 * width,
            "data": metres.tobytes(), "is_dense": False}
