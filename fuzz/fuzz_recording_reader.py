"""The recording reader over any bytes (atheris, libFuzzer's engine): opening the file and
reading its frames gives frames or one RecordingError, never another exception, and the
Python memory it takes stays within a few frames whatever the bytes declare.

    PYTHONPATH=python python fuzz/fuzz_recording_reader.py [libFuzzer options] CORPUS...

The corpus (fuzz/corpus/recording_reader/) holds the shapes that once made the reader fail,
each built around a two-frame recording of zero-filled single-depth images: the recording
whole; truncated; cut at its first chunk with 4 KiB of zeros after; cut there and followed by
a zstd chunk holding a message of 256 MiB of zeros (declaring its size), an lz4 one of 64 MiB
declaring 1000 bytes, or a metadata record declaring 3 GiB; with format_version "²", with
outputs nested 10,000 deep, with outputs 5; and with a raw channel whose data is a string. Those
are files of format version 1; `whole_v2` is such a recording of the current version.
"""

import os
import sys
import tempfile
import tracemalloc

import atheris

with atheris.instrument_imports(include=["tessaro", "mcap"]):
    from tessaro.errors import RecordingError
    from tessaro.recording import Recording

path = os.path.join(tempfile.mkdtemp(prefix="fuzz_recording_"), "input.mcap")


def test_one_input(data: bytes) -> None:
    with open(path, "wb") as file:
        file.write(data)
    tracemalloc.reset_peak()
    try:
        with Recording(path) as recording:
            for index in range(min(len(recording), 3)):
                recording.raw_image(index), recording.raw_ebd(index), recording.clocks(index)
    except RecordingError as error:
        assert "memory" not in error.what, error  # a bomb that only the allocator stopped
    assert tracemalloc.get_traced_memory()[1] < 32 << 20, f"memory for a {len(data)}-byte file"


if __name__ == "__main__":
    tracemalloc.start()
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
