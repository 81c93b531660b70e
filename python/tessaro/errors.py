"""The package's exceptions: one base class, so that callers can catch everything it raises,
and subclasses whose messages name the cause (the file, the frame, the value); and the
library's status codes (negative errno values) in words that name the cause."""

import errno
import os

__all__ = ["ConfigurationError", "DeviceError", "ExpiredFrameError", "FrameError",
           "MissingExtraError", "MissingOutputError",
           "RecordingError", "SourceError", "TessaroError", "describe"]

# What each code means when the camera itself returns it; the errno text alone ("Permission
# denied" for -13) would send the user looking in the wrong place.
_CAUSES = {
    errno.EACCES: "the camera is not in a state that allows this",
    errno.EINVAL: "an argument or a raw frame the library does not accept",
    errno.ENODEV: "the device is gone",
    errno.ETIME: "no frame arrived within the timeout",
    errno.EIO: "an input/output error on the stream",
    errno.EOVERFLOW: "the source offered a frame larger than it was asked for",
    errno.ENOMEM: "out of memory",
}


def describe(code: int) -> str:
    """`code` as a short cause followed by its errno name and value, e.g.
    "no frame arrived within the timeout (ETIME, -62)"."""
    number = -code
    name = errno.errorcode.get(number, "unknown code")
    cause = _CAUSES.get(number) or os.strerror(number).lower()
    return f"{cause} ({name}, {code})"


class TessaroError(Exception):
    """Base class of every error this package raises."""


class RecordingError(TessaroError):
    """A recording that cannot be written or read: missing, damaged, or not one of ours.

    The message names the file and, where the fault lies in one frame, that frame."""

    def __init__(self, path: object, what: str, frame: int | None = None) -> None:
        self.path = str(path)
        self.what = what
        self.frame = frame
        where = f"{self.path}: frame {frame}" if frame is not None else self.path
        super().__init__(f"{where}: {what}")


class SourceError(TessaroError, ValueError):
    """`tessaro.open` was given something it cannot open: an unknown camera id, a missing file
    or an object that is not a source."""


class ConfigurationError(TessaroError, ValueError):
    """A mode, echo count, output name or dual-depth setting that the source does not accept."""


class DeviceError(TessaroError):
    """A camera operation failed. `code` is the library's negative errno value (0 where this
    package refused by itself); the message says what the code means."""

    def __init__(self, message: str, code: int = 0) -> None:
        super().__init__(message)
        self.code = code

    @classmethod
    def refused(cls, camera: str, doing: str, code: int) -> "DeviceError":
        """The error of camera `camera` refusing to `doing` ("start streaming") with `code`."""
        return cls(f"cannot {doing} on camera '{camera}': {describe(code)}", code)


class FrameError(DeviceError):
    """A frame could not be acquired or decoded."""


class ExpiredFrameError(TessaroError, ReferenceError):
    """A `zero_copy` frame was read after the camera moved on to the next frame."""


class MissingOutputError(TessaroError, AttributeError):
    """A frame was asked for an output that the device was not configured to compute."""


class MissingExtraError(TessaroError, ImportError):
    """Work that needs an optional part of the package, whose pip extra is not installed. The
    message names the work, the missing module and the extra that brings it."""

    def __init__(self, extra: str, what: str, module: str) -> None:
        self.extra = extra
        super().__init__(f"{what} needs the {extra} extra ({module} is missing): "
                         f"pip install 'pelorin[{extra}]'", name=module)
