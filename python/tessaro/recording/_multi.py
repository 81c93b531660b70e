"""Recording several cameras into one file, each on its own channels (see `_cameras`)."""

from __future__ import annotations

import functools
import json
import os
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from tessaro.errors import RecordingError
from tessaro.recording._background import BackgroundWriter
from tessaro.recording import _ros2 as messages
from tessaro.recording._cameras import (CAMERAS_RECORD, PER_CAMERA, segments,
                                        topic_of)
from tessaro.recording._clock import realtime_offset_ns
from tessaro.recording._format import CAMERA_MODEL_RECORD, RECORDER_RECORD, metadata_records
from tessaro.recording._writer import (FAILURES_IN_A_ROW, CameraMessages, McapFile, _Output,
                                       _deferred_interrupt, _write_error)

if TYPE_CHECKING:
    import pelorin

@dataclass
class Member:
    """A started camera to record: its id, the output configuration it was given, the time of
    the frame it delivered last (ns) and whether its source has ended."""
    name: str
    camera: pelorin.camera
    outputs: pelorin.camera_output_configuration | None
    frame_time: Callable[[pelorin.frame_buffer], int]
    ended: Callable[[], bool] = lambda: False
    replaying: Path | None = None
    epoch_times: bool = False
    """Its `frame_time` is already on the Unix epoch (a replayed recording's log times), not on
    the host's monotonic clock."""
    frame_id: str | None = None
    """Its frame in the ROS messages; by default `<segment>_optical_frame`."""


@dataclass
class GroupRecordSummary:
    """What `record_group` did, per camera id."""
    path: Path
    frames_written: dict[str, int]
    frames_failed: dict[str, int]
    interrupted: bool
    stopped: list[str] = field(default_factory=list)
    """Cameras that failed FAILURES_IN_A_ROW frames running and were recorded no further."""
    frames_dropped: dict[str, int] = field(default_factory=dict)
    """Frames taken from each camera but not written because the disk was behind."""


class _Channels:
    """One camera's channels in the file, and the next log time it may write."""

    def __init__(self, member: Member, segment: str, info: dict[str, Any], offset_ns: int
                 ) -> None:
        mode = info["supported_modes"][f"{info['mode']:x}"]
        self.member, self.segment = member, segment
        self.raw_size = int(mode["raw_size_image"])
        self.frame_id = messages.check_frame_id(member.frame_id) if member.frame_id \
            else messages.optical_frame_id(segment)
        # The cameras of one host share the wall clock's offset, so that their log times line
        # up; a replayed recording's times are on the epoch already.
        self.offset_ns = 0 if member.epoch_times else offset_ns
        self.anchors: dict[str, str] | None = None
        self.written = self.taken = self.failed = 0
        self.last: int | None = None
        self.interval: int | None = None
        self.failures_in_a_row = 0

    def log_time(self, time_ns: int) -> int:
        """The epoch log time of a frame at `time_ns` (monotonic), later than the one before."""
        time_ns += self.offset_ns
        if self.last is not None:
            step = time_ns - self.last
            if step > 0 and (self.interval is None or step < self.interval):
                self.interval = step
            time_ns = max(time_ns, self.last + 1)
        self.last = time_ns
        return time_ns

    def due(self) -> float:
        """When its next frame is expected: the cameras are read in that order."""
        if self.last is None or self.interval is None:
            return float("-inf")
        return float(self.last + self.interval)


class _GroupWriter:
    def __init__(self, file: Any, channels: list[_Channels], infos: list[dict[str, Any]],
                 ros2: bool) -> None:
        self._file = file
        mcap = McapFile(file, min(c.raw_size for c in channels), ros2)
        self._writer = mcap.writer
        self._messages = {id(chan): CameraMessages(
            mcap, info, chan.member.outputs, chan.frame_id,
            functools.partial(topic_of, segment=chan.segment),
            f"{CAMERA_MODEL_RECORD}/{chan.segment}") for chan, info in zip(channels, infos)}
        self._all, self._infos = channels, infos
        self._metadata_written = False
        ids = [c.member.name for c in channels]
        self._writer.add_metadata(CAMERAS_RECORD, {"ids": json.dumps(ids),
                                                   "segments": json.dumps(segments(ids))})

    def _write_metadata(self) -> None:
        """The metadata, written once every camera has its first frame (or at the end): the
        clock anchors are those of each camera's first frame, the file's own record takes the
        first camera's."""
        if self._metadata_written:
            return
        self._metadata_written = True
        for index, (chan, info) in enumerate(zip(self._all, self._infos)):
            times = chan.anchors or {"realtime_offset_ns": str(chan.offset_ns),
                                     "monotonic_anchor_ns": "", "sensor_anchor": ""}
            for name, record in metadata_records(info, chan.member.outputs, times,
                                                 chan.frame_id).items():
                if name in PER_CAMERA:
                    self._writer.add_metadata(f"{name}/{chan.segment}", record)
                elif index == 0:
                    self._writer.add_metadata(name, record)

    def write(self, chan: _Channels, frame: Any, image: bytes, ebd: bytes | None,
              log_time: int) -> None:
        """One camera's frame, on the writer thread: `frame` is the copy the capture queued."""
        if chan.anchors is None:
            chan.anchors = {"realtime_offset_ns": str(chan.offset_ns),
                            "monotonic_anchor_ns": str(log_time - chan.offset_ns),
                            "sensor_anchor": str(int(frame.sensor_timestamp)) if ebd else ""}
        self._messages[id(chan)].write(chan.written, frame, image, ebd, log_time)
        chan.written += 1
        if not self._metadata_written and all(c.anchors is not None for c in self._all):
            self._write_metadata()
        self._file.flush()

    def finish(self) -> None:
        self._write_metadata()
        for chan in self._all:
            self._writer.add_metadata(f"{RECORDER_RECORD}/{chan.segment}", {
                "frames_written": str(chan.written),
                "frames_dropped": str(chan.taken - chan.written),
                "frames_failed": str(chan.failed)})
        self._writer.finish()  # type: ignore[no-untyped-call]


