"""Recording frames from a started camera into an MCAP file."""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import signal
import stat
import threading
import time
from dataclasses import dataclass
from pathlib import Path
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, Callable, Iterator

from mcap.records import Schema
from mcap.writer import CompressionType
from mcap_ros2.writer import Writer

from tessaro.recording import _ros2 as messages
from tessaro.recording._background import BackgroundWriter
from tessaro.errors import ConfigurationError, RecordingError
from tessaro.recording._camera_model import PinholeModel, fit_pinhole
from tessaro.recording._clock import LogClock
from tessaro.recording._format import (CAMERA_INFO_TOPIC, CAMERA_MODEL_RECORD, EBD_TOPIC,
                                       DEPTH_TOPIC, IMAGE_TOPIC, POINTS_TOPIC, RECORDER_RECORD,
                                       metadata_records)
from tessaro.recording._replay import Replayer

if TYPE_CHECKING:
    import pelorin

# A source that keeps failing (a finished offline camera, a sensor that stopped) ends a
# recording instead of holding it open for ever.
FAILURES_IN_A_ROW = 10
# LZ4 is the only codec fast enough to keep the writer far ahead of the sensor on a slow core
# (`bench/recorder.py` prints the table); zstd saves a quarter of the size at twice the time
# and more. Recordings in any codec that MCAP names still read.
COMPRESSION = CompressionType.LZ4
# What a ROS 2 recorder writes for a publisher's offered QoS (rosbag2's YAML, rmw's enum values):
# reliable, keep-last 10, volatile, automatic liveliness, durations left to the middleware.
OFFERED_QOS_PROFILES = """\
- history: 1
  depth: 10
  reliability: 1
  durability: 2
  deadline:
    sec: 0
    nsec: 0
  lifespan:
    sec: 0
    nsec: 0
  liveliness: 1
  liveliness_lease_duration:
    sec: 0
    nsec: 0
  avoid_ros_namespace_conventions: false
"""


@dataclass
class RecordSummary:
    """What `record` did."""
    path: Path
    frames_written: int
    frames_failed: int
    interrupted: bool
    frames_dropped: int = 0   # taken from the camera while the disk was behind: not written


