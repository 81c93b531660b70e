"""Ways of holding on to frame data longer than the camera does. Run under valgrind by
test_memory.py: none of them may read or write freed memory."""

import gc
import sys

import numpy as np

import pelorin
import raw_frames
from conftest import arrays_of, encoded, streaming_camera


def touch(arrays):
    """Reads and writes every element, so that stale memory would be noticed."""
    for a in arrays:
        for v in (a if isinstance(a, list) else [a]):
            v[...] = v.copy()


def kept(retire, dual=False):
    mode = raw_frames.DUAL_MODE if dual else raw_frames.SINGLE_MODE
    camera = streaming_camera([encoded(s, dual)[1] for s in (1, 2)], mode, echoes=2, repeat=True)
    frame = camera.get_frame(10)
    held = arrays_of(frame)
    camera = retire(camera)
    gc.collect()
    touch(list(held.values()) + list(arrays_of(frame).values()))


def stop(camera):
    camera.stop()
    camera.get_frame(10)
    return camera


def restart(camera):
    camera.stop()
    camera.start()
    camera.get_frame(10)
    return camera


def raw_image_across_padded_and_resized_frames():
    values, packed = encoded(3)
    padded = raw_frames.encode_raw_frame(values, False, padded=True)
    camera = streaming_camera([packed, padded, np.full(3 * len(padded), 7, np.uint8), packed])
    frame = camera.get_frame(10)
    held = [np.asarray(frame.raw_image), np.asarray(memoryview(frame.raw_image))]
    for _ in range(3):
        camera.get_frame(10)
        gc.collect()
        held.append(np.asarray(frame.raw_image))
        touch(held)
    assert (held[0] == packed).all()
    del held[:2]  # the first storage goes, the later ones stay
    camera.get_frame(10)
    touch(held)


def raw_image_taken_by_the_source():
    small = encoded(4)[1]
    held = {}

    def source(array, timeout_ms):
        if "frame" in held:  # the previous frame's bytes, taken while the next one is read
            held["raw"] = np.asarray(held["frame"].raw_image)
            if len(array) < 2_000_000:
                return 2_000_000
            array[:] = 3
            return len(array)
        array[:len(small)] = small[:len(array)]
        return len(small)

    camera = streaming_camera(source)
    held["frame"] = camera.get_frame(10)
    camera.get_frame(10)
    assert (held["raw"] == small).all()
    touch([held["raw"]])


def append_while_exported():
    frame = streaming_camera([encoded(5)[1]]).get_frame(10)
    noise = frame.noise_level
    array = np.asarray(noise)
    for resize in (lambda: noise.append(1.0), lambda: noise.extend(range(5000)), noise.clear):
        try:
            resize()
        except BufferError:
            touch([array])
        else:
            raise AssertionError("resized while exported")
    del array
    noise.extend(range(5000))


def main():
    for name, scenario in [("across stop", lambda: kept(stop)),
                           ("across a new start", lambda: kept(restart, dual=True)),
                           ("across deleting the camera", lambda: kept(lambda c: None)),
                           ("raw image", raw_image_across_padded_and_resized_frames),
                           ("raw image taken by the source", raw_image_taken_by_the_source),
                           ("append while exported", append_while_exported)]:
        print(name, flush=True)
        scenario()
    print("done", flush=True)


if __name__ == "__main__":
    sys.exit(main())
