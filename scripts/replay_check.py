"""Smoke test of an installed pelorin wheel: imports it, replays one synthetic raw frame through
an offline camera and compares the decoded depth and histogram with the encoded values. Runs
under whichever interpreter loads it (the arm64 one under qemu-user, for the AArch64 wheel)."""

import platform

import numpy as np

import pelorin
from tessaro.synthetic import wire


def main() -> None:
    values = wire.random_values(7, dual=False)
    camera = pelorin.create_camera_offline("wheel-check")
    camera.add_stream(pelorin.stream_image,
                      wire.frame_player([wire.encode_raw_frame(values, dual=False)]))
    outputs = pelorin.camera_output_configuration()
    outputs.enable_radial_depth = True
    outputs.enable_histogram = True
    assert (camera.open(wire.SINGLE_MODE), camera.configure_camera_echo(wire.MAX_ECHOES),
            camera.configure_camera_output(outputs), camera.start()) == (0, 0, 0, 0)
    frame = camera.get_frame(100)
    assert frame.error == 0, frame.error
    for echo in range(wire.MAX_ECHOES):
        np.testing.assert_array_equal(np.asarray(frame.radial_depth[echo]),
                                      values["radial_depth"][echo])
    np.testing.assert_array_equal(np.asarray(frame.histogram), values["histogram"])
    camera.stop()
    camera.close()
    print(f"pelorin {pelorin.__version__} ({pelorin.__file__}) on CPython "
          f"{platform.python_version()} {platform.machine()}: one frame replayed and decoded")


if __name__ == "__main__":
    main()
