"""Reading a recording frame by frame, damaged files included."""

from __future__ import annotations

import io
import json
import os
import struct
import zlib
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from mcap.data_stream import ReadDataStream
from mcap.exceptions import EndOfFile
from mcap.reader import SeekingReader
from mcap.records import Channel, Chunk, McapRecord, Message, Metadata, Schema
from mcap.stream_reader import StreamReader, breakup_chunk
from mcap.well_known import MessageEncoding, SchemaEncoding
from mcap_ros2.decoder import DecoderFactory

from tessaro.recording import _ros2 as messages
from tessaro._sensor import mode_table
from tessaro.errors import RecordingError
from tessaro.recording._format import (EBD_TOPIC, FORMAT, FORMAT_VERSION, HOST_CLOCK,
                                       IMAGE_TOPIC)

# The footer: opcode, record length, summary start, summary offset start, summary CRC; then
# the closing magic.
_FOOTER = struct.Struct("<BQQQI")
_MAGIC_SIZE = 8


@dataclass(slots=True)
class _Frame:
    log_time: int
    chunk: int     # file offset of the chunk that holds the frame's messages
    ebd: bool


class Recording:
    """A recording opened for reading, frame by frame.

    Opening reads the file's summary (its chunk index: one chunk per frame) and no frame data,
    so it is quick and holds one frame at a time whatever the file's length. A file without a
    usable summary (a truncated one) is read once from the start instead, checking every chunk.
    The frames before any damage read normally; `damage` holds the error that any access to a
    later frame raises. Damage that the summary cannot show (a corrupt chunk in a finished
    file) is found when its frame is read: from then on `damage` is set and `len` counts the
    frames before it. A file that is not a recording, or whose mode the library does not know,
    raises RecordingError at once.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)
        self.metadata: dict[str, dict[str, str]] = {}
        self.damage: RecordingError | None = None
        self._frames: list[_Frame] = []
        self._schemas: dict[int, Schema] = {}
        self._channels: dict[int, Channel] = {}
        self._decoders = DecoderFactory()
        self._cached: tuple[int, dict[tuple[str | None, int], Message]] | None = None
        try:
            self._file = open(self.path, "rb")
        except OSError as error:
            raise RecordingError(path, f"cannot open: {error.strerror}") from error
        try:
            if not self._index_from_summary():
                self._scan()
            self._check()
        except BaseException:
            self._file.close()
            raise

    def _summary_intact(self) -> bool:
        """Whether the footer's summary CRC matches the summary (a file without one passes)."""
        self._file.seek(-(_FOOTER.size + _MAGIC_SIZE), io.SEEK_END)
        footer_at = self._file.tell()
        _, _, start, _, crc = _FOOTER.unpack(self._file.read(_FOOTER.size))
        if crc == 0:
            return True
        self._file.seek(start)
        return zlib.crc32(self._file.read(footer_at + _FOOTER.size - 4 - start)) == int(crc)

    def _index_from_summary(self) -> bool:
        """Indexes the frames from the summary section; False when the file has none that can
        be trusted, so that it must be scanned."""
        try:
            reader = SeekingReader(self._file)
            summary = reader.get_summary()
            if summary is None or summary.statistics is None or not self._summary_intact():
                return False
            metadata = {item.name: dict(item.metadata) for item in reader.iter_metadata()}
        except Exception:  # whatever a missing or damaged summary makes the reader raise
            return False
        topics = {channel.id: channel.topic for channel in summary.channels.values()}
        frames = []
        for index in sorted(summary.chunk_indexes, key=lambda index: index.chunk_start_offset):
            inside = {topics.get(channel) for channel in index.message_index_offsets}
            if IMAGE_TOPIC in inside:
                frames.append(_Frame(index.message_start_time, index.chunk_start_offset,
                                     EBD_TOPIC in inside))
        images = sum(count for channel, count in
                     summary.statistics.channel_message_counts.items()
                     if topics.get(channel) == IMAGE_TOPIC)
        if images != len(frames):  # frames that share a chunk: not written by our recorder
            return False
        self.metadata, self._frames = metadata, frames
        self._schemas, self._channels = dict(summary.schemas), dict(summary.channels)
        return True

    def _scan(self) -> None:
        self._file.seek(0)
        position = 0  # where the record being read starts, once past the magic
        try:
            for item in StreamReader(self._file, emit_chunks=True).records:
                if isinstance(item, Chunk):
                    self._index_chunk(position, breakup_chunk(item, validate_crc=True))
                elif isinstance(item, Metadata):
                    self.metadata[item.name] = dict(item.metadata)
                elif isinstance(item, (Schema, Channel)):  # repeated in the summary
                    self._index_chunk(position, [item])
                position = self._file.tell()
        except RecordingError as error:
            self.damage = error
        except Exception as error:  # whatever the damaged bytes make the MCAP reader raise
            self.damage = self._damaged(error, position, len(self._frames))

    def _damaged(self, error: Exception, position: int, frame: int) -> RecordingError:
        """The error that damage found at file offset `position`, in frame `frame`, gives."""
        if position == 0:
            what = "not an MCAP file"
        elif isinstance(error, EndOfFile):
            what = "the file ends early (truncated)"
        else:
            what = f"corrupt data at byte {position} ({error or type(error).__name__})"
        return RecordingError(self.path, what, frame=frame)

    def _index_chunk(self, position: int, records: list[McapRecord]) -> None:
        images, ebds = [], set()
        for item in records:
            if isinstance(item, Schema):
                self._schemas[item.id] = item
            elif isinstance(item, Channel):
                self._channels[item.id] = item
            elif isinstance(item, Message):
                topic = self._topic(item)
                if topic == IMAGE_TOPIC:
                    images.append(item)
                elif topic == EBD_TOPIC:
                    ebds.add(item.sequence)
        for item in images:
            if item.sequence != len(self._frames):
                raise RecordingError(self.path, f"frames out of order (found {item.sequence})",
                                     frame=len(self._frames))
            self._frames.append(_Frame(item.log_time, position, item.sequence in ebds))

    def _topic(self, message: Message) -> str | None:
        channel = self._channels.get(message.channel_id)
        return channel.topic if channel is not None else None

    def _check(self) -> None:
        if not self.metadata and self.damage is not None:
            raise RecordingError(self.path, f"not a readable recording: {self.damage.what}")
        about = self.metadata.get("tessaro.recording", {})
        if about.get("format") != FORMAT:
            raise RecordingError(self.path, f"not a {FORMAT} recording (no recording metadata)")
        version = about.get("format_version", "")
        if not version.isdigit() or int(version) > FORMAT_VERSION:
            raise RecordingError(self.path, f"format version {version!r} is not supported "
                                 f"(this reader knows 1 to {FORMAT_VERSION})")
        sensor = self.metadata.get("tessaro.sensor", {})
        try:
            self.mode = int(sensor["mode"], 0)
            self.dual = json.loads(sensor["dual_depth_mode"])
            self.echoes = int(sensor["number_of_echo"])
            self.raw_size_image = int(sensor["raw_size_image"])
            processing = self.metadata["tessaro.processing"]
            self.outputs: dict[str, bool] | None = json.loads(processing["outputs"])
            self.dual_depth_params: dict[str, float] = json.loads(processing["dual_depth_params"])
        except (KeyError, ValueError) as error:
            raise RecordingError(self.path, f"incomplete recording metadata ({error})") from error
        self.clock = about.get("clock", HOST_CLOCK)
        if self.mode not in mode_table():
            raise RecordingError(self.path, f"mode 0x{self.mode:x} is not one the library knows")
        for channel in self._channels.values():
            if channel.topic in (IMAGE_TOPIC, EBD_TOPIC):
                schema = self._schemas.get(channel.schema_id)
                if channel.message_encoding != MessageEncoding.CDR or schema is None or \
                        schema.name != messages.RAW_FRAME_TYPE or \
                        schema.encoding != SchemaEncoding.ROS2:
                    raise RecordingError(self.path, f"channel {channel.topic} has the wrong "
                                         f"schema ({schema.name if schema else 'none'})")

    def close(self) -> None:
        self._file.close()

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
        if 0 <= index < len(self._frames):
            return self._frames[index]
        if self.damage is not None and index >= len(self._frames):
            raise self.damage
        raise IndexError(f"{self.path}: no frame {index} (the recording has {len(self)})")

    def _chunk(self, index: int) -> dict[tuple[str | None, int], Message]:
        """The messages of the chunk that holds frame `index`, by topic and sequence. A chunk
        that does not read is the file's damage: `len` then ends before its frame."""
        entry = self._entry(index)
        if self._cached is None or self._cached[0] != entry.chunk:
            try:
                self._file.seek(entry.chunk + 9)  # past the opcode and the record length
                records = breakup_chunk(Chunk.read(ReadDataStream(self._file)),
                                        validate_crc=True)
            except Exception as error:  # whatever the damaged bytes make the MCAP reader raise
                self.damage = self._damaged(error, entry.chunk, index)
                del self._frames[index:]
                raise self.damage from error
            self._cached = (entry.chunk, {(self._topic(r), r.sequence): r
                                          for r in records if isinstance(r, Message)})
        return self._cached[1]

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
        data = bytes(self._message(index, IMAGE_TOPIC).data)
        if len(data) != self.raw_size_image:
            raise RecordingError(self.path, f"{len(data)} bytes where mode 0x{self.mode:x} "
                                 f"has {self.raw_size_image}", frame=index)
        return data

    def raw_ebd(self, index: int) -> bytes | None:
        """The embedded-data frame recorded with frame `index`, or None when it had none."""
        if not self._entry(index).ebd:
            return None
        return bytes(self._message(index, EBD_TOPIC).data)

    def log_time(self, index: int) -> int:
        """The log time of frame `index` in nanoseconds, on the clock named by `clock`."""
        return self._entry(index).log_time
