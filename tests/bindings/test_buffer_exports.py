import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import pelorin
import raw_frames
from conftest import streaming_camera

HERE = pathlib.Path(__file__).resolve().parent

RESIZING = [
    ("append", lambda v: v.append(1)),
    ("extend", lambda v: v.extend([1, 2])),
    ("extend vector", lambda v: v.extend(type(v)([1]))),
    ("insert", lambda v: v.insert(0, 1)),
    ("pop", lambda v: v.pop()),
    ("pop index", lambda v: v.pop(0)),
    ("remove", lambda v: v.remove(v[0])),
    ("clear", lambda v: v.clear()),
    ("del item", lambda v: v.__delitem__(0)),
    ("del slice", lambda v: v.__delitem__(slice(0, 2))),
]


@pytest.mark.parametrize("cls", [pelorin.vector_uint8, pelorin.vector_uint32, pelorin.vector_float])
@pytest.mark.parametrize("name, resize", RESIZING, ids=[r[0] for r in RESIZING])
@pytest.mark.parametrize("export", [memoryview, np.asarray])
def test_resizing_is_refused_while_a_buffer_is_exported(cls, name, resize, export):
    v = cls([1, 2, 3])
    exported = export(v)
    with pytest.raises(BufferError, match="Existing exports of data: object cannot be re-sized"):
        resize(v)
    assert list(v) == [1, 2, 3]
    v[0] = 5  # writing in place is fine
    v[0:2] = cls([5, 6])
    assert exported[0] == 5
    del exported
    resize(v)


def test_every_export_must_be_released():
    v = pelorin.vector_float([1.0])
    first, second = memoryview(v), np.asarray(v)
    first.release()
    with pytest.raises(BufferError):
        v.append(2.0)
    del second
    v.append(2.0)
    assert list(v) == [1.0, 2.0]


def test_frame_vectors_refuse_resizing_while_exported():
    values = raw_frames.random_values(5, dual=False)
    camera, _ = streaming_camera([raw_frames.encode_raw_frame(values, False)])
    frame = camera.get_frame(10)
    noise = frame.noise_level
    array = np.asarray(noise)
    with pytest.raises(BufferError):
        noise.append(1.0)
    np.testing.assert_array_equal(array, values["noise_level"])
    del array
    noise.append(1.0)
    assert len(frame.noise_level) == 577


def test_raw_bytes_buffers_keep_their_frame_when_the_camera_moves_on():
    first, second = (raw_frames.random_values(s, dual=False) for s in (1, 2))
    frames = [raw_frames.encode_raw_frame(first, False),
              raw_frames.encode_raw_frame(second, False, padded=True),
              np.arange(500000, dtype=np.uint8)]  # larger than the record was sized for
    camera, _ = streaming_camera(frames)
    frame = camera.get_frame(10)
    raw = np.asarray(frame.raw_image)
    noise = np.asarray(frame.noise_level)
    assert camera.get_frame(10).error == 0
    np.testing.assert_array_equal(raw, frames[0])  # the bytes it was exported with
    np.testing.assert_array_equal(np.asarray(frame.raw_image), frames[1].reshape(-1, 704)[:, :672].reshape(-1))
    np.testing.assert_array_equal(noise, second["noise_level"])  # decoded outputs are live
    frame.raw_image.append(0)  # the record's bytes are no longer those the array points into
    frame.raw_image.pop()
    camera.get_frame(10)
    np.testing.assert_array_equal(raw, frames[0])
    np.testing.assert_array_equal(np.asarray(frame.raw_image), frames[2])


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
def test_misuse_never_touches_freed_memory():
    env = dict(os.environ, PYTHONMALLOC="malloc",
               PYTHONPATH=os.pathsep.join([str(HERE), str(HERE.parents[1] / "tools"),
                                           os.path.dirname(pelorin.__file__)]))
    result = subprocess.run(
        ["valgrind", "-q", "--error-exitcode=99", "--leak-check=no", sys.executable,
         str(HERE / "memory_misuse.py")],
        env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.rstrip().endswith("done")
