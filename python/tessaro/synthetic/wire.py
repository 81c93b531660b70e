"""Raw IMX704 image frames made from known per-pixel values, the way the sensor sends them.

Written from the wire format alone (lines of 168 little-endian 32-bit words, blocks of one
reference line and 48 image lines, blocks interleaved on the wire, lines optionally padded to a
704-byte stride), so that replaying these frames checks the decoder rather than restating it.
"""

from __future__ import annotations

import functools
from collections.abc import Iterable

import _tessaro_synthetic as _kernels
import numpy as np
import numpy.typing as npt

from tessaro._sensor import FrameFeeder, Mode, blocks

LINE_SIZE = 672
PADDED_LINE_SIZE = 704
WORDS_PER_LINE = LINE_SIZE // 4
LINES_PER_BLOCK = 49  # one reference line, then 48 image lines
IMAGE_LINES = 48
HISTOGRAM_BINS = 144
PDC_CHANNELS = 4
MAX_ECHOES = 3

# Word index of each channel in a line.
LINE_WORD = 0
HISTOGRAM = 1
PDC = 145
NOISE = 149
ECHO_BASE = 150  # echo g: radial depth, x, y, z, peak height, peak status at ECHO_BASE + 6 g
ECHO_STRIDE = 6

# Destination block of each block as received.
BLOCK_ORDER = {
    12: [0, 6, 2, 8, 4, 10, 1, 7, 3, 9, 5, 11],
    24: [0, 12, 6, 18, 2, 14, 8, 20, 4, 16, 10, 22, 1, 13, 7, 19, 3, 15, 9, 21, 5, 17, 11, 23],
}

# The keys of the per-pixel values: those with a value per echo slot, and those with one per
# pixel.
ECHO_VALUES = ("radial_depth", "points", "peak_height", "peak_status")
PIXEL_VALUES = ("noise_level", "histogram", "pdc")

SINGLE_MODE = Mode.SINGLE
DUAL_MODE = Mode.DUAL
block_count = blocks


def pixel_count(dual: bool) -> int:
    return block_count(dual) * IMAGE_LINES


def frame_size(dual: bool, padded: bool = False) -> int:
    return block_count(dual) * LINES_PER_BLOCK * (PADDED_LINE_SIZE if padded else LINE_SIZE)


def random_values(seed: int, dual: bool, echoes: int = MAX_ECHOES) -> dict[str, np.ndarray]:
    """Per-pixel values every field can carry exactly; echoes from `echoes` on stay zero."""
    rng = np.random.default_rng(seed)
    n = pixel_count(dual)

    def steps(low: int, high: int, shape: int | tuple[int, ...]) -> np.ndarray:
        return rng.integers(low * 4, high * 4, size=shape).astype(np.float32) / 4

    values = {
        "line_word": rng.integers(0, 1 << 32, size=n, dtype=np.uint64).astype(np.uint32),
        "noise_level": steps(0, 5000, n),
        "histogram": rng.integers(0, 1 << 32, size=(n, HISTOGRAM_BINS), dtype=np.uint64).astype(np.uint32),
        "pdc": rng.integers(0, 1 << 32, size=(n, PDC_CHANNELS), dtype=np.uint64).astype(np.uint32),
        "radial_depth": steps(1, 8000, (MAX_ECHOES, n)),
        "points": np.stack([steps(-500000, 500000, (MAX_ECHOES, n)),
                            steps(-500000, 500000, (MAX_ECHOES, n)),
                            steps(0, 8000, (MAX_ECHOES, n))], axis=-1),
        "peak_height": steps(-4000000, 4000000, (MAX_ECHOES, n)),
        "peak_status": rng.integers(0, 256, size=(MAX_ECHOES, n)).astype(np.uint8),
        "reference": rng.integers(0, 1 << 32, size=(block_count(dual), WORDS_PER_LINE),
                                  dtype=np.uint64).astype(np.uint32),
    }
    for key in ECHO_VALUES:
        values[key][echoes:] = 0
    return values


