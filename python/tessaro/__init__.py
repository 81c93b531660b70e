"""tessaro: record, replay, look at and export IMX704 depth data.

A pure-Python layer over the `pelorin` extension module: a synthetic sensor, MCAP recordings,
export to pictures and point clouds, and the `tessaro` command. Importing this package is cheap;
the heavier modules (plotting, MCAP) load only when used.
"""

from tessaro.errors import TessaroError

__all__ = ["TessaroError"]
