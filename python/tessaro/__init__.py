"""tessaro: record, replay, look at and export IMX704 depth data.

A pure-Python layer over the `pelorin` extension module: `tessaro.open` for cameras, recordings
and the synthetic sensor with frames as numpy arrays, MCAP recordings, export to pictures and
point clouds, and the `tessaro` command. Importing this package is cheap; the heavier modules
(plotting, MCAP) load only when used.
"""

from tessaro.device import Device, open
from tessaro.errors import (ConfigurationError, DeviceError, ExpiredFrameError, FrameError,
                            MissingOutputError, SourceError, TessaroError)
from tessaro.frame import OUTPUTS, Frame
from tessaro._sources import cameras

__all__ = ["ConfigurationError", "Device", "DeviceError", "ExpiredFrameError", "Frame",
           "FrameError", "MissingOutputError", "OUTPUTS", "SourceError", "TessaroError",
           "cameras", "open"]
