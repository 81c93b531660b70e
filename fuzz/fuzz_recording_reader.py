"""The recording reader over any bytes (atheris, libFuzzer's engine): opening the file and
reading its frames gives frames or one RecordingError, never another exception, and the
Python memory it takes stays within a few frames whatever the bytes declare.

    PYTHONPATH=python python fuzz/fuzz_recording_reader.py [libFuzzer options] CORPUS...
    PYTHONPATH=python python fuzz/fuzz_recording_reader.py --seeds DIR   # writes the seeds
"""

import io
import os
import sys
import tempfile
import tracemalloc

import atheris

with atheris.instrument_imports(include=["tessaro", "mcap"]):
    from tessaro.errors import RecordingError
    from tessaro.recording_reader import Recording

MEMORY_BOUND = 32 << 20
path = os.path.join(tempfile.mkdtemp(prefix="fuzz_recording_"), "input.mcap")


def test_one_input(data: bytes) -> None:
    with open(path, "wb") as file:
        file.write(data)
    tracemalloc.reset_peak()
    try:
        with Recording(path) as recording:
            for index in range(min(len(recording), 3)):
                try:
                    recording.raw_image(index), recording.raw_ebd(index), recording.log_time(index)
                except RecordingError:
                    pass
    except RecordingError as error:
        if "memory" in error.what:  # a bomb that only the allocator stopped
            raise
    peak = tracemalloc.get_traced_memory()[1]
    if peak > MEMORY_BOUND:
        raise AssertionError(f"{peak} bytes of Python memory for a {len(data)}-byte file")


def seeds(folder: str) -> None:
    """Small files of the shapes that once made the reader fail: a whole recording, truncated,
    with a zero tail, compression bombs, a huge record, crafted metadata and schema."""
    import lz4.frame
    import pelorin
    import zstandard
    from mcap.data_stream import RecordBuilder
    from mcap.records import Chunk
    from mcap_ros2.writer import Writer

    from tessaro import ros2_messages as messages
    from tessaro.recording_format import HOST_CLOCK, IMAGE_TOPIC, metadata_records

    info = pelorin.create_camera_offline("seed").get_camera_info()
    info.update(mode=0x211C, number_of_echo=1)

    def recording(definition: str = messages.RAW_FRAME_DEFINITION, data: object = bytes(395136),
                  **changes: str) -> bytes:
        out = io.BytesIO()
        writer = Writer(out, chunk_size=395135)
        schema = writer.register_msgdef(messages.RAW_FRAME_TYPE, definition)
        for name, record in metadata_records(info, None, HOST_CLOCK).items():
            writer.add_metadata(name, {**record, **{k: v for k, v in changes.items()
                                                    if k in record}})
        for index in range(2):
            writer.write_message(IMAGE_TOPIC, schema, {"frame_id": 0, "timestamp": 0,
                                                       "data": data},
                                 log_time=index, publish_time=index, sequence=index)
        writer.finish()
        return out.getvalue()

    def bomb(compression: str, declared: int) -> bytes:
        content = bytes((256 if compression == "zstd" else 64) << 20)
        packed = zstandard.compress(content) if compression == "zstd" else \
            lz4.frame.compress(content)
        builder = RecordBuilder()
        Chunk(compression=compression, data=packed, message_start_time=0, message_end_time=0,
              uncompressed_crc=0, uncompressed_size=declared).write(builder)
        return whole[:cut] + builder.end()

    whole = recording()
    cut = 8  # where the first chunk starts
    while whole[cut] != 0x06:
        cut += 9 + int.from_bytes(whole[cut + 1:cut + 9], "little")
    shapes = {"whole": whole, "truncated": whole[:len(whole) * 2 // 3],
              "zero_tail": whole[:cut] + bytes(4096),
              "zstd_bomb": bomb("zstd", 256 << 20), "lz4_bomb": bomb("lz4", 1000),
              "huge_record": whole[:cut] + bytes.fromhex("0c000000c000000000") + bytes(16),
              "format_version": recording(format_version="²"),
              "deep_json": recording(outputs="[" * 10000 + "]" * 10000),
              "outputs": recording(outputs='{"enable_pdc": 1}'),
              "schema": recording("uint32 frame_id\nuint32 timestamp\nstring data\n", "abc")}
    os.makedirs(folder, exist_ok=True)
    for name, data in shapes.items():
        with open(os.path.join(folder, name), "wb") as file:
            file.write(data)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--seeds"]:
        seeds(sys.argv[2])
    else:
        tracemalloc.start()
        atheris.Setup(sys.argv, test_one_input)
        atheris.Fuzz()
