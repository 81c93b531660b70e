"""Which camera of a recording is which: the channel segment of each camera id, and the choice
of one camera when reading a recording of several.

Each camera has its own channels, `/tessaro/<segment>/raw/image`, `.../raw/ebd`, `.../depth` and
`.../points`, and its own `tessaro.sensor/<segment>` and `tessaro.processing/<segment>` metadata
records; `tessaro.cameras` lists the ids and segments. A recording of one camera keeps the plain
layout of `_format`. `docs/recording.md` describes both.
"""

from __future__ import annotations

import json
import re
from collections.abc import Sequence
from dataclasses import dataclass

from tessaro.recording._format import EBD_TOPIC, IMAGE_TOPIC

CAMERAS_RECORD = "tessaro.cameras"
# Asks for the first camera, whatever the file holds.
FIRST = "*"
PER_CAMERA = ("tessaro.sensor", "tessaro.processing", "tessaro.camera_model", "tessaro.recorder")


def segments(ids: Sequence[str]) -> list[str]:
    """The channel segment of each camera id: every run of characters other than ASCII letters
    and digits becomes one '_', a leading or trailing one is dropped, a segment that would start
    with a digit (or be empty) gets a leading 'c', and a segment taken by an earlier id gets
    '_2', '_3', ... So "media0/IMX704@9-001a" is "media0_IMX704_9_001a": a valid ROS 2 name."""
    taken: set[str] = set()
    result = []
    for camera_id in ids:
        base = re.sub(r"[^A-Za-z0-9]+", "_", camera_id).strip("_")
        if not base or base[0].isdigit():
            base = "c" + base
        name, number = base, 1
        while name in taken:
            number += 1
            name = f"{base}_{number}"
        taken.add(name)
        result.append(name)
    return result


def topic_of(topic: str, segment: str) -> str:
    return topic.replace("/tessaro/", f"/tessaro/{segment}/", 1)


@dataclass(frozen=True)
class Choice:
    """One camera of a recording: its id (None where a one-camera file does not say), the ids
    of all, its raw channels, and its metadata in the layout of a one-camera recording."""
    camera: str | None
    cameras: tuple[str, ...]
    image_topic: str
    ebd_topic: str
    metadata: dict[str, dict[str, str]]


def _own_id(metadata: dict[str, dict[str, str]]) -> str | None:
    try:
        found = json.loads(metadata["tessaro.sensor"]["camera_info"])["id"]
    except (KeyError, TypeError, ValueError, RecursionError):
        return None
    return found if isinstance(found, str) else None


def choose(metadata: dict[str, dict[str, str]], camera: str | None) -> Choice:
    """The camera `camera` of a recording with `metadata`; None chooses the only one, FIRST the
    first. Raises ValueError naming the cameras when the choice is ambiguous or unknown."""
    listed = metadata.get(CAMERAS_RECORD)
    if listed is None:
        own = _own_id(metadata)
        if camera not in (None, FIRST, own):
            raise ValueError(f"no camera '{camera}': it holds only "
                             f"{repr(own) if own is not None else 'one unnamed camera'}")
        return Choice(own, () if own is None else (own,), IMAGE_TOPIC, EBD_TOPIC, metadata)
    try:
        ids, names = json.loads(listed["ids"]), json.loads(listed["segments"])
    except (KeyError, ValueError, RecursionError):
        raise ValueError(f"metadata {CAMERAS_RECORD} is not a list of cameras") from None
    if not (isinstance(ids, list) and isinstance(names, list) and len(ids) == len(names) and
            all(isinstance(x, str) for x in ids + names) and names == segments(ids)):
        raise ValueError(f"metadata {CAMERAS_RECORD} is not a list of cameras")
    shown = ", ".join(ids)
    if camera is None and len(ids) != 1:
        raise ValueError(f"holds {len(ids)} cameras ({shown}): choose one (--camera)")
    if camera not in (None, FIRST, *ids):
        raise ValueError(f"no camera '{camera}': it holds {shown}")
    chosen = ids[0] if camera in (None, FIRST) else camera
    segment = names[ids.index(chosen)]
    view = {name: record for name, record in metadata.items()
            if name != CAMERAS_RECORD and "/" not in name}
    for name in PER_CAMERA:
        if f"{name}/{segment}" in metadata:
            view[name] = metadata[f"{name}/{segment}"]
    return Choice(chosen, tuple(ids), topic_of(IMAGE_TOPIC, segment), topic_of(EBD_TOPIC, segment),
                  view)
