import gc
import weakref

import numpy as np
import pytest

import pelorin
import raw_frames
from conftest import streaming_camera


def test_managers_share_the_one_process_wide_manager(capfd):
    first, second = pelorin.camera_manager(), pelorin.camera_manager()
    assert first is not second
    assert first.get_camera_list() == []
    assert first.init() == 0  # no media devices on a test machine
    assert second.get_camera_list() == first.get_camera_list() == []
    del first
    gc.collect()
    assert pelorin.camera_manager().get_camera_list() == []
    assert second.get_camera("media0/IMX704") is None
    assert capfd.readouterr().out.endswith("Camera 'media0/IMX704' not found\n")


def test_camera_has_no_python_constructor():
    with pytest.raises(TypeError, match=r"camera: No constructor defined!$"):
        pelorin.camera()


def test_offline_camera_is_named_and_unlisted():
    camera = pelorin.create_camera_offline("bench/replay")
    assert camera.get_camera_info()["id"] == "bench/replay"
    assert pelorin.camera_manager().get_camera("bench/replay") is None
    assert pelorin.create_camera_offline(b"raw-bytes").get_camera_info()["id"] == "raw-bytes"
    with pytest.raises(TypeError):
        pelorin.create_camera_offline(5)


@pytest.mark.parametrize("call", [
    lambda c: c.get_frame(-1),
    lambda c: c.get_frame(1.5),
    lambda c: c.get_frame(2**32),
    lambda c: c.get_frame("100"),
    lambda c: c.open(-1),
    lambda c: c.configure_camera_echo(0.0),
    lambda c: c.configure_camera_output(None),
    lambda c: c.configure_camera_dual_depth(None),
    lambda c: c.configure_camera_dual_depth(pelorin.camera_output_configuration()),
    lambda c: c.get_frame(timeout=100),
])
def test_arguments_that_do_not_convert_raise_type_error(call):
    with pytest.raises(TypeError):
        call(pelorin.create_camera_offline("args"))


def test_integer_arguments_accept_index_objects_and_keywords():
    camera = pelorin.create_camera_offline("args")
    assert camera.open(mode=np.uint32(raw_frames.SINGLE_MODE)) == 0
    assert camera.configure_camera_echo(number_of_echoes=np.int64(3)) == 0
    assert camera.get_frame(timeout_ms=100).error == -13
    assert camera.get_frame(4294967295).error == -13


def test_status_codes_are_returned_not_raised(capfd):
    camera = pelorin.create_camera_offline("codes")
    assert camera.open(0x1C) == -22
    assert camera.close() == -13
    assert camera.open(raw_frames.SINGLE_MODE) == 0
    assert camera.start() == -13  # no image stream yet
    assert camera.configure_camera_dual_depth(pelorin.dual_depth_params()) == -13
    assert camera.configure_camera_echo(4) == -22
    assert camera.stop() == -13
    out = capfd.readouterr().out
    assert "Cannot start camera: missing streams\n" in out


def test_frames_outside_streaming_are_fresh_error_records(capfd):
    camera = pelorin.create_camera_offline("idle")
    camera.open(raw_frames.SINGLE_MODE)
    first = camera.get_frame(10)
    second = camera.get_frame(10)
    assert first is not second
    for frame in (first, second):
        assert (frame.error, frame.max_depth_index, frame.point_cloud, len(frame.noise_level)) == \
            (-13, 0, [], 0)
    assert capfd.readouterr().out.count("Cannot get a frame: camera not streaming\n") == 2


def test_streaming_returns_the_same_frame_object_showing_the_latest_frame(single_frame_values):
    other = raw_frames.random_values(8, dual=False)
    frames = [raw_frames.encode_raw_frame(v, dual=False) for v in (single_frame_values, other)]
    camera, _ = streaming_camera(frames)
    first = camera.get_frame(100)
    noise = first.noise_level
    assert first.error == 0
    assert noise[5] == single_frame_values["noise_level"][5]
    second = camera.get_frame(100)
    assert second is first
    assert noise[5] == other["noise_level"][5]


def test_sensor_info_is_shared_with_the_camera():
    camera = pelorin.create_camera_offline("sensor")
    info = camera.get_sensor_info()
    assert camera.get_sensor_info() is info
    laser = info.laser_status
    del camera
    gc.collect()
    assert (info.temperature, info.depth_num, laser.light_emitted) == (0.0, 0, False)


@pytest.mark.parametrize("retire", ["stop", "start", "idle_get_frame", "delete_camera", "close"])
def test_a_frame_keeps_its_data_after_the_camera_lets_go_of_it(single_frame_values, retire):
    frame_bytes = raw_frames.encode_raw_frame(single_frame_values, dual=False)
    camera, _ = streaming_camera([frame_bytes], repeat=True)
    frame = camera.get_frame(100)
    depth = np.asarray(frame.radial_depth[0])
    histogram = np.asarray(frame.histogram)
    if retire == "stop":
        assert camera.stop() == 0
    elif retire == "start":
        assert camera.stop() == 0 and camera.start() == 0
        assert camera.get_frame(100) is not frame
    elif retire == "idle_get_frame":
        camera.stop()
        assert camera.get_frame(100) is not frame
    elif retire == "close":
        assert camera.close() == 0
    else:
        del camera
        gc.collect()
    assert frame.error == 0
    np.testing.assert_array_equal(depth, single_frame_values["radial_depth"][0])
    np.testing.assert_array_equal(histogram, single_frame_values["histogram"])
    np.testing.assert_array_equal(np.asarray(frame.raw_image), frame_bytes)


def test_a_frame_does_not_keep_its_camera_alive(single_frame_values):
    camera, player = streaming_camera([raw_frames.encode_raw_frame(single_frame_values, False)])
    frame = camera.get_frame(100)
    player_ref = weakref.ref(player)
    del camera, player
    gc.collect()
    assert player_ref() is None
    assert frame.error == 0
