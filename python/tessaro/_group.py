"""Several sources streamed together, their frames grouped by capture time.

    with tessaro.open_group("synthetic", sensors=3) as group:
        for frames in group.frames(10):
            print(frames.time_ns, {name: f.frame_id for name, f in frames.items()})

The matching rule. Every camera keeps its frames in capture-time order. The earliest frame not
yet delivered opens a set; each other camera adds its own earliest pending frame when that was
captured no later than the tolerance after it. So the frames of a set lie within the tolerance
of each other, no frame goes into two sets, and a frame never waits for a later one of its own
camera. The tolerance is half the shortest frame interval of any camera (measured on the first
two frames of each, and shorter intervals seen later), unless given.

A frame with no partner is delivered too, in a set without the other cameras (`missing` names
them), and counted in `Group.unmatched` per camera; `frames(complete=True)` delivers only sets
with every camera, and still counts the others. A camera whose source ends (a recording's last
frame) leaves the sets that follow.

A frame's capture time: a discovered camera's is the driver's (`capture_time_ns`, the host's
monotonic clock), a replayed recording's the log time it was recorded with, a synthetic rig's
its frame's time in the rig, another offline camera's its delivery time.

The cameras are read in turn on the caller's thread, a camera only when it has no frame
pending, so that each is read at its own rate; a discovered camera's driver keeps the frames
that arrive meanwhile, with their capture times.
"""

from __future__ import annotations

import os
import time
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import TYPE_CHECKING, Any

import pelorin

from tessaro._sensor import DEFAULT_OUTPUTS
from tessaro._sources import CAMERA_ID
from tessaro.device import Device, OnError, open as open_device
from tessaro.errors import ConfigurationError, SourceError
from tessaro.frame import Frame

if TYPE_CHECKING:
    from tessaro.recording._multi import GroupRecordSummary

__all__ = ["FrameSet", "Group", "open_group"]

# The capture time of the frame a source delivered last (ns), given what the stream reported.
Clock = Callable[[int | None], int]


def _capture_time(reported: int | None) -> int:
    return time.monotonic_ns() if reported is None else reported


@dataclass(frozen=True)
class FrameSet(Mapping[str, Frame]):
    """The frames of one moment: camera name -> Frame, for the cameras that have one."""
    time_ns: int
    """The capture time of its earliest frame (ns)."""
    frames: dict[str, Frame]
    missing: tuple[str, ...]
    """The cameras of the group without a frame in it."""

    def __getitem__(self, name: str) -> Frame:
        return self.frames[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self.frames)

    def __len__(self) -> int:
        return len(self.frames)

    @property
    def complete(self) -> bool:
        """True when every camera of the group has a frame in it."""
        return not self.missing


class _Member:
    def __init__(self, device: Device, clock: Clock) -> None:
        self.device, self.clock = device, clock
        self.name = device.name
        self.pending: deque[tuple[int, Frame]] = deque()
        self.frames: Iterator[Frame] | None = None
        self.ended = False
        self.last: int | None = None
        self.interval: int | None = None

    def pull(self) -> None:
        """Takes the camera's next frame into `pending`, or marks the source ended."""
        assert self.frames is not None
        frame = next(self.frames, None)
        if frame is None:
            self.ended = True
            return
        at = self.clock(frame.capture_time_ns)
        if self.last is not None and at > self.last and \
                (self.interval is None or at - self.last < self.interval):
            self.interval = at - self.last
        self.last = at
        self.pending.append((at, frame))


