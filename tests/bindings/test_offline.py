"""Offline streams: the protocol with the Python callable, and frames replayed end to end."""

import gc
import weakref

import numpy as np
import pytest

import pelorin
import raw_frames
from conftest import arrays_of, encoded, streaming_camera

N = 576
SIZE = raw_frames.frame_size(dual=False)


class source:
    """Answers with a scripted list of results (the last one repeated), recording each array."""

    def __init__(self, *results):
        self.results, self.arrays, self.timeouts = list(results), [], []

    def __call__(self, array, timeout_ms):
        self.arrays.append(array)
        self.timeouts.append(timeout_ms)
        result = self.results.pop(0) if len(self.results) > 1 else self.results[0]
        if isinstance(result, int) and 0 < result <= len(array):
            array[:result] = np.arange(result, dtype=np.uint8)
        return result


@pytest.mark.parametrize("results, errors, sizes, message", [
    ((0,), [-62, -62], [1000, 1000], "stream[image]: errcode=-62"),
    ((-5,), [-5, -5], [1000, 1000], "stream[image]: errcode=-5"),
    ((-2**31,), [-2**31, -2**31], [1000, 1000], "errcode=-2147483648"),
    ((3000, 4000), [-75], [1000, 3000], "errcode=-75"),
    ((SIZE, SIZE, 1500), [0, -22, -22], [1000, SIZE, SIZE, 1500], "failed processing raw data"),
])
def test_results_reach_the_frame_and_size_the_next_array(capfd, results, errors, sizes, message):
    src = source(*results)
    camera = streaming_camera(src)
    assert [camera.get_frame(t).error for t in range(7, 7 + len(errors))] == errors
    assert [len(a) for a in src.arrays] == sizes
    assert src.timeouts[-1] == 6 + len(errors)
    assert capfd.readouterr().out.endswith(message + "\n")
    assert camera.get_camera_info()["status"] == "streaming"
    first = src.arrays[0]
    assert (first.dtype, first.flags.writeable, first.flags.owndata) == (np.uint8, True, True)


@pytest.mark.parametrize("result, error", [(2.0, RuntimeError), ("5", RuntimeError),
                                           (2**31, RuntimeError), (ValueError("x"), ValueError)])
def test_results_that_are_not_int_raise(result, error):
    def failing(array, timeout_ms):
        if isinstance(result, Exception):
            raise result
        return result

    camera = streaming_camera(failing)
    with pytest.raises(error) as caught:
        camera.get_frame(1)
    assert caught.value is result or "Unable to cast" in str(caught.value)
    assert streaming_camera(source(np.int16(-7))).get_frame(1).error == -7


def test_streams_without_a_callable():
    camera = streaming_camera(None)
    with pytest.raises(RuntimeError, match="bad_function_call"):
        camera.get_frame(1)
    for value in (5, "f"):
        with pytest.raises(TypeError):
            camera.add_stream(pelorin.stream_image, value)


def test_callables_are_released_with_their_stream():
    camera = pelorin.create_camera_offline("lifetime")
    image, ebd = source(0), source(0)
    refs = [weakref.ref(s) for s in (image, ebd)]
    camera.add_stream(pelorin.stream_image, image)
    camera.add_stream(pelorin.stream_ebd, ebd)
    del image, ebd
    camera.add_stream(pelorin.stream_image, source(0))
    gc.collect()
    assert [r() is None for r in refs] == [True, False]
    del camera
    gc.collect()
    assert refs[1]() is None


def check(a, values, pixels, echoes, sub=slice(None)):
    assert [(a[k].shape, a[k].dtype, a[k].strides) for k in ("noise_level", "histogram", "pdc")] == \
        [((pixels,), np.float32, (4,)), ((pixels, 144), np.uint32, (576, 4)),
         ((pixels, 4), np.uint32, (16, 4))]
    for k in ("noise_level", "histogram", "pdc"):
        np.testing.assert_array_equal(a[k], values[k])
    assert [len(a[k]) for k in ("radial_depth", "point_cloud", "peak_status")] == [echoes] * 3
    for e in range(echoes):
        assert (a["point_cloud"][e].shape, a["point_cloud"][e].strides) == ((N, 3), (12, 4))
        assert (a["peak_status"][e].dtype, a["peak_height"][e].dtype) == (np.uint8, np.float32)
        np.testing.assert_array_equal(a["point_cloud"][e], values["points"][e, sub])
        np.testing.assert_array_equal(a["cartesian_depth"][e], values["points"][e, sub, 2])
        for k in ("radial_depth", "peak_height", "peak_status"):
            np.testing.assert_array_equal(a[k][e], values[k][e, sub])


@pytest.mark.parametrize("padded", [False, True])
def test_single_mode_frames_decode_to_the_encoded_values(padded):
    values, frame_bytes = encoded(11, padded=padded)
    player = raw_frames.frame_player([frame_bytes, encoded(12)[1]])
    camera = streaming_camera(player, echoes=3)
    frame = camera.get_frame(50)
    assert (frame.error, frame.max_depth_index) == (0, 3)
    a = arrays_of(frame)
    check(a, values, N, 3)
    np.testing.assert_array_equal(a["raw_image"], encoded(11)[1])  # padding dropped
    a["noise_level"][3] = 1234.5
    assert frame.noise_level[3] == 1234.5
    assert camera.get_frame(50) is frame
    check(a, raw_frames.random_values(12, False), N, 3)  # the arrays alias the record
    assert player.calls == [(1000, 50), (len(frame_bytes), 50), (SIZE, 50)]


def test_dual_mode_frames_merge_to_the_first_sub_frame_inside_the_band():
    values = raw_frames.random_values(12, dual=True, echoes=1)
    values["radial_depth"][0, :N] = np.linspace(250, 1900, N).round()  # inside (200, 2000)
    values["radial_depth"][0, N:] = 0
    camera = streaming_camera([raw_frames.encode_raw_frame(values, True)],
                              mode=raw_frames.DUAL_MODE)
    frame = camera.get_frame(100)
    assert frame.error == 0
    check(arrays_of(frame), values, 2 * N, 1, sub=slice(0, N))


def test_embedded_data_fills_the_frame_counters_and_the_live_sensor_info():
    ebd = raw_frames.encode_embedded_data(
        dual=False, frame_counter=12 * 5 + 1, time_counter=1000, time_multiplier=3,
        temperature=160, depth_num=3, peak_order_selection=1, light_emitted=1, read_back=0,
        lvds_connection=1, bank_check=0)
    camera = pelorin.create_camera_offline("ebd")
    camera.add_stream(pelorin.stream_image, raw_frames.frame_player([encoded(31)[1]]))
    camera.add_stream(pelorin.stream_ebd, raw_frames.frame_player([ebd]))
    camera.open(raw_frames.SINGLE_MODE)
    info = camera.get_sensor_info()
    assert camera.start() == 0 and camera.get_sensor_info() is info
    frame = camera.get_frame(100)
    assert (frame.error, frame.frame_id, frame.timestamp) == (0, 5, 10000)
    np.testing.assert_array_equal(frame.raw_ebd, ebd)
    laser = info.laser_status
    assert (info.temperature, info.depth_num, info.peak_order_selection) == (32.0, 3, 1)
    assert (laser.light_emitted, laser.read_back, laser.lvds_connection, laser.bank_check) == \
        (True, True, False, True)
