"""The package's exceptions: one base class, so that callers can catch everything it raises,
and subclasses whose messages name the cause (the file, the frame, the value)."""


class TessaroError(Exception):
    """Base class of every error this package raises."""
