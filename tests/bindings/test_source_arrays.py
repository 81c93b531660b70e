"""The arrays an offline source writes into: numpy's own, kept after the call, spoilt by a failed
call or grown in place; none of them reaches a record afterwards, nor the raw bytes Python took
during the call."""

import gc

import numpy as np
import pytest

from tessaro_testing import encoded, streaming_camera

FIRST, SECOND = encoded(3)[1], encoded(4)[1]
LARGE = np.arange(3 * len(FIRST)).astype(np.uint8)  # more than the record has room for


def write(array, frame):
    """Writes as much of `frame` as fits, which a source must not do: the buffer is not hurt."""
    array[:len(frame)] = frame[:len(array)]
    return len(frame)


def spoil(array, result):
    """Writes over the whole array, then fails with `result` or asks for a larger one."""
    array[:] = 0x55
    return len(array) + 1 if result is None else result


STEPS = {"failure": (lambda a, c: spoil(a, -5), -5, FIRST, 1),
         "too large twice": (lambda a, c: spoil(a, None), -75, FIRST, 2),
         "larger": (lambda a, c: write(a, LARGE), -22, LARGE, 2),
         "grown in place": (lambda a, c: a.resize(len(LARGE), refcheck=False) or write(a, LARGE), -22, LARGE, 1)}


@pytest.mark.parametrize("step, error, shown, calls", STEPS.values(), ids=STEPS.keys())
def test_arrays_kept_or_spoilt_by_the_source_never_reach_the_record(step, error, shown, calls):
    kept, taken, current = [], [], [lambda a, c: write(a, FIRST)]

    def source(array, timeout_ms):
        if current[0] is step:
            kept.append(array)
            taken.extend([np.asarray(frame.raw_image), np.asarray(memoryview(frame.raw_image))])
        return current[0](array, camera)

    camera = streaming_camera(source)
    frame = camera.get_frame(1)
    current[0] = step
    assert camera.get_frame(1).error == error
    for array in kept:  # written after the call: the record must not see it
        array[:] = 0xAA
    np.testing.assert_array_equal(frame.raw_image, shown)
    current[0] = lambda a, c: write(a, SECOND)
    after = camera.get_frame(1)
    del camera, taken[0]  # the other array of the same bytes keeps them, whatever comes
    gc.collect()
    for array in kept:  # nor the next frame's
        array[:] = 0xAA
    assert after.error == 0 and len(kept) == calls
    for raw, expected in [(after.raw_image, SECOND)] + [(t, FIRST) for t in taken]:
        np.testing.assert_array_equal(raw, expected)


def test_frames_of_changing_size_taken_without_a_copy_stay_apart():
    """A source that lets go of its arrays hands their memory to the camera: frames that grow
    (padded) and shrink again each arrive whole, and bytes Python took of one keep them."""
    seeds, pads = (5, 6, 7, 8), (False, True, False, True)
    camera = streaming_camera([encoded(s, padded=p)[1] for s, p in zip(seeds, pads)])
    taken = []
    for seed in seeds:
        frame = camera.get_frame(1)
        values, unpadded = encoded(seed)
        assert frame.error == 0
        np.testing.assert_array_equal(frame.raw_image, unpadded)
        np.testing.assert_array_equal(np.asarray(frame.histogram), values["histogram"])
        taken.append((np.asarray(frame.raw_image), unpadded))
    for raw, expected in taken:
        np.testing.assert_array_equal(raw, expected)
