"""The camera, its records and enumerations, and the module itself."""

import gc
import subprocess
import sys
import weakref

import numpy as np
import pytest

import pelorin
import raw_frames
from conftest import PER_ECHO, all_outputs, streaming_camera
from pelorin import camera_sync_mode, stream_type

SLAVE, EBD = pelorin.camera_sync_slave_mode, pelorin.stream_ebd
MODE_KEYS = ["sensor_width", "sensor_height", "raw_size_image", "raw_size_ebd", "max_echo",
             "dual_depth_mode"]


def test_camera_info_of_a_new_and_an_opened_camera():
    info = pelorin.create_camera_offline("cam0").get_camera_info()
    assert list(info.items())[:7] == [
        ("id", "cam0"), ("model", "IMX704"), ("status", "available"), ("sync_mode", "undefined"),
        ("mode", 0), ("number_of_echo", 1), ("dual_depth_mode", False)]
    assert list(info)[7:] == ["dual_depth_params", "supported_modes"]
    assert list(info["dual_depth_params"].items()) == [
        ("select_near", 200.0), ("select_far", 2000.0), ("merge_window", 50.0)]
    modes = info["supported_modes"]
    assert sorted(modes) == ["201c", "211c", "221c", "301c", "311c", "321c"]
    assert list(modes["301c"].items()) == list(zip(MODE_KEYS, [24, 24, 790272, 16128, 3, True]))
    assert list(modes["211c"].values()) == [24, 24, 395136, 8064, 3, False]
    camera = streaming_camera([], echoes=2)
    info = camera.get_camera_info()
    assert [info[k] for k in ("status", "sync_mode", "mode", "number_of_echo")] == \
        ["streaming", "master_mode", 8476, 2]
    camera.stop()
    assert camera.get_camera_info()["status"] == "idle"


def test_manager_and_status_codes(capfd):
    manager = pelorin.camera_manager()
    assert manager.init() == 0 and manager.get_camera_list() == []  # no media devices here
    assert manager.get_camera("media0/IMX704") is None
    camera = pelorin.create_camera_offline(b"codes")
    assert manager.get_camera("codes") is None
    assert camera.open(0x1C) == -22
    assert camera.open(mode=np.uint32(raw_frames.SINGLE_MODE)) == 0
    assert (camera.start(), camera.configure_camera_echo(4)) == (-13, -22)  # no image stream
    assert camera.get_frame(timeout_ms=4294967295).error == -13
    out = capfd.readouterr().out
    assert "Camera 'media0/IMX704' not found\n" in out and "missing streams\n" in out


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
    params, config = pelorin.dual_depth_params(), pelorin.camera_output_configuration()
    params.merge_window = 10
    config.enable_pdc = np.bool_(True)
    assert (params.select_near, params.select_far, params.merge_window, config.enable_pdc,
            config.enable_histogram) == (200.0, 2000.0, 10.0, True, False)
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
    depth = frame.cartesian_depth[1]
    depth[2] = 7.5
    assert frame.cartesian_depth[1][2] == 7.5 and len(frame.cartesian_depth[0]) == 4
    assert [np.asarray(v).shape for v in frame.point_cloud] == [(4, 3)] * 2
    frame_ref = weakref.ref(frame)
    del frame
    gc.collect()
    assert frame_ref() is not None
    del depth
    gc.collect()
    assert frame_ref() is None


def test_signatures_name_python_classes():
    docs = [getattr(cls, name).__doc__ or "" for cls in vars(pelorin).values()
            if isinstance(cls, type) for name in dir(cls) if not name.startswith("__")]
    assert not [d for d in docs if "vorlake" in d or "std::" in d]


def test_import_in_a_subinterpreter_is_refused():
    script = ("import _interpreters; e = _interpreters.run_string(_interpreters.create(), "
              "'import pelorin'); print(e.type.__name__)")
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout.strip() == "ImportError", result.stderr
