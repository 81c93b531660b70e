"""The package's raw-frame encoder against the frames that the C++ tests' encoder wrote from the
same values (tests/data/golden, checked there by tests/processing/golden_frames_test.cpp): the
two must not drift apart in block order, channel offsets, padding or embedded-data offsets."""

from __future__ import annotations

import gzip
import pathlib
import zlib

import numpy as np
import pytest

from tessaro import wire

GOLDEN = pathlib.Path(__file__).resolve().parents[1] / "data" / "golden"
EMBEDDED = {
    False: dict(frame_counter=0x1234, time_counter=0x89ABCDEF, time_multiplier=3, temperature=170, depth_num=2,
                peak_order_selection=1, light_emitted=1, read_back=0, lvds_connection=1, bank_check=0),
    True: dict(frame_counter=0xFFFE, time_counter=0x01020304, time_multiplier=7, temperature=100, depth_num=3,
               peak_order_selection=0, light_emitted=0, read_back=1, lvds_connection=0, bank_check=1),
}


def manifest() -> list[tuple[str, int, int]]:
    rows = (line.split() for line in (GOLDEN / "manifest.txt").read_text().splitlines())
    return [(row[0], int(row[1]), int(row[2], 16)) for row in rows if row and not row[0].startswith("#")]


def golden_values(dual: bool, echoes: int) -> dict[str, np.ndarray]:
    """The values of golden_frames_test.cpp (p: pixel, e: echo)."""
    n = wire.pixel_count(dual)
    p = np.arange(n, dtype=np.uint32)
    f = p.astype(np.float32)
    e = np.arange(wire.MAX_ECHOES, dtype=np.float32)[:, None]
    live = (np.arange(wire.MAX_ECHOES) < echoes)[:, None]
    histogram = np.zeros((n, wire.HISTOGRAM_BINS), dtype=np.uint32)
    histogram[p, p % wire.HISTOGRAM_BINS] = 0xB000_0000 + p
    blocks = np.arange(wire.block_count(dual), dtype=np.uint32)[:, None]
    return {
        "line_word": 0x4C00_0000 + p,
        "noise_level": f + 0.25,
        "histogram": histogram,
        "pdc": 0xD000_0000 + (np.arange(wire.PDC_CHANNELS, dtype=np.uint32) << 16) + p[:, None],
        "radial_depth": np.where(live, 1000 * e + f + 0.5, 0).astype(np.float32),
        "points": np.where(live[..., None], np.stack([-(2000 * e + f + 0.25), 2000 * e + f + 0.75,
                                                      2000 * e + f + 0.5], axis=-1), 0).astype(np.float32),
        "peak_height": np.where(live, -(5000 * e + 3 * f + 0.25), 0).astype(np.float32),
        "peak_status": np.where(live, (p + 17 * np.arange(wire.MAX_ECHOES)[:, None]) % 256, 0).astype(np.uint8),
        "reference": 0x5200_0000 + (blocks << 8) + np.arange(wire.WORDS_PER_LINE, dtype=np.uint32),
    }


@pytest.mark.parametrize("name, size, crc", manifest(), ids=[name for name, _, _ in manifest()])
def test_wire_writes_the_golden_frame(name: str, size: int, crc: int) -> None:
    golden = np.frombuffer(gzip.decompress((GOLDEN / name).read_bytes()), dtype=np.uint8)
    assert (golden.size, zlib.crc32(golden.tobytes())) == (size, crc)
    kind, *shape = name.split(".")[0].split("_")
    dual = shape[0] == "dual"
    if kind == "ebd":
        encoded = wire.encode_embedded_data(dual, **EMBEDDED[dual])
    else:
        dual = kind == "dual"
        encoded = wire.encode_raw_frame(golden_values(dual, int(shape[1][0])), dual, padded=shape[0] == "padded")
    assert encoded.size == golden.size
    differ = np.flatnonzero(encoded != golden)
    assert differ.size == 0, f"{differ.size} bytes differ, the first at byte {differ[:1]}"
