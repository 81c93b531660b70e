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


@pytest.mark.parametrize("a, b, equal", [
    (SLAVE, 2, True), (SLAVE, 1, False), (SLAVE, SLAVE, True),
    (SLAVE, pelorin.camera_sync_master_mode, False), (pelorin.camera_sync_undefined, None, False),
    (pelorin.camera_sync_undefined, "0", False), (EBD, 1, False), (EBD, EBD, True),
    (EBD, pelorin.stream_image, False), (pelorin.stream_image, None, False)])
def test_enum_equality(a, b, equal):
    assert ((a == b), (a != b)) == (equal, not equal)


@pytest.mark.parametrize("call", [
    lambda c: c.get_frame(-1), lambda c: c.get_frame(1.5), lambda c: c.get_frame(2**32),
    lambda c: c.get_frame("100"), lambda c: c.open(-1), lambda c: c.configure_camera_echo(0.0),
    lambda c: c.configure_camera_output(None), lambda c: c.configure_camera_dual_depth(None),
    lambda c: c.add_stream(pelorin.stream_image, 5), lambda c: pelorin.create_camera_offline(5),
    lambda c: pelorin.camera(), lambda c: camera_sync_mode(-1), lambda c: stream_type(1.0),
    lambda c: setattr(pelorin.dual_depth_params(), "select_near", "1"),
    lambda c: setattr(pelorin.camera_output_configuration(), "enable_pdc", "yes"),
    lambda c: pelorin.frame_buffer(all_outputs(), -1, 5),
    lambda c: pelorin.frame_buffer(all_outputs(), 1, 2**32), lambda c: pelorin.frame_buffer(2**31),
    lambda c: pelorin.frame_buffer(1.0), lambda c: pelorin.frame_buffer(None, 1, 1)])
def test_arguments_that_do_not_convert_raise_type_error(call):
    with pytest.raises(TypeError):
        call(pelorin.create_camera_offline("args"))


def test_records():
    params = pelorin.dual_depth_params()
    assert (params.select_near, params.select_far, params.merge_window) == (200.0, 2000.0, 50.0)
    params.merge_window = 10
    config = pelorin.camera_output_configuration()
    config.enable_pdc = np.bool_(True)
    assert (params.merge_window, config.enable_pdc, config.enable_histogram) == (10.0, True, False)
    empty = pelorin.frame_buffer(-5)
    assert (empty.error, empty.max_depth_index, empty.frame_id, empty.point_cloud) == (-5, 0, 0, [])
    frame = pelorin.frame_buffer(config, 257, 1)  # echo slots: the low 8 bits
    assert (frame.max_depth_index, np.asarray(frame.pdc).shape, len(frame.radial_depth[0])) == \
        (1, (1, 4), 0)


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
    frame_ref = weakref.ref(frame)
    del frame, second
    gc.collect()
    assert frame_ref() is not None
    del first
    gc.collect()
    assert frame_ref() is None


@pytest.mark.parametrize("cls, shape", [
    (pelorin.vector_uint8, (5,)), (pelorin.vector_uint32, (5,)), (pelorin.vector_float, (5,)),
    (pelorin.vector_peak_status, (0,)), (pelorin.vector_vector3, (0, 3)),
    (pelorin.vector_histogram, (0, 144)), (pelorin.vector_pdc, (0, 4))])
def test_vector_buffers(cls, shape):
    if shape == (5,):
        v = cls(np.arange(10, dtype=np.asarray(cls()).dtype)[::2])
        np.asarray(v)[1] = 9
        assert list(v) == [0, 9, 4, 6, 8] and memoryview(v).obj is v
        with pytest.raises(TypeError, match="Format mismatch"):
            cls(np.zeros(2, dtype=np.float64))
        with pytest.raises(TypeError, match="Only valid 1D buffers"):
            cls(np.zeros((2, 2)))
    else:
        assert np.asarray(cls()).shape == shape
        with pytest.raises(TypeError):
            len(cls())


def test_list_methods():
    v = pelorin.vector_uint32([5, 6, 7])
    v.append(8)
    v.extend(v)
    v.insert(-1, 11)
    v.insert(len(v), 12)
    assert (list(v), v.pop(), v.pop(0), v.pop(-2)) == ([5, 6, 7, 8, 5, 6, 7, 11, 8, 12], 12, 5, 11)
    v.remove(7)
    v[-1] = 1
    v[0:2] = pelorin.vector_uint32([3, 4])
    del v[1:6:2]
    assert (list(v), list(v[::2]), v[-3], 4 in v, v.count(5)) == ([3, 5, 7], [3, 7], 3, False, 1)
    del v[::-2]
    it = iter(v)
    assert (list(v), repr(pelorin.vector_uint8([72, 105]))) == ([5], "vector_uint8[H, i]")
    v.clear()
    assert list(it) == []


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


def test_signatures_name_python_classes():
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
