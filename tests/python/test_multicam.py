"""Several cameras together: the grouping rule, recordings of several cameras read per camera,
the synthetic rig's geometry."""

import time

import numpy as np
import pytest

import tessaro
from tessaro.cli import main
from tessaro.recording import Recording
from tessaro.recording._cameras import segments
from tessaro.synthetic import Box, Scene, Sphere, SyntheticSensor
from tessaro.synthetic._rig import posed_scene, rig_poses, synthetic_rig


def scripted(times_ms):
    times = iter(times_ms)
    return lambda reported: round(next(times) * 1e6)


@pytest.mark.parametrize("complete", [False, True])
def test_frames_group_around_the_earliest_and_a_frame_without_partner_goes_alone(complete):
    a, b = [0, 33, 66, 99, 132], [10, 49.5, 84, 101, 140]  # 49.5: just within the tolerance
    devices = [tessaro.open("synthetic", name=name, outputs=["depth"]) for name in "ab"]
    with tessaro.Group(devices, [scripted(a), scripted(b)], tolerance=0.0165) as group:
        sets = [(s.time_ns / 1e6, {n: f.index for n, f in s.items()}, s.missing)
                for s in group.frames(n=4 if complete else 6, complete=complete)]
    every = [(0, {"a": 0, "b": 0}, ()), (33, {"a": 1, "b": 1}, ()), (66, {"a": 2}, ("b",)),
             (84, {"b": 2, "a": 3}, ()), (101, {"b": 3}, ("a",)), (132, {"a": 4, "b": 4}, ())]
    assert sets == [s for s in every if not complete or not s[2]]
    assert group.unmatched == {"a": 1, "b": 1}


def test_segments_are_ros_names_and_never_collide():
    assert segments(["media0/IMX704", "media0/IMX704@9-001a", "media0-IMX704", "9x", "@"]) == \
        ["media0_IMX704", "media0_IMX704_9_001a", "media0_IMX704_2", "c9x", "c"]


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    path = tmp_path_factory.mktemp("rig") / "rig.mcap"
    assert main(["record", str(path), "--synthetic", "--sensors", "2", "--frames", "3",
                 "--seed", "4", "--frame-id", "left_optical", "--frame-id", "right_optical"]) == 0
    return path


def test_a_recording_of_several_cameras_reads_each_as_if_alone(rig, tmp_path):
    sensors = [SyntheticSensor(seed=4), synthetic_rig(2, seed=4)[1].sensor]
    for index, (name, sensor) in enumerate(zip(("synthetic0", "synthetic1"), sensors)):
        with Recording(rig, camera=name) as recording:
            assert (len(recording), recording.cameras) == (3, ("synthetic0", "synthetic1"))
            assert f'"id": "{name}"' in recording.metadata["tessaro.sensor"]["camera_info"]
            for i in range(3):
                assert recording.raw_image(i) == sensor.raw_frame(i).tobytes()
                assert recording.raw_ebd(i) == sensor.ebd_frame(i).tobytes()
            # Each camera's own frame, and log times on the Unix epoch like a one-camera file's.
            assert recording.metadata["tessaro.sensor"]["frame_id"] == \
                ("left_optical", "right_optical")[index]
            assert recording.epoch and abs(recording.log_time(0) - time.time_ns()) < 600e9
            assert recording.clocks(2).sensor_timestamp is not None
    # The rig's frames were taken together: replayed, they pair up.
    with tessaro.open_group(rig) as group:
        assert [s.complete for s in group.frames()] == [True] * 3
    # Damage is read past per camera too, where the file has no summary.
    cut = tmp_path / "cut.mcap"
    cut.write_bytes(rig.read_bytes()[:rig.stat().st_size * 2 // 3])
    with Recording(cut, camera="synthetic1") as recording:
        assert recording.damage is not None and 1 <= len(recording) < 3
        assert recording.raw_image(0) == sensors[1].raw_frame(0).tobytes()


def test_the_command_chooses_a_camera_of_a_recording_of_several(rig, tmp_path, capfd):
    assert main(["info", str(rig)]) == 0
    assert "2 cameras" in capfd.readouterr().out
    assert main(["replay", str(rig), "--camera", "synthetic1", "--quiet"]) == 0
    assert "replayed 3 frames in" in capfd.readouterr().out
    assert main(["export", str(rig), "--camera", "synthetic1", "--out", f"{tmp_path}/"]) == 0
    assert (tmp_path / "rig-synthetic1-frame0.npz").exists()
    for argv, named in ((["replay", str(rig)], "2 cameras (synthetic0, synthetic1)"),
                        (["info", str(rig), "--camera", "x"], "no camera 'x'"),
                        (["record", str(tmp_path / "x.mcap"), "--all", "--sensors", "2"],
                         "--synthetic")):
        assert main(argv) == 1
        err = capfd.readouterr().err
        assert err.count("\n") == 1 and named in err


def test_one_camera_keeps_its_layout_and_answers_to_its_own_id(tmp_path):
    path = tmp_path / "one.mcap"
    with tessaro.open_group(["synthetic"]) as group:
        group.record(path, frames=2)
    with Recording(path, camera="synthetic") as recording:
        assert len(recording) == 2 and "tessaro.cameras" not in recording.metadata
    with pytest.raises(tessaro.RecordingError, match="holds only 'synthetic'"):
        Recording(path, camera="synthetic1")


def test_every_sensor_of_a_rig_looks_at_the_aim_point():
    # A ball and a box at the point the rig aims at, 2.5 m ahead of sensor 0.
    scene = Scene(boxes=(Box((-100, -100, 2400), (100, 100, 2600)),),
                  spheres=(Sphere((0, 0, 2500), 50),))
    ahead = np.array([[0.0, 0.0, 1.0]])
    for pose in rig_poses(3):
        posed = posed_scene(scene, pose)
        x = pose.position[0]
        box, _ = posed.boxes[0].intersect(ahead)
        ball, _ = posed.spheres[0].intersect(ahead)
        assert box[0] == pytest.approx(np.hypot(x * 2400 / 2500, 2400))
        assert ball[0] == pytest.approx(np.hypot(x, 2500) - 50)
