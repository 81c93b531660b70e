"""What `tessaro.open` can open: a discovered camera, a recording, the synthetic sensor or a
`pelorin.camera` built by the caller, each turned into a camera that is not opened yet."""

from __future__ import annotations

import os
import re
import stat
import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pelorin

from tessaro._sensor import MODE_NAMES, Mode, mode_table
from tessaro.errors import ConfigurationError, SourceError

if TYPE_CHECKING:
    from tessaro.recording import Replayer

# "media0/IMX704", or a sensor's own id on a device with several: "media0/IMX704@9-001a".
CAMERA_ID = re.compile(r"[^/\\]+/IMX704(@[A-Za-z0-9._:-]+)?")


@dataclass
class Resolved:
    """What a source resolves to: a camera ready to be opened, with what the source knows
    about it."""
    camera: pelorin.camera
    default_mode: int = int(Mode.SINGLE)
    exhausted: Callable[[], bool] = field(default=lambda: False)
    length: int | None = None  # frames in a recording
    replayer: Replayer | None = None  # a recording's; kept alive with the camera
    dual_depth: dict[str, float] | None = None  # a recording's dual-depth parameters

    def release(self) -> None:
        """Close what the source holds open besides the camera (a recording's file)."""
        if self.replayer is not None:
            self.replayer.close()


@contextmanager
def _silenced() -> Iterator[None]:
    """Discovery writes progress and "Could not list media devices" lines straight to the file
    descriptors; a listing that only wants the answer hides them."""
    sys.stdout.flush()
    sys.stderr.flush()
    saved = [os.dup(1), os.dup(2)]
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, devnull):
            os.close(fd)


def cameras(quiet: bool = True) -> list[dict[str, Any]]:
    """The information dictionaries of the cameras attached to this machine (discovery runs
    again on each call); `quiet` hides the library's discovery lines."""
    manager = pelorin.camera_manager()
    if quiet:
        with _silenced():
            manager.init()
    else:
        manager.init()
    return list(manager.get_camera_list())


def parse_mode(mode: int | str) -> int:
    """A mode id from an int, a hexadecimal string ("0x211c", "211C") or "single"/"dual";
    raises ConfigurationError naming the value when it is not one of the sensor's modes."""
    number: int | None = None
    if isinstance(mode, int) and not isinstance(mode, bool):
        number = mode
    elif isinstance(mode, str):
        text = mode.strip().lower()
        number = int(MODE_NAMES[text]) if text in MODE_NAMES else None
        if number is None and re.fullmatch(r"(0x)?[0-9a-f]+", text):
            number = int(text, 16)
    known = mode_table()
    if number not in known:
        shown = f"{number:#x}" if number is not None else repr(mode)
        raise ConfigurationError(
            f"unknown mode {shown}: the sensor's modes are "
            f"{', '.join(f'{m:#x}' for m in sorted(known))} (or 'single', 'dual')")
    return number


def _synthetic(mode: int, options: dict[str, Any]) -> Resolved:
    from tessaro.synthetic import synthetic_camera
    try:
        camera = synthetic_camera(mode, **options)
    except TypeError as error:
        raise ConfigurationError(f"synthetic sensor: {error}") from None
    return Resolved(camera, default_mode=mode)


def recording_problem(path: Path) -> str | None:
    """What keeps `path` from being a recording that can be opened, in words, or None."""
    try:
        found = os.stat(path)
    except FileNotFoundError:
        return "no such recording (nor a camera id or 'synthetic')"
    except OSError as error:
        return f"cannot open the recording: {error.strerror}"
    if stat.S_ISDIR(found.st_mode):
        return "is a folder, not a recording"
    if not stat.S_ISREG(found.st_mode):
        return "is not a regular file (a pipe, socket or device), not a recording"
    return None


def _recording(path: Path, mode: int | None, options: dict[str, Any]) -> Resolved:
    if (problem := recording_problem(path)) is not None:
        raise SourceError(f"{path}: {problem}")
    from tessaro.recording import Recording, Replayer
    from tessaro.recording._format import DUAL_DEPTH_FIELDS
    # A recording of several cameras is opened for the one its `camera` option names.
    recording = Recording(path, options.get("camera"))
    try:
        if mode is not None and mode != recording.mode:
            raise ConfigurationError(
                f"{path} was recorded in mode {recording.mode:#x}; its raw frames cannot be "
                f"decoded as mode {mode:#x}")
        try:
            replayer = Replayer(recording, **options)
        except (TypeError, IndexError) as error:
            raise ConfigurationError(f"recording {path}: {error}") from None
    except BaseException:
        recording.close()
        raise
    recorded = recording.dual_depth_params if recording.dual else None
    if not isinstance(recorded, dict):
        recorded = None

    def exhausted() -> bool:
        # The frames before damage are all delivered; now the damage is the user's to hear of.
        if replayer.finished and recording.damage is not None:
            raise recording.damage
        return bool(replayer.finished)

    return Resolved(replayer.camera, default_mode=recording.mode, exhausted=exhausted,
                    length=len(recording), replayer=replayer,
                    dual_depth=None if recorded is None else
                    {name: recorded[name] for name in DUAL_DEPTH_FIELDS if name in recorded})


def find_camera(camera_id: str) -> pelorin.camera | None:
    """The camera that answers to `camera_id` (a listed id, or the sensor's own id of the one
    that keeps its device's id), discovering again when the current list has none."""
    manager = pelorin.camera_manager()
    for attempt in range(2):
        if attempt:
            cameras()
        # An unknown id costs a "not found" line on stdout: the caller words its own error.
        with _silenced():
            camera = manager.get_camera(camera_id)
        if camera is not None:
            return camera
    return None


def _discovered(camera_id: str) -> Resolved:
    camera = find_camera(camera_id)
    if camera is None:
        listed = [info["id"] for info in pelorin.camera_manager().get_camera_list()]
        found = ", ".join(listed) if listed else "no cameras are attached"
        raise SourceError(f"unknown camera '{camera_id}': {found}")
    return Resolved(camera)


def resolve(source: object, mode: int | None, options: dict[str, Any]) -> Resolved:
    """The camera that `source` names, not opened; `options` go to the synthetic sensor or the
    replayer."""
    if isinstance(source, pelorin.camera):
        if options:
            raise ConfigurationError(
                f"options {', '.join(options)} apply only to the synthetic sensor and "
                "recordings, not to a camera you built")
        return Resolved(source)
    if source == "synthetic":
        return _synthetic(mode if mode is not None else int(Mode.SINGLE), options)
    if isinstance(source, (str, os.PathLike)):
        text = os.fspath(source)
        if isinstance(text, str) and CAMERA_ID.fullmatch(text) and not Path(text).exists():
            if options:
                raise ConfigurationError(
                    f"options {', '.join(options)} do not apply to camera '{text}'")
            return _discovered(text)
        return _recording(Path(os.fsdecode(text)), mode, options)
    raise SourceError(
        f"cannot open {source!r}: give a camera id such as 'media0/IMX704', the path of a "
        "recording, 'synthetic' or a pelorin.camera")