class Group:
    """Opened sources streamed together. Use it in a `with` block: entering starts every
    camera, leaving closes them all. `frames()` yields FrameSets by the matching rule of this
    module; `record()` writes every camera's raw frames into one recording."""

    def __init__(self, devices: Sequence[Device], clocks: Sequence[Clock],
                 tolerance: float | None = None) -> None:
        if tolerance is not None and not tolerance > 0:
            raise ConfigurationError(f"bad tolerance {tolerance!r}: give seconds above 0")
        self._members = [_Member(d, c) for d, c in zip(devices, clocks)]
        names = [m.name for m in self._members]
        if len(set(names)) != len(names):
            for device in devices:
                device.close()
            raise SourceError(f"two sources share a name in {', '.join(names)}: every camera "
                              "of a group needs its own")
        self._tolerance = None if tolerance is None else round(tolerance * 1e9)
        self.unmatched: dict[str, int] = {name: 0 for name in names}
        """Frames delivered in a set that lacks some other camera, per camera."""
        self.sets_delivered = 0

    @property
    def names(self) -> tuple[str, ...]:
        """The camera names, in the order the sources were given."""
        return tuple(m.name for m in self._members)

    @property
    def devices(self) -> dict[str, Device]:
        """Each camera's Device, by name."""
        return {m.name: m.device for m in self._members}

    @property
    def tolerance(self) -> float | None:
        """Seconds within which frames are grouped; None until measured."""
        if self._tolerance is not None:
            return self._tolerance / 1e9
        intervals = [m.interval for m in self._members if m.interval is not None]
        return min(intervals) / 2e9 if intervals else None

    def start(self) -> Group:
        for member in self._members:
            member.device.start()
        return self

    def close(self) -> None:
        """Closes every camera; closing twice does nothing."""
        for member in self._members:
            member.device.close()

    def __enter__(self) -> Group:
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def frames(self, n: int | None = None, duration: float | None = None, *,
               complete: bool = False, timeout: float | None = None,
               on_error: OnError | None = None) -> Iterator[FrameSet]:
        """Sets of frames until every source has ended, `n` sets are delivered or `duration`
        seconds have passed. `complete`: only sets with a frame of every camera. `timeout` and
        `on_error` apply to each camera as in `Device.frames`; the frames are copies."""
        if n is not None and (isinstance(n, bool) or not isinstance(n, int) or n < 0):
            raise ConfigurationError(f"bad set count {n!r}: give a count >= 0")
        for member in self._members:
            member.frames = member.device.frames(timeout=timeout, on_error=on_error,
                                                 zero_copy=False)
        return self._sets(n, None if duration is None else time.monotonic() + duration,
                          complete)

    def _sets(self, n: int | None, end: float | None, complete: bool) -> Iterator[FrameSet]:
        delivered = 0
        while (n is None or delivered < n) and (end is None or time.monotonic() < end):
            for member in self._members:
                # The first two frames of each give the frame interval the tolerance needs.
                wanted = 2 if self._tolerance is None and member.interval is None else 1
                while not member.ended and len(member.pending) < wanted:
                    member.pull()
            waiting = [m for m in self._members if m.pending]
            if not waiting:
                return
            first = min(m.pending[0][0] for m in waiting)
            tolerance = self.tolerance
            limit = first + (0 if tolerance is None else round(tolerance * 1e9))
            taken = {m.name: m.pending.popleft()[1] for m in waiting if m.pending[0][0] <= limit}
            missing = tuple(name for name in self.names if name not in taken)
            if missing:
                for name in taken:
                    self.unmatched[name] += 1
                if complete:
                    continue
            self.sets_delivered += 1
            delivered += 1
            yield FrameSet(first, taken, missing)

    def record(self, path: str | os.PathLike[str], *, frames: int | None = None,
               duration: float | None = None, ros2: bool = False,
               progress: Callable[[int], None] | None = None,
               overwrite: bool = False, frame_ids: Sequence[str] | None = None
               ) -> GroupRecordSummary:
        """Records every camera's raw frames into one MCAP file, each on its own channels (see
        `docs/recording.md`), up to `frames` frames per camera or for `duration` seconds; log
        times are the capture times of this module, on the Unix epoch. `frame_ids` names each
        camera's frame in the ROS messages, in the order of `names` (by default
        `<segment>_optical_frame`). A group of one camera writes a one-camera recording."""
        if frame_ids is not None and len(frame_ids) != len(self._members):
            raise ConfigurationError(f"{len(frame_ids)} frame ids for {len(self._members)} "
                                     "cameras: give one per camera")
        from tessaro.recording._multi import GroupRecordSummary, Member, record_group
        if len(self._members) == 1:
            only = self._members[0]
            single = only.device.record(path, frames=frames, duration=duration, ros2=ros2,
                                        progress=progress, overwrite=overwrite,
                                        frame_id=frame_ids[0] if frame_ids else None)
            return GroupRecordSummary(single.path, {only.name: single.frames_written},
                                      {only.name: single.frames_failed}, single.interrupted)

        def frame_time(clock: Clock) -> Callable[[pelorin.frame_buffer], int]:
            return lambda record: clock(int(record.capture_time_ns) if record.has_capture_time
                                        else None)

        members = [Member(m.name, m.device.camera, m.device.output_configuration,
                          frame_time(m.clock), m.device._resolved.exhausted,
                          None if m.device.replayer is None
                          else m.device.replayer.recording.path,
                          m.device.replayer is not None and m.device.replayer.recording.epoch,
                          frame_ids[n] if frame_ids else None)
                   for n, m in enumerate(self._members)]
        return record_group(members, path, frames=frames, duration=duration, ros2=ros2,
                            timeout_ms=round(min(m.device.timeout for m in self._members) * 1000),
                            progress=progress, overwrite=overwrite)

    def __repr__(self) -> str:
        return f"<tessaro.Group {', '.join(self.names)}>"


