"""Replaying a recording as an offline camera."""

from __future__ import annotations

import os
import time
from typing import TYPE_CHECKING, Callable

import numpy as np
import numpy.typing as npt

from tessaro._sensor import FrameFeeder
from tessaro.errors import DeviceError
from tessaro.recording._format import DUAL_DEPTH_FIELDS, outputs_from_dict
from tessaro.recording._reader import Recording

if TYPE_CHECKING:
    import pelorin


# A frame asked for this long after it was due starts the pacing again from itself: the frames
# after a stall (a slow consumer, a pause) then keep their recorded intervals instead of coming
# all at once to catch up.
LATE_NS = 50_000_000


class _Feed(FrameFeeder):
    """The frame feeders of a replay camera: the image stream (the feeder itself) hands out the
    recording's frames in turn, the embedded-data stream the one recorded with the image it
    handed out last. It holds no reference to the camera, so the camera that holds it is freed
    with its last user."""

    def __init__(self, recording: Recording, loop: bool, pace: bool, rate: float) -> None:
        super().__init__()
        self.recording, self.loop, self.pace, self.rate = recording, loop, pace, rate
        self._origin: tuple[int, int] | None = None     # (host time, log time) of pacing

    def seek(self, index: int) -> None:
        if not 0 <= index < max(len(self.recording), 1):
            raise IndexError(f"{self.recording.path}: no frame {index} to seek to "
                             f"(the recording has {len(self.recording)})")
        self.position, self.pending, self._origin = index, None, None

    @property
    def finished(self) -> bool:
        return self.position >= len(self.recording) and not self.loop

    def next_frame(self, timeout_ms: int) -> bytes | None:
        if self.position >= len(self.recording):
            if self.recording.damage is not None:
                raise self.recording.damage
            if not self.loop or not len(self.recording):
                return None
            self.position, self._origin = 0, None
        if self.pace and not self._wait_for(self.position, timeout_ms):
            return None
        return self.recording.raw_image(self.position)

    def _wait_for(self, index: int, timeout_ms: int) -> bool:
        """Sleeps until frame `index` is due at the recorded intervals (the differences of the
        log times, whatever their clock); False when that is later than the timeout (the
        frame stays next)."""
        now, log = time.monotonic_ns(), self.recording.log_time(index)
        if self._origin is None:
            self._origin = (now, log)
        wait = self._origin[0] + round((log - self._origin[1]) / self.rate) - now
        if wait < -LATE_NS:
            self._origin, wait = (now, log), 0
        if wait > timeout_ms * 1_000_000:
            time.sleep(timeout_ms / 1000)
            return False
        if wait > 0:
            time.sleep(wait / 1e9)
        return True

    def ebd(self, array: npt.NDArray[np.uint8], timeout_ms: int) -> int:
        data = None if self.delivered is None else self.recording.raw_ebd(self.delivered)
        if data is None:
            return 0
        if len(data) > len(array):
            return len(data)
        array[:len(data)] = np.frombuffer(data, dtype=np.uint8)
        return len(data)


class Replayer:
    """A recording as an offline `pelorin` camera, without a callable to write.

    `camera` has the image stream (and the embedded-data stream where the recording has one)
    and is not opened: open and configure it as any camera, with any echo count, outputs or
    dual-depth parameters, or call `start` to use the recorded ones. Past the last frame the
    camera times out (ETIME, -62), or starts again at frame 0 with `loop`; `pace` delivers
    frames at the recorded intervals divided by `rate` (2.0 plays twice as fast). Reaching the
    damage of a damaged file raises its RecordingError from `get_frame`. `camera` chooses one
    camera of a recording of several.
    """

    def __init__(self, recording: Recording | str | os.PathLike[str], *, loop: bool = False,
                 pace: bool = False, rate: float = 1.0, start: int = 0,
                 name: str | None = None, camera: str | None = None) -> None:
        import pelorin
        if not (isinstance(rate, (int, float)) and 0 < rate < float("inf")):
            raise TypeError(f"rate must be a number above 0, not {rate!r}")
        if isinstance(recording, Recording) and camera not in (None, recording.camera):
            raise ValueError(f"the recording was opened for camera {recording.camera!r}, "
                             f"not {camera!r}")
        self.recording = recording if isinstance(recording, Recording) else \
            Recording(recording, camera)
        self._feed = _Feed(self.recording, loop, pace, float(rate))
        try:
            self._feed.seek(start)
        except IndexError:
            if self.recording is not recording:
                self.recording.close()
            raise
        # The library takes UTF-8 names; a file name need not be one.
        shown = os.fsencode(self.recording.path.name).decode("utf-8", "replace")
        self.camera = pelorin.create_camera_offline(name or f"replay:{shown}")
        self.camera.add_stream(pelorin.stream_image, self._feed)
        if self.recording.has_ebd:
            self.camera.add_stream(pelorin.stream_ebd, self._feed.ebd)

    def seek(self, index: int) -> None:
        """Makes frame `index` the next one the camera delivers. A streaming camera starts
        again, so that its frame counters and dropped-frame count start anew: the frames
        skipped over were not lost."""
        self._feed.seek(index)
        if self.camera.get_camera_info()["status"] == "streaming":
            self.camera.stop()
            self.camera.start()

    @property
    def position(self) -> int:
        """The index of the next frame the camera delivers."""
        return self._feed.position

    @property
    def delivered(self) -> int | None:
        """The index of the frame the camera delivered last."""
        return self._feed.delivered

    @property
    def finished(self) -> bool:
        """True once the last frame is delivered and the replay does not loop."""
        return self._feed.finished

    def start(self, *, echoes: int | None = None,
              outputs: pelorin.camera_output_configuration | None = None,
              dual_depth: pelorin.dual_depth_params | None = None) -> pelorin.camera:
        """Opens the camera in the recorded mode, configures it with the recorded echo count,
        outputs and dual-depth parameters unless others are given, starts it and returns it."""
        import pelorin
        rec = self.recording
        if outputs is None and rec.outputs is not None:
            outputs = outputs_from_dict(rec.outputs)
        if dual_depth is None and rec.dual:
            dual_depth = pelorin.dual_depth_params()
            for field in DUAL_DEPTH_FIELDS:
                setattr(dual_depth, field, rec.dual_depth_params[field])
        count = rec.echoes if echoes is None else echoes
        steps: list[tuple[str, Callable[[], int]]] = [
            (f"open mode {rec.mode:#x}", lambda: self.camera.open(rec.mode)),
            (f"configure {count} echoes", lambda: self.camera.configure_camera_echo(count))]
        if outputs is not None:
            steps.append(("configure the outputs",
                          lambda: self.camera.configure_camera_output(outputs)))
        if dual_depth is not None:
            steps.append(("configure dual depth",
                          lambda: self.camera.configure_camera_dual_depth(dual_depth)))
        steps.append(("start streaming", self.camera.start))
        for doing, call in steps:
            if (code := call()) != 0:
                raise DeviceError.refused(self.camera.get_camera_info()["id"], doing, code)
        return self.camera

    def close(self) -> None:
        """Closes the recording file (the camera can no longer read frames)."""
        self.recording.close()

    def __enter__(self) -> Replayer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def replay_camera(path: str | os.PathLike[str], *, loop: bool = False, pace: bool = False,
                  rate: float = 1.0, start: int = 0, name: str | None = None,
                  camera: str | None = None) -> Replayer:
    """A Replayer over the recording at `path`; options as for Replayer."""
    return Replayer(path, loop=loop, pace=pace, rate=rate, start=start, name=name,
                    camera=camera)
