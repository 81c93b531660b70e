"""Reading a recording frame by frame, damaged files included."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from mcap.data_stream import ReadDataStream
from mcap.exceptions import EndOfFile
from mcap.records import Channel, Chunk, Message, Metadata, Schema
from mcap.stream_reader import StreamReader, breakup_chunk
from mcap.well_known import MessageEncoding, SchemaEncoding
from mcap_ros2.decoder import DecoderFactory

from tessaro import ros2_messages as messages
from tessaro.errors import RecordingError
from tessaro.recording_format import (EBD_TOPIC, FORMAT, FORMAT_VERSION, HOST_CLOCK,
                                      IMAGE_TOPIC, known_modes)


@dataclass
class _Frame:
    log_time: int
    chunk: int     # file offset of the chunk that holds the frame's messages
    ebd: bool


class Recording:
    """A recording opened for reading, frame by frame.

    Opening reads the whole file once and checks every chunk. A file that is damaged further
    on (truncated, a corrupt chunk) still opens: the frames before the damage read normally,
    and `damage` holds the error that any access to a later frame raises. A file that is not a
    recording, or whose mode the library does not know, raises RecordingError at once.
    """

    def __init__(self, path: str | os.PathLike) -> None:
        self.path = Path(path)
        self.metadata: dict[str, dict[str, str]] = {}
        self.damage: RecordingError | None = None
        self._frames: list[_Frame] = []
        self._schemas: dict[int, Schema] = {}
        self._channels: dict[int, Channel] = {}
        self._decoders = DecoderFactory()
        self._cached: tuple[int, dict[tuple[str, int], Message]] | None = None
        try:
            self._file = open(self.path, "rb")
        except OSError as error:
            raise RecordingError(path, f"cannot open: {error.strerror}") from error
        try:
            self._scan()
            self._check()
        except BaseException:
            self._file.close()
            raise

    def _scan(self) -> None:
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
            if position == 0:
                what = "not an MCAP file"
            elif isinstance(error, EndOfFile):
                what = "the file ends early (truncated)"
            else:
                what = f"corrupt data at byte {position} ({error or type(error).__name__})"
            self.damage = RecordingError(self.path, what, frame=len(self._frames))

    def _index_chunk(self, position: int, records: list) -> None:
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
        if f"{self.mode:x}" not in known_modes():
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

    def _message(self, index: int, topic: str) -> Any:
        entry = self._entry(index)
        try:
            if self._cached is None or self._cached[0] != entry.chunk:
                self._file.seek(entry.chunk + 9)  # past the opcode and the record length
                records = breakup_chunk(Chunk.read(ReadDataStream(self._file)),
                                        validate_crc=True)
                self._cached = (entry.chunk, {(self._topic(r), r.sequence): r
                                              for r in records if isinstance(r, Message)})
            message = self._cached[1][(topic, index)]
            channel = self._channels[message.channel_id]
            decoder = self._decoders.decoder_for(channel.message_encoding,
                                                 self._schemas[channel.schema_id])
            return decoder(message.data)
        except Exception as error:  # changed on disk since it was opened, or badly written
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
