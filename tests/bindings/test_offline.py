"""Offline streams: the protocol with the callable, frames replayed end to end, their timing."""

import time

import numpy as np
import pytest

import pelorin
from tessaro.synthetic import wire
from tessaro_testing import WHOLE, arrays_of, encoded, streaming_camera

SIZE = wire.frame_size(dual=False)
EBD = wire.encode_embedded_data(False, frame_counter=12 * 3)


def source(*results):
    """Answers with a scripted list of results (the last one repeated), recording each array."""
    def call(array, timeout_ms):
        call.arrays.append((array, timeout_ms))
        result = results[min(len(call.arrays), len(results)) - 1]
        if isinstance(result, Exception):
            raise result
        return result
    call.arrays = []
    return call


@pytest.mark.parametrize("results, errors, sizes, message", [
    ((0,), [-62, -62], [1000, 1000], "stream[image]: errcode=-62"),
    ((-5,), [-5, -5], [1000, 1000], "stream[image]: errcode=-5"),
    ((3000, 4000), [-75], [1000, 3000], "errcode=-75"), ((2**31,), RuntimeError, None, "Unable to cast"),
    ((SIZE, SIZE, 1500), [0, -22, -22], [1000, SIZE, SIZE, 1500], "failed processing raw data"),
    ((ValueError("x"),), ValueError, None, "^x$"), ((), RuntimeError, None, "bad_function_call")])
def test_results_reach_the_frame_and_size_the_next_array(capfd, results, errors, sizes, message):
    """A source's int result is the frame's error or the size it needs; anything else raises."""
    camera, src = pelorin.create_camera_offline("results"), source(*results) if results else None
    camera.add_stream(pelorin.stream_image, None)  # replaced unless the row has no results
    streaming_camera(src, camera=camera)
    if errors in (RuntimeError, ValueError):
        with pytest.raises(errors, match=message) as caught:
            camera.get_frame(1)
        assert errors is RuntimeError or caught.value is results[0]
        return
    assert [camera.get_frame(7).error for _ in errors] == errors
    assert [(len(a), t, a.dtype, a.flags.writeable, a.flags.owndata) for a, t in src.arrays] == \
        [(size, 7, np.uint8, True, True) for size in sizes]
    assert capfd.readouterr().out.endswith(message + "\n")
    assert camera.get_camera_info()["status"] == "streaming"


@pytest.mark.parametrize("padded", [False, True])
def test_single_mode_frames_decode_to_the_encoded_values(padded):
    player = wire.frame_player([encoded(seed, padded=padded)[1] for seed in (11, 12)])
    camera = streaming_camera(player, echoes=3)
    frame = camera.get_frame(50)
    a = arrays_of(frame)
    for seed in (11, 12):  # the arrays alias the record, which the next frame fills
        values, unpadded = encoded(seed)
        want = {k: values[k] for k in WHOLE + ["radial_depth", "peak_height", "peak_status"]}
        want.update(point_cloud=values["points"], cartesian_depth=values["points"][..., 2])
        for key, expected in want.items():
            np.testing.assert_array_equal(a[key], expected, err_msg=key)
        np.testing.assert_array_equal(frame.raw_image, unpadded)  # padding dropped
        assert seed == 12 or (camera.get_frame(50) is frame and frame.max_depth_index == 3)
    assert player.calls == [(1000, 50)] + [(len(player.frames[0]), 50)] * 2


@pytest.mark.parametrize("ebd, sensor", [
    (None, (False, 0, 0, 0, 0)),
    ([wire.encode_embedded_data(False, frame_counter=12 * (5 + i) + 1, time_counter=1000 * i, time_multiplier=3)
      for i in range(2)], (True, 6, 10000, 6, 10000))])
def test_offline_frames_carry_delivery_time_sequence_and_sensor_time(capfd, ebd, sensor):
    """The host's monotonic time at delivery and the frame's count; ids and sensor time only from
    embedded data, and an embedded-data stream without a callable is none."""
    camera = pelorin.create_camera_offline("timing")
    camera.add_stream(pelorin.stream_ebd, None)
    streaming_camera([encoded(seed)[1] for seed in range(2)], ebd, camera=camera)
    for sequence in range(2):
        before = time.monotonic_ns()
        f = camera.get_frame(100)
        assert before <= f.capture_time_ns <= time.monotonic_ns()
        assert (f.error, f.has_capture_time, f.has_sequence, f.sequence, f.dropped_frames,
                camera.get_dropped_frames()) == (0, True, True, sequence, 0, 0)
        np.testing.assert_array_equal(f.raw_ebd, ebd[sequence] if ebd else [])
    assert (f.has_sensor_time, f.frame_index, f.sensor_timestamp, f.frame_id, f.timestamp) == sensor
    assert capfd.readouterr().out == ""
