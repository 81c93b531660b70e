"""Damaged recordings, generated: whatever is truncated, overwritten, inserted or made up, the
reader raises RecordingError and nothing else, and every frame it reads is the recorded one."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessaro_testing import raw_frames, streaming_camera
from tessaro.synthetic import wire
from tessaro.errors import RecordingError
from tessaro.recording import Recording, record


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
