"""Reading a recording frame by frame, damaged and crafted files included.

The reader walks the MCAP records itself instead of through the `mcap` package's readers, so
that it can bound everything a file declares before acting on it: a record's length and a
chunk's uncompressed size are checked against what a recording can hold before anything is
read or decompressed, and a zero where a record starts (a crash's zero tail, a sparse hole)
ends the walk at once instead of being read as a run of empty records. Reads go by offset
(`os.pread`), so threads reading one recording never move each other's position.
"""

from __future__ import annotations

import errno
import io
import os
import stat
import struct
import threading
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import lz4.frame
import zstandard
from mcap.data_stream import ReadDataStream
from mcap.opcode import Opcode
from mcap.records import (Channel, Chunk, ChunkIndex, McapRecord, Message, Metadata,
                          MetadataIndex, Schema, Statistics)
from mcap.well_known import MessageEncoding, SchemaEncoding
from mcap_ros2.decoder import DecoderFactory

from tessaro.recording import _ros2 as messages
from tessaro.errors import RecordingError
from tessaro.recording._format import (EBD_TOPIC, EPOCH_CLOCK, HOST_CLOCK, IMAGE_TOPIC,
                                       record_limit, recorded_settings)
from tessaro.recording._cameras import CAMERAS_RECORD, choose

_MAGIC = b"\x89MCAP0\r\n"
_RECORD = struct.Struct("<BQ")  # a record's opcode and body length
# The footer record: opcode, length, summary start, summary offset start, summary CRC.
_FOOTER = struct.Struct("<BQQQI")
_TRUNCATED = "the file ends early (truncated)"
_NOT_A_FILE = {stat.S_IFDIR: "is a directory", stat.S_IFIFO: "is a FIFO, not a file",
               stat.S_IFSOCK: "is a socket, not a file",
               stat.S_IFCHR: "is a character device, not a file",
               stat.S_IFBLK: "is a block device, not a file"}


class _Damage(Exception):
    """What is wrong with the file at offset `position`."""

    def __init__(self, what: str, position: int) -> None:
        super().__init__(what)
        self.what, self.position = what, position


@dataclass(frozen=True, slots=True)
class FrameClocks:
    """Every clock a recorded frame was seen by, None where unknown: the log time (on the clock
    that `Recording.clock` names), the capture time on the recording host's monotonic clock in
    nanoseconds, the sensor's unwrapped timestamp and frame index, and the stream's sequence.
    Files of format version 1 know only the log time, which is the capture time in a
    `host_monotonic` one."""
    log_time_ns: int
    capture_time_ns: int | None
    sensor_timestamp: int | None
    frame_index: int | None
    sequence: int | None


@dataclass(slots=True)
class _Frame:
    log_time: int
    chunk: int     # file offset of the chunk that holds the frame's messages
    ebd: bool


def _open(path: Path) -> int:
    # Without O_NONBLOCK, opening a FIFO would wait for a writer.
    try:
        fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NONBLOCK)
    except OSError as error:
        what = "is a symbolic link loop" if error.errno == errno.ELOOP else \
            f"cannot open: {error.strerror}"
        raise RecordingError(path, what) from error
    kind = stat.S_IFMT(os.fstat(fd).st_mode)
    if kind != stat.S_IFREG:
        os.close(fd)
        raise RecordingError(path, _NOT_A_FILE.get(kind, "is not a regular file"))
    return fd


def _parse(kind: Any, body: bytes) -> Any:
    stream = ReadDataStream(io.BytesIO(body))
    return kind.read(stream, len(body)) if kind is Message else kind.read(stream)


def _decompress(compression: str, data: bytes, size: int) -> bytes:
    """A chunk's data uncompressed, never more than one byte beyond its declared `size`: the
    sizes in a compressed stream's own header are not trusted either."""
    if compression == "":
        return data
    if compression == "lz4":
        return bytes(lz4.frame.LZ4FrameDecompressor().decompress(data, max_length=size + 1))
    if compression != "zstd":
        raise ValueError(f"unknown compression {compression!r}")
    parts, left = [], size + 1
    with zstandard.ZstdDecompressor().stream_reader(data) as reader:
        while left > 0 and (part := reader.read(left)):
            parts.append(part)
            left -= len(part)
    return b"".join(parts)


def _fields(definition: str) -> list[str]:
    lines = (line.split("#", 1)[0].split() for line in definition.splitlines())
    return [" ".join(words) for words in lines if words]


