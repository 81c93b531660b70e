"""Several synthetic sensors looking at one scene from different places: a rig.

Sensor 0 stands where the single synthetic sensor stands and sees exactly what it sees. The
others stand beside it on a line across the scene, alternately to the right and to the left,
300 mm apart, each turned to look at the point 2.5 m straight ahead of sensor 0. Their frames
are taken together: frame n of every sensor of a rig has the same time, n frame periods after
the rig was made, on the host's monotonic clock.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

import numpy as np

from tessaro._sensor import FrameFeeder, Mode
from tessaro.synthetic._model import SyntheticSensor
from tessaro.synthetic._scene import (Box, Moving, Plane, Scene, Sphere, TurnedBox, Vector,
                                      default_scene)

if TYPE_CHECKING:
    import pelorin

SPACING_MM = 300.0
AIM_MM = 2500.0  # the sensors look at this point on sensor 0's axis
MAX_SENSORS = 16


@dataclass(frozen=True)
class Pose:
    """Where a sensor stands (mm, in sensor 0's coordinates) and how far it is turned about the
    vertical axis (degrees; positive turns its view to the right)."""
    position: Vector
    yaw_deg: float


def rig_poses(count: int) -> list[Pose]:
    """The poses of a rig of `count` sensors."""
    poses = []
    for index in range(count):
        step = (index + 1) // 2 * (1 if index % 2 else -1)
        x = step * SPACING_MM
        poses.append(Pose((x, 0.0, 0.0), math.degrees(math.atan2(-x, AIM_MM))))
    return poses


def _axes(yaw_deg: float) -> np.ndarray:
    """The sensor's axes in the scene's coordinates, as columns."""
    c, s = math.cos(math.radians(yaw_deg)), math.sin(math.radians(yaw_deg))
    return np.array([[c, 0.0, s], [0.0, 1.0, 0.0], [-s, 0.0, c]])


def _vector(values: np.ndarray) -> Vector:
    return (float(values[0]), float(values[1]), float(values[2]))


def posed_scene(scene: Scene, pose: Pose) -> Scene:
    """`scene` in the coordinates of a sensor at `pose`; the scene itself at the origin's pose."""
    if pose.position == (0.0, 0.0, 0.0) and pose.yaw_deg == 0.0:
        return scene
    axes = _axes(pose.yaw_deg)
    at = np.asarray(pose.position, dtype=np.float64)

    def point(p: Vector) -> Vector:
        return _vector(axes.T @ (np.asarray(p, dtype=np.float64) - at))

    def direction(d: Vector) -> Vector:
        return _vector(axes.T @ np.asarray(d, dtype=np.float64))

    def box(b: Box | TurnedBox) -> Box | TurnedBox:
        assert isinstance(b, Box), "a scene to pose is given in its own coordinates"
        shifted = Box(_vector(np.subtract(b.low, at)), _vector(np.subtract(b.high, at)),
                      b.reflectivity)
        if pose.yaw_deg == 0.0:
            return shifted
        rows = axes  # a sensor ray d reaches the box's frame as axes @ d
        return TurnedBox(shifted, (_vector(rows[0]), _vector(rows[1]), _vector(rows[2])))

    def sphere(s: Sphere) -> Sphere:
        return replace(s, centre=point(s.centre))

    moving = None if scene.moving is None else Moving(
        sphere(scene.moving.sphere), direction(scene.moving.amplitude), scene.moving.period_s)
    return Scene(planes=tuple(Plane(point(p.point), direction(p.normal), p.reflectivity)
                              for p in scene.planes),
                 boxes=tuple(box(b) for b in scene.boxes),
                 spheres=tuple(sphere(s) for s in scene.spheres), moving=moving,
                 field_of_view_deg=scene.field_of_view_deg)


@dataclass
class RigCamera:
    """One sensor of a rig: its name, its offline camera (streams added, not opened), its
    model and the time of the frame it delivered last (ns, host monotonic clock)."""
    name: str
    camera: pelorin.camera
    sensor: SyntheticSensor
    frame_time: Callable[[], int]


def synthetic_rig(count: int, mode: int = Mode.SINGLE, *, seed: int = 0,
                  scene: Scene | None = None, padded: bool = False,
                  name: str = "synthetic") -> list[RigCamera]:
    """`count` synthetic sensors at the poses of `rig_poses`, named `name` + their number
    ("synthetic0", ...). Sensor i draws its noise from seed `seed + i`."""
    import pelorin
    if isinstance(count, bool) or not isinstance(count, int) or not 1 <= count <= MAX_SENSORS:
        raise ValueError(f"a rig has 1 to {MAX_SENSORS} sensors, not {count!r}")
    origin = time.monotonic_ns()
    shared = scene if scene is not None else default_scene()
    rig = []
    for index, pose in enumerate(rig_poses(count)):
        sensor = SyntheticSensor(mode, seed=seed + index, scene=posed_scene(shared, pose),
                                 padded=padded)
        images = FrameFeeder(sensor.raw_frame)
        camera = pelorin.create_camera_offline(f"{name}{index}")
        camera.add_stream(pelorin.stream_image, images)
        camera.add_stream(pelorin.stream_ebd, sensor.ebd_feeder())

        def frame_time(images: FrameFeeder = images, rate: float = sensor.frame_rate) -> int:
            return origin + round((images.delivered or 0) * 1e9 / rate)

        rig.append(RigCamera(f"{name}{index}", camera, sensor, frame_time))
    return rig
