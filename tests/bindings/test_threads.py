"""One thread at a time inside a camera: threads that share one, sources that call back into
their own, and waits that let other threads run."""

import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import pelorin
import tessaro
from tessaro.synthetic import wire
from tessaro_testing import encoded, streaming_camera

FRAMES = [encoded(seed)[1] for seed in range(3)]


def run_together(*calls):
    with ThreadPoolExecutor(len(calls)) as pool:
        return [future.result(timeout=60) for future in [pool.submit(call) for call in calls]]


@pytest.mark.parametrize("release", [False, True])
def test_threads_sharing_a_camera_take_turns(release):
    """tessaro.open's camera and a plain offline one, two threads each: every frame decodes."""
    with tessaro.open("synthetic") as device:
        assert device.camera.release_gil
        camera = streaming_camera(FRAMES, repeat=True)
        device.camera.release_gil = camera.release_gil = release
        errors = run_together(*[lambda c=c: {c.get_frame(1000).error for _ in range(60)}
                                for c in (device.camera, device.camera, camera, camera)])
    assert errors == [{0}] * 4


@pytest.mark.parametrize("call", ["get_frame(1)", "stop()", "add_stream(pelorin.stream_image, None)",
                                  "get_camera_info()"])
def test_a_source_that_calls_its_own_camera_gets_an_error(call):
    """Another camera is free to use; the refused camera goes on as before."""
    kept, other = [], streaming_camera(FRAMES, repeat=True)

    def source(array, timeout_ms):
        kept.append(array)
        assert other.get_frame(1).error == 0
        eval("camera." + call, {"camera": camera, "pelorin": pelorin})

    camera = streaming_camera(source)
    with pytest.raises(RuntimeError, match=f"^camera 'offline0': {call.split('(')[0]} re-enters the camera from "
                                           "inside its own get_frame"):
        camera.get_frame(1)
    camera.add_stream(pelorin.stream_image, wire.frame_player(FRAMES))
    assert [camera.get_frame(1).error for _ in FRAMES] == [0] * 3


@pytest.mark.parametrize("release", [False, True])
def test_a_camera_that_releases_the_lock_lets_other_threads_run_while_it_works(release):
    """With threads switching only where one gives up the lock, the other thread runs while
    get_frame decodes only if the camera gives the lock up."""
    player = wire.frame_player([encoded(seed, dual=True)[1] for seed in range(2)], True)
    decoding, seen, done = [False], [], threading.Event()

    def source(array, timeout_ms):
        size = player(array, timeout_ms)  # numpy may let go of the lock while it copies
        decoding[0] = size <= len(array)  # from here until get_frame returns, the camera works in C++
        return size

    def frames():
        # A hundred frames at least; with the lock given up, on until the other thread was seen
        # inside one (a loaded machine may not schedule it within a frame's few microseconds).
        for count in range(1, 5001):
            assert camera.get_frame(1).error == 0
            decoding[0] = False
            if count >= 100 and (not release or True in seen):
                break
        done.set()

    def other():
        while not done.is_set():
            seen.append(decoding[0])
            time.sleep(0)

    camera, interval = streaming_camera(source, mode=wire.DUAL_MODE), sys.getswitchinterval()
    camera.release_gil = release
    sys.setswitchinterval(30)
    try:
        run_together(frames, other)
    finally:
        sys.setswitchinterval(interval)
    assert any(seen) == release
