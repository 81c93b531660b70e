"""One capture loop per source: it takes frames from the device, paces sources that do not pace
themselves, encodes each frame once and hands it to every client's mailbox.

Capture never waits for a client. A client's mailbox holds one frame per source; a newer frame
replaces one not yet sent, and the replaced frame is counted as skipped for that client.
"""

from __future__ import annotations

import json
import queue
import struct
import threading
import time
from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import Any

import numpy as np

import tessaro
from tessaro.errors import TessaroError

# What the stream carries per frame; histograms are fetched per zone on demand (/api/zone),
# since all of them would be a third of a megabyte per frame and client.
STREAMED = ("depth", "points", "peak_height", "peak_status", "noise")
OUTPUTS = (*STREAMED, "histogram")
NOMINAL_PERIOD = 1 / 30  # when a frame carries no time at all
SPEEDS = (0.1, 8.0)


class Mailbox:
    """A client's newest unsent frame per source, and how many it missed."""

    def __init__(self) -> None:
        self._ready = threading.Condition()
        self._pending: dict[int, bytes] = {}
        self.skipped: dict[int, int] = {}
        self.closed = False

    def offer(self, source: int, payload: bytes) -> None:
        with self._ready:
            if source in self._pending:
                self.skipped[source] = self.skipped.get(source, 0) + 1
            self._pending[source] = payload
            self._ready.notify()

    def take(self, timeout: float) -> list[tuple[int, bytes, int]]:
        """The pending frames as (source, payload, skipped so far), waiting up to `timeout`
        seconds for one; empty once closed."""
        with self._ready:
            if not self._pending and not self.closed:
                self._ready.wait(timeout)
            if self.closed:
                return []
            taken = [(s, p, self.skipped.get(s, 0)) for s, p in self._pending.items()]
            self._pending.clear()
            return taken

    def close(self) -> None:
        with self._ready:
            self.closed = True
            self._ready.notify_all()


def encode(meta: dict[str, Any], frame: tessaro.Frame) -> bytes:
    """A frame as one stream payload: u32 header length, the JSON header (padded with spaces to
    a multiple of 4 bytes), then the arrays little-endian, each at a multiple of 4 bytes, as the
    header's "arrays" entries say (name, dtype, shape, offset from the end of the header)."""
    layout, parts, offset = [], [], 0
    for name in STREAMED:
        array = np.ascontiguousarray(getattr(frame, name))
        data = array.astype(array.dtype.newbyteorder("<"), copy=False).tobytes()
        layout.append({"name": name, "dtype": array.dtype.name, "shape": list(array.shape),
                       "offset": offset})
        padding = -len(data) % 4
        parts.append(data + b"\0" * padding)
        offset += len(data) + padding
    header = json.dumps({**meta, "arrays": layout}, separators=(",", ":")).encode()
    header += b" " * (-len(header) % 4)
    return struct.pack("<I", len(header)) + header + b"".join(parts)


def _peaks(histogram: np.ndarray, limit: int) -> list[int]:
    """Bins of the `limit` strongest local maxima that stand out of the ambient floor (its
    median) by six times its shot noise, in bin order."""
    h = histogram.astype(np.float64)
    floor = float(np.median(h))
    threshold = floor + 6 * np.sqrt(max(floor, 1.0))
    inner = (h[1:-1] >= h[:-2]) & (h[1:-1] > h[2:]) & (h[1:-1] > threshold)
    found = np.flatnonzero(inner) + 1
    strongest = found[np.argsort(-h[found], kind="stable")][:limit]
    return sorted(int(b) for b in strongest)


@dataclass
class Control:
    """A change asked for by a page: any of play, seek, loop and speed."""
    play: bool | None = None
    seek: int | None = None
    loop: bool | None = None
    speed: float | None = None


@dataclass
class Latest:
    frame: tessaro.Frame
    meta: dict[str, Any] = field(default_factory=dict)


