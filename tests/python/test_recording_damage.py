"""Damaged recordings, generated: whatever is truncated, overwritten, inserted or made up, the
reader raises RecordingError and nothing else, and every frame it reads is the recorded one."""

import os
import signal
import tracemalloc
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessaro_testing import raw_frames, streaming_camera
from tessaro.recording import _reader as reader
from tessaro.synthetic import wire
from tessaro.errors import RecordingError
from tessaro.recording import Recording, Replayer, record

CORPUS = Path(__file__).parents[2] / "fuzz" / "corpus" / "recording_reader"


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


@pytest.mark.parametrize("name", sorted(path.name for path in CORPUS.iterdir()))
def test_crafted_files_give_frames_or_one_recording_error_in_bounded_memory(name):
    """The fuzz corpus: compression bombs, a 3 GiB record, crafted metadata and schema, ..."""
    tracemalloc.start()
    try:
        with Replayer(CORPUS / name) as replay:
            replay.start()
            [replay.recording.raw_image(index) for index in range(len(replay.recording))]
    except RecordingError:
        pass
    finally:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
    assert peak < 32 << 20


def test_zero_filled_tail_ends_the_file_without_reading_it(tmp_path, original):
    """A crash's zero tail or a sparse hole of 1 GiB: found where it starts, without reading it."""
    (path := tmp_path / "hole.mcap").write_bytes(original[0][:int(len(original[0]) * 0.7)])
    with Recording(path) as recording:  # truncated: the damage starts where the cut frame does
        path.write_bytes(original[0][:(valid := recording.damage_offset)])
    os.truncate(path, 1 << 30)
    signal.signal(signal.SIGALRM, lambda *_: pytest.fail("the zeros are being read"))
    signal.alarm(20)
    before = (read := lambda: int(open("/proc/self/io").read().split()[1]))()  # bytes read so far
    with Recording(path) as recording:
        assert (recording.damage.frame, len(recording), recording.damage_offset) == (2, 2, valid)
        assert recording.damage.what == f"the file ends early (zero-filled from byte {valid})"
    assert read() - before < 2 * valid
    signal.alarm(0)


def test_what_is_wrong_is_named_and_threads_share_a_recording(tmp_path, original, monkeypatch):
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "loop").symlink_to(tmp_path / "loop")
    for name, what in [(".", "is a directory"), ("fifo", "is a FIFO"), ("loop", "is a symbolic link loop")]:
        with pytest.raises(RecordingError, match=f"{tmp_path / name}: {what}"):
            Recording(tmp_path / name)
    (path := tmp_path / "whole.mcap").write_bytes(original[0])
    with Recording(path) as recording, ThreadPoolExecutor(4) as pool:  # one file position once
        assert all(pool.map(lambda i: recording.raw_image(i % 3) == original[1][i % 3], range(200)))
        recording.raw_image(2)
        monkeypatch.setattr(reader, "_decompress", lambda *_: (_ for _ in ()).throw(MemoryError()))
        with pytest.raises(RecordingError, match="frame 0: not enough memory"):  # not the file's damage
            recording.raw_image(0)
        assert (recording.damage, len(recording)) == (None, 3)
