"""Frames out to files: a colour-mapped depth image (PNG), a point cloud (PLY) and every decoded
output (numpy .npz).

matplotlib and plyfile load only when a picture or a cloud is written; they come with the
package's export extra (pip install 'pelorin[export]').
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any

import numpy as np

from tessaro._extras import require
from tessaro.frame import Frame

if TYPE_CHECKING:
    from matplotlib.patches import Rectangle

__all__ = ["UNIT", "depth_png", "frame_npz", "point_cloud_ply"]

PathLike = str | os.PathLike[str]
UNIT = "mm"


def depth_png(frame: Frame, path: PathLike, *, echo: int = 0, title: str | None = None,
              limits: tuple[float, float] | None = None) -> None:
    """Write echo `echo` (from 0) of the frame's depth as a colour-mapped image: one square per
    zone, zones without a return hatched in grey, and a colour scale bar in millimetres.

    limits: the depth range of the colour scale, the same for every picture of a sequence that
        is to be compared; by default that of the frame's valid zones.
    """
    require("export", "writing depth pictures", "matplotlib")
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    depth = frame.depth[echo]
    valid = depth > 0
    shown = np.ma.masked_where(~valid, depth)
    low, high = limits if limits else (
        (float(depth[valid].min()), float(depth[valid].max())) if valid.any() else (0.0, 1.0))

    figure = Figure(figsize=(6.4, 5.2), dpi=100)
    axes = figure.add_subplot()
    rows, columns = depth.shape
    axes.add_patch(_invalid_background(rows, columns))
    image = axes.imshow(shown, cmap="turbo", vmin=low, vmax=high, interpolation="nearest",
                        extent=(-0.5, columns - 0.5, rows - 0.5, -0.5))
    axes.set_aspect("equal")  # zones are square
    axes.set_xlabel("zone column")
    axes.set_ylabel("zone row")
    axes.set_title(title or f"frame {frame.frame_id}, mode {frame.mode:#x}, echo {echo} (from 0): "
                   f"{int(valid.sum())} of {valid.size} zones with a return")
    bar = figure.colorbar(image, ax=axes)
    bar.set_label(f"radial depth ({UNIT})")
    if not valid.all():
        axes.legend(handles=[Patch(facecolor="0.8", hatch="xx", edgecolor="0.4",
                                   label="no return")],
                    loc="upper center", bbox_to_anchor=(0.5, -0.1), frameon=False)
    figure.savefig(os.fspath(path), bbox_inches="tight")


def _invalid_background(rows: int, columns: int) -> Rectangle:
    """The hatched grey behind the image, which shows through the masked (invalid) zones."""
    from matplotlib.patches import Rectangle
    return Rectangle((-0.5, -0.5), columns, rows, facecolor="0.8", hatch="xx", edgecolor="0.4",
                     linewidth=0, zorder=0)


def point_cloud_ply(frame: Frame, path: PathLike, *, binary: bool = True) -> int:
    """Write the frame's points with a return, every echo, as a PLY vertex list: x, y, z (mm,
    float32), the zone's row and column, the echo (from 0) and the radial depth. Returns the
    number of points written."""
    require("export", "writing point clouds", "plyfile")
    from plyfile import PlyData, PlyElement

    points, depth = frame.points, frame.depth
    echo, row, column = np.nonzero(depth > 0)
    vertices = np.empty(len(echo), dtype=[("x", "f4"), ("y", "f4"), ("z", "f4"), ("row", "u1"),
                                          ("column", "u1"), ("echo", "u1"),
                                          ("depth", "f4")])
    for axis, name in enumerate("xyz"):
        vertices[name] = points[echo, row, column, axis]
    vertices["row"], vertices["column"], vertices["echo"] = row, column, echo
    vertices["depth"] = depth[echo, row, column]
    PlyData([PlyElement.describe(vertices, "vertex")], text=not binary,
            comments=[f"tessaro frame {frame.frame_id}, mode {frame.mode:#x}, unit {UNIT}"]
            ).write(os.fspath(path))
    return len(vertices)


def frame_npz(frame: Frame, path: PathLike) -> None:
    """Write every output of the frame under its name, with frame_id, timestamp, host_time,
    mode and echoes, as a compressed numpy archive."""
    fields: dict[str, Any] = dict(frame.arrays(), frame_id=frame.frame_id,
                                  timestamp=frame.timestamp, host_time=frame.host_time,
                                  mode=frame.mode, echoes=frame.echoes)
    np.savez_compressed(os.fspath(path), **fields)
