"""Frames written by the Python encoder, replayed through an offline camera, come back decoded."""

import numpy as np
import pytest

import pelorin
import raw_frames
from conftest import streaming_camera

N = 576


def arrays(frame):
    return {
        "noise_level": np.asarray(frame.noise_level),
        "histogram": np.asarray(frame.histogram),
        "pdc": np.asarray(frame.pdc),
        "radial_depth": [np.asarray(v) for v in frame.radial_depth],
        "cartesian_depth": [np.asarray(v) for v in frame.cartesian_depth],
        "peak_height": [np.asarray(v) for v in frame.peak_height],
        "peak_status": [np.asarray(v) for v in frame.peak_status],
        "point_cloud": [np.asarray(v) for v in frame.point_cloud],
        "raw_image": np.asarray(frame.raw_image),
    }


def check_layout(a, pixels, per_echo, echoes):
    expected = {
        "noise_level": ((pixels,), np.float32, (4,)),
        "histogram": ((pixels, 144), np.uint32, (576, 4)),
        "pdc": ((pixels, 4), np.uint32, (16, 4)),
    }
    for key, (shape, dtype, strides) in expected.items():
        assert (a[key].shape, a[key].dtype, a[key].strides) == (shape, dtype, strides), key
    for key, dtype in (("radial_depth", np.float32), ("cartesian_depth", np.float32),
                       ("peak_height", np.float32), ("peak_status", np.uint8)):
        assert len(a[key]) == echoes
        for v in a[key]:
            assert (v.shape, v.dtype) == ((per_echo,), dtype), key
    for v in a["point_cloud"]:
        assert (v.shape, v.dtype, v.strides) == ((per_echo, 3), np.float32, (12, 4))


@pytest.mark.parametrize("padded", [False, True])
def test_single_mode_frames_decode_to_the_encoded_values(padded):
    values = raw_frames.random_values(11, dual=False)
    camera, _ = streaming_camera([raw_frames.encode_raw_frame(values, False, padded)], echoes=3)
    frame = camera.get_frame(100)
    assert frame.error == 0 and frame.max_depth_index == 3
    a = arrays(frame)
    check_layout(a, N, N, 3)
    np.testing.assert_array_equal(a["noise_level"], values["noise_level"])
    np.testing.assert_array_equal(a["histogram"], values["histogram"])
    np.testing.assert_array_equal(a["pdc"], values["pdc"])
    for echo in range(3):
        np.testing.assert_array_equal(a["radial_depth"][echo], values["radial_depth"][echo])
        np.testing.assert_array_equal(a["point_cloud"][echo], values["points"][echo])
        np.testing.assert_array_equal(a["cartesian_depth"][echo], values["points"][echo][:, 2])
        np.testing.assert_array_equal(a["peak_height"][echo], values["peak_height"][echo])
        np.testing.assert_array_equal(a["peak_status"][echo], values["peak_status"][echo])
    # The raw bytes are kept as received, padding dropped.
    np.testing.assert_array_equal(a["raw_image"], raw_frames.encode_raw_frame(values, False))


def test_dual_mode_frames_merge_to_the_first_sub_frame_inside_the_band():
    values = raw_frames.random_values(12, dual=True, echoes=1)
    # First sub-frame inside the default band (200, 2000), second sub-frame without returns.
    values["radial_depth"][0, :N] = np.linspace(250, 1900, N).round()
    values["radial_depth"][0, N:] = 0
    camera, _ = streaming_camera([raw_frames.encode_raw_frame(values, True)],
                                 mode=raw_frames.DUAL_MODE, echoes=1)
    frame = camera.get_frame(100)
    assert frame.error == 0
    a = arrays(frame)
    check_layout(a, 2 * N, N, 1)
    np.testing.assert_array_equal(a["radial_depth"][0], values["radial_depth"][0, :N])
    np.testing.assert_array_equal(a["point_cloud"][0], values["points"][0, :N])
    np.testing.assert_array_equal(a["peak_status"][0], values["peak_status"][0, :N])
    np.testing.assert_array_equal(a["noise_level"], values["noise_level"])
    np.testing.assert_array_equal(a["histogram"], values["histogram"])


def test_arrays_alias_the_frame_and_follow_later_frames():
    first, second = (raw_frames.random_values(seed, dual=False) for seed in (21, 22))
    frames = [raw_frames.encode_raw_frame(v, False) for v in (first, second)]
    camera, _ = streaming_camera(frames, echoes=1)
    frame = camera.get_frame(100)
    a = arrays(frame)
    noise = frame.noise_level
    a["noise_level"][3] = 1234.5
    assert noise[3] == 1234.5
    assert np.shares_memory(a["histogram"], np.asarray(frame.histogram))
    assert camera.get_frame(100) is frame
    np.testing.assert_array_equal(a["histogram"], second["histogram"])
    np.testing.assert_array_equal(a["point_cloud"][0], second["points"][0])
    np.testing.assert_array_equal(a["peak_status"][0], second["peak_status"][0])
    np.testing.assert_array_equal(a["noise_level"], second["noise_level"])


def test_embedded_data_fills_the_frame_counters_and_the_live_sensor_info():
    values = raw_frames.random_values(31, dual=False)
    ebd = raw_frames.encode_embedded_data(
        dual=False, frame_counter=12 * 5 + 1, time_counter=1000, time_multiplier=3,
        temperature=160, depth_num=3, peak_order_selection=1, light_emitted=1, read_back=0,
        lvds_connection=1, bank_check=0)
    camera = pelorin.create_camera_offline("ebd")
    camera.add_stream(pelorin.stream_image, raw_frames.frame_player(
        [raw_frames.encode_raw_frame(values, False)]))
    camera.add_stream(pelorin.stream_ebd, raw_frames.frame_player([ebd]))
    camera.open(raw_frames.SINGLE_MODE)
    info = camera.get_sensor_info()
    assert camera.start() == 0
    frame = camera.get_frame(100)
    assert (frame.error, frame.frame_id, frame.timestamp) == (0, 5, 10000)
    np.testing.assert_array_equal(np.asarray(frame.raw_ebd), ebd)
    laser = info.laser_status
    assert (info.temperature, info.depth_num, info.peak_order_selection) == (32.0, 3, 1)
    assert (laser.light_emitted, laser.read_back, laser.lvds_connection, laser.bank_check) == \
        (True, True, False, True)
