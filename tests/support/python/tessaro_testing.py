"""The helpers of the Python suites, a pytest plugin (tests/conftest.py registers it): offline
cameras on frames of the independent encoder, and copies of what they decode."""

import numpy as np

import pelorin
from tessaro import _sensor
from tessaro.synthetic import wire

# The fields of pelorin's frame record that hold the outputs.
PER_ECHO = [_sensor.OUTPUTS[name] for name in _sensor.PER_ECHO]
WHOLE = [field for name, field in _sensor.OUTPUTS.items() if name not in _sensor.PER_ECHO]
OUTPUTS = PER_ECHO + WHOLE
FRAMES = 6


def outputs(*names):
    """The output configuration with `names` on, or every output."""
    config = pelorin.camera_output_configuration()
    for name in names or OUTPUTS:
        setattr(config, "enable_" + name, True)
    return config


def encoded(seed, dual=False, padded=False):
    values = wire.random_values(seed, dual)
    return values, wire.encode_raw_frame(values, dual, padded)


def raw_frames(mode):
    """Image and embedded-data frames of FRAMES frames, 30 ms apart."""
    dual = mode == wire.DUAL_MODE
    ebds = [wire.encode_embedded_data(dual, frame_counter=12 * i + 1, time_counter=30000 * i, time_multiplier=1)
            for i in range(FRAMES)]
    return [encoded(seed, dual)[1] for seed in range(FRAMES)], ebds


def streaming_camera(source=None, ebd=None, mode=wire.SINGLE_MODE, echoes=1, config=None, dual_depth=None,
                     repeat=False, camera=None):
    """`camera` or a new offline camera, started in `mode` with every output unless `config` says
    otherwise; `source` and `ebd` are lists of frames or callables, None leaves the stream as it is."""
    camera = camera or pelorin.create_camera_offline("offline0")
    for slot, frames in ((pelorin.stream_image, source), (pelorin.stream_ebd, ebd)):
        if frames is not None:
            camera.add_stream(slot, wire.frame_player(frames, repeat) if isinstance(frames, list) else frames)
    assert (camera.open(mode), camera.configure_camera_echo(echoes),
            camera.configure_camera_output(config or outputs())) == (0, 0, 0)
    assert dual_depth is None or camera.configure_camera_dual_depth(dual_depth) == 0
    assert camera.start() == 0
    return camera


def arrays_of(frame, copy=False):
    """Every output and the raw data of `frame` as numpy arrays, per-echo outputs as lists of them."""
    array = np.array if copy else np.asarray
    return {name: [array(v) for v in value] if isinstance(value, list) else array(value)
            for name in OUTPUTS + ["raw_image", "raw_ebd"] for value in [getattr(frame, name)]}


def decoded(camera, count=FRAMES):
    """Copies of everything the next `count` frames decode to, and their ids; each must decode."""
    frames = [arrays_of(f, copy=True) | {"ids": (f.frame_id, f.timestamp), "error": f.error}
              for f in (camera.get_frame(100) for _ in range(count))]
    assert [f["error"] for f in frames] == [0] * count
    return frames
