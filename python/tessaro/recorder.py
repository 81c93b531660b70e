"""Recording frames from a started camera into an MCAP file."""

from __future__ import annotations

import contextlib
import os
import signal
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Iterator

from mcap.records import Schema
from mcap_ros2.writer import Writer

from tessaro import ros2_messages as messages
from tessaro.errors import RecordingError
from tessaro.recording_format import (EBD_TOPIC, DEPTH_TOPIC, HOST_CLOCK, IMAGE_TOPIC,
                                      POINTS_TOPIC, SENSOR_CLOCK, TIMESTAMP_UNIT_NS,
                                      metadata_records)

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
    """Log times in nanoseconds: the sensor's timestamp when the first frame carries embedded
    data, the host's monotonic clock otherwise. A frame that lost its embedded data in a
    sensor-timed recording advances by the host's clock, and every log time is later than the
    one before, so that log-time order is frame order."""

    def __init__(self) -> None:
        self.kind: str | None = None
        self._anchor: tuple[int, int] | None = None  # (sensor timestamp, its log time)
        self._last: tuple[int, int] | None = None    # (log time, host time)

    def log_time(self, timestamp: int | None) -> int:
        host = time.monotonic_ns()
        if self.kind is None:
            self.kind = SENSOR_CLOCK if timestamp is not None else HOST_CLOCK
        if self.kind == SENSOR_CLOCK and timestamp is not None:
            if self._anchor is None:
                log = timestamp * TIMESTAMP_UNIT_NS
            else:
                # The timestamp is 32 bits wide and wraps; frames only move forwards.
                ticks = (timestamp - self._anchor[0]) % (1 << 32)
                log = self._anchor[1] + ticks * TIMESTAMP_UNIT_NS
        elif self._last is None:
            log = host
        else:
            log = self._last[0] + host - self._last[1]
        if self._last is not None:
            log = max(log, self._last[0] + 1)
        if self.kind == SENSOR_CLOCK and timestamp is not None:
            self._anchor = (timestamp, log)
        self._last = (log, host)
        return log


class _Interrupt:
    """Turns the first Ctrl-C into a request to stop after the current frame, so that it never
    lands inside the MCAP writer; a second one interrupts at once."""

    def __init__(self) -> None:
        self.requested = False

    def __call__(self, signum: int, frame: Any) -> None:
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

    def __init__(self, file: Any, info: dict, outputs: Any, ros2: bool) -> None:
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

    def write_frame(self, index: int, frame: Any, image: bytes, ebd: bytes | None,
                    log_time: int) -> None:
        def write(topic: str, schema: Schema, message: dict | None) -> None:
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
        self._writer.finish()


def record(camera: Any, path: str | os.PathLike, *, frames: int | None = None,
           duration: float | None = None, outputs: Any = None, ros2: bool = False,
           timeout_ms: int = 1000, progress: Callable[[int], None] | None = None
           ) -> RecordSummary:
    """Records frames from a started camera into an MCAP file until `frames` frames are written,
    `duration` seconds have passed, the camera fails FAILURES_IN_A_ROW times running, or Ctrl-C.

    `outputs` is the output configuration the camera was given (the camera has no getter for
    it); it goes into the metadata. Failed frames (error != 0) are counted, not written. The
    file is a finished MCAP file however the recording ends, an exception included.
    `progress` is called after each written frame with the number written so far.
    """
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
    previous_ebd: bytes | None = None
    failures_in_a_row = 0
    with file, _deferred_interrupt() as interrupt:
        writer = _FrameWriter(file, info, outputs, ros2)
        try:
            while (frames is None or summary.frames_written < frames) and \
                    (deadline is None or time.monotonic() < deadline):
                frame = camera.get_frame(timeout_ms)
                if frame.error != 0:
                    summary.frames_failed += 1
                    failures_in_a_row += 1
                    if failures_in_a_row >= FAILURES_IN_A_ROW or interrupt.requested:
                        break
                    continue
                failures_in_a_row = 0
                image = memoryview(frame.raw_image).tobytes()
                ebd = memoryview(frame.raw_ebd).tobytes() or None
                # A failed embedded-data read leaves the previous frame's bytes in place; a
                # real one differs from the last, its frame counter at least.
                if ebd is not None and ebd == previous_ebd:
                    ebd = None
                elif ebd is not None:
                    previous_ebd = ebd
                log_time = clock.log_time(frame.timestamp if ebd else None)
                writer.write_metadata(clock.kind)
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
