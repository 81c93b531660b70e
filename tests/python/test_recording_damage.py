"""Damaged recordings, generated: whatever is truncated, overwritten, inserted or made up, the
reader raises RecordingError and nothing else, and every frame it reads is the recorded one."""

import os
import signal
import struct
import tracemalloc
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import lz4.frame
import pytest
import zstandard
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import raw_frames, streaming_camera
from tessaro import wire
from tessaro.errors import RecordingError
from mcap.data_stream import RecordBuilder
from mcap.records import Channel, Chunk, Header, Message, Metadata, Schema
from tessaro import recording_reader as reader
from tessaro.recording import Recording, Replayer, record

MAGIC = b"\x89MCAP0\r\n"


@pytest.fixture(scope="module")
def original(tmp_path_factory):
    """The bytes of a small recording with embedded data, the raw frames it holds, and where a damaged copy goes."""
    path = tmp_path_factory.mktemp("damage") / "original.mcap"
    record(streaming_camera(*raw_frames(wire.SINGLE_MODE)), path, frames=3)
    return path.read_bytes(), [i.tobytes() for i in raw_frames(wire.SINGLE_MODE)[0][:3]], path.with_name("damaged.mcap")


@settings(max_examples=150, deadline=None, derandomize=True, suppress_health_check=[
    HealthCheck.function_scoped_fixture, HealthCheck.too_slow, HealthCheck.data_too_large])
@given(data=st.data())
def test_damaged_files_raise_recording_error_only(original, data):
    recorded, images, path = original
    damaged, n = bytearray(recorded), len(recorded)
    # Positions favour the headers and the summary at both ends.
    where = st.one_of(st.integers(0, n - 1), st.integers(0, 4095), st.integers(n - 4096, n - 1))
    kind = data.draw(st.sampled_from(["truncate", "overwrite", "insert"]))
    if kind == "truncate":
        del damaged[data.draw(where):]
    else:
        for at, chunk in data.draw(st.lists(st.tuples(where, st.binary(min_size=1, max_size=16)), min_size=1,
                                            max_size=6)):
            damaged[at:at + len(chunk) * (kind == "overwrite")] = chunk
    path.write_bytes(damaged)
    try:
        with Recording(path) as recording:
            for index in range(len(recording)):
                assert recording.raw_image(index) == images[index]
                recording.raw_ebd(index)
                recording.log_time(index)
            if recording.damage is not None:  # one frame beyond those it lists
                with pytest.raises(RecordingError):
                    recording.raw_image(len(recording))
    except RecordingError:
        pass


def crafted(path, *records, metadata=None, changes=()):
    """A recording file made of a header, the given metadata (with `changes`: (record, key,
    value)) and `records`, without a summary."""
    metadata = {name: dict(values) for name, values in metadata.items()}
    for name, key, value in changes:
        metadata[name][key] = value
    builder = RecordBuilder()
    Header(profile="ros2", library="test").write(builder)
    for item in [Metadata(name, values) for name, values in metadata.items()] + list(records):
        item.write(builder)
    path.write_bytes(MAGIC + builder.end())
    return path


def chunk(content, compression=""):
    data = {"": bytes, "lz4": lz4.frame.compress, "zstd": zstandard.compress}[compression](content)
    return Chunk(compression=compression, data=data, message_start_time=0, message_end_time=0,
                 uncompressed_crc=0, uncompressed_size=len(content))


BIG_MESSAGE = struct.pack("<BQ", 5, (1 << 26) - 9) + bytes((1 << 26) - 9)


@pytest.fixture(scope="module")
def metadata(original, tmp_path_factory):
    path = tmp_path_factory.mktemp("meta") / "whole.mcap"
    path.write_bytes(original[0])
    with Recording(path) as recording:
        return recording.metadata


@pytest.mark.parametrize("records", [
    lambda: [chunk(BIG_MESSAGE, "zstd")], lambda: [chunk(BIG_MESSAGE, "lz4")],
    lambda: [Raw(struct.pack("<BQI", 0x0C, 3 << 30, (3 << 30) - 8) + bytes(64))]])  # 3 GiB metadata
def test_what_a_file_declares_does_not_size_the_memory(tmp_path, metadata, records):
    path = crafted(tmp_path / "bomb.mcap", *records(), metadata=metadata)
    tracemalloc.start()
    try:
        with Recording(path) as recording:
            assert recording.damage is not None and len(recording) == 0
    finally:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    assert peak < 32 << 20


