"""Replaying a recording as an offline camera."""

from __future__ import annotations

import os
import time
from typing import Any, Callable

import numpy as np

from tessaro.errors import DeviceError
from tessaro.recording_format import DUAL_DEPTH_FIELDS, outputs_from_dict
from tessaro.recording_reader import Recording


class _Source:
    """The frame sources of a replay camera: the image stream hands out the recording's frames
    in turn (with the resize-and-retry protocol), the embedded-data stream the one recorded
    with the image it handed out last. It holds no reference to the camera, so the camera that
    holds it is freed with its last user."""

    def __init__(self, recording: Recording, loop: bool, pace: bool) -> None:
        self.recording, self.loop, self.pace = recording, loop, pace
        self.position = 0
        self.delivered: int | None = None
        self._pending: tuple[int, bytes] | None = None  # a frame asked for again, larger
        self._origin: tuple[int, int] | None = None     # (host time, log time) of pacing

    def seek(self, index: int) -> None:
        if not 0 <= index < max(len(self.recording), 1):
            raise IndexError(f"{self.recording.path}: no frame {index} to seek to "
                             f"(the recording has {len(self.recording)})")
        self.position, self._pending, self._origin = index, None, None

    @property
    def finished(self) -> bool:
        return self.position >= len(self.recording) and not self.loop

    def image(self, array: np.ndarray, timeout_ms: int) -> int:
        if self.position >= len(self.recording):
            if self.recording.damage is not None:
                raise self.recording.damage
            if not self.loop or not len(self.recording):
                return 0
            self.position, self._origin = 0, None
        index = self.position
        if self._pending is None or self._pending[0] != index:
            if self.pace and not self._wait_for(index, timeout_ms):
                return 0
            self._pending = (index, self.recording.raw_image(index))
        data = self._pending[1]
        if len(data) > len(array):
            return len(data)
        array[:len(data)] = np.frombuffer(data, dtype=np.uint8)
        self.position, self.delivered, self._pending = index + 1, index, None
        return len(data)

    def _wait_for(self, index: int, timeout_ms: int) -> bool:
        """Sleeps until frame `index` is due at the recorded rate; False when that is later
        than the timeout (the frame stays next)."""
        now, log = time.monotonic_ns(), self.recording.log_time(index)
        if self._origin is None:
            self._origin = (now, log)
        wait = self._origin[0] + (log - self._origin[1]) - now
        if wait > timeout_ms * 1_000_000:
            time.sleep(timeout_ms / 1000)
            return False
        if wait > 0:
            time.sleep(wait / 1e9)
        return True

    def ebd(self, array: np.ndarray, timeout_ms: int) -> int:
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
    frames at the recorded rate. Reaching the damage of a damaged file raises its
    RecordingError from `get_frame`.
    """

    def __init__(self, recording: Recording | str | os.PathLike[str], *, loop: bool = False,
                 pace: bool = False, start: int = 0, name: str | None = None) -> None:
        import pelorin
        self.recording = recording if isinstance(recording, Recording) else Recording(recording)
        self._source = _Source(self.recording, loop, pace)
        try:
            self._source.seek(start)
        except IndexError:
            if self.recording is not recording:
                self.recording.close()
            raise
        # The library takes UTF-8 names; a file name need not be one.
        shown = os.fsencode(self.recording.path.name).decode("utf-8", "replace")
        self.camera = pelorin.create_camera_offline(name or f"replay:{shown}")
        self.camera.add_stream(pelorin.stream_image, self._source.image)
        if self.recording.has_ebd:
            self.camera.add_stream(pelorin.stream_ebd, self._source.ebd)

    def seek(self, index: int) -> None:
        """Makes frame `index` the next one the camera delivers."""
        self._source.seek(index)

    @property
    def position(self) -> int:
        """The index of the next frame the camera delivers."""
        return self._source.position

    @property
    def finished(self) -> bool:
        """True once the last frame is delivered and the replay does not loop."""
        return self._source.finished

    def start(self, *, echoes: int | None = None, outputs: Any = None,
              dual_depth: Any = None) -> Any:
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


def replay_camera(path: str | os.PathLike[str], **options: Any) -> Replayer:
    """A Replayer over the recording at `path`; options as for Replayer."""
    return Replayer(path, **options)
