"""An offline camera streams 100,000 dual-depth frames: every frame decodes, numpy views taken
from the first frame follow every later one, and resident memory stays flat."""
import resource
import time

import numpy as np

import pelorin
from tessaro import wire

FRAMES = 100_000
WARM_UP = 1_000
# Growth of resident memory allowed after the warm-up: a leak of 64 bytes per frame would
# exceed it.
RSS_BOUND = 6 * 1024 * 1024
PER_ECHO = ["point_cloud", "cartesian_depth", "radial_depth", "peak_height", "peak_status"]
WHOLE = ["noise_level", "histogram", "pdc"]


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


class alternating_source:
    """Hands out padded frames in turn, asking for a larger array when one is too small."""

    def __init__(self, frames):
        self.frames = frames
        self.position = 0

    def __call__(self, array, timeout_ms):
        frame = self.frames[self.position % len(self.frames)]
        if len(frame) > len(array):
            return len(frame)
        array[:len(frame)] = frame
        self.position += 1
        return len(frame)


def test_a_hundred_thousand_frames():
    frames = [wire.encode_raw_frame(wire.random_values(seed, True), True, padded=True) for seed in (1, 2)]
    camera = pelorin.create_camera_offline("soak")
    camera.add_stream(pelorin.stream_image, alternating_source(frames))
    outputs = pelorin.camera_output_configuration()
    for name in PER_ECHO + WHOLE:
        setattr(outputs, "enable_" + name, True)
    assert (camera.open(wire.DUAL_MODE), camera.configure_camera_echo(3),
            camera.configure_camera_output(outputs), camera.start()) == (0, 0, 0, 0)

    # Views held for the whole run, and what each of the two frames decodes to.
    frame = camera.get_frame(100)
    views = [np.asarray(v) for name in PER_ECHO for v in getattr(frame, name)]
    views += [np.asarray(getattr(frame, name)) for name in WHOLE]
    expected = [[v.copy() for v in views]]
    assert frame.error == 0 and camera.get_frame(100).error == 0
    expected.append([v.copy() for v in views])

    started = time.monotonic()
    for n in range(2, FRAMES):
        assert camera.get_frame(100).error == 0, f"frame {n}"
        if n == WARM_UP:
            baseline = resident_bytes()
        if n % 997 == 0:
            assert all(np.array_equal(v, e) for v, e in zip(views, expected[n % 2])), f"frame {n}"
    growth = resident_bytes() - baseline
    print(f"soak: {FRAMES} frames, {(time.monotonic() - started) / FRAMES * 1e6:.0f} us per frame, "
          f"resident memory {baseline / 2**20:.1f} MiB after {WARM_UP} frames, grown by {growth / 2**10:.0f} KiB")
    assert growth <= RSS_BOUND
    camera.stop()
