import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

import pelorin  # noqa: E402
import raw_frames  # noqa: E402


def all_outputs():
    config = pelorin.camera_output_configuration()
    for name in ("enable_point_cloud", "enable_cartesian_depth", "enable_radial_depth",
                 "enable_noise_level", "enable_peak_height", "enable_peak_status",
                 "enable_histogram", "enable_pdc"):
        setattr(config, name, True)
    return config


def streaming_camera(frames, mode=raw_frames.SINGLE_MODE, echoes=1, config=None, repeat=False,
                     name="offline0"):
    """An offline camera in `mode`, started with every output on, replaying `frames`."""
    camera = pelorin.create_camera_offline(name)
    player = raw_frames.frame_player(frames, repeat=repeat)
    camera.add_stream(pelorin.stream_image, player)
    assert camera.open(mode) == 0
    assert camera.configure_camera_echo(echoes) == 0
    assert camera.configure_camera_output(config or all_outputs()) == 0
    assert camera.start() == 0
    return camera, player


@pytest.fixture
def single_frame_values():
    return raw_frames.random_values(7, dual=False)
