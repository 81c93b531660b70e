"""Recording frames from a started camera into an MCAP file."""

from __future__ import annotations

import contextlib
import os
import signal
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator

from mcap.records import Schema
from mcap_ros2.writer import Writer

from tessaro.recording import _ros2 as messages
from tessaro.errors import RecordingError
from tessaro.recording._format import (EBD_TOPIC, DEPTH_TOPIC, HOST_CLOCK, IMAGE_TOPIC,
                                       POINTS_TOPIC, SENSOR_CLOCK, TIMESTAMP_UNIT_NS,
                                       metadata_records)
from tessaro.recording._replay import Replayer

if TYPE_CHECKING:
    import pelorin

# A source that keeps failing (a finished offline camera, a sensor that stopped) ends a
# recording instead of holding it open for ever.
FAILURES_IN_A_ROW = 10


@dataclass
class RecordSummary:
    """What `record` did."""
    path: Path
    frames_written: int
    frames_failed: int
    interrupted: bool


class _LogClock:
    """Log times in nanoseconds: the library's 64-bit sensor timestamp when the first frame
    has decoded embedded data, the frame's capture time on the host's monotonic clock (or the
    clock itself, where the stream gives no capture time) otherwise. A frame that lost its
    embedded data in a sensor-timed recording advances by the host's clock, and every log time
    is later than the one before, so that log-time order is frame order."""

    def __init__(self) -> None:
        self.kind: str | None = None
        self._last: tuple[int, int] | None = None    # (log time, host time)

    def log_time(self, frame: pelorin.frame_buffer) -> int:
        host = int(frame.capture_time_ns) if frame.has_capture_time else time.monotonic_ns()
        if self.kind is None:
            self.kind = SENSOR_CLOCK if frame.has_sensor_time else HOST_CLOCK
        if self.kind == SENSOR_CLOCK and frame.has_sensor_time:
            log = int(frame.sensor_timestamp) * TIMESTAMP_UNIT_NS
        elif self._last is None:
            log = host
        else:
            log = self._last[0] + host - self._last[1]
        if self._last is not None:
            log = max(log, self._last[0] + 1)
        self._last = (log, host)
        return log


class _Interrupt:
    """Turns the first Ctrl-C into a request to stop after the current frame, so that it never
    lands inside the MCAP writer; a second one interrupts at once."""

    def __init__(self) -> None:
        self.requested = False

    def __call__(self, signum: int, frame: FrameType | None) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True


@contextlib.contextmanager
def _deferred_interrupt() -> Iterator[_Interrupt]:
    interrupt = _Interrupt()
    if threading.current_thread() is not threading.main_thread():
        yield interrupt  # only the main thread receives signals
        return
    previous = signal.signal(signal.SIGINT, interrupt)
    try:
        yield interrupt
    finally:
        signal.signal(signal.SIGINT, previous)


class _FrameWriter:
    """The MCAP side of `record`: one chunk per frame, written to disk as soon as it is whole,
    so that a recording that stops abruptly keeps every frame before the last."""

    def __init__(self, file: IO[bytes], info: dict[str, Any],
                 outputs: pelorin.camera_output_configuration | None, ros2: bool) -> None:
        mode = info["supported_modes"][f"{info['mode']:x}"]
        self._file = file
        self._info, self._outputs, self._ros2 = info, outputs, ros2
        self._size = (mode["sensor_width"], mode["sensor_height"])
        # The image goes last into a frame's chunk; being larger than the chunk size, it closes
        # the chunk, so a frame's messages share one chunk and are damaged or intact together.
        self._writer = Writer(file, chunk_size=mode["raw_size_image"] - 1)
        self._raw = self._writer.register_msgdef(messages.RAW_FRAME_TYPE,
                                                 messages.RAW_FRAME_DEFINITION)
        if ros2:
            self._image = self._writer.register_msgdef(messages.IMAGE_TYPE,
                                                       messages.IMAGE_DEFINITION)
            self._cloud = self._writer.register_msgdef(messages.POINT_CLOUD_TYPE,
                                                       messages.POINT_CLOUD_DEFINITION)
        self._metadata_written = False

    def write_metadata(self, clock: str) -> None:
        if not self._metadata_written:
            for name, record in metadata_records(self._info, self._outputs, clock).items():
                self._writer.add_metadata(name, record)
            self._metadata_written = True

    def write_frame(self, index: int, frame: pelorin.frame_buffer, image: bytes, ebd: bytes | None,
                    log_time: int) -> None:
        def write(topic: str, schema: Schema, message: dict[str, Any] | None) -> None:
            if message is not None:
                self._writer.write_message(topic, schema, message, log_time=log_time,
                                           publish_time=log_time, sequence=index)

        counters = {"frame_id": frame.frame_id, "timestamp": frame.timestamp} if ebd else \
            {"frame_id": 0, "timestamp": 0}
        if ebd:
            write(EBD_TOPIC, self._raw, {**counters, "data": ebd})
        if self._ros2:
            write(DEPTH_TOPIC, self._image, messages.depth_image(frame, *self._size, log_time))
            write(POINTS_TOPIC, self._cloud, messages.point_cloud(frame, *self._size, log_time))
        write(IMAGE_TOPIC, self._raw, {**counters, "data": image})
        self._file.flush()

    def finish(self, clock: str) -> None:
        self.write_metadata(clock)
        self._writer.finish()  # type: ignore[no-untyped-call]  # mcap-ros2 leaves it untyped


