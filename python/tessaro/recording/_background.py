"""The writing side of a recording on a thread of its own, behind a bounded queue.

The thread that captures only copies what it needs of a frame and queues it: compressing and
writing run on the writer thread, so that a slow disk costs frames, counted as dropped, and never
holds the camera up. A source with no real time to keep (a replayed recording) waits for the
writer instead, since nothing is lost by waiting.

The raw images are copied into buffers that go round between the two threads, made ready by the
writer when it has nothing to write: memory new to the process costs the capturing thread page
faults, several times the copy itself, just when the disk is behind.
"""

from __future__ import annotations

import queue
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    import pelorin

# How many raw images may wait for the disk: nearly three seconds of frames at the sensor's
# rates (42 dual-depth frames at 15 a second, 84 single-depth ones at 30).
QUEUE_BYTES = 32 << 20
PAGE = 4096


class FrameSink(Protocol):
    def write_metadata(self, times: dict[str, str]) -> None: ...

    def write_frame(self, index: int, frame: Any, image: bytes, ebd: bytes | None,
                    log_time: int) -> None: ...


@dataclass(slots=True)
class FrameCopy:
    """What the writer reads of a frame, copied before the camera fills its buffers again: the
    counters and clocks, and the first echo of the outputs that ROS messages carry (each output
    a list of at most one echo, as the frame lists its echoes)."""
    frame_id: int
    timestamp: int
    has_sensor_time: bool
    sensor_timestamp: int
    frame_index: int
    has_capture_time: bool
    capture_time_ns: int
    has_sequence: bool
    sequence: int
    cartesian_depth: list[npt.NDArray[Any]]
    radial_depth: list[npt.NDArray[Any]]
    point_cloud: list[npt.NDArray[Any]]


def _first_echo(per_echo: Any) -> list[npt.NDArray[Any]]:
    return [np.array(per_echo[0])] if len(per_echo) else []


def copy_frame(frame: pelorin.frame_buffer, outputs: bool) -> FrameCopy:
    """The copy of `frame` that the writer needs; without `outputs`, the counters and clocks
    alone."""
    sensor, capture, sequence = (bool(frame.has_sensor_time), bool(frame.has_capture_time),
                                 bool(frame.has_sequence))
    clocks = (frame.frame_id, frame.timestamp, sensor,
              int(frame.sensor_timestamp) if sensor else 0,
              int(frame.frame_index) if sensor else 0, capture,
              int(frame.capture_time_ns) if capture else 0, sequence,
              int(frame.sequence) if sequence else 0)
    if not outputs:
        return FrameCopy(*clocks, [], [], [])
    return FrameCopy(*clocks, _first_echo(frame.cartesian_depth),
                     _first_echo(frame.radial_depth), _first_echo(frame.point_cloud))


@dataclass(slots=True)
class _Job:
    frame: FrameCopy
    image: bytearray
    ebd: bytes | None
    log_time: int
    times: dict[str, str]
    sink: FrameSink | None


class BackgroundWriter:
    """Writes queued frames to `sink` on its own thread. `offer` never waits unless `wait`;
    a frame that finds every buffer in the queue is dropped and counted in `dropped`. The first
    error of the sink is kept in `error`, after which nothing more is written; the caller stops
    offering and reports it. `written` counts the frames the sink has taken."""

    def __init__(self, sink: FrameSink, image_bytes: int, wait: bool) -> None:
        self._sink, self._wait, self._image_bytes = sink, wait, image_bytes
        self._queue: queue.SimpleQueue[_Job | None] = queue.SimpleQueue()
        self._free: queue.SimpleQueue[bytearray] = queue.SimpleQueue()
        self._unmade = max(2, QUEUE_BYTES // image_bytes)  # buffers still to make
        self._lock = threading.Lock()  # over _unmade
        self._abandoned = False
        self.accepted = self.written = self.dropped = 0
        self.error: BaseException | None = None
        # Set by the writer thread as it ends. Waited for instead of joining the thread: before
        # Python 3.12, a join interrupted by Ctrl-C marks the thread as ended while it still runs,
        # and a second join returns at once, with the file still being written.
        self._ended = threading.Event()
        self._thread = threading.Thread(target=self._run, name="tessaro-recorder", daemon=True)
        self._thread.start()

    def offer(self, frame: pelorin.frame_buffer, ebd: bool, outputs: bool, log_time: int,
              times: dict[str, str], sink: FrameSink | None = None) -> bool:
        """Queues a copy of `frame` (its embedded data with `ebd`, the outputs ROS messages
        carry with `outputs`) for `sink`, by default the writer's own; False when it was
        dropped instead."""
        try:
            image = self._free.get_nowait()
        except queue.Empty:
            if self._take_unmade():
                image = bytearray()
            elif self._wait:
                image = self._free.get()
            else:
                self.dropped += 1
                return False
        image[:] = memoryview(frame.raw_image)
        data = memoryview(frame.raw_ebd).tobytes() if ebd else None
        self._queue.put(_Job(copy_frame(frame, outputs), image, data, log_time, times,
                             sink))
        self.accepted += 1
        return True

    def _take_unmade(self) -> bool:
        with self._lock:
            if self._unmade == 0:
                return False
            self._unmade -= 1
            return True

    def _next(self) -> _Job | None:
        """The next job, making a spare buffer (its pages touched) while there is none."""
        while True:
            try:
                return self._queue.get_nowait()
            except queue.Empty:
                if not self._take_unmade():
                    return self._queue.get()
            spare = bytearray(self._image_bytes)
            spare[::PAGE] = bytes(len(range(0, len(spare), PAGE)))
            self._free.put(spare)

    def _run(self) -> None:
        try:
            self._write_queued()
        finally:
            self._ended.set()

    def _write_queued(self) -> None:
        while (job := self._next()) is not None and not self._abandoned:
            image = bytes(job.image)
            self._free.put(job.image)
            if self.error is not None:
                continue  # the caller sees the error and stops; the queue only empties
            try:
                sink = job.sink or self._sink
                sink.write_metadata(job.times)
                sink.write_frame(self.written, job.frame, image, job.ebd, job.log_time)
                self.written += 1
            except BaseException as error:  # whatever it is, the caller raises it
                self.error = error

    def stop(self) -> None:
        """Waits until every queued frame is written. A KeyboardInterrupt while waiting (a
        second Ctrl-C) drops the frames not yet written instead, counted as dropped."""
        try:
            self._queue.put(None)
            self._ended.wait()
        except KeyboardInterrupt:
            self._abandoned = True
            self._queue.put(None)
            self._ended.wait()
        if self.error is None:
            self.dropped += self.accepted - self.written
