"""The arrays an offline source writes into: kept after the call, spoilt by a failed call, or
written while the source restarts the camera; none of them reaches a record afterwards, nor
the raw bytes Python took during the call."""

import gc

import numpy as np
import pytest

from conftest import encoded, streaming_camera

FIRST, SECOND = encoded(3)[1], encoded(4)[1]
LARGE = np.arange(3 * len(FIRST)).astype(np.uint8)  # more than the record has room for


def writes(frame):
    def write(array, camera):
        if len(array) >= len(frame):
            array[:len(frame)] = frame
        return len(frame)
    return write


def spoils(result):
    def write(array, camera):
        array[:] = 0x55
        if isinstance(result, Exception):
            raise result
        return len(array) + 1 if result == "more" else result
    return write


def restarts(array, camera):
    assert (camera.stop(), camera.start()) == (0, 0)
    return writes(SECOND)(array, camera)


STEPS = {"failure": (spoils(-5), -5, FIRST), "exception": (spoils(ValueError("x")), None, FIRST),
         "too large twice": (spoils("more"), -75, FIRST), "larger": (writes(LARGE), -22, LARGE),
         "restart": (restarts, -13, SECOND)}


@pytest.mark.parametrize("step, error, shown", STEPS.values(), ids=STEPS.keys())
def test_arrays_kept_or_spoilt_by_the_source_never_reach_the_record(step, error, shown):
    kept, taken, current = [], [], [writes(FIRST)]

    def source(array, timeout_ms):
        if current[0] is step:
            kept.append(array)
            taken.append(np.asarray(frame.raw_image))  # keeps these bytes, whatever comes
        return current[0](array, camera)

    def spoil_kept_arrays():
        for array in kept:
            array[:] = 0xAA

    camera = streaming_camera(source)
    frame = camera.get_frame(1)
    current[0] = step
    if error is None:
        with pytest.raises(ValueError):
            camera.get_frame(1)
    else:
        assert camera.get_frame(1).error == error
    spoil_kept_arrays()
    np.testing.assert_array_equal(frame.raw_image, shown)
    current[0] = writes(SECOND)
    after = camera.get_frame(1)
    del camera
    gc.collect()
    spoil_kept_arrays()
    assert after.error == 0 and len(kept) in (1, 2)
    for raw, expected in [(after.raw_image, SECOND)] + [(t, FIRST) for t in taken]:
        np.testing.assert_array_equal(raw, expected)
