import pelorin
import raw_frames
from conftest import streaming_camera

KEYS = ["id", "model", "status", "sync_mode", "mode", "number_of_echo", "dual_depth_mode",
        "dual_depth_params", "supported_modes"]
MODE_KEYS = ["sensor_width", "sensor_height", "raw_size_image", "raw_size_ebd", "max_echo",
             "dual_depth_mode"]


def test_a_new_camera_reports_its_defaults():
    info = pelorin.create_camera_offline("cam0").get_camera_info()
    assert list(info) == KEYS
    assert [info[k] for k in KEYS[:7]] == ["cam0", "IMX704", "available", "undefined", 0, 1, False]
    assert list(info["dual_depth_params"].items()) == [
        ("select_near", 200.0), ("select_far", 2000.0), ("merge_window", 50.0)]
    modes = info["supported_modes"]
    assert sorted(modes) == ["201c", "211c", "221c", "301c", "311c", "321c"]
    assert all(list(m) == MODE_KEYS for m in modes.values())
    assert list(modes["301c"].values()) == [24, 24, 790272, 16128, 3, True]
    assert list(modes["211c"].values()) == [24, 24, 395136, 8064, 3, False]
    assert type(modes["301c"]["dual_depth_mode"]) is bool


def test_the_dictionary_follows_the_camera_and_is_not_shared():
    camera, _ = streaming_camera([], mode=raw_frames.SINGLE_MODE, echoes=2)
    info = camera.get_camera_info()
    assert (info["mode"], info["sync_mode"], info["status"], info["number_of_echo"]) == \
        (8476, "master_mode", "streaming", 2)
    info["supported_modes"].clear()
    assert len(camera.get_camera_info()["supported_modes"]) == 6
    camera.stop()
    assert camera.get_camera_info()["status"] == "idle"


def test_camera_list_of_an_empty_manager():
    assert pelorin.camera_manager().get_camera_list() == []


def test_non_utf8_ids_raise_unicode_decode_error():
    camera = pelorin.create_camera_offline(b"\xff\xfe")
    try:
        camera.get_camera_info()
    except UnicodeDecodeError:
        pass
    else:
        raise AssertionError("expected UnicodeDecodeError")