def record(camera: pelorin.camera | Replayer, path: str | os.PathLike[str], *,
           frames: int | None = None, duration: float | None = None,
           outputs: pelorin.camera_output_configuration | None = None, ros2: bool = False,
           timeout_ms: int = 1000, progress: Callable[[int], None] | None = None,
           ended: Callable[[], bool] | None = None) -> RecordSummary:
    """Records frames from a started camera into an MCAP file until `frames` frames are written,
    `duration` seconds have passed, the source has ended, the camera fails FAILURES_IN_A_ROW
    times running, or Ctrl-C.

    `camera` is a pelorin camera or a started Replayer, whose end (`finished`) ends the
    recording; `ended` tells the same of another source (a `tessaro.Device` passes its own).

    `outputs` is the output configuration the camera was given (the camera has no getter for
    it); it goes into the metadata. Failed frames (error != 0) are counted, not written. The
    file is a finished MCAP file however the recording ends, an exception included.
    `progress` is called after each written frame with the number written so far.
    """
    if isinstance(camera, Replayer):
        replayer = camera
        # A damaged recording does not end: its camera raises the damage, which is the news.
        ended = ended or (lambda: replayer.finished and replayer.recording.damage is None)
        camera = replayer.camera
    info = camera.get_camera_info()
    if info["status"] != "streaming":
        raise RecordingError(path, "cannot record: the camera is not streaming")
    summary = RecordSummary(Path(path), 0, 0, False)
    try:
        file = open(path, "wb")
    except OSError as error:
        raise RecordingError(path, f"cannot create the file: {error.strerror}") from error
    deadline = None if duration is None else time.monotonic() + duration
    clock = _LogClock()
    failures_in_a_row = 0
    with file, _deferred_interrupt() as interrupt:
        writer = _FrameWriter(file, info, outputs, ros2)
        try:
            while (frames is None or summary.frames_written < frames) and \
                    (deadline is None or time.monotonic() < deadline):
                if ended is not None and ended():
                    break
                frame = camera.get_frame(timeout_ms)
                if frame.error != 0:
                    if ended is not None and ended():
                        break
                    summary.frames_failed += 1
                    failures_in_a_row += 1
                    if failures_in_a_row >= FAILURES_IN_A_ROW or interrupt.requested:
                        break
                    continue
                failures_in_a_row = 0
                image = memoryview(frame.raw_image).tobytes()
                # A failed embedded-data read leaves the previous frame's bytes in place.
                ebd = memoryview(frame.raw_ebd).tobytes() if frame.has_sensor_time else None
                log_time = clock.log_time(frame)
                writer.write_metadata(clock.kind or HOST_CLOCK)
                writer.write_frame(summary.frames_written, frame, image, ebd, log_time)
                summary.frames_written += 1
                if progress is not None:
                    progress(summary.frames_written)
                if interrupt.requested:
                    break
        except KeyboardInterrupt:
            interrupt.requested = True
        finally:
            writer.finish(clock.kind or HOST_CLOCK)
    summary.interrupted = interrupt.requested
    return summary
