"""The synthetic sensor as an oracle: its frames, replayed through an offline camera, decode to
what its scene puts at every zone, in every mode."""

import numpy as np
import pytest

import pelorin
from recorded_sources import OUTPUTS, outputs, source_camera
from tessaro.scene import Plane, Scene, zone_rays
from tessaro.synthetic import MODES, SyntheticSensor, default_scene, synthetic_camera

SINGLE = [m for m, model in MODES.items() if len(model.ranges) == 1]
DUAL = [m for m in MODES if m not in SINGLE]
STEP = 0.25  # the fixed-point step of depths and coordinates
PER_ECHO = {"radial_depth": "radial_depth", "point_cloud": "points",
            "cartesian_depth": "cartesian_depth", "peak_height": "peak_height",
            "peak_status": "peak_status"}


def replay(mode, echoes, seed=0, padded=False, dual_params=None, frames=3):
    """(frame index, decoded frame, sensor info) of the first frames, every output on."""
    camera, params = synthetic_camera(mode, seed=seed, padded=padded), None
    if dual_params:
        params = pelorin.dual_depth_params()
        params.select_near, params.select_far, params.merge_window = dual_params
    source_camera(mode, echoes, outputs(*OUTPUTS), dual_depth=params, camera=camera)
    for index in range(frames):
        frame = camera.get_frame(100)
        assert frame.error == 0
        yield index, frame, camera.get_sensor_info()


def assert_decodes_to(frame, truth):
    for name, key in PER_ECHO.items():
        decoded = np.array([np.asarray(v) for v in getattr(frame, name)])
        np.testing.assert_allclose(decoded, truth[key], rtol=0, atol=STEP, err_msg=name)
    for key in ("noise_level", "histogram", "pdc"):
        np.testing.assert_array_equal(np.asarray(getattr(frame, key)), truth[key], err_msg=key)


@pytest.mark.parametrize("mode", SINGLE)
@pytest.mark.parametrize("echoes", [1, 2, 3])
def test_single_mode_decodes_to_the_scene_at_every_zone(mode, echoes):
    sensor = SyntheticSensor(mode, seed=echoes)
    for index, frame, _ in replay(mode, echoes, seed=echoes, padded=echoes == 2):
        truth = sensor.truth(index, echoes)
        assert_decodes_to(frame, truth)
        radial, points = truth["radial_depth"], truth["points"]
        # The points lie on the zone's ray at the radial depth; echoes come nearest first.
        assert np.all(np.abs(np.linalg.norm(points, axis=-1) - radial) <= 2 * STEP)
        ordered = np.where(radial > 0, radial, np.inf)
        assert np.array_equal(np.sort(ordered, axis=0), ordered)
    assert (radial > 0).sum(axis=0).max() == echoes  # edge zones fill every echo


@pytest.mark.parametrize("mode", DUAL)
@pytest.mark.parametrize("echoes, seed, dual_params", [
    (1, 0, None), (2, 1, None), (3, 2, None), (3, 3, (400.0, 1500.0, 70.0)),
    (1, 4, (150.0, 3000.0, 30.0))])
def test_dual_mode_decodes_to_the_merges_choice(mode, echoes, seed, dual_params):
    sensor = SyntheticSensor(mode, seed=seed)
    for index, frame, _ in replay(mode, echoes, seed, seed % 2 == 1, dual_params):
        truth = sensor.truth(index, echoes, *[dual_params] if dual_params else [])
        assert_decodes_to(frame, truth)
        near, far = (s.radial_depth[:echoes] for s in sensor.returns(index))
        chosen = truth["radial_depth"]
        # The merge had real choices: both sub-frames are kept somewhere, each over a reading
        # of the other.
        for mine, other in ((near, far), (far, near)):
            kept = np.any((chosen[:, None] == mine[None]) & (chosen[:, None] > 0), axis=(0, 1))
            assert np.any(kept & np.any(other > 0, axis=0))
    if echoes == 3:
        assert (chosen > 0).sum(axis=0).max() == 3


@pytest.mark.parametrize("mode", [0x211C, 0x301C])
def test_embedded_data_counts_at_the_modes_rate(mode):
    sensor = SyntheticSensor(mode, seed=5)
    seen = []
    for index, frame, info in replay(mode, 1, seed=5, frames=4):
        want = sensor.embedded(index)
        laser = info.laser_status
        seen.append((frame.frame_id, frame.timestamp, info.temperature, laser.light_emitted,
                     laser.read_back, laser.lvds_connection, laser.bank_check))
        assert seen[-1] == (want.frame_id, want.timestamp, want.temperature, want.light_emitted,
                            want.read_back, want.lvds_connection, want.bank_check)
    period_us = np.diff([s[1] for s in seen])
    assert [s[0] for s in seen] == [0, 1, 2, 3]
    assert np.all(np.abs(period_us - 1e6 / sensor.frame_rate) <= 1)


def test_frames_are_deterministic_for_a_seed_and_show_motion():
    a, b, c = (SyntheticSensor(0x201C, seed=s) for s in (7, 7, 8))
    assert np.array_equal(a.raw_frame(3), b.raw_frame(3))
    assert np.array_equal(a.ebd_frame(3), b.ebd_frame(3))
    assert not np.array_equal(a.raw_frame(3), c.raw_frame(3))
    still = SyntheticSensor(0x201C, seed=7, scene=default_scene(moving=False))
    moved = [np.abs(s.truth(0, 1)["radial_depth"] - s.truth(10, 1)["radial_depth"]) > 100
             for s in (a, still)]
    assert moved[0].sum() > 20 and moved[1].sum() <= 2  # a weak return may flicker


def test_a_wall_reads_its_distance_along_every_ray_and_fades_with_it():
    heights = []
    for distance in (1000, 3000):
        wall = Scene(planes=(Plane((0, 0, distance), (0, 0, -1), 0.7),))
        truth = SyntheticSensor(0x311C, scene=wall).truth(0, 3)
        np.testing.assert_allclose(truth["radial_depth"][0], distance / zone_rays()[:, 2],
                                   atol=12)
        assert not truth["radial_depth"][1:].any()
        heights.append(truth["peak_height"][0])
    np.testing.assert_allclose(heights[0] / heights[1], 9, rtol=0.1)
