import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import pelorin
from conftest import encoded, streaming_camera

HERE = pathlib.Path(__file__).resolve().parent

RESIZING = {"append": lambda v: v.append(1), "extend": lambda v: v.extend([1]),
            "extend vector": lambda v: v.extend(type(v)([1])), "insert": lambda v: v.insert(0, 1),
            "pop": lambda v: v.pop(), "pop index": lambda v: v.pop(0),
            "remove": lambda v: v.remove(v[0]), "clear": lambda v: v.clear(),
            "del item": lambda v: v.__delitem__(0), "del slice": lambda v: v.__delitem__(slice(0, 2))}


@pytest.mark.parametrize("cls", [pelorin.vector_uint8, pelorin.vector_uint32, pelorin.vector_float])
@pytest.mark.parametrize("resize", RESIZING.values(), ids=RESIZING.keys())
def test_resizing_is_refused_until_every_export_is_released(cls, resize):
    v = cls([1, 2, 3])
    first, second = memoryview(v), np.asarray(v)
    first.release()
    with pytest.raises(BufferError, match="Existing exports of data: object cannot be re-sized"):
        resize(v)
    v[0:2] = cls([5, 6])  # writing in place is fine
    assert list(v) == [5, 6, 3] and second[0] == 5
    del second
    resize(v)


def test_raw_bytes_arrays_keep_the_bytes_they_were_taken_from():
    values, packed = encoded(1)
    second, padded = encoded(2, padded=True)
    bigger = np.arange(500000, dtype=np.uint8)
    camera = streaming_camera([packed, padded, bigger])
    frame = camera.get_frame(10)
    raw, noise = np.asarray(frame.raw_image), np.asarray(frame.noise_level)
    assert camera.get_frame(10) is frame
    np.testing.assert_array_equal(raw, packed)
    np.testing.assert_array_equal(frame.raw_image, padded.reshape(-1, 704)[:, :672].reshape(-1))
    np.testing.assert_array_equal(noise, second["noise_level"])  # decoded outputs are live
    camera.get_frame(10)
    np.testing.assert_array_equal(raw, packed)
    np.testing.assert_array_equal(frame.raw_image, bigger)


@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
def test_misuse_never_touches_freed_memory():
    path = [str(HERE), str(HERE.parents[1] / "tools"), os.path.dirname(pelorin.__file__)]
    result = subprocess.run(
        ["valgrind", "-q", "--error-exitcode=99", "--leak-check=no", sys.executable,
         str(HERE / "memory_misuse.py")],
        env=dict(os.environ, PYTHONMALLOC="malloc", PYTHONPATH=os.pathsep.join(path)),
        capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-4000:]
    assert result.stdout.rstrip().endswith("done")
