"""An offline camera streams 100,000 dual-depth frames: every frame decodes, numpy views taken
from the first frame follow every later one, and resident memory stays flat."""
import collections
import resource
import time

import numpy as np

from tessaro_testing import OUTPUTS, arrays_of, encoded, streaming_camera
from tessaro.synthetic import wire

FRAMES, WARM_UP = 100_000, 1_000
# Growth of resident memory allowed after the warm-up: a leak of 64 bytes per frame would
# exceed it.
RSS_BOUND = 6 * 1024 * 1024


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def test_a_hundred_thousand_frames():
    # Padded frames in turn, so that the source is also asked for a larger array.
    player = wire.frame_player([encoded(seed, dual=True, padded=True)[1] for seed in (1, 2)], repeat=True)
    player.calls = collections.deque(maxlen=1)  # the player's call log would grow like a leak
    camera = streaming_camera(player, mode=wire.DUAL_MODE, echoes=3)
    # Views held for the whole run, and what each of the two frames decodes to.
    frame = camera.get_frame(100)
    views, expected = arrays_of(frame), [arrays_of(frame, copy=True)]
    assert frame.error == 0 and camera.get_frame(100).error == 0
    expected.append(arrays_of(frame, copy=True))
    started = time.monotonic()
    for n in range(2, FRAMES):
        assert camera.get_frame(100).error == 0, f"frame {n}"
        if n == WARM_UP:
            baseline = resident_bytes()
        if n % 997 == 0:
            assert all(np.array_equal(views[k], expected[n % 2][k]) for k in OUTPUTS), f"frame {n}"
    growth = resident_bytes() - baseline
    print(f"soak: {FRAMES} frames, {(time.monotonic() - started) / FRAMES * 1e6:.0f} us per frame, "
          f"resident memory {baseline / 2**20:.1f} MiB after {WARM_UP} frames, grown by {growth / 2**10:.0f} KiB")
    assert growth <= RSS_BOUND