class _ChannelSink:
    """One camera's frames as the writer thread hands them over."""

    def __init__(self, writer: _GroupWriter, chan: _Channels) -> None:
        self._writer, self._chan = writer, chan

    def write_metadata(self, times: dict[str, str]) -> None:
        pass  # the group's writer writes it once every camera has a first frame

    def write_frame(self, index: int, frame: Any, image: bytes, ebd: bytes | None,
                    log_time: int) -> None:
        self._writer.write(self._chan, frame, image, ebd, log_time)


def record_group(members: Sequence[Member], path: str | os.PathLike[str], *,
                 frames: int | None = None, duration: float | None = None, ros2: bool = False,
                 timeout_ms: int = 1000, progress: Callable[[int], None] | None = None,
                 overwrite: bool = False) -> GroupRecordSummary:
    """Records several started cameras into one MCAP file, each on its own channels, until each
    has written `frames` frames, `duration` seconds have passed, every source has ended or
    failed FAILURES_IN_A_ROW times running, or Ctrl-C / SIGTERM.

    A frame's log time is its `frame_time`, made later than its camera's previous one: for the
    cameras of one host, the capture time on the monotonic clock, so that log times line up
    across cameras. The camera whose next frame is due first is read next. Otherwise as
    `tessaro.recording.record`: failed frames counted, not written; the file written under a
    temporary name and put in place when done; compressing and writing on a thread of their
    own, a frame that finds the queue full dropped and counted (a replay waits instead);
    `progress` called with the frames taken in all."""
    if len(members) < 2:
        raise ValueError("record_group records two cameras or more; `record` records one")
    infos = [m.camera.get_camera_info() for m in members]
    for member, info in zip(members, infos):
        if info["status"] != "streaming":
            raise RecordingError(path, f"cannot record: camera '{member.name}' is not streaming")
    names = segments([m.name for m in members])
    offset = realtime_offset_ns()
    channels = [_Channels(m, s, i, offset) for m, s, i in zip(members, names, infos)]
    summary = GroupRecordSummary(Path(path), {m.name: 0 for m in members},
                                 {m.name: 0 for m in members}, False)
    replaying = next((m.replaying for m in members if m.replaying is not None), None)
    output = _Output(summary.path, overwrite, replaying)
    deadline = None if duration is None else time.monotonic() + duration
    active = list(channels)
    failed: BaseException | None = None
    unwritten: OSError | None = None
    written = taken = 0
    with _deferred_interrupt() as interrupt:
        try:
            writer = _GroupWriter(output.file, channels, infos, ros2)
            sinks = {id(chan): _ChannelSink(writer, chan) for chan in channels}
            background = BackgroundWriter(sinks[id(channels[0])],
                                          max(chan.raw_size for chan in channels),
                                          wait=replaying is not None)
            try:
                while active and not interrupt.requested and background.error is None and \
                        (deadline is None or time.monotonic() < deadline):
                    chan = min(active, key=_Channels.due)
                    member = chan.member
                    if member.ended() or (frames is not None and chan.taken >= frames):
                        active.remove(chan)
                        continue
                    frame = member.camera.get_frame(timeout_ms)
                    if frame.error != 0:
                        summary.frames_failed[member.name] += 1
                        chan.failed += 1
                        chan.failures_in_a_row += 1
                        if chan.failures_in_a_row >= FAILURES_IN_A_ROW:
                            summary.stopped.append(member.name)
                            active.remove(chan)
                        continue
                    chan.failures_in_a_row = 0
                    log_time = chan.log_time(member.frame_time(frame))
                    # A failed embedded-data read leaves the previous frame's bytes in place.
                    background.offer(frame, frame.has_sensor_time, ros2, log_time, {},
                                     sinks[id(chan)])
                    chan.taken += 1
                    taken += 1
                    if progress is not None:
                        progress(taken)
            except KeyboardInterrupt:
                interrupt.requested = True
            except BaseException as error:
                failed = error
            background.stop()
            written = sum(chan.written for chan in channels)
            for chan in channels:
                summary.frames_written[chan.member.name] = chan.written
                summary.frames_dropped[chan.member.name] = chan.taken - chan.written
            if isinstance(background.error, OSError):
                unwritten = background.error
            elif background.error is not None:
                failed = failed or background.error
            try:
                writer.finish()
            except OSError as error:
                unwritten = unwritten or error
        except OSError as error:
            unwritten = error
        finally:
            kept = output.close(failed is not None or unwritten is not None)
    summary.interrupted = interrupt.requested
    if unwritten is not None:
        raise _write_error(summary.path, unwritten, written, kept) from unwritten
    if failed is not None:
        raise failed
    return summary