class _Interrupt:
    """Turns the first Ctrl-C (or SIGTERM, as a service manager stops a recorder) into a request
    to stop after the current frame, so that it never lands inside the MCAP writer; a second one
    interrupts at once."""

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
    previous = {number: signal.signal(number, interrupt)
                for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        yield interrupt
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


class McapFile:
    """An MCAP writer with the recording's message types registered. The image goes last into
    a frame's chunk; being larger than the chunk size (the smallest camera's image, less a
    byte), it closes the chunk, so a frame's messages share one chunk and are damaged or intact
    together."""

    def __init__(self, file: IO[bytes], smallest_image: int, ros2: bool) -> None:
        self.writer = Writer(file, chunk_size=smallest_image - 1, compression=COMPRESSION)
        register = self.writer.register_msgdef
        self.raw = register(messages.RAW_FRAME_TYPE, messages.RAW_FRAME_DEFINITION)
        self.ros2 = ros2
        if ros2:
            self.image = register(messages.IMAGE_TYPE, messages.IMAGE_DEFINITION)
            self.cloud = register(messages.POINT_CLOUD_TYPE, messages.POINT_CLOUD_DEFINITION)
            self.camera_info = register(messages.CAMERA_INFO_TYPE,
                                        messages.CAMERA_INFO_DEFINITION)
        # mcap-ros2 registers a channel without metadata at its first message; the ros2 profile
        # wants each channel's offered QoS, so the channels are registered here first.
        self._channels: dict[str, int] = self.writer._channel_ids

    def write(self, topic: str, schema: Schema, message: dict[str, Any] | None, log_time: int,
              sequence: int) -> None:
        if message is None:
            return
        if topic not in self._channels:
            self._channels[topic] = self.writer._writer.register_channel(
                topic=topic, message_encoding="cdr", schema_id=schema.id,
                metadata={"offered_qos_profiles": OFFERED_QOS_PROFILES})
        self.writer.write_message(topic, schema, message, log_time=log_time,
                                  publish_time=log_time, sequence=sequence)


class CameraMessages:
    """One camera's messages in a recording: its raw frames, and with ros2 its depth image,
    point cloud and camera model. `topic` maps the one-camera topics to the file's;
    `model_record` is where the model's metadata goes, once it is fitted."""

    def __init__(self, mcap: McapFile, info: dict[str, Any],
                 outputs: pelorin.camera_output_configuration | None, frame_id: str,
                 topic: Callable[[str], str] = lambda name: name,
                 model_record: str = CAMERA_MODEL_RECORD) -> None:
        mode = info["supported_modes"][f"{info['mode']:x}"]
        self._mcap, self._outputs, self.frame_id = mcap, outputs, frame_id
        self._size = (mode["sensor_width"], mode["sensor_height"])
        self._topics = {name: topic(name) for name in (IMAGE_TOPIC, EBD_TOPIC, DEPTH_TOPIC,
                                                         POINTS_TOPIC, CAMERA_INFO_TOPIC)}
        self._model_record = model_record
        self._model: PinholeModel | None = None

    def write(self, index: int, frame: Any, image: bytes, ebd: bytes | None,
              log_time: int) -> None:
        """Frame `index`: `frame` is the frame or the copy the capture queued of it."""
        mcap = self._mcap

        def write(topic: str, schema: Schema, message: dict[str, Any] | None) -> None:
            mcap.write(self._topics[topic], schema, message, log_time, index)

        def raw(data: bytes) -> dict[str, Any]:
            return messages.raw_frame(frame, data, ebd is not None, log_time, self.frame_id)

        if ebd:
            write(EBD_TOPIC, mcap.raw, raw(ebd))
        if mcap.ros2:
            write(DEPTH_TOPIC, mcap.image, messages.depth_image(
                frame, *self._size, log_time, self._outputs, self.frame_id))
            cloud = messages.point_cloud(frame, *self._size, log_time, self._outputs,
                                         self.frame_id)
            write(POINTS_TOPIC, mcap.cloud, cloud)
            if self._model is None and cloud is not None:
                self._model = fit_pinhole(frame.point_cloud[0], *self._size)
                if self._model is not None:
                    mcap.writer.add_metadata(self._model_record, self._model.metadata(index))
            if self._model is not None:
                write(CAMERA_INFO_TOPIC, mcap.camera_info,
                      self._model.camera_info(log_time, self.frame_id))
        write(IMAGE_TOPIC, mcap.raw, raw(image))


class _FrameWriter:
    """The MCAP side of `record`: one chunk per frame, written to disk as soon as it is whole,
    so that a recording that stops abruptly keeps every frame before the last."""

    def __init__(self, file: IO[bytes], info: dict[str, Any],
                 outputs: pelorin.camera_output_configuration | None, ros2: bool,
                 frame_id: str = messages.DEFAULT_FRAME_ID) -> None:
        mode = info["supported_modes"][f"{info['mode']:x}"]
        self._file = file
        self._info, self._outputs = info, outputs
        self._frame_id = frame_id
        self._mcap = McapFile(file, mode["raw_size_image"], ros2)
        self._writer = self._mcap.writer
        self._camera = CameraMessages(self._mcap, info, outputs, frame_id)
        self._metadata_written = False

    def write_metadata(self, times: dict[str, str]) -> None:
        if not self._metadata_written:
            for name, record in metadata_records(self._info, self._outputs, times,
                                                 self._frame_id).items():
                self._writer.add_metadata(name, record)
            self._metadata_written = True

    def write_frame(self, index: int, frame: Any, image: bytes, ebd: bytes | None,
                    log_time: int) -> None:
        self._camera.write(index, frame, image, ebd, log_time)
        self._file.flush()

    def finish(self, times: dict[str, str], counts: dict[str, str]) -> None:
        self.write_metadata(times)
        self._writer.add_metadata(RECORDER_RECORD, counts)
        self._writer.finish()  # type: ignore[no-untyped-call]  # mcap-ros2 leaves it untyped


class _Output:
    """The file a recording goes to: written under a temporary name in the same folder and
    renamed to `path` once finished, so that a recording that fails or is killed never leaves
    half a file in place of an earlier one."""

    def __init__(self, path: Path, overwrite: bool, replaying: Path | None) -> None:
        self.path = path
        try:
            found = os.stat(path)
        except FileNotFoundError:
            found = None
        except OSError as error:
            raise RecordingError(path, f"cannot create the file: {error.strerror}") from error
        if found is not None:
            if replaying is not None and _same_file(found, replaying):
                raise RecordingError(path, "cannot record onto the recording being replayed "
                                     "(it is the source of the frames)")
            if stat.S_ISDIR(found.st_mode):
                raise RecordingError(path, "is a folder: give the recording's file name")
            if not overwrite:
                raise RecordingError(path, "the file exists: give overwrite=True (--force) "
                                     "to replace it")
        self.existed = found is not None
        self.temporary = path.with_name(f".{path.name}.{secrets.token_hex(4)}.part")
        try:
            fd = os.open(self.temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC,
                         0o666)
        except OSError as error:
            raise RecordingError(path, f"cannot create the file: {error.strerror}") from error
        self.file = os.fdopen(fd, "wb")

    def close(self, failed: bool) -> bool:
        """Closes the file and puts it in place, unless the recording failed and an earlier
        file is there to keep; returns whether it is in place."""
        try:
            self.file.flush()
            os.fsync(self.file.fileno())
        except OSError:
            if not failed:
                raise
        finally:
            with contextlib.suppress(OSError):
                self.file.close()
        if failed and self.existed:
            os.unlink(self.temporary)
            return False
        os.replace(self.temporary, self.path)
        return True


def _same_file(found: os.stat_result, other: Path) -> bool:
    try:
        theirs = os.stat(other)
    except OSError:
        return False
    return (found.st_dev, found.st_ino) == (theirs.st_dev, theirs.st_ino)


def _write_error(path: Path, error: OSError, written: int, kept: bool) -> RecordingError:
    why = "the disk is full" if error.errno in (errno.ENOSPC, errno.EDQUOT) else \
        (error.strerror or str(error))
    if kept:
        return RecordingError(path, f"cannot write frame {written}: {why}; the recording ends "
                              f"with the {written} frames written before it")
    return RecordingError(path, f"cannot write frame {written}: {why}; the recording is "
                          "abandoned and the earlier file left as it was")


def record(camera: pelorin.camera | Replayer, path: str | os.PathLike[str], *,
           frames: int | None = None, duration: float | None = None,
           outputs: pelorin.camera_output_configuration | None = None, ros2: bool = False,
           timeout_ms: int = 1000, progress: Callable[[int], None] | None = None,
           ended: Callable[[], bool] | None = None, overwrite: bool = False,
           frame_id: str = messages.DEFAULT_FRAME_ID) -> RecordSummary:
    """Records frames from a started camera into an MCAP file until `frames` frames are taken,
    `duration` seconds have passed, the source has ended, the camera fails FAILURES_IN_A_ROW
    times running, Ctrl-C or SIGTERM.

    `camera` is a pelorin camera or a started Replayer, whose end (`finished`) ends the
    recording; `ended` tells the same of another source (a `tessaro.Device` passes its own).
    A Replayer's own file is never recorded onto.

    `outputs` is the output configuration the camera was given (the camera has no getter for
    it); it goes into the metadata, and decides what `ros2` writes. Failed frames (error != 0)
    are counted, not written. Frames are compressed and written on a thread of the recorder's
    own: a frame that finds the queue before it full (the disk is behind) is dropped and counted
    in `frames_dropped` and in the file's metadata; a Replayer's frames wait for the disk
    instead. An existing file at `path` is replaced only with `overwrite`.
    The recording is written beside `path` under a temporary name and takes its place when
    done: a finished MCAP file however the recording ends, an exception included, except that
    a failed recording leaves an earlier file in place. A file that cannot be written (a full
    disk) raises RecordingError naming the frames kept.
    `progress` is called after each frame taken (queued or dropped) with the number so far.
    Log times and header stamps count nanoseconds since the Unix epoch (see `LogClock`);
    `frame_id` names the camera's frame in the ROS messages.
    """
    replaying = None
    if isinstance(camera, Replayer):
        replayer = camera
        replaying = replayer.recording.path
        # A damaged recording does not end: its camera raises the damage, which is the news.
        ended = ended or (lambda: replayer.finished and replayer.recording.damage is None)
        camera = replayer.camera
    if ros2 and outputs is not None and not any(
            getattr(outputs, flag) for flag in messages.ROS2_OUTPUT_FLAGS):
        raise ConfigurationError("ros2 writes depth images and point clouds, but the outputs "
                                 "compute neither: enable depth, cartesian_depth or points")
    messages.check_frame_id(frame_id)
    info = camera.get_camera_info()
    if info["status"] != "streaming":
        raise RecordingError(path, "cannot record: the camera is not streaming")
    summary = RecordSummary(Path(path), 0, 0, False)
    output = _Output(summary.path, overwrite, replaying)
    deadline = None if duration is None else time.monotonic() + duration
    clock = LogClock()
    failures_in_a_row = taken = 0
    failed: BaseException | None = None
    image_bytes = info["supported_modes"][f"{info['mode']:x}"]["raw_size_image"]
    unwritten: OSError | None = None
    with _deferred_interrupt() as interrupt:
        try:
            writer = _FrameWriter(output.file, info, outputs, ros2, frame_id)
            background = BackgroundWriter(writer, image_bytes, wait=replaying is not None)
            try:
                while (frames is None or taken < frames) and \
                        (deadline is None or time.monotonic() < deadline):
                    if background.error is not None or (ended is not None and ended()):
                        break
                    frame = camera.get_frame(timeout_ms)
                    if frame.error != 0:
                        summary.frames_failed += 1
                        failures_in_a_row += 1
                        if failures_in_a_row >= FAILURES_IN_A_ROW or interrupt.requested:
                            break
                        continue
                    failures_in_a_row = 0
                    log_time = clock.log_time(frame)
                    # A failed embedded-data read leaves the previous frame's bytes in place.
                    background.offer(frame, frame.has_sensor_time, ros2, log_time,
                                     clock.metadata())
                    taken += 1
                    if progress is not None:
                        progress(taken)
                    if interrupt.requested:
                        break
            except KeyboardInterrupt:
                interrupt.requested = True
            except BaseException as error:  # the source's, raised again once the file is done
                failed = error
            background.stop()
            summary.frames_written, summary.frames_dropped = background.written, \
                background.dropped
            if isinstance(background.error, OSError):
                unwritten = background.error
            elif background.error is not None:
                failed = failed or background.error
            # The summary and the footer, after any failure too: the frames written stay readable.
            try:
                writer.finish(clock.metadata(), {
                    "frames_written": str(summary.frames_written),
                    "frames_dropped": str(summary.frames_dropped),
                    "frames_failed": str(summary.frames_failed)})
            except OSError as error:
                unwritten = unwritten or error
        except OSError as error:  # the file's header
            unwritten = error
        finally:
            kept = output.close(failed is not None or unwritten is not None)
    summary.interrupted = interrupt.requested
    if unwritten is not None:
        raise _write_error(summary.path, unwritten, summary.frames_written, kept) from unwritten
    if failed is not None:
        raise failed
    return summary
