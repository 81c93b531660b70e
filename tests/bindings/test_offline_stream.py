import gc
import weakref

import numpy as np
import pytest

import pelorin
import raw_frames

FRAME_SIZE = raw_frames.frame_size(dual=False)


class source:
    """A callable that answers with a scripted list of results, recording every array."""

    def __init__(self, *results, frame=None):
        self.results = list(results)
        self.frame = frame
        self.arrays = []
        self.timeouts = []

    def __call__(self, array, timeout_ms):
        self.arrays.append(array)
        self.timeouts.append(timeout_ms)
        result = self.results.pop(0) if len(self.results) > 1 else self.results[0]
        if self.frame is not None and isinstance(result, int) and 0 < result <= len(array):
            array[:result] = self.frame[:result]
        return result


def started(callable_, mode=raw_frames.SINGLE_MODE):
    camera = pelorin.create_camera_offline("offline")
    camera.add_stream(pelorin.stream_image, callable_)
    assert camera.open(mode) == 0
    assert camera.start() == 0
    return camera


@pytest.mark.parametrize("result, error", [(0, -62), (-5, -5), (-1, -1), (-2**31, -2**31)])
def test_no_frame_and_failure_codes_reach_the_frame(capfd, result, error):
    src = source(result)
    camera = started(src)
    frame = camera.get_frame(100)
    assert frame.error == error
    assert src.timeouts == [100]
    assert capfd.readouterr().out.endswith(f"Cannot get a frame: stream[image]: errcode={error}\n")
    assert camera.get_camera_info()["status"] == "streaming"
    assert camera.get_frame(7).error == error and src.timeouts == [100, 7]


def test_first_frame_takes_the_resize_retry_then_one_call_per_frame():
    frame_bytes = raw_frames.encode_raw_frame(raw_frames.random_values(1, dual=True), dual=True)
    player = raw_frames.frame_player([frame_bytes] * 3)
    camera = started(player, mode=raw_frames.DUAL_MODE)
    for _ in range(3):
        assert camera.get_frame(50).error == 0
    size = len(frame_bytes)
    assert player.calls == [(1000, 50), (size, 50), (size, 50), (size, 50)]


def test_a_smaller_frame_sizes_the_next_array(capfd):
    src = source(FRAME_SIZE, FRAME_SIZE, 1500, 1500, frame=np.arange(FRAME_SIZE, dtype=np.uint8))
    camera = started(src)
    camera.get_frame(1)
    frame = camera.get_frame(1)  # 1500 bytes is no frame size: decoding refuses it
    assert frame.error == -22
    assert len(frame.raw_image) == 1500
    np.testing.assert_array_equal(np.asarray(frame.raw_image), np.arange(1500, dtype=np.uint8))
    camera.get_frame(1)
    assert [len(a) for a in src.arrays] == [1000, FRAME_SIZE, FRAME_SIZE, 1500]
    assert "failed processing raw data" in capfd.readouterr().out


def test_a_source_asking_twice_for_more_overflows():
    src = source(3000, 4000)
    frame = started(src).get_frame(1)
    assert frame.error == -75
    assert [len(a) for a in src.arrays] == [1000, 3000]


def test_arrays_are_fresh_writable_numpy_bytes():
    src = source(0)
    camera = started(src)
    camera.get_frame(1)
    camera.get_frame(1)
    first, second = src.arrays
    assert first is not second
    for array in (first, second):
        assert isinstance(array, np.ndarray) and array.dtype == np.uint8 and array.ndim == 1
        assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata


@pytest.mark.parametrize("result", [2.0, None, "5", 2**31, [1]])
def test_results_that_are_not_int_raise_runtime_error(result):
    camera = started(source(result))
    with pytest.raises(RuntimeError, match="Unable to cast"):
        camera.get_frame(1)


def test_numpy_integer_results_are_taken():
    assert started(source(np.int16(-7))).get_frame(1).error == -7


def test_exceptions_of_the_callable_pass_through_unchanged():
    raised = ValueError("x")

    def failing(array, timeout_ms):
        raise raised

    camera = started(failing)
    with pytest.raises(ValueError) as caught:
        camera.get_frame(1)
    assert caught.value is raised
    assert camera.get_camera_info()["status"] == "streaming"


def test_a_stream_without_callable_raises_bad_function_call():
    camera = pelorin.create_camera_offline("none")
    camera.add_stream(pelorin.stream_image, None)
    camera.open(raw_frames.SINGLE_MODE)
    assert camera.start() == 0
    with pytest.raises(RuntimeError, match="bad_function_call"):
        camera.get_frame(1)


@pytest.mark.parametrize("value", [5, "f", object()])
def test_non_callables_are_refused(value):
    with pytest.raises(TypeError):
        pelorin.create_camera_offline("c").add_stream(pelorin.stream_image, value)


def test_callables_are_released_with_their_stream():
    camera = pelorin.create_camera_offline("lifetime")
    image, ebd, unknown, replacement = source(0), source(0), source(0), source(0)
    refs = [weakref.ref(s) for s in (image, ebd, unknown)]
    camera.add_stream(pelorin.stream_image, image)
    camera.add_stream(pelorin.stream_ebd, ebd)
    camera.add_stream(pelorin.stream_type(5), unknown)
    del image, ebd, unknown
    gc.collect()
    assert [r() is None for r in refs] == [False, False, True]  # slot 5 installs nothing
    camera.add_stream(pelorin.stream_image, replacement)
    gc.collect()
    assert [r() is None for r in refs] == [True, False, True]
    del camera
    gc.collect()
    assert refs[1]() is None
