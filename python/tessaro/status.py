"""The library's status codes (negative errno values) turned into words that name the cause."""

import errno
import os

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
