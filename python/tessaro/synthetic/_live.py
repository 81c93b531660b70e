"""The synthetic sensor at its mode's frame rate, as a live camera delivers: frame k is due k
frame periods after the first one, and a reader that falls more than a period behind loses the
frames it missed, which the library then counts as dropped (their frame counters are skipped)."""

from __future__ import annotations

import time
from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from tessaro._sensor import Buffer, FrameFeeder

if TYPE_CHECKING:
    from tessaro.synthetic._model import SyntheticSensor


class LiveFeed(FrameFeeder):
    """The image stream (the feeder itself) and the embedded-data stream (`ebd`) of a paced
    synthetic sensor; the embedded data is that of the image handed out last, so that a skipped
    frame is skipped in both."""

    def __init__(self, sensor: SyntheticSensor, start: int = 0) -> None:
        super().__init__(sensor.raw_frame, start)
        self.sensor = sensor
        self.period_ns = round(1e9 / sensor.frame_rate)
        self._origin: int | None = None  # host time at which frame `start` was due
        self._start = start

    def due(self, index: int) -> int:
        """When frame `index` is due, in nanoseconds on the host's monotonic clock."""
        assert self._origin is not None, "no frame has been asked for yet"
        return self._origin + (index - self._start) * self.period_ns

    def next_frame(self, timeout_ms: int) -> Buffer | None:
        if self._origin is None:  # the first frame is due once it is rendered
            frame = self.sensor.raw_frame(self.position)
            self._origin, self._start = time.monotonic_ns(), self.position
            return frame
        now = time.monotonic_ns()
        # A frame whose successor is due already is gone, as on a live sensor's stream.
        behind = (now - self.due(self.position)) // self.period_ns
        if behind > 0:
            self.position += int(behind)
        wait = self.due(self.position) - now
        if wait > timeout_ms * 1_000_000:
            time.sleep(timeout_ms / 1000)
            return None
        frame = self.sensor.raw_frame(self.position)  # rendered while the frame is not yet due
        left = self.due(self.position) - time.monotonic_ns()
        if left > 0:
            time.sleep(left / 1e9)
        return frame

    def ebd(self, array: npt.NDArray[np.uint8], timeout_ms: int) -> int:
        if self.delivered is None:
            return 0
        data = self.sensor.ebd_frame(self.delivered)
        if len(data) > len(array):
            return len(data)
        array[:len(data)] = data
        return len(data)
