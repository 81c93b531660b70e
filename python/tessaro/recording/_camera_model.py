"""A pinhole model of the sensor for `sensor_msgs/msg/CameraInfo`, fitted to the sensor's own
ray directions.

Each zone's point lies on the zone's ray, so x/z and y/z of a decoded point are that ray's
direction whatever the distance. A pinhole camera sends the ray (a, b, 1) to the pixel
(fx·a + cx, fy·b + cy); the zone's pixel in the depth image is (column, row), integers at the
pixel centres as ROS and OpenCV count them. Least squares over the zones with a return gives
fx, cx from the columns and fy, cy from the rows; the distance between each zone's pixel and
where the model sends its ray is the residual, in pixels of the 24 × 24 depth image.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from tessaro.recording._ros2 import header

# Fewer zones with a return than this, and a frame says too little about the optics.
MIN_ZONES = 8
# No lens model: the image is taken as it is, which CameraInfo spells as plumb_bob with zeros.
_DISTORTION_MODEL = "plumb_bob"


@dataclass(frozen=True, slots=True)
class PinholeModel:
    """Focal lengths and principal point in pixels of a `width` × `height` depth image; the fit
    used `zones` zones, whose pixels lie `rms_px` (root mean square) and at most `max_px` from
    where the model sends their rays."""
    fx: float
    fy: float
    cx: float
    cy: float
    width: int
    height: int
    zones: int
    rms_px: float
    max_px: float

    def camera_info(self, log_time_ns: int, frame_id: str) -> dict[str, Any]:
        """The model as a `sensor_msgs/msg/CameraInfo` message."""
        fx, fy, cx, cy = self.fx, self.fy, self.cx, self.cy
        return {"header": header(log_time_ns, frame_id), "height": self.height,
                "width": self.width, "distortion_model": _DISTORTION_MODEL, "d": [0.0] * 5,
                "k": [fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0],
                "r": [1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0],
                "p": [fx, 0.0, cx, 0.0, 0.0, fy, cy, 0.0, 0.0, 0.0, 1.0, 0.0],
                "binning_x": 0, "binning_y": 0,
                "roi": {"x_offset": 0, "y_offset": 0, "height": 0, "width": 0,
                        "do_rectify": False}}

    def metadata(self, frame: int) -> dict[str, str]:
        """The model and its residual as metadata values; `frame` is the frame it was fitted to."""
        return {"model": "pinhole", "distortion": "none", "fitted_to_frame": str(frame),
                "width": str(self.width), "height": str(self.height),
                **{name: repr(getattr(self, name)) for name in ("fx", "fy", "cx", "cy")},
                "zones": str(self.zones), "residual_rms_px": repr(self.rms_px),
                "residual_max_px": repr(self.max_px)}


def _line(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> tuple[float, float]:
    """Slope and intercept of the least-squares line through (x, y)."""
    (slope, intercept), *_ = np.linalg.lstsq(np.stack([x, np.ones_like(x)], axis=1), y,
                                             rcond=None)
    return float(slope), float(intercept)


def fit_pinhole(points: npt.ArrayLike, width: int, height: int) -> PinholeModel | None:
    """The pinhole model of the zone points `points` ((width·height, 3), zone p at row
    p // width, column p % width; a zone without a return has z ≤ 0 or NaN), or None when the
    zones with a return do not fix one: fewer than MIN_ZONES, all in one row or one column, or
    rays that do not spread right and down as the columns and rows do."""
    xyz = np.asarray(points, dtype=np.float64).reshape(width * height, 3)
    with np.errstate(invalid="ignore"):
        zones = np.flatnonzero(np.isfinite(xyz).all(axis=1) & (xyz[:, 2] > 0))
    if len(zones) < MIN_ZONES:
        return None
    column, row = (zones % width).astype(np.float64), (zones // width).astype(np.float64)
    a, b = xyz[zones, 0] / xyz[zones, 2], xyz[zones, 1] / xyz[zones, 2]
    if np.ptp(column) == 0 or np.ptp(row) == 0 or np.ptp(a) == 0 or np.ptp(b) == 0:
        return None
    (fx, cx), (fy, cy) = _line(a, column), _line(b, row)
    if not (fx > 0 and fy > 0):
        return None
    miss = np.hypot(fx * a + cx - column, fy * b + cy - row)
    return PinholeModel(fx, fy, cx, cy, width, height, len(zones),
                        float(np.sqrt(np.mean(miss ** 2))), float(miss.max()))
