"""Frame timing from Python: an offline stream's delivery clock and count, and the sensor's
counters from embedded data, with the frames lost between them."""

import time

import pelorin
from tessaro import wire as raw_frames
from conftest import encoded, streaming_camera


def test_offline_frames_carry_delivery_time_sequence_and_sensor_counters():
    counters = [13, 25, 61]  # 12 blocks a frame: frame index 1, 2, 5
    camera = pelorin.create_camera_offline("timing")
    camera.add_stream(pelorin.stream_ebd, raw_frames.frame_player(
        [raw_frames.encode_embedded_data(False, c, (0xFFFFFFF0 + c) % 2**32, 3)
         for c in counters]))
    streaming_camera([encoded(seed)[1] for seed in range(3)], camera=camera)
    seen = []
    for _ in counters:
        before = time.monotonic_ns()
        frame = camera.get_frame(100)
        assert frame.error == 0 and frame.has_capture_time and frame.has_sensor_time
        assert before <= frame.capture_time_ns <= time.monotonic_ns()
        seen.append((frame.sequence, frame.frame_index, frame.sensor_timestamp, frame.dropped_frames))
    assert seen == [(0, 1, (0xFFFFFFFD) * 10, 0), (1, 2, (0xFFFFFFFD + 12) * 10, 0),
                    (2, 5, (0xFFFFFFFD + 48) * 10, 2)]
    assert camera.get_dropped_frames() == 2
    assert (camera.stop(), camera.start(), camera.get_dropped_frames()) == (0, 0, 0)