class Recording:
    """A recording opened for reading, frame by frame.

    Opening reads the file's summary (its chunk index: one chunk per frame) and no frame data,
    so it is quick and holds one frame at a time whatever the file's length. A file without a
    usable summary (a truncated one) is read once from the start instead, checking every chunk.
    The frames before any damage read normally; `damage` holds the error that any access to a
    later frame raises, and `damage_offset` the file offset where the damage starts. Damage
    that the summary cannot show (a corrupt chunk in a finished file) is found when its frame
    is read: from then on `damage` is set and `len` counts the frames before it. A file that is
    not a recording, whose metadata is malformed or whose mode the library does not know,
    raises RecordingError at once. Several threads may read one recording at the same time.

    A recording of several cameras is read one camera at a time: `camera` names it (None
    chooses the only one, and is refused, naming them, where there are several; "*" the
    first); `cameras`
    lists them, and `metadata` is the chosen camera's, laid out as in a one-camera recording.
    """

    def __init__(self, path: str | os.PathLike[str], camera: str | None = None) -> None:
        self.path = Path(path)
        self._wanted = camera
        self._image_topic, self._ebd_topic = IMAGE_TOPIC, EBD_TOPIC
        self.camera: str | None = None
        """The id of the camera read, where the file names it."""
        self.cameras: tuple[str, ...] = ()
        """The ids of the cameras the file holds."""
        self.metadata: dict[str, dict[str, str]] = {}
        self.damage: RecordingError | None = None
        self.damage_offset: int | None = None
        self._frames: list[_Frame] = []
        self._schemas: dict[int, Schema] = {}
        self._channels: dict[int, Channel] = {}
        self._decoders = DecoderFactory()
        self._cached: tuple[int, dict[tuple[str | None, int], Message]] | None = None
        self._lock = threading.Lock()
        self._limit = record_limit()
        self._fd = _open(self.path)
        try:
            self._size = os.fstat(self._fd).st_size
            if self._read(0, len(_MAGIC)) != _MAGIC:
                raise RecordingError(self.path, "not a readable recording: not an MCAP file")
            if not self._index_from_summary():
                self._scan()
            self._check()
        except MemoryError as error:  # not the file's fault: no damage to report
            self.close()
            raise RecordingError(self.path, "not enough memory to read it") from error
        except BaseException:
            self.close()
            raise

    def _read(self, offset: int, size: int) -> bytes:
        """Up to `size` bytes at `offset`: fewer only at the end of the file."""
        parts, got = [], 0
        while got < size and (part := os.pread(self._fd, size - got, offset + got)):
            parts.append(part)
            got += len(part)
        return b"".join(parts)

    def _head(self, offset: int) -> tuple[int, int]:
        """The opcode and body length of the record at `offset`."""
        head = self._read(offset, _RECORD.size)
        if len(head) < _RECORD.size:
            raise _Damage(_TRUNCATED, offset)
        if head == bytes(_RECORD.size):  # no record starts with a zero
            raise _Damage(f"the file ends early (zero-filled from byte {offset})", offset)
        opcode, length = _RECORD.unpack(head)
        if opcode == 0:
            raise _Damage(f"corrupt data at byte {offset} (no record starts there)", offset)
        return opcode, length

    def _body(self, offset: int, length: int) -> bytes:
        if length > self._limit:
            raise _Damage(f"corrupt data at byte {offset} (a record of {length} bytes, more "
                          f"than a recording holds)", offset)
        body = self._read(offset + _RECORD.size, length)
        if len(body) < length:
            raise _Damage(_TRUNCATED, offset)
        return body

    def _record(self, offset: int) -> tuple[int, bytes]:
        opcode, length = self._head(offset)
        return opcode, self._body(offset, length)

    def _chunk_records(self, offset: int, body: bytes) -> list[McapRecord]:
        """The schemas, channels and messages of the chunk record at `offset`."""
        chunk = _parse(Chunk, body)
        if chunk.uncompressed_size > self._limit:
            raise _Damage(f"corrupt data at byte {offset} (a chunk of "
                          f"{chunk.uncompressed_size} bytes, more than a recording holds)",
                          offset)
        data = _decompress(chunk.compression, chunk.data, chunk.uncompressed_size)
        if len(data) != chunk.uncompressed_size:
            raise ValueError(f"{len(data)} bytes where the chunk declares "
                             f"{chunk.uncompressed_size}")
        if chunk.uncompressed_crc != 0 and zlib.crc32(data) != chunk.uncompressed_crc:
            raise ValueError("the chunk's CRC does not match")
        records: list[McapRecord] = []
        at = 0
        while at < len(data):
            opcode, length = _RECORD.unpack_from(data, at)
            if opcode == 0:
                raise ValueError(f"no record at byte {at} of the chunk")
            at += _RECORD.size + length
            body = data[at - length:at]
            if len(body) < length:
                raise ValueError("a record runs past the end of its chunk")
            kind = {Opcode.MESSAGE: Message, Opcode.SCHEMA: Schema,
                    Opcode.CHANNEL: Channel}.get(opcode)
            if kind is not None:
                records.append(_parse(kind, body))
        return records

    def _index_from_summary(self) -> bool:
        """Indexes the frames from the summary section; False when the file has none that can
        be trusted, so that it must be scanned."""
        footer_at = self._size - _FOOTER.size - len(_MAGIC)
        tail = self._read(footer_at, _FOOTER.size + len(_MAGIC)) if footer_at > 0 else b""
        if len(tail) != _FOOTER.size + len(_MAGIC) or not tail.endswith(_MAGIC):
            return False
        opcode, length, start, _, crc = _FOOTER.unpack_from(tail)
        if opcode != Opcode.FOOTER or length != _FOOTER.size - _RECORD.size or \
                not len(_MAGIC) <= start < footer_at:
            return False
        schemas, channels, indexes, metadata_at = {}, {}, [], []
        statistics, checksum, offset = None, 0, start
        try:
            while offset < footer_at:
                opcode, body = self._record(offset)
                checksum = zlib.crc32(body, zlib.crc32(_RECORD.pack(opcode, len(body)),
                                                       checksum))
                offset += _RECORD.size + len(body)
                if opcode == Opcode.SCHEMA:
                    schema = _parse(Schema, body)
                    schemas[schema.id] = schema
                elif opcode == Opcode.CHANNEL:
                    channel = _parse(Channel, body)
                    channels[channel.id] = channel
                elif opcode == Opcode.CHUNK_INDEX:
                    indexes.append(_parse(ChunkIndex, body))
                elif opcode == Opcode.METADATA_INDEX:
                    metadata_at.append(_parse(MetadataIndex, body).offset)
                elif opcode == Opcode.STATISTICS:
                    statistics = _parse(Statistics, body)
            checksum = zlib.crc32(tail[:_FOOTER.size - 4], checksum)
            if offset != footer_at or statistics is None or crc not in (0, checksum):
                return False
            metadata = {}
            for at in metadata_at:
                opcode, body = self._record(at)
                if opcode != Opcode.METADATA:
                    return False
                item = _parse(Metadata, body)
                metadata[item.name] = dict(item.metadata)
        except MemoryError:
            raise
        except Exception:  # whatever a damaged summary gives: the scan finds what is left
            return False
        self._choose(metadata)
        topics = {channel.id: channel.topic for channel in channels.values()}
        frames = []
        for index in sorted(indexes, key=lambda index: index.chunk_start_offset):
            inside = {topics.get(channel) for channel in index.message_index_offsets}
            if self._image_topic in inside:
                frames.append(_Frame(index.message_start_time, index.chunk_start_offset,
                                     self._ebd_topic in inside))
        images = sum(count for channel, count in statistics.channel_message_counts.items()
                     if topics.get(channel) == self._image_topic)
        if images != len(frames):  # frames that share a chunk: not written by our recorder
            return False
        self.metadata, self._frames = metadata, frames
        self._schemas, self._channels = schemas, channels
        return True

    def _scan(self) -> None:
        offset = len(_MAGIC)  # where the record being read starts
        try:
            while True:
                opcode, length = self._head(offset)
                if opcode == Opcode.FOOTER:
                    return
                if opcode == Opcode.CHUNK:
                    self._index_chunk(offset, self._chunk_records(offset,
                                                                  self._body(offset, length)))
                elif opcode == Opcode.METADATA:
                    item = _parse(Metadata, self._body(offset, length))
                    self.metadata[item.name] = dict(item.metadata)
                    if item.name == CAMERAS_RECORD:
                        self._choose(self.metadata)
                elif opcode in (Opcode.SCHEMA, Opcode.CHANNEL):  # repeated in the summary
                    kind = Schema if opcode == Opcode.SCHEMA else Channel
                    self._index_chunk(offset, [_parse(kind, self._body(offset, length))])
                offset += _RECORD.size + length
        except MemoryError:
            raise
        except Exception as error:  # whatever the damaged bytes make the parsing raise
            self._set_damage(self._damaged(error, offset, len(self._frames)), offset)

    def _damaged(self, error: Exception, position: int, frame: int) -> RecordingError:
        """The error that damage found at file offset `position`, in frame `frame`, gives."""
        if isinstance(error, RecordingError):
            return error
        if isinstance(error, _Damage):
            what = error.what
        else:
            what = f"corrupt data at byte {position} ({str(error) or type(error).__name__})"
        return RecordingError(self.path, what, frame=frame)

    def _set_damage(self, damage: RecordingError, position: int) -> None:
        with self._lock:  # the earliest damage stands
            if self.damage is None or (damage.frame or 0) < (self.damage.frame or 0):
                self.damage, self.damage_offset = damage, position
                del self._frames[damage.frame or 0:]

    def _index_chunk(self, position: int, records: list[McapRecord]) -> None:
        images, ebds = [], set()
        for item in records:
            if isinstance(item, Schema):
                self._schemas[item.id] = item
            elif isinstance(item, Channel):
                self._channels[item.id] = item
            elif isinstance(item, Message):
                topic = self._topic(item)
                if topic == self._image_topic:
                    images.append(item)
                elif topic == self._ebd_topic:
                    ebds.add(item.sequence)
        for item in images:
            if item.sequence != len(self._frames):
                raise RecordingError(self.path, f"frames out of order (found {item.sequence})",
                                     frame=len(self._frames))
            self._frames.append(_Frame(item.log_time, position, item.sequence in ebds))

    def _topic(self, message: Message) -> str | None:
        channel = self._channels.get(message.channel_id)
        return channel.topic if channel is not None else None

    def _choose(self, metadata: dict[str, dict[str, str]]) -> None:
        """Reads the channels of the camera asked for, once the metadata names them; a choice
        that cannot be made yet is refused by `_check`."""
        try:
            chosen = choose(metadata, self._wanted)
        except ValueError:
            return
        self._image_topic, self._ebd_topic = chosen.image_topic, chosen.ebd_topic

    def _check(self) -> None:
        if not self.metadata and self.damage is not None:
            raise RecordingError(self.path, f"not a readable recording: {self.damage.what}")
        try:
            chosen = choose(self.metadata, self._wanted)
            self.camera, self.cameras, self.metadata = (chosen.camera, chosen.cameras,
                                                        chosen.metadata)
            settings = recorded_settings(self.metadata)
        except ValueError as error:
            raise RecordingError(self.path, str(error)) from None
        self.mode, self.dual, self.echoes = settings.mode, settings.dual, settings.echoes
        self.raw_size_image, self.clock = settings.raw_size_image, settings.clock
        self.version = settings.version
        self.outputs: dict[str, bool] | None = settings.outputs
        self.dual_depth_params: dict[str, float] = settings.dual_depth_params
        raw_frame = _fields(messages.RAW_FRAME_DEFINITION if self.version >= 2
                            else messages.RAW_FRAME_DEFINITION_V1)
        for channel in self._channels.values():
            if channel.topic in (self._image_topic, self._ebd_topic):
                schema = self._schemas.get(channel.schema_id)
                # Only the recorder's own definition: another one would decode into anything.
                if channel.message_encoding != MessageEncoding.CDR or schema is None or \
                        schema.name != messages.RAW_FRAME_TYPE or \
                        schema.encoding != SchemaEncoding.ROS2 or \
                        _fields(schema.data.decode("utf-8", "replace")) != raw_frame:
                    raise RecordingError(self.path, f"channel {channel.topic} has the wrong "
                                         f"schema ({schema.name if schema else 'none'})")

    def close(self) -> None:
        fd, self._fd = getattr(self, "_fd", -1), -1
        if fd >= 0:
            os.close(fd)

    def __enter__(self) -> Recording:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def has_ebd(self) -> bool:
        """True when some frame has its embedded data."""
        return any(frame.ebd for frame in self._frames)

    def __len__(self) -> int:
        """The number of frames that can be read (those before any damage)."""
        return len(self._frames)

    def _entry(self, index: int) -> _Frame:
        if index >= 0:
            try:
                return self._frames[index]
            except IndexError:  # also when another thread has just found damage before it
                if self.damage is not None and index >= (self.damage.frame or 0):
                    raise self.damage from None
        raise IndexError(f"{self.path}: no frame {index} (the recording has {len(self)})")

    def _chunk(self, index: int) -> dict[tuple[str | None, int], Message]:
        """The messages of the chunk that holds frame `index`, by topic and sequence. A chunk
        that does not read is the file's damage: `len` then ends before its frame."""
        entry = self._entry(index)
        cached = self._cached
        if cached is None or cached[0] != entry.chunk:
            if self._fd < 0:
                raise RecordingError(self.path, "the recording is closed", frame=index)
            try:
                opcode, body = self._record(entry.chunk)
                if opcode != Opcode.CHUNK:
                    raise _Damage(f"corrupt data at byte {entry.chunk} (no chunk there)",
                                  entry.chunk)
                records = self._chunk_records(entry.chunk, body)
            except MemoryError as error:
                raise RecordingError(self.path, "not enough memory to read it",
                                     frame=index) from error
            except Exception as error:  # whatever the damaged bytes make the parsing raise
                damage = self._damaged(error, entry.chunk, index)
                self._set_damage(damage, entry.chunk)
                raise damage from error
            cached = (entry.chunk, {(self._topic(r), r.sequence): r
                                    for r in records if isinstance(r, Message)})
            self._cached = cached
        return cached[1]

    def _message(self, index: int, topic: str) -> Any:
        found = self._chunk(index)
        try:
            message = found[(topic, index)]
            channel = self._channels[message.channel_id]
            decoder = self._decoders.decoder_for(channel.message_encoding,
                                                 self._schemas[channel.schema_id])
            assert decoder is not None, "the schema check admits only ros2 channels"
            return decoder(message.data)
        except Exception as error:  # badly written: a frame missing from its chunk, bad CDR
            raise RecordingError(self.path, f"cannot read {topic} ({error!r})",
                                 frame=index) from error

    def raw_image(self, index: int) -> bytes:
        """The raw image frame `index`, compacted, as the camera held it."""
        data = bytes(self._message(index, self._image_topic).data)
        if len(data) != self.raw_size_image:
            raise RecordingError(self.path, f"{len(data)} bytes where mode 0x{self.mode:x} "
                                 f"has {self.raw_size_image}", frame=index)
        return data

    def raw_ebd(self, index: int) -> bytes | None:
        """The embedded-data frame recorded with frame `index`, or None when it had none."""
        if not self._entry(index).ebd:
            return None
        return bytes(self._message(index, self._ebd_topic).data)

    def log_time(self, index: int) -> int:
        """The log time of frame `index` in nanoseconds, on the clock named by `clock`: since
        the Unix epoch (`epoch`), or, in a file of format version 1, on the sensor's or the
        host's monotonic clock. Either way the differences between frames are the recorded
        intervals, which a paced replay keeps."""
        return self._entry(index).log_time

    def channel_types(self) -> dict[str, tuple[str, str]]:
        """Each topic's message type and serialization format, as its channel declares them:
        of the chosen camera only, in a recording of several."""
        own = self._image_topic.removesuffix("raw/image") if len(self.cameras) > 1 else ""
        return {channel.topic: (schema.name if (schema := self._schemas.get(channel.schema_id))
                                else "", channel.message_encoding)
                for channel in self._channels.values() if channel.topic.startswith(own)}

    def message_counts(self, progress: Callable[[int], None] | None = None) -> dict[str, int]:
        """The messages of each topic stored with the frames that read. Every frame's chunk is
        read, so damage that only a read finds is found here: `damage` is then set, and the
        count stops before it. `progress` is called after each frame with the frames read."""
        counts: dict[str, int] = {}
        counted = set()
        index = 0
        while index < len(self):
            chunk = self._entry(index).chunk
            try:
                found = self._chunk(index)
            except RecordingError:
                break
            if chunk not in counted:
                counted.add(chunk)
                for topic, _ in found:
                    if topic is not None:
                        counts[topic] = counts.get(topic, 0) + 1
            index += 1
            if progress is not None:
                progress(index)
        return counts

    @property
    def epoch(self) -> bool:
        """True when log times count nanoseconds since the Unix epoch (ROS time)."""
        return self.clock == EPOCH_CLOCK

    def clocks(self, index: int) -> FrameClocks:
        """Every clock frame `index` was seen by."""
        log = self.log_time(index)
        if self.version < 2:
            return FrameClocks(log, log if self.clock == HOST_CLOCK else None, None, None, None)
        raw = self._message(index, self._image_topic)
        sensor = raw.has_sensor_time
        return FrameClocks(log, raw.capture_time_ns if raw.has_capture_time else None,
                           raw.sensor_timestamp if sensor else None,
                           raw.frame_index if sensor else None,
                           raw.sequence if raw.has_sequence else None)