class Feed:
    """A source's device and the thread that captures from it."""

    def __init__(self, number: int, label: str, *, mode: str | None, echoes: int,
                 seed: int, source: object = None, **options: Any) -> None:
        """`source` is what to open when `label` does not say (a sensor of a synthetic rig);
        `options` go to `tessaro.open` (a recording's camera)."""
        if label == "synthetic":
            options["seed"] = seed
        self.number, self.label = number, label
        self.device = tessaro.open(label if source is None else source, mode=mode,
                                   echoes=echoes, outputs=OUTPUTS, timeout=1.0, **options)
        self.replayer: Any = self.device.replayer
        self.kind = ("recording" if self.replayer is not None
                     else "synthetic" if label == "synthetic" or source is not None
                     else "camera")
        self.length = len(self.device) if self.kind == "recording" else None
        self.playing, self.loop, self.speed = True, True, 1.0
        self.latest: Latest | None = None
        self.error: str | None = None
        self.skipped = 0
        self.dropped = 0
        self._mailboxes: set[Mailbox] = set()
        self._lock = threading.Lock()
        self._controls: queue.Queue[Control] = queue.Queue()
        self._stop = threading.Event()
        self._step = False  # deliver one frame while paused (after a seek)
        self._origin: tuple[float, float] | None = None  # (host, frame time) of pacing
        self._arrivals: deque[float] = deque(maxlen=31)
        self._thread = threading.Thread(target=self._run, name=f"capture {label}", daemon=True)

    def describe(self) -> dict[str, Any]:
        """What a page needs to lay this source out, and how capture goes: the last failure
        (None once frames come again) and the frames skipped by clients that have left."""
        d = self.device
        return {"source": self.number, "name": self.label, "kind": self.kind,
                "length": self.length, "mode": f"{d.mode:#x}", "echoes": d.echoes,
                "dual": d.dual, "rows": d.grid[0], "columns": d.grid[1],
                "error": self.error, "delivered": d.frames_delivered,
                "failed": d.frames_failed, "skipped_by_others": self.skipped}

    # -- clients --------------------------------------------------------------------------------

    def subscribe(self, mailbox: Mailbox) -> None:
        with self._lock:
            self._mailboxes.add(mailbox)
            latest = self.latest
        if latest is not None and "payload" in latest.meta:
            mailbox.offer(self.number, latest.meta["payload"])

    def unsubscribe(self, mailbox: Mailbox) -> None:
        with self._lock:
            self._mailboxes.discard(mailbox)
            self.skipped += mailbox.skipped.get(self.number, 0)

    def control(self, change: Control) -> None:
        if self.kind != "recording" and (change.seek is not None or change.play is not None):
            raise ValueError(f"{self.label} is live: only a recording can pause or seek")
        if change.seek is not None and not 0 <= change.seek < (self.length or 0):
            raise ValueError(f"no frame {change.seek}: {self.label} has {self.length}")
        if change.speed is not None and not SPEEDS[0] <= change.speed <= SPEEDS[1]:
            raise ValueError(f"speed {change.speed} outside {SPEEDS[0]} to {SPEEDS[1]}")
        self._controls.put(change)

    def zone(self, row: int, column: int) -> dict[str, Any]:
        """The latest frame's values and histograms of one zone."""
        latest = self.latest
        if latest is None:
            raise LookupError(f"{self.label} has delivered no frame yet")
        f = latest.frame
        rows, columns = f.depth.shape[1:]
        if not (0 <= row < rows and 0 <= column < columns):
            raise ValueError(f"no zone ({row}, {column}): the grid is {rows} x {columns}")
        histograms = f.histogram[:, row, column] if f.dual else f.histogram[np.newaxis, row, column]
        noise = f.noise[:, row, column] if f.dual else f.noise[np.newaxis, row, column]
        return {"source": self.number, "index": latest.meta["index"],
                "frame_id": f.frame_id, "row": row, "column": column,
                "depth": f.depth[:, row, column].tolist(),
                "peak_height": f.peak_height[:, row, column].tolist(),
                "peak_status": f.peak_status[:, row, column].tolist(),
                "noise": noise.tolist(), "histogram": histograms.tolist(),
                "peaks": [_peaks(h, f.echoes) for h in histograms]}

    # -- the loop -------------------------------------------------------------------------------

    def start(self) -> None:
        self.device.start()
        self._thread.start()

    def stop(self, timeout: float = 5.0) -> None:
        self._stop.set()
        self._controls.put(Control())
        if self._thread.is_alive():
            self._thread.join(timeout)
        with self._lock:
            for mailbox in self._mailboxes:
                self.skipped += mailbox.skipped.get(self.number, 0)
        self.device.close()

    def _apply(self, change: Control) -> None:
        if change.loop is not None:
            self.loop = change.loop
        if change.speed is not None:
            self.speed = change.speed
        if change.play is not None:
            self.playing = change.play
            if change.play and self.replayer.finished:
                self.replayer.seek(0)
        if change.seek is not None:
            self.replayer.seek(change.seek)
            self._step = True
        self._origin = None
        self._arrivals.clear()  # the rate of frames since the change, not across a pause

    def _run(self) -> None:
        while not self._stop.is_set():
            try:
                wait = None if self.playing or self._step else 0.5
                change = self._controls.get(timeout=wait) if wait else self._controls.get_nowait()
                self._apply(change)
                continue
            except queue.Empty:
                pass
            if not (self.playing or self._step):
                continue
            try:
                frame = next(iter(self.device.frames(1)), None)
            except (TessaroError, OSError) as error:
                self.error = " ".join(str(error).split())
                self._stop.wait(0.2)
                continue
            if frame is None:  # the end of a recording
                if self.loop and self.length:
                    self.replayer.seek(0)
                else:
                    self.playing = False
                self._origin = None
                continue
            self.error = None
            self._step = False
            if self.kind != "camera":
                self._pace(frame)
            self._publish(frame, paced=self.kind != "camera")

    def _pace(self, frame: tessaro.Frame) -> None:
        """Sleeps until `frame` is due: the synthetic sensor and a replay deliver as fast as
        they are asked, a camera as the sensor runs. A replay keeps the recorded times, the
        synthetic sensor its own clock (the offline camera stamps capture when asked)."""
        if self.replayer is not None:
            at = self.replayer.recording.log_time(self.replayer.position - 1) / 1e9
        elif frame.sensor_timestamp is not None:
            at = frame.sensor_timestamp / 1e6
        else:
            at = frame.index * NOMINAL_PERIOD
        now = time.monotonic()
        if self._origin is not None:
            due = self._origin[0] + (at - self._origin[1]) / self.speed
            if 0 <= due - now < 2.0:
                self._stop.wait(due - now)
                return
            if -0.25 < due - now < 0:
                return  # late, but not so late that the pace should start again
        self._origin = (now, at)

    def _publish(self, frame: tessaro.Frame, paced: bool) -> None:
        now = time.monotonic()
        # A seek starts the replay's camera again, so a jump's gap never counts as a loss.
        self.dropped += frame.dropped
        self._arrivals.append(now)
        span = self._arrivals[-1] - self._arrivals[0]
        rate = (len(self._arrivals) - 1) / span if span > 0 else None
        d = self.device
        position = self.replayer.position - 1 if self.replayer is not None else frame.index
        meta = {"source": self.number, "index": position, "frame_id": frame.frame_id,
                "capture_time_ns": frame.capture_time_ns,
                "sensor_timestamp": frame.sensor_timestamp,
                # delivery on the wall clock, so that a browser on this host can time its draw;
                # a paced frame counts as delivered when it is due
                "delivered_ms": (time.time() - (0 if paced else now - frame.host_time)) * 1000,
                "dropped": frame.dropped, "dropped_total": self.dropped,
                "failed": d.frames_failed, "temperature": self._temperature(),
                "rate": rate, "playing": self.playing, "loop": self.loop, "speed": self.speed,
                "length": self.length, "echoes": frame.echoes, "dual": frame.dual}
        payload = encode(meta, frame)
        meta["payload"] = payload
        with self._lock:
            self.latest = Latest(frame, meta)
            mailboxes: Iterable[Mailbox] = tuple(self._mailboxes)
        for mailbox in mailboxes:
            mailbox.offer(self.number, payload)

    def _temperature(self) -> float | None:
        """The sensor's temperature from the embedded data, None where the stream has none."""
        try:
            info = self.device.camera.get_sensor_info()
            value = info["temperature"] if isinstance(info, dict) else info.temperature
        except (AttributeError, KeyError, TypeError):
            return None
        return float(value) if value else None
