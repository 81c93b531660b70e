"""The package's raw-frame encoder against the frames that the C++ tests' encoder wrote from the
same values (tests/data/golden, checked there by tests/processing/golden_frames_test.cpp): the two
must not drift apart in block order, channel offsets, padding or embedded-data offsets."""

from __future__ import annotations

import gzip
import pathlib

import numpy as np
import pytest

from tessaro.synthetic import wire

GOLDEN = pathlib.Path(__file__).resolve().parents[1] / "data" / "golden"


def golden_values(dual: bool) -> dict[str, np.ndarray]:
    """The values of golden_frames_test.cpp (p: pixel, e: echo)."""
    p = np.arange(wire.pixel_count(dual), dtype=np.uint32)
    g = 2000 * np.arange(wire.MAX_ECHOES, dtype=np.float32)[:, None] + p.astype(np.float32)
    histogram = np.zeros((p.size, wire.HISTOGRAM_BINS), dtype=np.uint32)
    histogram[p, p % wire.HISTOGRAM_BINS] = 0xB000_0000 + p
    return {
        "line_word": 0x4C00_0000 + p, "noise_level": p + np.float32(0.25), "histogram": histogram,
        "pdc": 0xD000_0000 + (np.arange(wire.PDC_CHANNELS, dtype=np.uint32) << 16) + p[:, None],
        "radial_depth": g + 0.5, "points": np.stack([-(g + 0.25), g + 0.75, g], axis=-1), "peak_height": -(3 * g + 0.25),
        "peak_status": ((p + 17 * np.arange(wire.MAX_ECHOES)[:, None]) % 256).astype(np.uint8),
        "reference": 0x5200_0000 + (np.arange(wire.block_count(dual), dtype=np.uint32)[:, None] << 8)
                     + np.arange(wire.WORDS_PER_LINE, dtype=np.uint32),
    }


@pytest.mark.parametrize("name, encode", [
    ("single_padded", lambda: wire.encode_raw_frame(golden_values(False), False, padded=True)),
    ("dual_packed", lambda: wire.encode_raw_frame(golden_values(True), True)),
    ("ebd_dual", lambda: wire.encode_embedded_data(
        True, frame_counter=0xFEDC, time_counter=0x89ABCDEF, time_multiplier=7, temperature=170, depth_num=3,
        peak_order_selection=1, light_emitted=1, read_back=0, lvds_connection=1, bank_check=0)),
])
def test_wire_writes_the_golden_frame(name: str, encode: object) -> None:
    golden = np.frombuffer(gzip.decompress((GOLDEN / f"{name}.bin.gz").read_bytes()), dtype=np.uint8)
    assert callable(encode)
    encoded = encode()
    assert encoded.size == golden.size
    differ = np.flatnonzero(encoded != golden)
    assert differ.size == 0, f"{differ.size} bytes differ, the first at byte {differ[:1]}"
