import gc
import weakref

import numpy as np
import pytest

import pelorin
import raw_frames
from conftest import encoded, streaming_camera

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
    assert all(list(m) == MODE_KEYS for m in modes.values())
    assert list(modes["301c"].values()) == [24, 24, 790272, 16128, 3, True]
    assert list(modes["211c"].values()) == [24, 24, 395136, 8064, 3, False]
    camera = streaming_camera([], echoes=2)
    info = camera.get_camera_info()
    assert [info[k] for k in ("status", "sync_mode", "mode", "number_of_echo")] == \
        ["streaming", "master_mode", 8476, 2]
    camera.stop()
    assert camera.get_camera_info()["status"] == "idle"


def test_manager_and_offline_cameras(capfd):
    manager = pelorin.camera_manager()
    assert manager.init() == 0 and manager.get_camera_list() == []  # no media devices here
    assert manager.get_camera("media0/IMX704") is None
    assert capfd.readouterr().out.endswith("Camera 'media0/IMX704' not found\n")
    assert pelorin.create_camera_offline(b"raw").get_camera_info()["id"] == "raw"
    assert manager.get_camera("raw") is None


def test_status_codes_are_returned_not_raised(capfd):
    camera = pelorin.create_camera_offline("codes")
    assert camera.open(0x1C) == -22
    assert camera.open(mode=np.uint32(raw_frames.SINGLE_MODE)) == 0
    assert camera.start() == -13  # no image stream yet
    assert camera.configure_camera_echo(4) == -22
    assert camera.get_frame(timeout_ms=4294967295).error == -13
    assert "Cannot start camera: missing streams\n" in capfd.readouterr().out


def test_a_frame_does_not_keep_its_camera_or_source_alive():
    player = raw_frames.frame_player([encoded(7)[1]])
    camera = streaming_camera(player)
    frame, player_ref = camera.get_frame(100), weakref.ref(player)
    del camera, player
    gc.collect()
    assert player_ref() is None and frame.error == 0
