"""An offline camera's frames carry the host's monotonic time at delivery and their count."""

import time

from conftest import encoded, streaming_camera


def test_offline_frames_carry_delivery_time_and_sequence():
    camera = streaming_camera([encoded(seed)[1] for seed in range(2)])
    for sequence in range(2):
        before = time.monotonic_ns()
        f = camera.get_frame(100)
        assert before <= f.capture_time_ns <= time.monotonic_ns() and camera.get_dropped_frames() == 0
        assert (f.has_capture_time, f.has_sequence, f.sequence, f.dropped_frames, f.has_sensor_time,
                f.frame_index, f.sensor_timestamp) == (True, True, sequence, 0, False, 0, 0)
