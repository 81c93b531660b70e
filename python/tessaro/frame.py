"""Frames as numpy arrays: the outputs of one camera frame, shaped by zone.

Depths and point coordinates are in millimetres, camera coordinates: x to the right, y down,
z forward along the optical axis. A zone without a return reads depth 0.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from tessaro._sensor import OUTPUTS, PER_ECHO
from tessaro.errors import ExpiredFrameError, FrameError, MissingOutputError

if TYPE_CHECKING:
    import pelorin


__all__ = ["Array", "Frame", "RecordViews", "Timing"]

Array = npt.NDArray[Any]


class Lease:
    """Whether the camera record that zero-copy frames view is still the one they were taken
    from. The device ends the lease before the record is overwritten or dropped."""

    __slots__ = ("valid",)

    def __init__(self) -> None:
        self.valid = True


class RecordViews:
    """Read-only numpy views of the outputs `names` of one pelorin frame record, shaped by zone.

    Made once per record: the library keeps each output's storage for as long as the record
    exists, so the views show every later frame written into it, and taking a frame costs numpy
    copies only, no call into the module. The merge leaves noise, histogram and pdc of both
    sub-frames of a dual-depth frame; those get a leading axis of 2 (near, far).
    """

    def __init__(self, record: pelorin.frame_buffer, names: tuple[str, ...], echoes: int,
                 grid: tuple[int, int], dual: bool) -> None:
        self.record = record
        self.per_echo: dict[str, list[Array]] = {}
        self.whole: dict[str, Array] = {}
        zones = grid[0] * grid[1]
        for name in names:
            field = getattr(record, OUTPUTS[name])
            per_echo = name in PER_ECHO
            arrays = [np.asarray(v) for v in field[:echoes]] if per_echo else [np.asarray(field)]
            lead = () if per_echo or not dual else (2,)
            count = arrays[0].shape[0] // (2 if lead else 1)
            if count != zones:
                raise FrameError(f"output {name} holds {count} zones, not {zones}")
            for array in arrays:
                array.flags.writeable = False
            shaped = [a.reshape(lead + grid + a.shape[1:]) for a in arrays]
            if per_echo:
                self.per_echo[name] = shaped
            else:
                self.whole[name] = shaped[0]

    def take(self, copy: bool) -> dict[str, Array]:
        """The outputs as new arrays (`copy`), or as views where one array can view the record:
        per-echo outputs of several echoes are separate vectors in the record, so those are
        always stacked into a new array."""
        arrays: dict[str, Array] = {}
        if copy:
            import pelorin  # loaded long before: a device has a camera
            arrays.update(zip(self.per_echo, pelorin._copy_stacked(list(self.per_echo.values()))))
        else:
            for name, parts in self.per_echo.items():
                arrays[name] = np.array(parts) if len(parts) > 1 else parts[0][np.newaxis]
        for name, view in self.whole.items():
            arrays[name] = view.copy() if copy else view
        return arrays


@dataclass(frozen=True, slots=True)
class Timing:
    """When a frame was taken and what was lost before it, as the library reports it (see the
    README's "Frame timing"); None where the library does not know."""
    frame_id: int
    timestamp: int
    host_time: float
    capture_time_ns: int | None
    sequence: int | None
    frame_index: int | None
    sensor_timestamp: int | None
    dropped: int


class Frame:
    """One frame: its outputs as shaped numpy arrays, its counters and times.

    Only the outputs the device was opened with are present; asking for another raises
    `MissingOutputError`. A frame taken with the default copy is the caller's to keep. A
    `zero_copy` frame views the camera's own record and expires at the next frame: any attribute
    read after that raises `ExpiredFrameError`. Arrays taken out of it before then keep viewing
    the record and show later frames; copy them to keep them.
    """

    __slots__ = ("_arrays", "_lease", "_index", "_timing", "_times", "_kind")

    def __init__(self, arrays: dict[str, Array], *, index: int, timing: Timing, mode: int,
                 echoes: int, dual: bool, lease: Lease | None = None) -> None:
        self._arrays = arrays
        self._lease = lease
        self._index = index
        self._timing: Timing | None = timing
        self._times: tuple[Any, ...] = ()
        self._kind = (mode, echoes, dual)

    @classmethod
    def _taken(cls, arrays: dict[str, Array], index: int, times: tuple[Any, ...],
               kind: tuple[int, int, bool], lease: Lease | None) -> Frame:
        """A frame whose Timing is made from `times` (its fields in order) only when asked
        for: most frames are never asked, and a frame loop pays for every object it makes.
        `kind` is (mode, echoes, dual)."""
        frame = cls.__new__(cls)
        frame._arrays = arrays
        frame._lease = lease
        frame._index = index
        frame._timing = None
        frame._times = times
        frame._kind = kind
        return frame

    def _live(self) -> None:
        if self._lease is not None and not self._lease.valid:
            raise ExpiredFrameError(
                f"zero-copy frame {self._index} has expired: the camera has moved on to a later "
                "frame (copy what you keep, or open the device without zero_copy)")

    def _output(self, name: str) -> Array:
        self._live()
        try:
            return self._arrays[name]
        except KeyError:
            raise MissingOutputError(
                f"this frame has no {name}: open the device with outputs including "
                f"'{name}' (it has {', '.join(self._arrays) or 'none'})") from None

    @property
    def expired(self) -> bool:
        """True once a zero-copy frame can no longer be read."""
        return self._lease is not None and not self._lease.valid

    @property
    def outputs(self) -> tuple[str, ...]:
        """Names of the outputs this frame carries."""
        self._live()
        return tuple(self._arrays)

    def arrays(self) -> dict[str, Array]:
        """Every output of the frame by name (the frame's own arrays, not copies)."""
        self._live()
        return dict(self._arrays)

    @property
    def index(self) -> int:
        """Position of the frame among those the device delivered, from 0."""
        self._live()
        return self._index

    @property
    def timing(self) -> Timing:
        """All the times and counters of the frame in one record."""
        self._live()
        timing = self._timing
        if timing is None:
            timing = self._timing = Timing(*self._times)
        return timing

    @property
    def frame_id(self) -> int:
        """The sensor's 16-bit frame counter from the embedded data (it wraps); 0 without."""
        return self.timing.frame_id

    @property
    def timestamp(self) -> int:
        """The sensor's 32-bit timestamp from the embedded data (it wraps); 0 without."""
        return self.timing.timestamp

    @property
    def host_time(self) -> float:
        """The host's monotonic clock, in seconds, when this package received the frame."""
        return self.timing.host_time

    @property
    def capture_time_ns(self) -> int | None:
        """When the frame was captured, in nanoseconds on the host's monotonic clock
        (`time.monotonic_ns()`); None where the stream does not say."""
        return self.timing.capture_time_ns

    @property
    def sequence(self) -> int | None:
        """The image stream's frame number; None where the stream has none."""
        return self.timing.sequence

    @property
    def frame_index(self) -> int | None:
        """The sensor's frame counter unwrapped to 64 bits; None without embedded data."""
        return self.timing.frame_index

    @property
    def sensor_timestamp(self) -> int | None:
        """The sensor's timestamp unwrapped to 64 bits, taken to be microseconds (a guess, see
        the README); None without embedded data."""
        return self.timing.sensor_timestamp

    @property
    def dropped(self) -> int:
        """Frames lost between the previous delivered frame and this one, as the library
        counts them (from the sensor's frame counter, else the stream's sequence)."""
        return self.timing.dropped

    @property
    def mode(self) -> int:
        """The sensor mode id, e.g. 0x211C."""
        self._live()
        return self._kind[0]

    @property
    def echoes(self) -> int:
        """The number of echoes per zone in the per-echo outputs."""
        self._live()
        return self._kind[1]

    @property
    def dual(self) -> bool:
        """True for a dual-depth mode (near and far sub-frames merged)."""
        self._live()
        return self._kind[2]

    @property
    def depth(self) -> Array:
        """Radial depth in millimetres, float32, (echoes, rows, columns); 0 where no return."""
        return self._output("depth")

    @property
    def cartesian_depth(self) -> Array:
        """Depth along the optical axis (the points' z) in millimetres, (echoes, rows, columns)."""
        return self._output("cartesian_depth")

    @property
    def points(self) -> Array:
        """x, y, z in millimetres, float32, (echoes, rows, columns, 3)."""
        return self._output("points")

    @property
    def peak_height(self) -> Array:
        """Height of each return's histogram peak, float32, (echoes, rows, columns)."""
        return self._output("peak_height")

    @property
    def peak_status(self) -> Array:
        """The sensor's status code of each peak, uint8, (echoes, rows, columns)."""
        return self._output("peak_status")

    @property
    def noise(self) -> Array:
        """Noise level per zone, float32, (rows, columns); (2, rows, columns) near then far in
        dual-depth modes."""
        return self._output("noise")

    @property
    def histogram(self) -> Array:
        """Photon counts per range bin, uint32, (rows, columns, 144); a leading axis of 2 in
        dual-depth modes."""
        return self._output("histogram")

    @property
    def pdc(self) -> Array:
        """The four pdc counters per zone, uint32, (rows, columns, 4); a leading axis of 2 in
        dual-depth modes."""
        return self._output("pdc")

    def __repr__(self) -> str:
        if self.expired:
            return f"<tessaro.Frame {self._index} (expired)>"
        return (f"<tessaro.Frame {self._index}: mode {self.mode:#x}, {self.echoes} echo(es), "
                f"frame_id {self.timing.frame_id}, outputs {', '.join(self._arrays)}>")
