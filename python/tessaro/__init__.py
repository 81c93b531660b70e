"""tessaro: record, replay, look at and export IMX704 depth data.

A pure-Python layer over the `pelorin` extension module: `tessaro.open` for cameras, recordings
and the synthetic sensor with frames as numpy arrays, MCAP recordings, export to pictures and
point clouds, and the `tessaro` command. Importing this package is cheap; the heavier modules
(plotting, MCAP) load only when used.
"""

from tessaro._sensor import DEFAULT_OUTPUTS, OUTPUTS, Mode
from tessaro._sources import cameras
from tessaro.device import Device, open
from tessaro.errors import (ConfigurationError, DeviceError, ExpiredFrameError, FrameError,
                            MissingOutputError, RecordingError, SourceError, TessaroError)
from tessaro.frame import Frame
from tessaro._group import FrameSet, Group, open_group

__all__ = ["ConfigurationError", "DEFAULT_OUTPUTS", "Device", "DeviceError", "ExpiredFrameError",
           "Frame", "FrameError", "FrameSet", "Group", "MissingOutputError", "Mode", "OUTPUTS",
           "RecordingError", "SourceError", "TessaroError", "cameras", "open", "open_group"]
