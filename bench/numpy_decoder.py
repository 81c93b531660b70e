"""A raw-frame decoder in numpy, written the way a user with the wire format at hand would write
it: put the lines in pixel order with one fancy index, then slice each field out of the words and
scale the fixed-point ones. A dual-depth frame's two sub-frames are then merged into one result
set per zone by the near/far rules, vectorised over the zones, so that it gives what the replay
gives: `differences` compares the two.
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


Outputs = dict[str, npt.NDArray[np.generic]]
PER_ECHO = ("radial_depth", "point_cloud", "cartesian_depth", "peak_height", "peak_status")


def decode(frame: npt.NDArray[np.uint8], dual: bool, echoes: int = 3) -> Outputs:
    """Every output of `frame`, the per-echo ones (echoes, zones, ...), merged in dual depth."""
    decoded = decode_sub_frames(frame, dual, echoes)
    return merge(decoded, echoes) if dual else decoded


def decode_sub_frames(frame: npt.NDArray[np.uint8], dual: bool, echoes: int) -> Outputs:
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


def from_top(mask: npt.NDArray[np.bool_], wanted: npt.NDArray[np.intp]) -> npt.NDArray[np.bool_]:
    """The first `wanted` candidates of `mask` in each zone, counting from the last position."""
    count_from_top = np.cumsum(mask[::-1], axis=0, dtype=np.int16)[::-1]
    return mask & (count_from_top <= wanted)


def merge(decoded: Outputs, echoes: int, near: float = 200.0, far: float = 2000.0,
          window: float = 50.0) -> Outputs:
    """Each zone's 2 x `echoes` candidates (candidate 2e + s: echo e of sub-frame s) reduced to
    `echoes` results, nearest first: preselected by the band, sorted by a selection sort, cleared
    of near-duplicates of the other sub-frame, chosen and written out. Arrays are (candidates or
    sorted positions, zones, ...)."""
    near32, far32, window32 = np.float32(near), np.float32(far), np.float32(window)
    zones, count = decoded["radial_depth"].shape[1] // 2, 2 * echoes
    fields = {name: decoded[name].reshape(count, zones, *decoded[name].shape[2:]) for name in PER_ECHO}
    key = fields["radial_depth"]
    second = (np.arange(count) % 2 == 1)[:, np.newaxis]
    valid = key > 0
    selected = valid & np.where(second, (key < near32) | (key > far32), (near32 < key) & (key < far32))
    # The selection sort: the first smallest key from position p on swaps into position p.
    order = np.repeat(np.arange(count)[:, np.newaxis], zones, axis=1)
    sorted_key = key.copy()
    columns = np.arange(zones)
    for p in range(count - 1):
        q = p + np.argmin(sorted_key[p:], axis=0)
        order[p], order[q, columns] = order[q, columns], order[p].copy()
        sorted_key[p], sorted_key[q, columns] = sorted_key[q, columns], sorted_key[p].copy()
    valid, selected = np.take_along_axis(valid, order, 0), np.take_along_axis(selected, order, 0)
    second = order % 2 == 1
    dropped = np.zeros_like(valid)
    for a in range(count):
        for b in range(a + 1, count):
            pair = valid[a] & valid[b] & (second[a] != second[b]) & \
                (np.abs(sorted_key[a] - sorted_key[b]) < window32)
            # Exactly one selected: the other goes; otherwise the first sub-frame's.
            drop_a = pair & np.where(selected[a] != selected[b], ~selected[a], ~second[a])
            for k, drop in ((a, drop_a), (b, pair & ~drop_a)):
                valid[k] &= ~drop
                selected[k] &= ~drop
                dropped[k] |= drop
    valid_count, selected_count = valid.sum(0), selected.sum(0)
    short = echoes - selected_count
    added_second = from_top(valid & ~selected & second, short)
    added_first = from_top(valid & ~selected & ~second, short - added_second.sum(0))
    kept_second = selected & second
    chosen = np.select(
        [valid_count == echoes, valid_count < echoes, selected_count == echoes, selected_count < echoes],
        [valid, valid | from_top(~valid & second, echoes - valid_count),
         selected, selected | added_second | added_first],
        kept_second | from_top(selected & ~second, echoes - kept_second.sum(0)))
    merged = {name: value for name, value in decoded.items() if name not in PER_ECHO}
    radial = np.where(dropped, 0, sorted_key)
    # Chosen results with a depth first, then the chosen empty ones, each in sorted order.
    rank = np.where(chosen, np.where(radial > 0, 0, 1), 2)
    slots = np.take_along_axis(order, np.argsort(rank, axis=0, kind="stable")[:echoes], 0)
    cleared = np.take_along_axis(dropped, np.argsort(order, axis=0), 0)  # by candidate
    for name, value in fields.items():
        extra = (1,) * (value.ndim - 2)
        value = np.where(cleared.reshape(cleared.shape + extra), 0, value)
        merged[name] = np.take_along_axis(value, slots.reshape(slots.shape + extra), 0)
    return merged


def differences(decoded: Outputs, record: object) -> list[str]:
    """The outputs in which `decoded` differs from pelorin's frame `record`."""
    import pelorin
    assert isinstance(record, pelorin.frame_buffer)
    fields = {"noise": "noise_level"}
    found = []
    for name, value in decoded.items():
        theirs = getattr(record, fields.get(name, name))
        theirs = np.array([np.asarray(v) for v in theirs[:len(value)]]) if name in PER_ECHO \
            else np.asarray(theirs)
        if theirs.shape != value.shape or not np.array_equal(theirs, value):
            found.append(name)
    return found
