"""Frame data held longer than the camera holds it. The whole file also runs under valgrind:
none of it may read or write freed memory."""

import gc
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import pelorin
import raw_frames
from conftest import arrays_of, encoded, streaming_camera

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


def test_append_on_a_frame_vector_while_exported():
    values, frame_bytes = encoded(5)
    noise = streaming_camera([frame_bytes]).get_frame(10).noise_level
    array = np.asarray(noise)
    for resize in (lambda: noise.append(1.0), lambda: noise.extend(range(5000)), noise.clear):
        with pytest.raises(BufferError):
            resize()
    np.testing.assert_array_equal(array, values["noise_level"])
    del array
    noise.extend(range(5000))


@pytest.mark.parametrize("retire", ["stop", "restart", "delete"])
@pytest.mark.parametrize("dual", [False, True])
def test_a_frame_keeps_its_data_after_the_camera_lets_go_of_it(retire, dual):
    mode = raw_frames.DUAL_MODE if dual else raw_frames.SINGLE_MODE
    (values, first), second = encoded(1, dual), encoded(2, dual)[1]
    camera = streaming_camera([first, second], mode, echoes=2, repeat=True)
    frame = camera.get_frame(100)
    held, info = arrays_of(frame), camera.get_sensor_info()
    cloud = held["point_cloud"][1].copy()
    if retire == "delete":
        del camera
    else:
        camera.stop()
        if retire == "restart":
            camera.start()
        assert camera.get_frame(100) is not frame
    gc.collect()
    for a in (held, arrays_of(frame)):
        np.testing.assert_array_equal(a["histogram"], values["histogram"])
        np.testing.assert_array_equal(a["raw_image"], first)
        np.testing.assert_array_equal(a["point_cloud"][1], cloud)
    assert (frame.error, info.temperature, info.laser_status.bank_check) == (0, 0.0, False)


def test_raw_image_arrays_keep_the_bytes_they_were_taken_from():
    values, packed = encoded(1)
    second, padded = encoded(2, padded=True)
    bigger = np.arange(3 * len(padded), dtype=np.uint8)
    camera = streaming_camera([packed, padded, bigger, packed])
    frame = camera.get_frame(10)
    held = [np.asarray(frame.raw_image), np.asarray(memoryview(frame.raw_image))]
    noise = np.asarray(frame.noise_level)
    assert camera.get_frame(10) is frame
    np.testing.assert_array_equal(frame.raw_image, padded.reshape(-1, 704)[:, :672].reshape(-1))
    np.testing.assert_array_equal(noise, second["noise_level"])  # decoded outputs are live
    held.append(np.asarray(frame.raw_image))
    camera.get_frame(10)
    np.testing.assert_array_equal(frame.raw_image, bigger)
    del held[0:2]  # the first storage goes, the later one stays
    camera.get_frame(10)
    gc.collect()
    np.testing.assert_array_equal(held[0], padded.reshape(-1, 704)[:, :672].reshape(-1))
    held[0][...] = held[0].copy()


def test_raw_image_taken_by_the_source_while_it_writes_a_larger_frame():
    small = encoded(4)[1]
    held = {}

    def source(array, timeout_ms):
        if "frame" in held:  # the previous frame's bytes, taken while the next one is read
            held["raw"] = np.asarray(held["frame"].raw_image)
            array[:] = 3
            return max(len(array), 2_000_000)
        array[:len(small)] = small[:len(array)]
        return len(small)

    camera = streaming_camera(source)
    held["frame"] = camera.get_frame(10)
    camera.get_frame(10)
    np.testing.assert_array_equal(held["raw"], small)


@pytest.mark.skipif(shutil.which("valgrind") is None or "UNDER_VALGRIND" in os.environ,
                    reason="needs valgrind")
def test_misuse_never_touches_freed_memory():
    here = pathlib.Path(__file__).resolve()
    path = [str(here.parent), str(here.parents[2] / "tools"), os.path.dirname(pelorin.__file__)]
    result = subprocess.run(
        ["valgrind", "-q", "--error-exitcode=99", "--leak-check=no", sys.executable, "-m", "pytest",
         "-q", "-p", "no:cacheprovider", "-k", "not resizing", str(here)],
        env=dict(os.environ, PYTHONMALLOC="malloc", PYTHONPATH=os.pathsep.join(path),
                 UNDER_VALGRIND="1"), capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-4000:]
