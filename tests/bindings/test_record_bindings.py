import gc
import weakref

import numpy as np
import pytest

import pelorin

CONFIG_FLAGS = ["enable_point_cloud", "enable_cartesian_depth", "enable_radial_depth",
                "enable_noise_level", "enable_peak_height", "enable_peak_status",
                "enable_histogram", "enable_pdc"]
PER_ECHO = ["point_cloud", "cartesian_depth", "radial_depth", "peak_height", "peak_status"]


def test_dual_depth_params_defaults_and_conversion():
    params = pelorin.dual_depth_params()
    assert (params.select_near, params.select_far, params.merge_window) == (200.0, 2000.0, 50.0)
    params.merge_window = 10
    assert params.merge_window == 10.0 and isinstance(params.merge_window, float)
    with pytest.raises(TypeError):
        params.select_near = "1"
    with pytest.raises(AttributeError):
        params.extra = 1


def test_output_configuration_flags():
    config = pelorin.camera_output_configuration()
    assert [getattr(config, f) for f in CONFIG_FLAGS] == [False] * 8
    for value, expected in [(True, True), (np.bool_(True), True), (None, False), (False, False)]:
        config.enable_pdc = value
        assert config.enable_pdc is expected
    with pytest.raises(TypeError):
        config.enable_pdc = "yes"


@pytest.mark.parametrize("obj, fields", [
    (pelorin.laser_status_flags(), ["light_emitted", "read_back", "lvds_connection", "bank_check"]),
    (pelorin.sensor_info(), ["temperature", "depth_num", "peak_order_selection", "laser_status"]),
    (pelorin.frame_buffer(0), ["error", "frame_id", "timestamp", "max_depth_index"] + PER_ECHO +
     ["noise_level", "histogram", "pdc", "raw_image", "raw_ebd"]),
])
def test_camera_records_are_read_only(obj, fields):
    for field in fields:
        getattr(obj, field)
        with pytest.raises(AttributeError):
            setattr(obj, field, getattr(obj, field))
        with pytest.raises(AttributeError):
            delattr(obj, field)


def test_frame_buffer_constructors():
    empty = pelorin.frame_buffer(-5)
    assert (empty.error, empty.max_depth_index, empty.frame_id, empty.timestamp) == (-5, 0, 0, 0)
    assert all(getattr(empty, f) == [] for f in PER_ECHO)

    config = pelorin.camera_output_configuration()
    config.enable_cartesian_depth = True
    frame = pelorin.frame_buffer(config, 3, 576)
    assert frame.max_depth_index == 3
    assert [len(np.asarray(v)) for v in frame.point_cloud] == [576] * 3
    assert [len(v) for v in frame.cartesian_depth] == [576] * 3
    assert [len(v) for v in frame.radial_depth] == [0] * 3
    assert pelorin.frame_buffer(config, 257, 1).max_depth_index == 1  # low 8 bits

    for args in [(config, -1, 576), (config, 1, 2**32), (2**31,), (1.0,), (None, 1, 1)]:
        with pytest.raises(TypeError):
            pelorin.frame_buffer(*args)


def test_per_echo_lists_are_new_lists_of_live_views():
    config = pelorin.camera_output_configuration()
    config.enable_cartesian_depth = True
    frame = pelorin.frame_buffer(config, 2, 4)
    first, second = frame.cartesian_depth, frame.cartesian_depth
    assert first is not second
    assert first[0] is second[0] and first[0] is not first[1]
    first[1][2] = 7.5
    assert frame.cartesian_depth[1][2] == 7.5


def test_views_keep_their_frame_alive():
    config = pelorin.camera_output_configuration()
    config.enable_noise_level = True
    frame = pelorin.frame_buffer(config, 1, 8)
    frame_ref = weakref.ref(frame)
    noise = frame.noise_level
    depth = frame.radial_depth[0]
    del frame
    gc.collect()
    assert frame_ref() is not None
    del noise
    gc.collect()
    assert frame_ref() is not None
    del depth
    gc.collect()
    assert frame_ref() is None
