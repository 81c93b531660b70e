import hashlib

import pytest

from tessaro.synthetic import SyntheticSensor, default_scene

# The frames every mode rendered before its renderer was rewritten for speed: the suites, the demo
# and recordings made from the synthetic sensor rely on the same seed giving the same bytes.
# (mode, seed, frame, padded, moving ball, sha256 of raw image and embedded data, first 128 bits)
FRAMES = [
    (0x201C, 0, 1, False, True, "dec676b7e4bad583295747231a657064"),
    (0x201C, 5, 40, True, True, "d46204e52a708541e662868587107841"),
    (0x201C, 2, 9, False, False, "c55d174cba5793a7a299b04c7ab1b677"),
    (0x211C, 0, 1, False, True, "17eec85e7917e1bcb927daea7a89b3e2"),
    (0x211C, 5, 40, True, True, "9649d501ca1efd338bb2633eabb764cc"),
    (0x211C, 2, 9, False, False, "45381febc536325781126005ef2ab636"),
    (0x221C, 0, 1, False, True, "217bfa7215ecc1f95d614cdcacfe0b0a"),
    (0x221C, 5, 40, True, True, "f0b3861dd9150a1508dd32728f64649a"),
    (0x221C, 2, 9, False, False, "3b37dc18f2aec338073315d2503aebdf"),
    (0x301C, 0, 1, False, True, "a474f133fb738cd867923e99163b172b"),
    (0x301C, 5, 40, True, True, "b264730cd3e696285e53e06a0aac06ce"),
    (0x301C, 2, 9, False, False, "8b6ff4a97fdac85e6c39403b0e9a62e5"),
    (0x311C, 0, 1, False, True, "1690943e909e74cf31eb50c40ed5f538"),
    (0x311C, 5, 40, True, True, "018f7d9423e094a67f6151ea32025b5b"),
    (0x311C, 2, 9, False, False, "34271b65f95b924e7ec0c2f5cb814bb2"),
    (0x321C, 0, 1, False, True, "2d4a8a21252002e382731bbc04125c26"),
    (0x321C, 5, 40, True, True, "82afd4b6b5849c0c5c8667f745646d8f"),
    (0x321C, 2, 9, False, False, "0dd45d72f17194a91a5321ad8e17dc7d"),
]


@pytest.mark.parametrize("mode, seed, index, padded, moving, digest", FRAMES)
def test_synthetic_frames_keep_their_bytes(mode, seed, index, padded, moving, digest):
    sensor = SyntheticSensor(mode, seed=seed, padded=padded, scene=default_scene(moving=moving))
    sensor.raw_frame(index + 1)  # frames rendered before must not change a later one
    frame = hashlib.sha256(sensor.raw_frame(index).tobytes())
    frame.update(sensor.ebd_frame(index).tobytes())
    assert frame.hexdigest()[:32] == digest


def test_histogram_kernel_refuses_what_would_write_outside_its_arrays():
    import _tessaro_synthetic as kernels
    import numpy as np

    rng = np.random.default_rng(0)
    ambient, out = np.full(576, 200.0), np.empty((576, 144), dtype=np.uint32)
    photons, pdc = np.zeros((576, 4)), np.empty((576, 4), dtype=np.uint32)
    zone, height = np.array([3, 1]), np.ones(2)
    bounds, gaussians = np.array([[0, 2], [0, 2]]), np.ones(4)
    cases = [(zone, bounds, gaussians, out),  # peaks out of zone order
             (zone[::-1], np.array([[0, 2], [100, 145]]), np.ones(47), out),
             (zone[::-1], bounds, np.ones(3), out),  # fewer values than the bounds span
             (zone[::-1], bounds, gaussians, out[:-1])]
    for peak_zone, peak_bounds, values, counts in cases:
        with pytest.raises(ValueError):
            kernels.histograms([rng], ambient, peak_zone, height, peak_bounds, values, photons,
                               counts, pdc)


def test_encoder_keeps_each_field_in_its_bits():
    import numpy as np

    from tessaro.synthetic import wire

    values = wire.random_values(1, False)
    # The extremes of the signed fields, in pixel 0's first echo.
    values["points"][0, 0, :2] = [-(2 ** 21) / 4, (2 ** 21 - 1) / 4]
    values["peak_height"][0, 0] = -(2 ** 24) / 4
    row = wire._wire_rows(wire.block_count(False))[1][0]
    line = wire.encode_raw_frame(values, False).view("<u4").reshape(-1, wire.WORDS_PER_LINE)[row]
    assert list(line[wire.ECHO_BASE + 1:wire.ECHO_BASE + 3]) == [1 << 21, (1 << 21) - 1]
    assert line[wire.ECHO_BASE + 4] == 1 << 24
    for key, index, value in [("radial_depth", (0, 0), -0.25), ("points", (0, 0, 0), 2 ** 21 / 4),
                              ("points", (0, 0, 1), -(2 ** 21) / 4 - 0.25),
                              ("peak_height", (0, 0), 2 ** 24 / 4), ("noise_level", (0,), np.nan)]:
        broken = {name: array.copy() for name, array in values.items()}
        broken[key][index] = value
        with pytest.raises(ValueError, match="does not fit the field"):
            wire.encode_raw_frame(broken, False)
