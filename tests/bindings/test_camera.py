"""The camera, its records and enumerations, and the module itself."""

import gc
import weakref

import numpy as np
import pytest

import pelorin
from tessaro import wire as raw_frames
from conftest import PER_ECHO, all_outputs, streaming_camera
from pelorin import camera_sync_mode, stream_type

SLAVE, EBD = pelorin.camera_sync_slave_mode, pelorin.stream_ebd


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
    assert list(modes["301c"].items()) == [
        ("sensor_width", 24), ("sensor_height", 24), ("raw_size_image", 790272),
        ("raw_size_ebd", 16128), ("max_echo", 3), ("dual_depth_mode", True)]
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
    camera = pelorin.create_camera_offline(b"codes")
    assert (manager.get_camera("media0/IMX704"), manager.get_camera("codes")) == (None, None)
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
    assert (unknown.name, str(unknown), stream_type(5).name, stream_type(-1).value) == \
        ("???", "camera_sync_mode.???", "???", -1)


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
    lambda c: stream_type(2**31),
    lambda c: setattr(pelorin.dual_depth_params(), "select_near", "1"),
    lambda c: setattr(pelorin.camera_output_configuration(), "enable_pdc", "yes"),
    lambda c: pelorin.frame_buffer(all_outputs(), -1, 5),
    lambda c: pelorin.frame_buffer(all_outputs(), 1, 2**32), lambda c: pelorin.frame_buffer(2**31),
    lambda c: pelorin.frame_buffer(1.0), lambda c: pelorin.frame_buffer(None, 1, 1)])
def test_arguments_that_do_not_convert_raise_type_error(call):
    with pytest.raises(TypeError):
        call(pelorin.create_camera_offline("args"))


def test_frame_buffer_constructors():
    empty, config = pelorin.frame_buffer(-5), pelorin.camera_output_configuration()
    assert (empty.error, empty.max_depth_index, empty.frame_id, empty.point_cloud) == (-5, 0, 0, [])
    config.enable_pdc = True
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


def test_per_echo_views_keep_their_frame_alive():
    frame = pelorin.frame_buffer(all_outputs(), 2, 4)
    depth, frame_ref = frame.cartesian_depth[1], weakref.ref(frame)
    del frame
    gc.collect()
    assert frame_ref() is not None and len(depth) == 4
    del depth
    gc.collect()
    assert frame_ref() is None


def test_signatures_name_python_classes():
    docs = [getattr(cls, name).__doc__ or "" for cls in vars(pelorin).values()
            if isinstance(cls, type) for name in dir(cls) if not name.startswith("__")]
    assert not [d for d in docs if "vorlake" in d or "std::" in d]


@pytest.mark.parametrize("cls", [v for v in vars(pelorin).values()
                                 if isinstance(v, type) and not hasattr(v, "__members__")])
def test_objects_are_never_made_without_init(cls):
    for made in (cls, type("subclass", (cls,), {})):
        with pytest.raises(TypeError, match="by calling the class"):
            made.__new__(made)
    assert type("subclass", (pelorin.dual_depth_params,), {})().select_far == 2000.0
