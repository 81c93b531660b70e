"""The recording's ROS 2 messages as CDR bytes, written field by field with `struct`.

mcap-ros2-support's encoder walks a message's parsed definition for every message it writes,
several hundred Python calls per frame on the writer thread; these encoders know their four
types and write the same bytes (little-endian CDR, each value aligned to its own size counted
from after the 4-byte encapsulation header). A message's large byte array is copied once.
"""

from __future__ import annotations

import struct
from collections.abc import Callable
from typing import Any

from tessaro.recording import _ros2 as messages

_ENCAPSULATION = b"\x00\x01\x00\x00"  # CDR, little-endian
_I32, _U32, _U64, _F64 = (struct.Struct(code) for code in ("<i", "<I", "<Q", "<d"))


class _Cdr:
    __slots__ = ("out",)

    def __init__(self) -> None:
        self.out = bytearray(_ENCAPSULATION)

    def _aligned(self, size: int) -> bytearray:
        pad = -(len(self.out) - len(_ENCAPSULATION)) % size
        if pad:
            self.out += bytes(pad)
        return self.out

    def u8(self, value: int) -> None:
        self.out.append(value)

    def i32(self, value: int) -> None:
        self._aligned(4).extend(_I32.pack(value))

    def u32(self, value: int) -> None:
        self._aligned(4).extend(_U32.pack(value))

    def u64(self, value: int) -> None:
        self._aligned(8).extend(_U64.pack(value))

    def f64s(self, values: list[float]) -> None:
        self._aligned(8).extend(struct.pack(f"<{len(values)}d", *values))

    def string(self, text: str) -> None:
        data = text.encode()
        self.u32(len(data) + 1)
        self.out += data
        self.out.append(0)

    def byte_array(self, data: bytes) -> None:
        self.u32(len(data))
        self.out += data

    def header(self, header: dict[str, Any]) -> None:
        self.i32(header["stamp"]["sec"])
        self.u32(header["stamp"]["nanosec"])
        self.string(header["frame_id"])


def raw_frame(m: dict[str, Any]) -> bytearray:
    cdr = _Cdr()
    cdr.header(m["header"])
    cdr.u32(m["frame_id"])
    cdr.u32(m["timestamp"])
    cdr.u8(m["has_sensor_time"])
    cdr.u64(m["sensor_timestamp"])
    cdr.u64(m["frame_index"])
    cdr.u8(m["has_capture_time"])
    cdr.u64(m["capture_time_ns"])
    cdr.u8(m["has_sequence"])
    cdr.u32(m["sequence"])
    cdr.byte_array(m["data"])
    return cdr.out


def image(m: dict[str, Any]) -> bytearray:
    cdr = _Cdr()
    cdr.header(m["header"])
    cdr.u32(m["height"])
    cdr.u32(m["width"])
    cdr.string(m["encoding"])
    cdr.u8(m["is_bigendian"])
    cdr.u32(m["step"])
    cdr.byte_array(m["data"])
    return cdr.out


def point_cloud(m: dict[str, Any]) -> bytearray:
    cdr = _Cdr()
    cdr.header(m["header"])
    cdr.u32(m["height"])
    cdr.u32(m["width"])
    cdr.u32(len(m["fields"]))
    for field in m["fields"]:
        cdr.string(field["name"])
        cdr.u32(field["offset"])
        cdr.u8(field["datatype"])
        cdr.u32(field["count"])
    cdr.u8(m["is_bigendian"])
    cdr.u32(m["point_step"])
    cdr.u32(m["row_step"])
    cdr.byte_array(m["data"])
    cdr.u8(m["is_dense"])
    return cdr.out


def camera_info(m: dict[str, Any]) -> bytearray:
    cdr = _Cdr()
    cdr.header(m["header"])
    cdr.u32(m["height"])
    cdr.u32(m["width"])
    cdr.string(m["distortion_model"])
    cdr.u32(len(m["d"]))
    if m["d"]:
        cdr.f64s(m["d"])
    for name in ("k", "r", "p"):
        cdr.f64s(m[name])
    cdr.u32(m["binning_x"])
    cdr.u32(m["binning_y"])
    roi = m["roi"]
    for name in ("x_offset", "y_offset", "height", "width"):
        cdr.u32(roi[name])
    cdr.u8(roi["do_rectify"])
    return cdr.out


ENCODERS: dict[str, Callable[[dict[str, Any]], bytearray]] = {
    messages.RAW_FRAME_TYPE: raw_frame, messages.IMAGE_TYPE: image,
    messages.POINT_CLOUD_TYPE: point_cloud, messages.CAMERA_INFO_TYPE: camera_info}
