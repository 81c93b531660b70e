"""The geometry the synthetic sensor looks at: planes, boxes and spheres, and the rays of its
zones.

Camera coordinates in millimetres: x to the right, y down, z forward along the optical axis, the
sensor at the origin. Every shape knows how to intersect a bundle of rays from the origin; the
sensor (`tessaro.synthetic`) turns the nearest hit of every ray into returns.
"""

from __future__ import annotations

import math
from functools import lru_cache
from dataclasses import dataclass, field, replace
from typing import Protocol

import numpy as np

Vector = tuple[float, float, float]

GRID = 24  # zones per row and per column
SUBRAYS = 4  # sub-rays per zone along each axis: 16 sample rays per zone
FIELD_OF_VIEW_DEG = 45.0  # horizontal and vertical, a guess (the sensor's optics are not known)


class Shape(Protocol):
    @property
    def reflectivity(self) -> float: ...

    def intersect(self, rays: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Distance along each unit ray to the first hit (inf for none) and the cosine of the
        angle between the ray and the surface normal there."""


@dataclass(frozen=True)
class Plane:
    """An infinite plane through `point` with normal `normal`."""
    point: Vector
    normal: Vector
    reflectivity: float = 0.5

    def intersect(self, rays: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        n = np.asarray(self.normal, dtype=np.float64)
        n = n / np.linalg.norm(n)
        facing = rays @ n
        with np.errstate(divide="ignore", invalid="ignore"):
            distance = np.asarray(self.point, dtype=np.float64) @ n / facing
        distance = np.where(np.isfinite(distance) & (distance > 0), distance, np.inf)
        return distance, np.abs(facing)


@dataclass(frozen=True)
class Box:
    """An axis-aligned box between corners `low` and `high`."""
    low: Vector
    high: Vector
    reflectivity: float = 0.5

    def intersect(self, rays: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        with np.errstate(divide="ignore", invalid="ignore"):
            a = np.asarray(self.low) / rays
            b = np.asarray(self.high) / rays
        # A ray parallel to a pair of faces gives nan when it lies in one of them: it misses.
        near = np.nan_to_num(np.minimum(a, b), nan=np.inf)
        far = np.nan_to_num(np.maximum(a, b), nan=-np.inf)
        entry, axis = near.max(axis=-1), near.argmax(axis=-1)
        hit = (entry <= far.min(axis=-1)) & (entry > 0)
        cosine = np.abs(np.take_along_axis(rays, axis[..., None], axis=-1)[..., 0])
        return np.where(hit, entry, np.inf), cosine


@dataclass(frozen=True)
class TurnedBox:
    """A box turned about the origin: `box`'s corners are in a frame whose axes, in these
    coordinates, are the rows of `turn` (a rotation matrix, row by row)."""
    box: Box
    turn: tuple[Vector, Vector, Vector]

    @property
    def reflectivity(self) -> float:
        return self.box.reflectivity

    def intersect(self, rays: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        # Distances and angles do not change when rays and box turn together.
        return self.box.intersect(rays @ np.asarray(self.turn, dtype=np.float64).T)


@dataclass(frozen=True)
class Sphere:
    centre: Vector
    radius: float
    reflectivity: float = 0.5

    def intersect(self, rays: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        return self.intersect_along(rays, rays @ np.asarray(self.centre, dtype=np.float64))

    def reaches(self, along: np.ndarray) -> np.ndarray:
        """Whether each ray, with `along` its projection of the centre, can hit the sphere."""
        c = np.asarray(self.centre, dtype=np.float64)
        result: np.ndarray = along ** 2 - (c @ c - self.radius ** 2) >= 0
        return result

    def intersect_along(self, rays: np.ndarray, along: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """`intersect`, given the projection of the centre on each ray."""
        c = np.asarray(self.centre, dtype=np.float64)
        disc = along ** 2 - (c @ c - self.radius ** 2)
        with np.errstate(invalid="ignore"):
            distance = along - np.sqrt(disc)
        hit = (disc >= 0) & (distance > 0)
        distance = np.where(hit, distance, np.inf)
        normal = (np.where(hit, distance, 0)[..., None] * rays - c) / self.radius
        return distance, np.abs(np.sum(normal * rays, axis=-1))


@dataclass(frozen=True)
class Moving:
    """A sphere swinging about its rest position: centre + amplitude * sin(2 pi t / period)."""
    sphere: Sphere
    amplitude: Vector
    period_s: float

    def at(self, t: float) -> Sphere:
        phase = math.sin(2 * math.pi * t / self.period_s)
        (x, y, z), (ax, ay, az) = self.sphere.centre, self.amplitude
        return replace(self.sphere, centre=(x + ax * phase, y + ay * phase, z + az * phase))


@dataclass(frozen=True)
class Scene:
    planes: tuple[Plane, ...] = ()
    boxes: tuple[Box | TurnedBox, ...] = ()
    spheres: tuple[Sphere, ...] = ()
    moving: Moving | None = None
    field_of_view_deg: float = FIELD_OF_VIEW_DEG

    def shapes_at(self, t: float) -> list[Shape]:
        shapes: list[Shape] = [*self.planes, *self.boxes, *self.spheres]
        if self.moving is not None:
            shapes.append(self.moving.at(t))
        return shapes

    def still_hits(self) -> "Hits":
        """The nearest hits of the shapes that do not move (read-only, shared)."""
        return Hits(*_still_hits(self.planes, self.boxes, self.spheres, self.field_of_view_deg))

    def moved_hits(self, t: float) -> tuple[np.ndarray, "Hits"]:
        """The zones where the moving shape is nearer than the still ones for some sample ray
        at time `t` seconds, and the nearest hits of those zones' rays (as in `first_hits`)."""
        still = self.still_hits()
        if self.moving is None:
            return np.zeros(0, dtype=np.intp), Hits(*(v[:0] for v in
                                                      (still.distance, still.cosine,
                                                       still.reflectivity)))
        shape = self.moving.at(t)
        rays = sample_rays(self.field_of_view_deg)
        # The projections of every ray at once, as `intersect` works them out; the rest only
        # for the zones the ball can reach.
        along = rays @ np.asarray(shape.centre, dtype=np.float64)
        zones = np.flatnonzero(shape.reaches(along).any(axis=1))
        d, c = shape.intersect_along(rays[zones], along[zones])
        nearer = d < still.distance[zones]
        reached = nearer.any(axis=1)
        zones, nearer, d, c = zones[reached], nearer[reached], d[reached], c[reached]
        hits = Hits(still.distance[zones], still.cosine[zones], still.reflectivity[zones])
        hits.distance[nearer], hits.cosine[nearer] = d[nearer], c[nearer]
        hits.reflectivity[nearer] = shape.reflectivity
        return zones, hits

    def first_hits(self, t: float) -> "Hits":
        """The nearest hit of every sample ray at time `t` seconds."""
        still = _still_hits(self.planes, self.boxes, self.spheres, self.field_of_view_deg)
        hits = Hits(*(values.copy() for values in still))
        if self.moving is not None:
            _nearer(hits, self.moving.at(t), sample_rays(self.field_of_view_deg))
        return hits


@lru_cache(maxsize=16)
def _still_hits(planes: tuple[Plane, ...], boxes: tuple[Box | TurnedBox, ...],
                spheres: tuple[Sphere, ...], fov_deg: float
                ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The nearest hits of the shapes that do not move, the same in every frame: only the
    moving one is intersected again (read-only, shared)."""
    rays = sample_rays(fov_deg)
    hits = Hits(np.full(rays.shape[:-1], np.inf), np.zeros(rays.shape[:-1]),
                np.zeros(rays.shape[:-1]))
    shapes: tuple[Shape, ...] = (*planes, *boxes, *spheres)
    for shape in shapes:
        _nearer(hits, shape, rays)
    for values in (hits.distance, hits.cosine, hits.reflectivity):
        values.flags.writeable = False
    return hits.distance, hits.cosine, hits.reflectivity


def _nearer(hits: "Hits", shape: Shape, rays: np.ndarray) -> None:
    """Puts into `hits` the hits of `shape` that are nearer than those already there."""
    d, c = shape.intersect(rays)
    nearer = d < hits.distance
    hits.distance[nearer], hits.cosine[nearer] = d[nearer], c[nearer]
    hits.reflectivity[nearer] = shape.reflectivity


@dataclass(frozen=True)
class Hits:
    """Per zone (576) and sample ray (16): distance in mm (inf: nothing hit), cosine of
    incidence, reflectivity."""
    distance: np.ndarray
    cosine: np.ndarray
    reflectivity: np.ndarray = field(repr=False)


def _directions(fov_deg: float, positions: np.ndarray) -> np.ndarray:
    """Unit rays through the given positions in zone units (0 .. 24 across the field)."""
    half = math.tan(math.radians(fov_deg) / 2)
    u = (positions / GRID) * 2 - 1
    col, row = np.meshgrid(u, u)  # row-major: zone index = 24 * row + col
    rays = np.stack([col * half, row * half, np.ones_like(col)], axis=-1)
    unit: np.ndarray = rays / np.linalg.norm(rays, axis=-1, keepdims=True)
    return unit


def zone_rays(fov_deg: float = FIELD_OF_VIEW_DEG) -> np.ndarray:
    """(576, 3) unit rays through the zone centres; zone index = 24 * row + column."""
    return _directions(fov_deg, np.arange(GRID) + 0.5).reshape(GRID * GRID, 3)


@lru_cache(maxsize=4)
def sample_rays(fov_deg: float = FIELD_OF_VIEW_DEG) -> np.ndarray:
    """(576, 16, 3) unit rays on a 4 x 4 grid inside every zone (read-only, shared)."""
    steps = (np.arange(GRID * SUBRAYS) + 0.5) / SUBRAYS
    rays = _directions(fov_deg, steps).reshape(GRID, SUBRAYS, GRID, SUBRAYS, 3)
    rays = rays.transpose(0, 2, 1, 3, 4).reshape(GRID * GRID, SUBRAYS * SUBRAYS, 3).copy()
    rays.flags.writeable = False
    return rays


def default_scene(*, moving: bool = True) -> Scene:
    """A room: a back wall and a floor, two boxes, a ball, a small object close to the lens and
    optionally a ball swinging left and right in front of everything.

    The ball overlaps the edge of the nearer box, which overlaps the wall, so zones along that
    edge see three surfaces. The near object sits below the near limit of the dual-depth band,
    the far box and the wall beyond its far limit.
    """
    return Scene(
        planes=(Plane((0, 0, 3400), (0, 0, -1), 0.7), Plane((0, 900, 0), (0, -1, 0), 0.3)),
        boxes=(Box((-700, -350, 1500), (-150, 900, 1900), 0.8),
               Box((350, 100, 2300), (1100, 900, 2700), 0.6)),
        spheres=(Sphere((-150, -300, 950), 180, 0.9), Sphere((45, 45, 150), 18, 0.5)),
        moving=Moving(Sphere((0, 150, 650), 110, 0.8), (500, 0, 0), 4.0) if moving else None,
    )
