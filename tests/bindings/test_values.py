"""Enumerations, value records, vectors and the module itself."""

import gc
import subprocess
import sys
import weakref

import numpy as np
import pytest

import pelorin
from conftest import PER_ECHO, all_outputs
from pelorin import camera_sync_mode, stream_type

SLAVE, EBD = pelorin.camera_sync_slave_mode, pelorin.stream_ebd


def test_enum_members():
    assert str(pelorin.camera_sync_master_mode) == "camera_sync_mode.camera_sync_master_mode"
    assert repr(EBD) == "<stream_type.stream_ebd: 1>"
    assert [(n, int(m)) for n, m in camera_sync_mode.__members__.items()] == [
        ("camera_sync_undefined", 0), ("camera_sync_master_mode", 1), ("camera_sync_slave_mode", 2)]
    unknown = camera_sync_mode(7)
    assert (unknown.name, str(unknown), stream_type(5).name) == ("???", "camera_sync_mode.???", "???")
    for bad in (lambda: camera_sync_mode(-1), lambda: stream_type(1.0)):
        with pytest.raises(TypeError):
            bad()


@pytest.mark.parametrize("a, b, equal", [
    (SLAVE, 2, True), (SLAVE, 1, False), (SLAVE, SLAVE, True),
    (SLAVE, pelorin.camera_sync_master_mode, False), (pelorin.camera_sync_undefined, None, False),
    (pelorin.camera_sync_undefined, "0", False), (EBD, 1, False), (EBD, EBD, True),
    (EBD, pelorin.stream_image, False), (pelorin.stream_image, None, False)])
def test_enum_equality(a, b, equal):
    assert ((a == b), (a != b)) == (equal, not equal)


def test_records_and_their_conversions():
    params = pelorin.dual_depth_params()
    assert (params.select_near, params.select_far, params.merge_window) == (200.0, 2000.0, 50.0)
    params.merge_window = 10
    assert isinstance(params.merge_window, float)
    config = pelorin.camera_output_configuration()
    config.enable_pdc = np.bool_(True)
    assert config.enable_pdc is True and config.enable_histogram is False
    empty = pelorin.frame_buffer(-5)
    assert (empty.error, empty.max_depth_index, empty.frame_id, empty.point_cloud) == (-5, 0, 0, [])
    frame = pelorin.frame_buffer(config, 257, 1)  # echo slots: the low 8 bits
    assert (frame.max_depth_index, np.asarray(frame.pdc).shape, len(frame.radial_depth[0])) == (1, (1, 4), 0)
    for bad in [lambda: setattr(params, "select_near", "1"), lambda: setattr(config, "enable_pdc", "yes")] + \
            [lambda a=a: pelorin.frame_buffer(*a) for a in [(config, -1, 5), (config, 1, 2**32),
                                                             (2**31,), (1.0,), (None, 1, 1)]]:
        with pytest.raises(TypeError):
            bad()


@pytest.mark.parametrize("obj, fields", [
    (pelorin.laser_status_flags(), ["light_emitted", "read_back", "lvds_connection", "bank_check"]),
    (pelorin.sensor_info(), ["temperature", "depth_num", "peak_order_selection", "laser_status"]),
    (pelorin.frame_buffer(0), ["error", "frame_id", "timestamp", "max_depth_index"] + PER_ECHO +
     ["noise_level", "histogram", "pdc", "raw_image", "raw_ebd"])])
def test_camera_records_are_read_only(obj, fields):
    for field in fields:
        with pytest.raises(AttributeError):
            setattr(obj, field, getattr(obj, field))


def test_per_echo_views_are_live_and_keep_their_frame_alive():
    frame = pelorin.frame_buffer(all_outputs(), 2, 4)
    first, second = frame.cartesian_depth, frame.cartesian_depth
    assert first is not second and first[0] is second[0] and first[0] is not first[1]
    first[1][2] = 7.5
    assert frame.cartesian_depth[1][2] == 7.5
    assert [np.asarray(v).shape for v in frame.point_cloud] == [(4, 3)] * 2
    frame_ref, depth = weakref.ref(frame), frame.radial_depth[0]
    del frame, first, second
    gc.collect()
    assert frame_ref() is not None
    del depth
    gc.collect()
    assert frame_ref() is None


