"""Damaged recordings, generated: whatever is truncated, overwritten, inserted or made up, the
reader raises RecordingError and nothing else, and every frame it reads is the recorded one."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from recorded_sources import raw_frames, source_camera
from tessaro import wire
from tessaro.errors import RecordingError
from tessaro.recording import Recording, record

MAGIC = b"\x89MCAP0\r\n"


@pytest.fixture(scope="module")
def original(tmp_path_factory):
    """The bytes of a small recording with embedded data, and the raw frames it holds."""
    path = tmp_path_factory.mktemp("damage") / "original.mcap"
    record(source_camera(wire.SINGLE_MODE), path, frames=3)
    images = raw_frames(wire.SINGLE_MODE)[0][:3]
    return path.read_bytes(), [image.tobytes() for image in images], path.parent / "damaged.mcap"


def read_everything(path, images):
    """Opens the file and reads every frame it lists, and one beyond when it reports damage."""
    with Recording(path) as recording:
        for index in range(len(recording)):
            assert recording.raw_image(index) == images[index]
            recording.raw_ebd(index)
            recording.log_time(index)
        if recording.damage is not None:
            with pytest.raises(RecordingError):
                recording.raw_image(len(recording))


@st.composite
def damaged(draw, data):
    """`data` truncated, with bytes overwritten, with bytes inserted, or made up after the magic;
    positions favour the headers and the summary at both ends."""
    n = len(data)
    position = st.one_of(st.integers(0, n - 1), st.integers(0, 4095), st.integers(n - 4096, n - 1))
    kind = draw(st.sampled_from(["truncate", "overwrite", "insert", "made up"]))
    if kind == "truncate":
        return data[:draw(position)]
    if kind == "made up":
        return MAGIC + draw(st.binary(max_size=4096))
    changed = bytearray(data)
    for at, chunk in draw(st.lists(st.tuples(position, st.binary(min_size=1, max_size=16)), min_size=1, max_size=6)):
        if kind == "overwrite":
            changed[at:at + len(chunk)] = chunk[:n - at]
        else:
            changed[at:at] = chunk
    return bytes(changed)


@settings(max_examples=150, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow,
                                 HealthCheck.data_too_large])
@given(data=st.data())
def test_damaged_files_raise_recording_error_only(original, data):
    recorded, images, path = original
    path.write_bytes(data.draw(damaged(recorded)))
    try:
        read_everything(path, images)
    except RecordingError:
        pass
