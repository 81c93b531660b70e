import dataclasses

import numpy as np
import pytest

import pelorin
import tessaro
from tessaro.synthetic import Scene
from tessaro.synthetic import SyntheticSensor, synthetic_camera


@pytest.mark.parametrize("mode, echoes, seed, dual_depth", [
    (0x211C, 3, 1, None), (0x311C, 1, 2, None), (0x301C, 2, 4, None), (0x201C, 3, 3, (400.0, 1500.0, 70.0))])
def test_synthetic_frames_match_the_scene(mode, echoes, seed, dual_depth):
    """Decoded, merged in dual-depth modes, padded or not: what the scene puts at every zone."""
    sensor, padded = SyntheticSensor(mode, seed=seed), seed % 2 == 1
    with tessaro.open("synthetic", mode=mode, echoes=echoes, outputs="all", seed=seed, padded=padded,
                      dual_depth=dual_depth) as device:
        frames = list(device.frames(3))  # kept: later frames must not change earlier ones
    for i, frame in enumerate(frames):
        truth = sensor.truth(i, echoes, *[dual_depth] if dual_depth else [])
        assert (frame.mode, frame.echoes, frame.dual, frame.frame_id, frame.index, frame.timestamp) == \
            (mode, echoes, sensor.dual, i, i, sensor.embedded(i).timestamp)
        assert frame.histogram.shape == (2,) * sensor.dual + (24, 24, 144)
        for got, key in ((frame.depth, "radial_depth"), (frame.points, "points"), (frame.peak_status, "peak_status"),
                         (frame.histogram, "histogram"), (frame.noise, "noise_level")):
            np.testing.assert_allclose(got.reshape(truth[key].shape), truth[key], err_msg=key)


def test_zero_copy_frames_expire_at_the_next_frame():
    with tessaro.open(synthetic_camera(0x211C), echoes=1, zero_copy=True, outputs=["depth"]) as device:
        frames = device.frames()
        first = next(frames)
        depth = first.depth  # a view of the camera's record, which the next frame overwrites
        before = depth.copy()
        next(frames)
        assert not depth.flags.writeable and not np.array_equal(depth, before)
        with pytest.raises(tessaro.ExpiredFrameError):
            first.frame_id


@pytest.mark.parametrize("mode", [0x211C, 0x301C])
def test_copied_frames_equal_views_of_the_same_frames(mode):
    """The module's copies: the outputs of the record's views, in their order, with their times."""
    names = ["noise", "pdc", "depth", "peak_status", "points"]
    with tessaro.open("synthetic", mode=mode, outputs=names, seed=5) as copying, \
            tessaro.open("synthetic", mode=mode, outputs=names, seed=5, zero_copy=True) as viewing:
        for copied, viewed in zip(copying.frames(2), viewing.frames(2)):
            assert copied.outputs == viewed.outputs == ("depth", "peak_status", "points", "noise", "pdc")
            for name, view in viewed.arrays().items():
                got = copied.arrays()[name]
                assert (got.dtype, got.shape, got.flags.writeable) == (view.dtype, view.shape, True), name
                np.testing.assert_array_equal(got, view, err_msg=name)
            same_clocks = {"host_time": 0, "capture_time_ns": 0}  # when each camera took its frame
            assert dataclasses.replace(copied.timing, **same_clocks) == dataclasses.replace(viewed.timing, **same_clocks)


def test_a_record_the_copy_plan_does_not_fit_is_returned_whole():
    camera = synthetic_camera(0x211C)
    assert (camera.open(0x211C), camera.start()) == (0, 0)
    short = pelorin._copy_plan(["depth"], ["radial_depth"], 3, 24, 23, False)  # a zone column short
    error, dropped, times, record = camera._next_frame(1000, short)
    assert (error, dropped, type(record), times[:2] + times[3:]) == (0, 0, pelorin.frame_buffer, record._timing_fields())
    with pytest.raises(ValueError, match="no output field 'depth'"):
        pelorin._copy_plan(["depth"], ["depth"], 1, 24, 24, False)


def test_frames_lack_outputs_not_asked_for():
    with tessaro.open("synthetic", outputs=["depth"]) as device:
        frame = next(device.frames())
    assert frame.outputs == ("depth",)
    with pytest.raises(tessaro.MissingOutputError, match="noise"):
        frame.noise


def test_leaving_on_an_exception_closes_the_camera():
    camera = synthetic_camera(0x211C)
    with pytest.raises(KeyError), tessaro.open(camera, outputs=["depth"]) as device:
        assert camera.get_camera_info()["status"] == "streaming"
        next(device.frames())
        raise KeyError("inside")
    assert camera.get_camera_info()["status"] == "available"
    with tessaro.open(camera, mode="single", outputs=["depth"]) as device:  # the camera opens again
        assert len(list(device.frames(n=2))) == 2


def test_skipped_failures_end_on_a_dead_source():
    camera = pelorin.create_camera_offline("broken")
    camera.add_stream(pelorin.stream_image, lambda array, timeout_ms: -5)
    with tessaro.open(camera) as device, pytest.raises(tessaro.FrameError, match="100 frames in a row"):
        list(device.frames(on_error="skip"))  # skipped, but a dead source is not waited on


S, C = tessaro.SourceError, tessaro.ConfigurationError


@pytest.mark.parametrize("source, options, error, named", [
    ("nowhere.mcap", {}, S, "nowhere.mcap"), ("media9/IMX704", {}, S, "media9/IMX704"), (42, {}, S, "42"),
    ("media9/IMX704@9-001a", {}, S, "unknown camera 'media9/IMX704@9-001a'"),
    ("synthetic", {"mode": 0x1C}, C, "0x1c"), ("synthetic", {"mode": "fast"}, C, "'fast'"),
    ("synthetic", {"echoes": 4}, C, "4"), ("synthetic", {"outputs": ["depht"]}, C, "depht"),
    ("synthetic", {"mode": "dual", "dual_depth": (600, 500, 50)}, C, "select_near=600"),
    ("synthetic", {"seed": -1}, C, "seed -1")])
def test_bad_arguments_raise_naming_the_value(source, options, error, named):
    with pytest.raises(error, match=named.replace(".", r"\.")) as raised:
        tessaro.open(source, **options)
    assert isinstance(raised.value, ValueError)


@pytest.mark.filterwarnings("error")
def test_a_scene_with_empty_zones_warns_of_nothing():
    SyntheticSensor(0x301C, scene=Scene()).raw_frame(0)
