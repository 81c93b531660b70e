"""A synthetic IMX704: a scene rendered into raw image and embedded-data frames of every mode.

The sensor model, its numbers and which of them are guesses are written down in
`docs/synthetic.md`. In short: each of the 24 x 24 zones samples the scene with 16 rays; the hits
of a zone are grouped into returns by distance; each sub-frame (one in single modes, a near and a
far one in dual-depth modes) reports the returns inside its range that rise above its noise, at
most three, nearest first, with a histogram, peak heights, pdc counts and a noise level.

This module is a test oracle. It writes the wire format through `tessaro.synthetic.wire` and
never decodes it: `truth` says what the library must decode from these frames, worked out from
the model (in dual-depth modes by the near/far merge policy stated in `merged_returns`), not from
the bytes.
"""

from __future__ import annotations

import math
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING

import _tessaro_synthetic as _kernels
import numpy as np

from tessaro._sensor import FrameFeeder, Mode
from tessaro.errors import ConfigurationError
from tessaro.synthetic import wire
from tessaro.synthetic._scene import (Box, Hits, Moving, Plane, Scene, Sphere, default_scene,
                                      zone_rays)

if TYPE_CHECKING:
    import pelorin

__all__ = ["Box", "Moving", "Plane", "Scene", "Sphere", "SyntheticSensor", "default_scene",
           "synthetic_camera", "MODES"]

ZONES = 576
BINS = wire.HISTOGRAM_BINS
ECHOES = wire.MAX_ECHOES
PEAK_HEIGHT_LIMIT = 4_000_000.0  # saturation, inside the 25-bit signed peak-height field
SIGNAL_AT_1M = 80_000.0  # peak counts of a white target filling a zone at 1 m, head-on
DETECTION_SIGMAS = 6.0
PEAK_REACH = 12.0  # widths from its centre beyond which a histogram peak adds nothing


@dataclass(frozen=True)
class Range:
    """One sub-frame's range setting: histogram bin width and the nearest reported distance (mm).
    Returns beyond the last two bins are not reported."""
    bin_mm: float
    min_mm: float

    @property
    def max_mm(self) -> float:
        return (BINS - 2) * self.bin_mm


@dataclass(frozen=True)
class ModeModel:
    frame_rate: float  # Hz
    ranges: tuple[Range, ...]  # one sub-frame, or near then far
    tick_multiplier: int  # time counter ticks at 300 kHz / multiplier


# All rates, bin widths and limits are guesses: the mode ids tell only single or dual depth.
MODES: dict[int, ModeModel] = {
    Mode.SINGLE_211C: ModeModel(30.0, (Range(40, 80),), 1),
    Mode.SINGLE_221C: ModeModel(60.0, (Range(20, 40),), 1),
    Mode.DUAL_201C: ModeModel(15.0, (Range(20, 40), Range(60, 600)), 1),
    Mode.SINGLE_311C: ModeModel(20.0, (Range(60, 120),), 2),
    Mode.SINGLE_321C: ModeModel(30.0, (Range(30, 60),), 2),
    Mode.DUAL_301C: ModeModel(10.0, (Range(30, 60), Range(80, 1000)), 2),
}

TICKS_PER_SECOND = 300_000  # at multiplier 1
DEFAULT_DUAL_PARAMS = (200.0, 2000.0, 50.0)  # select_near, select_far, merge_window


@dataclass
class SubFrame:
    """What one sub-frame reports, per echo slot and zone, as written to the wire."""
    radial_depth: np.ndarray  # (3, 576) float32, 0 for an empty slot
    points: np.ndarray  # (3, 576, 3) float32
    peak_height: np.ndarray  # (3, 576) float32
    peak_status: np.ndarray  # (3, 576) uint8
    noise_level: np.ndarray  # (576,) float32
    histogram: np.ndarray  # (576, 144) uint32
    pdc: np.ndarray  # (576, 4) uint32


@dataclass(frozen=True)
class SensorState:
    """What one embedded-data frame reports, as the library should decode it: frame id,
    timestamp in microseconds, temperature in degrees C and the laser flags (all healthy)."""
    frame_id: int
    time_counter: int  # the raw counter, in ticks
    timestamp: int
    temperature: float
    light_emitted: bool = True
    read_back: bool = True
    lvds_connection: bool = True
    bank_check: bool = True