@functools.cache
def _wire_rows(blocks: int) -> tuple[np.ndarray, np.ndarray]:
    """The line on the wire of each block's reference line, and of each pixel's image line."""
    half = IMAGE_LINES // 2
    rows = np.empty((blocks, LINES_PER_BLOCK), dtype=np.intp)
    for received, d in enumerate(BLOCK_ORDER[blocks]):
        wire_line = received * LINES_PER_BLOCK
        rows[d, 0] = wire_line
        # An even destination carries the first halves of blocks d and d + 1, an odd one the
        # second halves of blocks d - 1 and d.
        first, second = (d, d + 1) if d % 2 == 0 else (d - 1, d)
        lines = slice(1, 1 + half) if d % 2 == 0 else slice(1 + half, 1 + IMAGE_LINES)
        rows[first, lines] = np.arange(wire_line + 1, wire_line + 1 + half)
        rows[second, lines] = np.arange(wire_line + 1 + half, wire_line + 1 + IMAGE_LINES)
    rows.flags.writeable = False
    return rows[:, 0], rows[:, 1:].reshape(-1)


def encode_raw_frame(values: dict[str, np.ndarray], dual: bool,
                     padded: bool = False) -> np.ndarray:
    """The raw image frame as a uint8 array, in wire order. Fixed-point fields have two fraction
    bits (x, y and peak height signed, in 22, 22 and 25 bits); a value a field cannot carry is a
    ValueError. Only the low byte of a peak status word is the status: the model sets the upper
    ones, which the decoder must ignore."""
    references, pixels = _wire_rows(block_count(dual))
    return _kernels.raw_frame(
        values["reference"], values["line_word"], values["histogram"], values["pdc"],
        values["noise_level"], values["radial_depth"], values["points"], values["peak_height"],
        values["peak_status"], references, pixels, padded)


def encode_embedded_data(dual: bool, frame_counter: int = 0, time_counter: int = 0,
                         time_multiplier: int = 0, temperature: int = 128, depth_num: int = 0,
                         peak_order_selection: int = 0, light_emitted: int = 0,
                         read_back: int = 0, lvds_connection: int = 0,
                         bank_check: int = 0) -> np.ndarray:
    """An embedded-data frame (one 672-byte line per block); bytes that carry no field are
    non-zero filler."""
    data = np.full(block_count(dual) * LINE_SIZE, 0x5A, dtype=np.uint8)
    fields = {6: frame_counter >> 8, 8: frame_counter & 0xFF, 224: temperature,
              232: time_counter >> 24, 234: (time_counter >> 16) & 0xFF,
              236: (time_counter >> 8) & 0xFF, 238: time_counter & 0xFF, 240: time_multiplier,
              370: depth_num, 374: peak_order_selection, 380: light_emitted, 382: read_back,
              384: lvds_connection, 386: bank_check}
    for offset, value in fields.items():
        data[offset] = value
    return data


class frame_player(FrameFeeder):
    """A frame feeder for camera.add_stream that hands out the given frames in turn, and again
    from the first with `repeat`; `calls` logs every call."""

    def __init__(self, frames: Iterable[np.ndarray], repeat: bool = False) -> None:
        super().__init__()
        self.frames = [np.asarray(f, dtype=np.uint8) for f in frames]
        self.repeat = repeat
        self.calls: list[tuple[int, int]] = []  # (array length, timeout) of every call

    def next_frame(self, timeout_ms: int) -> npt.NDArray[np.uint8] | None:
        if self.position >= len(self.frames):
            if not self.repeat or not self.frames:
                return None
            self.position = 0
        return self.frames[self.position]

    def __call__(self, array: npt.NDArray[np.uint8], timeout_ms: int) -> int:
        self.calls.append((len(array), timeout_ms))
        return super().__call__(array, timeout_ms)
