"""A raw-frame decoder in numpy, written the way a user with the wire format at hand would write
it: put the lines in pixel order with one fancy index, then slice each field out of the words and
scale the fixed-point ones. It decodes every output of both sub-frames of a dual-depth frame but
does not merge them, so it is set against a replay that does more than it does.
"""

import numpy as np
import numpy.typing as npt

from tessaro.synthetic import wire

# The received block that carries each half-block of image lines, per block count.
_ROWS: dict[int, npt.NDArray[np.intp]] = {}


def pixel_rows(blocks: int) -> npt.NDArray[np.intp]:
    """The wire line of every pixel, in pixel order."""
    if blocks not in _ROWS:
        half = wire.IMAGE_LINES // 2
        rows = np.empty((blocks, wire.IMAGE_LINES), dtype=np.intp)
        for received, d in enumerate(wire.BLOCK_ORDER[blocks]):
            first_line = received * wire.LINES_PER_BLOCK + 1
            # An even destination brings the first halves of blocks d and d + 1, an odd one the
            # second halves of blocks d - 1 and d.
            pair, part = ((d, d + 1), slice(0, half)) if d % 2 == 0 else ((d - 1, d), slice(half, None))
            rows[pair[0], part] = np.arange(first_line, first_line + half)
            rows[pair[1], part] = np.arange(first_line + half, first_line + 2 * half)
        _ROWS[blocks] = rows.reshape(-1)
    return _ROWS[blocks]


def fixed(words: npt.NDArray[np.uint32], sign_bit: int = 0) -> npt.NDArray[np.float32]:
    """Two fraction bits; a set sign bit makes the field negative."""
    values = words.astype(np.int64)
    if sign_bit:
        values = np.where(values & (1 << sign_bit), values - (2 << sign_bit), values)
    return (values / 4).astype(np.float32)


def decode(frame: npt.NDArray[np.uint8], dual: bool, echoes: int = 3) -> dict[str, npt.NDArray[np.generic]]:
    words = frame.view("<u4").reshape(-1, wire.WORDS_PER_LINE)
    lines = words[pixel_rows(wire.block_count(dual))]
    echo = lines[:, wire.ECHO_BASE:wire.ECHO_BASE + wire.ECHO_STRIDE * echoes]
    echo = echo.reshape(len(lines), echoes, wire.ECHO_STRIDE).transpose(1, 0, 2)
    points = np.stack([fixed(echo[..., 1], 21), fixed(echo[..., 2], 21), fixed(echo[..., 3])], axis=-1)
    return {
        "noise": fixed(lines[:, wire.NOISE]),
        "histogram": lines[:, wire.HISTOGRAM:wire.HISTOGRAM + wire.HISTOGRAM_BINS].copy(),
        "pdc": lines[:, wire.PDC:wire.PDC + wire.PDC_CHANNELS].copy(),
        "radial_depth": fixed(echo[..., 0]),
        "point_cloud": points,
        "cartesian_depth": points[..., 2].copy(),
        "peak_height": fixed(echo[..., 4], 24),
        "peak_status": (echo[..., 5] & 0xFF).astype(np.uint8),
    }