@dataclass
class _Targets:
    """Per zone, up to 16 groups of sample-ray hits close enough to form one peak each
    (576, 16); groups that do not exist have distance inf and signal 0."""
    distance: np.ndarray  # mean of the group's hits, mm
    spread: np.ndarray  # farthest minus nearest hit, mm
    signal: np.ndarray  # peak counts at the group's distance
    quadrants: np.ndarray  # (576, 16, 4) share of the signal on each quarter of the SPADs


def _group_hits(hits: Hits, separation: float) -> _Targets:
    """The targets of the zones whose sample-ray hits are `hits`: sorted by distance, a gap
    wider than `separation` starts a new group."""
    zones = len(hits.distance)
    order = np.argsort(hits.distance, axis=1)
    distance = np.take_along_axis(hits.distance, order, axis=1)
    echo = np.take_along_axis(hits.reflectivity * hits.cosine / 16, order, axis=1)
    # A zone's misses (inf - inf) stay in the group before them.
    with np.errstate(invalid="ignore"):
        gaps = np.diff(distance, axis=1, prepend=-np.inf) > separation
    group = np.cumsum(gaps, axis=1) - 1
    hit = np.isfinite(distance)
    slot = (np.arange(zones)[:, None] * 16 + group)[hit]

    def total(weights: np.ndarray, size: int = zones * 16) -> np.ndarray:
        return np.bincount(slot, weights=weights[hit], minlength=size)

    count = total(np.ones_like(distance))
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = total(np.where(hit, distance, 0)) / count
        # Sorted by distance, a group's first hit is its nearest and its last its farthest.
        first = np.ones(len(slot), dtype=bool)
        first[1:] = slot[1:] != slot[:-1]
        last = np.ones(len(slot), dtype=bool)
        last[:-1] = first[1:]
        nearest = np.full(zones * 16, np.inf)
        nearest[slot[first]] = distance[hit][first]
        farthest = np.zeros(zones * 16)
        farthest[slot[last]] = distance[hit][last]
        signal = total(echo)
        quadrant = (order // 8) * 2 + (order % 4) // 2  # sub-ray -> quarter of the SPADs
        shares = np.bincount(slot * 4 + quadrant[hit], weights=echo[hit],
                             minlength=zones * 64).reshape(zones * 16, 4) / signal[:, None]
        signal = SIGNAL_AT_1M * signal / (mean / 1000) ** 2
    present = count > 0
    shape = (zones, 16)
    return _Targets(np.where(present, mean, np.inf).reshape(shape),
                    np.where(present, farthest - nearest, 0).reshape(shape),
                    np.where(present, signal, 0).reshape(shape),
                    np.nan_to_num(shares).reshape(zones, 16, 4))


class SyntheticSensor:
    """Raw frames, embedded data and the expected decoded values of a scene, frame by frame."""

    def __init__(self, mode: int = Mode.SINGLE, *, seed: int = 0, scene: Scene | None = None,
                 padded: bool = False) -> None:
        if mode not in MODES:
            raise ValueError(f"unknown sensor mode {mode:#x}")
        if isinstance(seed, bool) or not isinstance(seed, int) or seed < 0:
            raise ConfigurationError(f"synthetic sensor seed {seed!r}: give an integer >= 0")
        self.mode = int(mode)
        self.seed = seed
        self.scene = scene if scene is not None else default_scene()
        self.padded = padded
        self.model = MODES[mode]
        self.dual = len(self.model.ranges) == 2
        self.frame_rate = self.model.frame_rate
        self.rays = zone_rays(self.scene.field_of_view_deg)
        # Two peaks closer than two of the coarsest bins blur into one.
        self.separation = 2 * max(r.bin_mm for r in self.model.ranges)
        seeded = np.random.default_rng([seed, 0xC0FFEE])
        self.ambient = float(seeded.uniform(100, 400))  # counts per 40 mm bin
        self.start_ticks = int(seeded.integers(0, 1_000_000))
        # Per frame: its sub-frames, and their per-pixel values in wire order.
        self._cache: dict[int, tuple[list[SubFrame], dict[str, np.ndarray]]] = {}
        self._still_targets: _Targets | None = None
        self._fixed = self._fixed_lines()
        self._lock = threading.Lock()

    # -- the model ------------------------------------------------------------------------------

    def time(self, index: int) -> float:
        """Seconds since frame 0."""
        return index / self.frame_rate

    def _targets(self, index: int) -> _Targets:
        # A zone's targets depend on its own hits alone: only the zones where the moving shape
        # is nearer than the still ones are grouped again.
        if self._still_targets is None:
            self._still_targets = _group_hits(self.scene.still_hits(), self.separation)
        still = self._still_targets
        if self.scene.moving is None:
            return still
        zones, hits = self.scene.moved_hits(self.time(index))
        if len(zones) == 0:
            return still
        moved = _group_hits(hits, self.separation)
        targets = _Targets(still.distance.copy(), still.spread.copy(), still.signal.copy(),
                           still.quadrants.copy())
        for name in ("distance", "spread", "signal", "quadrants"):
            getattr(targets, name)[zones] = getattr(moved, name)
        return targets

    def returns(self, index: int) -> list[SubFrame]:
        """What each sub-frame of frame `index` reports: one in single modes, near then far in
        dual-depth modes."""
        return self._frame(index)[0]

    def _frame(self, index: int) -> tuple[list[SubFrame], dict[str, np.ndarray]]:
        with self._lock:
            if index not in self._cache:
                if len(self._cache) > 8:
                    self._cache.pop(next(iter(self._cache)))
                self._cache[index] = self._sub_frames(self._targets(index), index)
            return self._cache[index]

    def _sub_frames(self, targets: _Targets, index: int
                    ) -> tuple[list[SubFrame], dict[str, np.ndarray]]:
        # Sub-frames are worked out side by side, along the first axis, each drawing from its
        # own generator in the same order as one alone would.
        rngs = [np.random.default_rng([self.seed, index, s]) for s in range(len(self.model.ranges))]
        bin_mm = np.array([r.bin_mm for r in self.model.ranges], dtype=np.float64)[:, None]
        # Ambient light comes back from whatever the zone sees, and more of it in wider bins.
        brightness = 0.3 + 0.7 * np.minimum(1.0, targets.signal.sum(axis=1) / 50_000)
        ambient = self.ambient * brightness * bin_mm / 40
        # Only on a floor so low that a peak's far tail would still count is it worked out
        # over every bin.
        whole = PEAK_HEIGHT_LIMIT * math.exp(-0.5 * PEAK_REACH ** 2) >= \
            np.spacing(ambient.min(axis=1)) / 2
        ranges = self.model.ranges
        measured, seen, height, peak_zone, peak_height, bounds, gaussians = _kernels.seen_peaks(
            rngs, targets.signal, targets.distance, targets.spread, ambient,
            [r.min_mm for r in ranges], [r.max_mm for r in ranges], [r.bin_mm for r in ranges],
            whole.tolist(), PEAK_HEIGHT_LIMIT, DETECTION_SIGMAS)
        np.exp(gaussians, out=gaussians)
        lit = np.where(seen, measured, 0)
        photons = np.stack([3 * np.einsum("zt,ztq->zq", lit[s], targets.quadrants)
                            for s in range(len(rngs))])
        histogram = np.empty((len(rngs), ZONES, BINS), dtype=np.uint32)
        pdc_counts = np.empty(photons.shape, dtype=np.uint32)
        _kernels.histograms(rngs, ambient, peak_zone, peak_height, bounds, gaussians, photons,
                            histogram, pdc_counts)

        # The three strongest peaks, reported nearest first, with their depth noise.
        radial, points, peak, status, noise_level = _kernels.reported_echoes(
            rngs, seen, height, measured, targets.distance, ambient, [r.bin_mm for r in ranges],
            PEAK_HEIGHT_LIMIT, DETECTION_SIGMAS, self.rays)
        frames = [SubFrame(radial[s], points[s], peak[s], status[s], noise_level[s],
                           histogram[s], pdc_counts[s]) for s in range(len(rngs))]
        # The sub-frames' pixels one after the other, as on the wire: so they are in memory.
        pixels = {"noise_level": noise_level.reshape(-1),
                  "histogram": histogram.reshape(-1, BINS), "pdc": pdc_counts.reshape(-1, 4)}
        return frames, pixels

    # -- the wire -------------------------------------------------------------------------------

    def _wire_values(self, index: int) -> dict[str, np.ndarray]:
        subs, pixels = self._frame(index)

        def joined(key: str) -> np.ndarray:
            parts = [getattr(s, key) for s in subs]
            return parts[0] if len(parts) == 1 else np.concatenate(parts, axis=1)

        values = {key: joined(key) for key in wire.ECHO_VALUES}
        values.update(pixels)
        values.update(self._fixed)
        return values

    def _fixed_lines(self) -> dict[str, np.ndarray]:
        """What the sensor sends the same in every frame (read-only)."""
        blocks = wire.block_count(self.dual)
        # Channel 0 carries no decoded value; the model puts the line number in it.
        line_word = np.arange(wire.pixel_count(self.dual), dtype=np.uint32)
        line_word |= np.uint32(0x4C00_0000)
        # The reference pixel sees the laser through the package: a strong peak in bin 1.
        reference = np.zeros((blocks, wire.WORDS_PER_LINE), dtype=np.uint32)
        reference[:, wire.HISTOGRAM:wire.HISTOGRAM + BINS] = np.uint32(self.ambient)
        reference[:, wire.HISTOGRAM + 1] = 250_000
        for values in (line_word, reference):
            values.flags.writeable = False
        return {"line_word": line_word, "reference": reference}

    def raw_frame(self, index: int) -> np.ndarray:
        """The raw image frame `index` as the sensor sends it (uint8, wire order)."""
        return wire.encode_raw_frame(self._wire_values(index), self.dual, self.padded)

    def embedded(self, index: int) -> SensorState:
        """The sensor state that frame `index`'s embedded data reports."""
        period = TICKS_PER_SECOND // self.model.tick_multiplier / self.frame_rate
        ticks = self.start_ticks + round(index * period)
        # The 16-bit frame counter advances by one per block and restarts before it overflows.
        counter_period = 0xFFFF // wire.block_count(self.dual)
        # Warms up by one degree every 5 s, from 31 to 42 degrees.
        temperature = 31 + min(11, int(self.time(index) // 5))
        return SensorState(
            frame_id=index % counter_period, time_counter=ticks,
            timestamp=ticks * self.model.tick_multiplier * 1_000_000 // TICKS_PER_SECOND,
            temperature=float(temperature))

    def ebd_frame(self, index: int) -> np.ndarray:
        """The embedded-data frame `index` (uint8)."""
        state = self.embedded(index)
        return wire.encode_embedded_data(
            self.dual, frame_counter=state.frame_id * wire.block_count(self.dual) + 1,
            time_counter=state.time_counter & 0xFFFF_FFFF,
            time_multiplier=self.model.tick_multiplier,
            temperature=int(state.temperature) + 128, depth_num=ECHOES, peak_order_selection=0,
            light_emitted=int(state.light_emitted), read_back=int(not state.read_back),
            lvds_connection=int(not state.lvds_connection), bank_check=int(not state.bank_check))

    # -- the oracle -----------------------------------------------------------------------------

    def truth(self, index: int, echoes: int,
              dual_params: tuple[float, float, float] = DEFAULT_DUAL_PARAMS
              ) -> dict[str, np.ndarray]:
        """What the library must decode from frame `index` with `echoes` echoes: per echo
        "radial_depth", "points", "cartesian_depth", "peak_height" and "peak_status" (echoes,
        576[, 3]), 0 where there is no return; in dual-depth modes after the near/far merge with
        `dual_params`. Also "noise_level", "histogram" and "pdc" per decoded pixel (both
        sub-frames in dual-depth modes, which the merge leaves as they are)."""
        if not 1 <= echoes <= ECHOES:
            raise ValueError(f"echoes must be 1 to {ECHOES}, not {echoes}")
        subs = self.returns(index)
        if self.dual:
            self._check_window(dual_params[2])
            result = merged_returns(subs[0], subs[1], echoes, dual_params)
        else:
            result = {key: getattr(subs[0], key)[:echoes].copy()
                      for key in wire.ECHO_VALUES}
        result["cartesian_depth"] = result["points"][..., 2]
        for key in wire.PIXEL_VALUES:
            result[key] = np.concatenate([getattr(s, key) for s in subs])
        return result

    def _check_window(self, window: float) -> None:
        # Near and far readings of one target differ by at most the depth noise of both; two
        # targets are at least `separation` apart. Only a window between the two keeps the
        # merge's pairing of readings unambiguous, which the policy below relies on.
        noise = sum(3 * 0.05 * r.bin_mm + 0.25 for r in self.model.ranges)
        if not noise < window < self.separation - noise:
            raise ValueError(f"merge window {window} outside ({noise}, {self.separation - noise})"
                             " where the synthetic sensor can predict the merge")

    # -- frame feeders ----------------------------------------------------------------------

    def image_feeder(self, start: int = 0) -> FrameFeeder:
        """A feeder for `camera.add_stream(pelorin.stream_image, ...)`: frames start, start+1..."""
        return FrameFeeder(self.raw_frame, start)

    def ebd_feeder(self, start: int = 0) -> FrameFeeder:
        """A feeder for `camera.add_stream(pelorin.stream_ebd, ...)`."""
        return FrameFeeder(self.ebd_frame, start)


def merged_returns(near: SubFrame, far: SubFrame, echoes: int,
                   params: tuple[float, float, float]) -> dict[str, np.ndarray]:
    """The returns a near/far merge keeps, per zone, as a policy over physical readings.

    A near reading is trusted strictly inside the band (select_near, select_far), a far reading
    strictly outside the closed band. A near and a far reading closer than the merge window are
    one target: the trusted one stands for it, the far one when both or neither are trusted. Of
    the readings left, the `echoes` kept are the trusted before the untrusted, far before near,
    farther before nearer; they are reported nearest first, then empty slots.
    """
    select_near, select_far, window = params
    fields = wire.ECHO_VALUES
    out = {key: np.zeros_like(getattr(near, key)[:echoes]) for key in fields}
    trusted = (lambda d: select_near < d < select_far, lambda d: d < select_near or d > select_far)
    for zone in range(ZONES):
        readings = [(sub, slot, float(s.radial_depth[slot, zone]))
                    for sub, s in enumerate((near, far)) for slot in range(echoes)
                    if s.radial_depth[slot, zone] > 0]
        dropped = set()
        for a in (r for r in readings if r[0] == 0):
            for b in (r for r in readings if r[0] == 1):
                if abs(a[2] - b[2]) < window:
                    near_stands = trusted[0](a[2]) and not trusted[1](b[2])
                    dropped.add(b if near_stands else a)
        kept = sorted((r for r in readings if r not in dropped),
                      key=lambda r: (trusted[r[0]](r[2]), r[0], r[2]), reverse=True)[:echoes]
        for slot, (sub, source, _) in enumerate(sorted(kept, key=lambda r: r[2])):
            for key in fields:
                out[key][slot, zone] = getattr((near, far)[sub], key)[source, zone]
    return out


def synthetic_camera(mode: int = Mode.SINGLE, *, seed: int = 0, scene: Scene | None = None,
                     padded: bool = False, name: str = "synthetic",
                     pace: bool = False) -> "pelorin.camera":
    """An offline camera fed by a synthetic sensor, both streams added, not yet opened. With
    `pace` it delivers at the mode's frame rate and loses the frames a slow reader misses, as a
    live camera does; without, each frame as soon as it is rendered, none lost."""
    import pelorin
    from tessaro.synthetic._live import LiveFeed

    sensor = SyntheticSensor(mode, seed=seed, scene=scene, padded=padded)
    camera = pelorin.create_camera_offline(name)
    if pace:
        live = LiveFeed(sensor)
        camera.add_stream(pelorin.stream_image, live)
        camera.add_stream(pelorin.stream_ebd, live.ebd)
    else:
        camera.add_stream(pelorin.stream_image, sensor.image_feeder())
        camera.add_stream(pelorin.stream_ebd, sensor.ebd_feeder())
    return camera