def test_zero_filled_tail_ends_the_file_without_reading_it(tmp_path, original):
    """A crash's zero tail or a sparse hole of 1 GiB: found at once, where it starts."""
    path = tmp_path / "hole.mcap"
    path.write_bytes(original[0][:int(len(original[0]) * 0.7)])
    with Recording(path) as recording:  # where the frame that the truncation cut starts
        assert (recording.damage.what, len(recording)) == ("the file ends early (truncated)", 2)
        valid = recording.damage_offset
    path.write_bytes(original[0][:valid])
    os.truncate(path, 1 << 30)
    read = (lambda: int(Path("/proc/self/io").read_text().split()[1]))  # rchar: bytes read
    before = read()
    signal.signal(signal.SIGALRM, lambda *_: pytest.fail("the zeros are being read"))
    signal.alarm(20)
    try:
        with Recording(path) as recording:
            assert recording.damage.what.startswith("the file ends early (zero-filled from byte")
            assert recording.damage.frame == len(recording) == 2
            assert recording.damage_offset == valid and f"byte {valid})" in str(recording.damage)
    finally:
        signal.alarm(0)
    assert read() - before < 2 * valid


class Raw:
    def __init__(self, data):
        self.data = data

    def write(self, builder):
        builder.write(self.data)


@pytest.mark.parametrize("changes, schema", [
    ([("tessaro.recording", "format_version", "²")], None),
    ([("tessaro.processing", "outputs", "[" * 100_000 + "]" * 100_000)], None),
    ([("tessaro.processing", "outputs", "5")], None),
    ([("tessaro.processing", "outputs", '{"enable_pdc": 1}')], None),
    ([("tessaro.processing", "dual_depth_params", '{"select_near": "x"}')], None),
    ([("tessaro.processing", "dual_depth_params", '{"select_near": 9, "select_far": 1, "merge_window": 0}')], None),
    ([("tessaro.sensor", "number_of_echo", "9")], None),
    ([("tessaro.sensor", "dual_depth_mode", "1")], None),
    ([("tessaro.sensor", "mode", "0x9999")], None),
    ([], "uint32 frame_id\nuint32 timestamp\nstring data\n"),  # bytes() of a str
    ([], "uint32 frame_id\nuint32 timestamp\nint32[] data\n")])  # bytes() of 6513249
def test_crafted_metadata_and_schemas_are_one_recording_error(tmp_path, metadata, changes, schema):
    records = []
    if schema is not None:  # one frame whose raw bytes decode through that schema
        data = b"\x00\x01\x00\x00" + struct.pack("<III", 0, 0, 4 - schema.count("int32[]") * 3) + b"abc\x00"
        records = [chunk(b"".join(builder_bytes(item) for item in (
            Schema(id=1, name="tessaro_msgs/msg/RawFrame", encoding="ros2msg", data=schema.encode()),
            Channel(id=1, topic="/tessaro/raw/image", message_encoding="cdr", schema_id=1, metadata={}),
            Message(channel_id=1, sequence=0, log_time=0, publish_time=0, data=data))))]
    path = crafted(tmp_path / "crafted.mcap", *records, metadata=metadata, changes=changes)
    with pytest.raises(RecordingError):
        with Replayer(path) as replay:
            replay.start()
            replay.recording.raw_image(0)


def builder_bytes(record):
    builder = RecordBuilder()
    record.write(builder)
    return builder.end()


def test_files_that_are_not_recordings_say_what_they_are(tmp_path, original, monkeypatch):
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    for name, what in [(".", "is a directory"), ("fifo", "is a FIFO"), ("loop", "is a symbolic link loop")]:
        with pytest.raises(RecordingError, match=f"{tmp_path / name}: {what}"):
            Recording(tmp_path / name)
    path = tmp_path / "whole.mcap"
    path.write_bytes(original[0])

    def exhausted(*args):
        raise MemoryError
    monkeypatch.setattr(reader, "_decompress", exhausted)
    with Recording(path) as recording:  # memory is not the file's damage
        with pytest.raises(RecordingError, match="frame 0: not enough memory"):
            recording.raw_image(0)
        assert (recording.damage, len(recording)) == (None, 3)


def test_threads_reading_one_recording(original, tmp_path):
    path = tmp_path / "shared.mcap"
    path.write_bytes(original[0])
    images = original[1]
    with Recording(path) as recording, ThreadPoolExecutor(4) as pool:
        read = list(pool.map(lambda i: recording.raw_image(i % 3) == images[i % 3], range(200)))
        assert all(read) and (recording.damage, len(recording)) == (None, 3)
