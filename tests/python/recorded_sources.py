"""Offline cameras on known raw frames: what the recording tests record and compare with."""

import numpy as np

import pelorin
from tessaro import wire

FRAMES = 6
OUTPUTS = ["point_cloud", "cartesian_depth", "radial_depth", "peak_height", "peak_status",
           "noise_level", "histogram", "pdc"]


def outputs(*names):
    config = pelorin.camera_output_configuration()
    for name in names:
        setattr(config, "enable_" + name, True)
    return config


def raw_frames(mode):
    """Image and embedded-data frames of FRAMES frames, 30 ms apart."""
    dual = mode == wire.DUAL_MODE
    images = [wire.encode_raw_frame(wire.random_values(seed, dual), dual) for seed in range(FRAMES)]
    ebds = [wire.encode_embedded_data(dual, frame_counter=12 * i + 1, time_counter=30000 * i,
                                      time_multiplier=1) for i in range(FRAMES)]
    return images, ebds


def source_camera(mode, echoes=1, config=None, ebd=True, image_source=None, dual_depth=None,
                  camera=None):
    """`camera`, or an offline camera on the frames of raw_frames, opened and started."""
    if camera is None:
        images, ebds = raw_frames(mode)
        camera = pelorin.create_camera_offline("source")
        camera.add_stream(pelorin.stream_image, image_source or wire.frame_player(images))
        if ebd:
            camera.add_stream(pelorin.stream_ebd, ebd if callable(ebd) else wire.frame_player(ebds))
    assert (camera.open(mode), camera.configure_camera_echo(echoes),
            camera.configure_camera_output(config or outputs("point_cloud"))) == (0, 0, 0)
    assert dual_depth is None or camera.configure_camera_dual_depth(dual_depth) == 0
    assert camera.start() == 0
    return camera


def decoded(camera, count=FRAMES):
    """Copies of every output of the next `count` frames."""
    result = []
    for _ in range(count):
        frame = camera.get_frame(100)
        assert frame.error == 0
        result.append({name: [np.array(v) for v in value] if isinstance(value, list)
                       else np.array(value) for name in OUTPUTS + ["raw_image", "raw_ebd"]
                       for value in [getattr(frame, name)]}
                      | {"ids": (frame.frame_id, frame.timestamp)})
    return result
