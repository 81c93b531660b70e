"""Replays synthetic raw frames through an offline camera, in a single and a dual-depth mode,
and prints what came back."""

import time

import numpy as np

import pelorin
from tessaro import wire as raw_frames

FRAMES = 20


def all_outputs():
    config = pelorin.camera_output_configuration()
    for flag in ("enable_point_cloud", "enable_cartesian_depth", "enable_radial_depth",
                 "enable_noise_level", "enable_peak_height", "enable_peak_status",
                 "enable_histogram", "enable_pdc"):
        setattr(config, flag, True)
    return config


def recorded_frames(dual, echoes):
    frames = []
    for seed in range(4):
        values = raw_frames.random_values(seed, dual, echoes)
        frames.append(raw_frames.encode_raw_frame(values, dual, padded=seed % 2 == 1))
    return frames


def recorded_embedded_data(dual, count):
    """Frame and time counters of consecutive frames, with the sensor at 41 degrees."""
    blocks = raw_frames.block_count(dual)
    return [raw_frames.encode_embedded_data(dual, frame_counter=blocks * k + 1,
                                            time_counter=10000 * k, time_multiplier=1,
                                            temperature=128 + 41, depth_num=3)
            for k in range(count)]


def replay(mode, echoes):
    camera = pelorin.create_camera_offline(f"replay-{mode:x}")
    info = camera.get_camera_info()
    dual = info["supported_modes"][f"{mode:x}"]["dual_depth_mode"]
    player = raw_frames.frame_player(recorded_frames(dual, echoes), repeat=True)
    camera.add_stream(pelorin.stream_image, player)
    camera.add_stream(pelorin.stream_ebd,
                      raw_frames.frame_player(recorded_embedded_data(dual, FRAMES), repeat=True))
    assert camera.open(mode) == 0
    assert camera.configure_camera_echo(echoes) == 0
    assert camera.configure_camera_output(all_outputs()) == 0
    assert camera.start() == 0

    info = camera.get_camera_info()
    print(f"camera {info['id']}: mode {info['mode']:#x} ({'dual' if dual else 'single'} depth), "
          f"{info['number_of_echo']} echo(es), status {info['status']}")

    timings, stamps = [], []
    for _ in range(FRAMES):
        began = time.perf_counter()
        frame = camera.get_frame(100)
        timings.append(time.perf_counter() - began)
        assert frame.error == 0, frame.error
        stamps.append((frame.frame_id, frame.timestamp))
    sensor = camera.get_sensor_info()

    print(f"  raw frame: {len(frame.raw_image)} bytes; {len(frame.noise_level)} pixels of noise, "
          f"histogram {np.asarray(frame.histogram).shape}, pdc {np.asarray(frame.pdc).shape}")
    for echo, depth in enumerate(frame.radial_depth):
        d = np.asarray(depth)
        valid = d[d > 0]
        print(f"  echo {echo + 1}: radial depth over {d.size} pixels: {valid.size} valid, "
              f"min {valid.min():.2f}, mean {valid.mean():.2f}, max {valid.max():.2f}")
    points = np.asarray(frame.point_cloud[0])
    print(f"  point cloud echo 1: {points.shape}, z mean {points[:, 2].mean():.2f}; "
          f"cartesian depth equals z: {np.array_equal(points[:, 2], np.asarray(frame.cartesian_depth[0]))}")
    ids = [i for i, _ in stamps]
    step = np.diff([t for _, t in stamps]).mean()
    print(f"  frames {ids[0]} to {ids[-1]}, timestamp step {step:.0f}; "
          f"sensor at {sensor.temperature:.1f} C, depth_num {sensor.depth_num}")
    ms = np.array(timings) * 1000
    print(f"  get_frame over {FRAMES} frames: median {np.median(ms):.3f} ms, "
          f"max {ms.max():.3f} ms; source called {len(player.calls)} times")
    camera.stop()
    camera.close()


def main():
    print(pelorin.__doc__)
    replay(raw_frames.SINGLE_MODE, echoes=3)
    replay(raw_frames.DUAL_MODE, echoes=2)


if __name__ == "__main__":
    main()
