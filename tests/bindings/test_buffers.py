"""Vectors, and frame data held longer than the camera holds it: this file also runs under valgrind."""

import gc
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import pelorin
from tessaro.synthetic import wire
from tessaro_testing import arrays_of, encoded, streaming_camera

VECTORS = [pelorin.vector_uint8, pelorin.vector_uint32, pelorin.vector_float]
RESIZING = {"append": lambda v: v.append(1), "extend": lambda v: v.extend([1]),
            "extend vector": lambda v: v.extend(type(v)([1])), "insert": lambda v: v.insert(0, 1),
            "pop": lambda v: v.pop(), "pop index": lambda v: v.pop(0),
            "remove": lambda v: v.remove(v[0]), "clear": lambda v: v.clear(),
            "del item": lambda v: v.__delitem__(0), "del slice": lambda v: v.__delitem__(slice(0, 2))}


@pytest.mark.parametrize("cls", VECTORS)
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


@pytest.mark.parametrize("call, error", [
    (lambda v: v[3], IndexError), (lambda v: v[-4], IndexError), (lambda v: v.pop(3), IndexError),
    (lambda v: v.insert(5, 1.0), IndexError), (lambda v: v.remove(42.0), ValueError),
    (lambda v: v.__delitem__(3), IndexError), (lambda v: v.extend([1.0, "x"]), RuntimeError),
    (lambda v: v.__setitem__(slice(0, 2), pelorin.vector_float([1.0])), RuntimeError)])
def test_list_method_failures_change_nothing(call, error):
    v = pelorin.vector_float([1.0, 2.0, 3.0])
    with pytest.raises(error):
        call(v)
    assert list(v) == [1.0, 2.0, 3.0]
    assert (v[-3], list(v[::2]), v.pop(-2), list(v)) == (1.0, [1.0, 3.0], 2.0, [1.0, 3.0])


@pytest.mark.parametrize("retire", ["stop", "restart", "delete"])
@pytest.mark.parametrize("mode", [wire.SINGLE_MODE, wire.DUAL_MODE])
def test_a_frame_keeps_its_data_after_the_camera_lets_go_of_it(retire, mode):
    (values, first), second = (encoded(s, mode == wire.DUAL_MODE) for s in (1, 2))
    camera = streaming_camera([first, second[1]], mode=mode, echoes=2, repeat=True)
    frame = camera.get_frame(100)
    held, info, cloud = arrays_of(frame), camera.get_sensor_info(), np.array(frame.point_cloud[1])
    with pytest.raises(BufferError):
        frame.noise_level.append(1.0)
    if retire != "delete":
        assert camera.stop() == 0 and camera.get_frame(100) is not frame
        assert retire == "stop" or (camera.start() == 0 and camera.get_frame(100) is not frame)
    camera = camera if retire != "delete" else None
    arrays, error = [held, arrays_of(frame)], frame.error
    del frame  # the arrays alone keep its data, per-echo ones included
    gc.collect()
    for a in arrays:
        for key, expected in (("histogram", values["histogram"]), ("raw_image", first)):
            np.testing.assert_array_equal(a[key], expected)
        np.testing.assert_array_equal(a["point_cloud"][1], cloud)
    assert (error, info.temperature, info.laser_status.bank_check) == (0, 0.0, False)


# Reports from glibc and its loader that are not ours.
SUPPRESSIONS = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "valgrind.supp"


@pytest.mark.skipif(shutil.which("valgrind") is None or "UNDER_VALGRIND" in os.environ, reason="needs valgrind")
def test_misuse_never_touches_freed_memory():
    result = subprocess.run(
        ["valgrind", "-q", "--error-exitcode=99", "--leak-check=no", f"--suppressions={SUPPRESSIONS}",
         sys.executable, "-m", "pytest",
         "-q", "-p", "no:cacheprovider", "-k", "not (resizing or vector or list)", __file__,
         str(pathlib.Path(__file__).with_name("test_source_arrays.py"))],
        env=dict(os.environ, PYTHONMALLOC="malloc", UNDER_VALGRIND="1"),
        capture_output=True, text=True, timeout=900)
    assert result.returncode == 0, result.stdout[-2000:] + result.stderr[-4000:]


def test_private_copy_stacked_copies_each_group_and_refuses_unequal_arrays():
    parts = [np.arange(6, dtype=np.float32).reshape(2, 3) + k for k in range(3)]
    stacked, single = pelorin._copy_stacked([parts, parts[:1]])
    np.testing.assert_array_equal(stacked, np.stack(parts))
    assert single.shape == (1, 2, 3) and stacked.dtype == np.float32
    parts[0][:] = -1  # copies, not views
    assert stacked[0, 0, 0] == 0
    for bad in ([parts[0], parts[1].T.copy()], [parts[0], parts[1].astype(np.float64)], [parts[0][:, ::2]], []):
        with pytest.raises(ValueError, match="_copy_stacked"):
            pelorin._copy_stacked([bad])
