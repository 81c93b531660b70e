import numpy as np

import pelorin
from tessaro import wire as raw_frames

PER_ECHO = ["point_cloud", "cartesian_depth", "radial_depth", "peak_height", "peak_status"]
WHOLE = ["noise_level", "histogram", "pdc"]


def all_outputs():
    config = pelorin.camera_output_configuration()
    for name in PER_ECHO + WHOLE:
        setattr(config, "enable_" + name, True)
    return config


def encoded(seed, dual=False, padded=False):
    values = raw_frames.random_values(seed, dual)
    return values, raw_frames.encode_raw_frame(values, dual, padded)


def arrays_of(frame):
    """Every output of `frame` as numpy arrays, per-echo fields as lists of them."""
    a = {k: np.asarray(getattr(frame, k)) for k in WHOLE + ["raw_image"]}
    a.update({k: [np.asarray(v) for v in getattr(frame, k)] for k in PER_ECHO})
    return a


def streaming_camera(source, mode=raw_frames.SINGLE_MODE, echoes=1, repeat=False, camera=None):
    """An offline camera in `mode`, every output on, started on a list of frames or a callable."""
    camera = camera or pelorin.create_camera_offline("offline0")
    if isinstance(source, list):
        source = raw_frames.frame_player(source, repeat=repeat)
    camera.add_stream(pelorin.stream_image, source)
    assert (camera.open(mode), camera.configure_camera_echo(echoes),
            camera.configure_camera_output(all_outputs()), camera.start()) == (0, 0, 0, 0)
    return camera
