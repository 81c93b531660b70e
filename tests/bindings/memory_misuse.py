"""Ways of holding on to frame data longer than the camera does. Run under valgrind by
test_buffer_exports.py: none of them may read or write freed memory."""

import gc
import sys

import numpy as np

import pelorin
import raw_frames
from conftest import streaming_camera


def arrays_of(frame):
    return [np.asarray(frame.noise_level), np.asarray(frame.histogram), np.asarray(frame.pdc),
            np.asarray(frame.raw_image)] + \
        [np.asarray(v) for field in (frame.point_cloud, frame.radial_depth, frame.peak_status,
                                      frame.cartesian_depth, frame.peak_height) for v in field]


def touch(arrays):
    """Reads (and writes) every element, so that stale memory would be noticed."""
    total = 0.0
    for a in arrays:
        total += float(a.astype(np.float64).sum())
        a[...] = a
    return total


def frames(dual, count=2):
    return [raw_frames.encode_raw_frame(raw_frames.random_values(s, dual), dual)
            for s in range(count)]


def kept_across_stop():
    camera, _ = streaming_camera(frames(False), echoes=3)
    frame = camera.get_frame(10)
    held = arrays_of(frame)
    camera.stop()
    gc.collect()
    touch(held + arrays_of(frame))


def kept_across_start():
    camera, _ = streaming_camera(frames(True), mode=raw_frames.DUAL_MODE, echoes=2, repeat=True)
    frame = camera.get_frame(10)
    held = arrays_of(frame)
    camera.stop()
    camera.start()
    camera.get_frame(10)
    gc.collect()
    touch(held + arrays_of(frame))


def kept_across_idle_get_frame():
    camera, _ = streaming_camera(frames(False))
    frame = camera.get_frame(10)
    held = arrays_of(frame)
    camera.stop()
    camera.get_frame(10)
    touch(held + arrays_of(frame))


def kept_across_camera_deletion():
    camera, _ = streaming_camera(frames(False), echoes=2)
    frame = camera.get_frame(10)
    info = camera.get_sensor_info()
    laser = info.laser_status
    held = arrays_of(frame)
    del camera
    gc.collect()
    touch(held + arrays_of(frame))
    assert (info.temperature, laser.bank_check) == (0.0, False)


def raw_image_across_padded_and_resized_frames():
    values = raw_frames.random_values(3, dual=False)
    packed = raw_frames.encode_raw_frame(values, False)
    padded = raw_frames.encode_raw_frame(values, False, padded=True)
    oversized = np.full(3 * len(padded), 7, dtype=np.uint8)
    camera, _ = streaming_camera([packed, padded, oversized, packed])
    frame = camera.get_frame(10)
    raw = np.asarray(frame.raw_image)
    view = memoryview(frame.raw_image)
    later = []
    for _ in range(3):
        camera.get_frame(10)
        gc.collect()
        later.append(np.asarray(frame.raw_image))
        touch([raw, np.asarray(view)] + later)
    assert (raw == packed).all()
    assert (np.asarray(frame.raw_image) == packed).all()
    del raw, view  # the first storage goes, the later ones stay
    camera.get_frame(10)
    touch(later)
    assert (later[0] == padded.reshape(-1, 704)[:, :672].reshape(-1)).all()


def raw_image_exported_by_the_source():
    small = raw_frames.encode_raw_frame(raw_frames.random_values(4, dual=False), False)
    held = {}

    def source(array, timeout_ms):
        if "frame" in held:  # the previous frame's bytes, taken while the next one is read
            held["raw"] = np.asarray(held["frame"].raw_image)
            if len(array) < 2_000_000:
                return 2_000_000
            array[:] = 3
            return len(array)
        if len(array) >= len(small):
            array[:len(small)] = small
        return len(small)

    camera = pelorin.create_camera_offline("source")
    camera.add_stream(pelorin.stream_image, source)
    camera.open(raw_frames.SINGLE_MODE)
    camera.start()
    held["frame"] = camera.get_frame(10)
    camera.get_frame(10)
    touch([held["raw"]])
    assert (held["raw"] == small).all()


def append_while_exported():
    camera, _ = streaming_camera(frames(False))
    frame = camera.get_frame(10)
    noise = frame.noise_level
    array = np.asarray(noise)
    for resize in (lambda: noise.append(1.0), lambda: noise.extend(range(5000)),
                   lambda: noise.insert(0, 1.0), noise.clear, lambda: frame.raw_image.extend(
                       pelorin.vector_uint8(range(256))), lambda: np.asarray(frame.raw_image)):
        try:
            resize()
        except BufferError:
            pass
        touch([array])
    del array
    noise.extend(range(5000))  # allowed now: nothing points into the old storage
    touch([np.asarray(noise)])


def main():
    for scenario in (kept_across_stop, kept_across_start, kept_across_idle_get_frame,
                     kept_across_camera_deletion, raw_image_across_padded_and_resized_frames,
                     raw_image_exported_by_the_source, append_while_exported):
        print(scenario.__name__, flush=True)
        scenario()
    print("done", flush=True)


if __name__ == "__main__":
    sys.exit(main())