@pytest.mark.parametrize("cls, dtype", [(pelorin.vector_uint8, np.uint8),
                                        (pelorin.vector_uint32, np.uint32),
                                        (pelorin.vector_float, np.float32)])
def test_list_like_vectors(cls, dtype):
    v = cls(np.arange(10, dtype=dtype)[::2])
    np.asarray(v)[1] = 9
    v.extend(v)
    assert list(v) == [0, 9, 4, 6, 8] * 2 and memoryview(v).obj is v
    with pytest.raises(TypeError, match="Only valid 1D buffers"):
        cls(np.zeros((2, 2), dtype=dtype))
    with pytest.raises(TypeError, match="Format mismatch"):
        cls(np.zeros(2, dtype=np.float64))


def test_list_methods():
    v = pelorin.vector_uint32([5, 6, 7])
    v.append(8)
    v.extend([9])
    v.insert(-1, 11)
    v.insert(len(v), 12)
    assert (list(v), v.pop(), v.pop(0), v.pop(-2)) == ([5, 6, 7, 8, 11, 9, 12], 12, 5, 11)
    v.remove(7)
    v[-1] = 1
    v[0:2] = pelorin.vector_uint32([3, 4])
    assert (list(v), list(v[::2]), v[-3]) == ([3, 4, 1], [3, 1], 3)
    del v[::2]
    assert (list(v), 4 in v, v.count(4), repr(v)) == ([4], True, 1, "vector_uint32[4]")
    v = pelorin.vector_uint32(range(10))
    del v[1:9:3]
    assert v == pelorin.vector_uint32([0, 2, 3, 5, 6, 8, 9])
    it = iter(v)
    v.clear()
    assert list(it) == [] and repr(pelorin.vector_uint8([72, 105])) == "vector_uint8[H, i]"


@pytest.mark.parametrize("call, error", [
    (lambda v: v[3], IndexError), (lambda v: v[-4], IndexError), (lambda v: v.pop(3), IndexError),
    (lambda v: pelorin.vector_float().pop(), IndexError), (lambda v: v.insert(5, 1.0), IndexError),
    (lambda v: v.remove(42.0), ValueError), (lambda v: v.__delitem__(3), IndexError),
    (lambda v: v.__setitem__(slice(0, 2), pelorin.vector_float([1.0])), RuntimeError),
    (lambda v: pelorin.vector_uint8().append(-1), TypeError),
    (lambda v: v.extend([1.0, "x"]), RuntimeError)])
def test_list_method_failures_change_nothing(call, error):
    v = pelorin.vector_float([1.0, 2.0, 3.0])
    with pytest.raises(error):
        call(v)
    assert list(v) == [1.0, 2.0, 3.0]


@pytest.mark.parametrize("cls, shape", [(pelorin.vector_peak_status, (0,)), (pelorin.vector_vector3, (0, 3)),
                                        (pelorin.vector_histogram, (0, 144)), (pelorin.vector_pdc, (0, 4))])
def test_buffer_only_vectors(cls, shape):
    assert np.asarray(cls()).shape == shape
    with pytest.raises(TypeError):
        len(cls())


def test_signatures_name_python_classes():
    assert "-> pelorin.frame_buffer" in pelorin.camera.get_frame.__doc__
    assert "arg0: pelorin.stream_type" in pelorin.camera.add_stream.__doc__
    docs = [getattr(cls, name).__doc__ or "" for cls in vars(pelorin).values()
            if isinstance(cls, type) for name in dir(cls) if not name.startswith("__")]
    assert not [d for d in docs if "vorlake" in d or "std::" in d]


@pytest.mark.parametrize("script, out", [
    ("import _interpreters; i = _interpreters.create(); "
     "e = _interpreters.run_string(i, 'import pelorin'); print(e.type.__name__)", "ImportError"),
    ("import sys; sys.modules['numpy'] = None; import pelorin; print(pelorin.__doc__)",
     "Bindings for Vorlake dToF library")])
def test_imports(script, out):
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.strip() == out, result.stderr
