"""The log times of a recording: nanoseconds since the Unix epoch, which is ROS time.

A frame's time is its capture time on the host's monotonic clock, moved onto the epoch by the
offset between the wall clock and the monotonic clock read once, when recording starts. The
wall clock itself is never read per frame: a step of it (NTP, a user) during a recording would
reorder frames or stretch an interval, while a fixed offset keeps the recorded intervals exactly
those of capture. Recordings of several cameras on one host line up to within the drift of the
wall clock between their starts.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pelorin

# The offset is taken from the tightest of a few readings: one that a context switch splits
# shows as a wide bracket and loses.
_READINGS = 5


def realtime_offset_ns() -> int:
    """CLOCK_REALTIME − CLOCK_MONOTONIC in nanoseconds, the wall clock read between two monotonic
    readings and set against their middle."""
    best: tuple[int, int] | None = None
    for _ in range(_READINGS):
        before = time.monotonic_ns()
        wall = time.time_ns()
        after = time.monotonic_ns()
        if best is None or after - before < best[0]:
            best = (after - before, wall - (before + after) // 2)
    assert best is not None
    return best[1]


class LogClock:
    """Log times of the frames of one recording, in nanoseconds since the Unix epoch.

    A frame without a capture time (a stream whose buffers are not stamped on the monotonic
    clock) takes the monotonic clock when it is handed over instead. Every log time is later
    than the one before, so that log-time order is frame order. `offset_ns` is given when
    several cameras share one recording, so that they share one mapping.
    """

    def __init__(self, offset_ns: int | None = None) -> None:
        self.offset_ns = realtime_offset_ns() if offset_ns is None else offset_ns
        # The clocks of the first frame, which relate the sensor's time to the host's.
        self.monotonic_anchor_ns: int | None = None
        self.sensor_anchor: int | None = None
        self._last: int | None = None

    def log_time(self, frame: pelorin.frame_buffer) -> int:
        host = int(frame.capture_time_ns) if frame.has_capture_time else time.monotonic_ns()
        if self._last is None:
            self.monotonic_anchor_ns = host
            self.sensor_anchor = int(frame.sensor_timestamp) if frame.has_sensor_time else None
        log = host + self.offset_ns
        if self._last is not None:
            log = max(log, self._last + 1)
        self._last = log
        return log

    def metadata(self) -> dict[str, str]:
        """The mapping as metadata values: the offset, and the first frame's monotonic and sensor
        times ("" before a first frame, or for a first frame without embedded data)."""
        def text(value: int | None) -> str:
            return "" if value is None else str(value)
        return {"realtime_offset_ns": str(self.offset_ns),
                "monotonic_anchor_ns": text(self.monotonic_anchor_ns),
                "sensor_anchor": text(self.sensor_anchor)}
