"""What the package knows of the IMX704 and of its own distribution, kept in one place: the
sensor's modes, the outputs and the fields of pelorin's frame record that hold them, the default
outputs, the frame feeder every offline stream is driven by, and the package's version.

pelorin loads only when the library is asked (the mode table, an output configuration), so that
the wire encoder, which uses the modes, runs without it.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Collection, Mapping
from enum import IntEnum
from importlib import metadata
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

if TYPE_CHECKING:
    import pelorin

DISTRIBUTION = "pelorin"


class Mode(IntEnum):
    """The sensor's modes. Of each only single or dual depth is known: a dual-depth mode sends a
    near and a far sub-frame, twice the blocks of a single-depth one. SINGLE and DUAL are the
    modes the package picks when asked for "single" or "dual"."""

    DUAL_301C = 0x301C
    SINGLE_311C = 0x311C
    SINGLE_321C = 0x321C
    DUAL_201C = 0x201C
    SINGLE_211C = 0x211C
    SINGLE_221C = 0x221C
    SINGLE = 0x211C
    DUAL = 0x301C

    @property
    def dual(self) -> bool:
        """True for a dual-depth mode."""
        return self.name.startswith("DUAL")

    @property
    def blocks(self) -> int:
        """Blocks of one raw frame: 12 in single-depth modes, 24 in dual-depth ones."""
        return blocks(self.dual)


MODE_NAMES: Mapping[str, Mode] = {"single": Mode.SINGLE, "dual": Mode.DUAL}


def blocks(dual: bool) -> int:
    """Blocks of a raw frame of a dual-depth mode (`dual`) or a single-depth one."""
    return 24 if dual else 12


@functools.cache
def mode_table() -> dict[int, dict[str, Any]]:
    """The library's mode table: mode id -> geometry, raw sizes, echo limit, dual-depth flag."""
    import pelorin
    info = pelorin.create_camera_offline("mode table").get_camera_info()
    return {int(key, 16): value for key, value in info["supported_modes"].items()}


# Output name -> the field of pelorin's frame record that holds it (its flag in the output
# configuration is "enable_" + field), in the order the package lists them.
OUTPUTS: dict[str, str] = {
    "depth": "radial_depth",
    "cartesian_depth": "cartesian_depth",
    "points": "point_cloud",
    "peak_height": "peak_height",
    "peak_status": "peak_status",
    "noise": "noise_level",
    "histogram": "histogram",
    "pdc": "pdc",
}
# The outputs with one array per echo; the others have one per frame (per sub-frame in
# dual-depth modes).
PER_ECHO = ("depth", "cartesian_depth", "points", "peak_height", "peak_status")
DEFAULT_OUTPUTS = ("depth", "points", "peak_height", "peak_status", "noise")
OUTPUT_FLAGS = tuple("enable_" + field for field in OUTPUTS.values())


def output_configuration(names: Collection[str]) -> pelorin.camera_output_configuration:
    """The output configuration that enables the outputs `names` (names of OUTPUTS)."""
    import pelorin
    config = pelorin.camera_output_configuration()
    for name in names:
        setattr(config, "enable_" + OUTPUTS[name], True)
    return config


def version() -> str | None:
    """The installed package's version; None where it runs from a source tree."""
    try:
        return metadata.version(DISTRIBUTION)
    except metadata.PackageNotFoundError:
        return None


Buffer = bytes | npt.NDArray[np.uint8]


class FrameFeeder:
    """A frame source for `camera.add_stream`: hands out frames `start`, `start` + 1, ... by the
    resize-and-retry protocol. A frame larger than the array is asked for again, unchanged, and
    only a delivered frame advances the feeder.

    `make(position)` gives each frame; a subclass may override `next_frame` instead, to end
    (None: no frame now) or to move `position` before a frame is made.
    """

    def __init__(self, make: Callable[[int], Buffer] | None = None, start: int = 0) -> None:
        self.make = make
        self.position = start
        """The index of the next frame to hand out."""
        self.delivered: int | None = None
        """The index of the frame handed out last."""
        self.pending: Buffer | None = None
        """A frame that did not fit, kept for the retry."""

    def next_frame(self, timeout_ms: int) -> Buffer | None:
        """Frame `position`, or None when there is none now."""
        assert self.make is not None, "a feeder without `make` overrides next_frame"
        return self.make(self.position)

    def __call__(self, array: npt.NDArray[np.uint8], timeout_ms: int) -> int:
        frame = self.pending if self.pending is not None else self.next_frame(timeout_ms)
        if frame is None:
            return 0
        size = len(frame)
        if size > len(array):
            self.pending = frame
            return size
        array[:size] = np.frombuffer(frame, np.uint8) if isinstance(frame, bytes) else frame
        self.delivered, self.position, self.pending = self.position, self.position + 1, None
        return size