def _recording_clock(device: Device) -> Clock:
    replayer = device.replayer
    assert replayer is not None

    def clock(reported: int | None) -> int:
        index = replayer.delivered
        return _capture_time(reported) if index is None else replayer.recording.log_time(index)
    return clock


def _rig_clock(frame_time: Callable[[], int]) -> Clock:
    return lambda reported: frame_time()


def recording_cameras(path: str | os.PathLike[str]) -> tuple[str, ...]:
    """The camera ids a recording holds (none where its one camera is unnamed)."""
    from tessaro.recording._cameras import FIRST
    from tessaro.recording._reader import Recording
    with Recording(path, camera=FIRST) as recording:
        return recording.cameras


def open_group(sources: str | os.PathLike[str] | Iterable[object], *,
               sensors: int | None = None, cameras: Sequence[str] | None = None,
               mode: int | str | None = None, echoes: int = 3,
               outputs: Iterable[str] | str = DEFAULT_OUTPUTS, tolerance: float | None = None,
               timeout: float = 1.0, on_error: OnError = "raise", **options: Any) -> Group:
    """Open several sources as one Group; entering it starts them all.

    sources: "synthetic", a rig of `sensors` synthetic sensors (default 2) looking at one scene
        from different places (options: seed, padded); the path of a recording, for the
        cameras it holds, or those `cameras` names (options: loop, pace, start); or a list of
        sources as `tessaro.open` takes them, each given `options`.
    mode, echoes, outputs, timeout, on_error: as for `tessaro.open`, for every camera.
    tolerance: seconds within which frames are grouped (default: half the shortest frame
        interval, see this module).

    Raises what `tessaro.open` raises, and SourceError when two sources have one name.
    """
    from tessaro._sources import parse_mode
    common: dict[str, Any] = {"mode": mode, "echoes": echoes, "outputs": outputs,
                              "timeout": timeout, "on_error": on_error}
    devices: list[Device] = []
    clocks: list[Clock] = []
    try:
        if sensors is not None and sources != "synthetic":
            raise ConfigurationError("sensors= applies to the synthetic sensor only")
        if isinstance(sources, str) and sources == "synthetic":
            from tessaro.synthetic._rig import synthetic_rig
            rig_options: dict[str, Any] = dict(options)
            if mode is not None:
                rig_options["mode"] = parse_mode(mode)
            try:
                rig = synthetic_rig(2 if sensors is None else sensors, **rig_options)
            except (TypeError, ValueError) as error:
                raise ConfigurationError(f"synthetic sensors: {error}") from None
            for sensor in rig:
                devices.append(open_device(sensor.camera,
                                           **{**common, "mode": sensor.sensor.mode}))
                clocks.append(_rig_clock(sensor.frame_time))
        elif isinstance(sources, os.PathLike) or (
                isinstance(sources, str) and not CAMERA_ID.fullmatch(sources)):
            ids: list[str | None] = list(cameras if cameras is not None
                                         else recording_cameras(sources)) or [None]
            for camera_id in ids:
                named: dict[str, Any] = {} if camera_id is None else {"camera": camera_id,
                                                                      "name": camera_id}
                devices.append(open_device(sources, **common, **named, **options))
                clocks.append(_recording_clock(devices[-1]))
        else:
            if cameras is not None:
                raise ConfigurationError("cameras= chooses cameras of a recording")
            listed = [sources] if isinstance(sources, str) else list(sources)
            for source in listed:
                devices.append(open_device(source, **common, **options))
                clocks.append(_capture_time if devices[-1].replayer is None
                              else _recording_clock(devices[-1]))
    except BaseException:
        for device in devices:
            device.close()
        raise
    return Group(devices, clocks, tolerance)
