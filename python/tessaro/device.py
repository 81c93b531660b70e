"""`tessaro.open`: a camera, a recording or the synthetic sensor as a context manager that
streams frames of numpy arrays.

    with tessaro.open("synthetic", mode="dual", echoes=2) as device:
        for frame in device.frames(10):
            print(frame.frame_id, frame.depth.shape)
"""

from __future__ import annotations

import math
import os
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from types import TracebackType
from typing import TYPE_CHECKING, Any, Literal

import pelorin

from tessaro._sensor import DEFAULT_OUTPUTS, OUTPUTS, PER_ECHO, output_configuration
from tessaro._sources import Resolved, parse_mode, resolve
from tessaro.errors import ConfigurationError, DeviceError, FrameError, SourceError, describe
from tessaro.frame import Frame, Lease, RecordViews

if TYPE_CHECKING:
    from tessaro.recording import RecordSummary, Replayer

__all__ = ["Device", "DualDepth", "MAX_FAILURES_IN_A_ROW", "OnError", "open"]

OnError = Literal["raise", "skip"]
# A source that keeps failing is dead, not unlucky: skipping stops after this many in a row.
MAX_FAILURES_IN_A_ROW = 100
DualDepth = Mapping[str, float] | tuple[float, float, float] | pelorin.dual_depth_params


def _outputs(outputs: Iterable[str] | str) -> tuple[str, ...]:
    names = tuple(OUTPUTS) if outputs == "all" else (
        (outputs,) if isinstance(outputs, str) else tuple(outputs))
    unknown = [name for name in names if name not in OUTPUTS]
    if unknown:
        raise ConfigurationError(
            f"unknown output {unknown[0]!r}: choose from {', '.join(OUTPUTS)} or 'all'")
    return tuple(dict.fromkeys(names))


def _dual_depth_params(given: DualDepth) -> pelorin.dual_depth_params:
    """`given` as pelorin.dual_depth_params, checked the way the camera checks it, so that the
    refusal names the rule that was broken."""
    if isinstance(given, pelorin.dual_depth_params):
        params = given
    else:
        params = pelorin.dual_depth_params()
        names = ("select_near", "select_far", "merge_window")
        if isinstance(given, tuple) and len(given) != len(names):
            raise ConfigurationError(f"dual_depth {given!r}: give ({', '.join(names)})")
        values = dict(zip(names, given)) if isinstance(given, tuple) else dict(given)
        for name, value in values.items():
            if name not in names:
                raise ConfigurationError(
                    f"unknown dual-depth parameter {name!r}: use {', '.join(names)}")
            try:
                setattr(params, name, float(value))
            except (TypeError, ValueError):
                raise ConfigurationError(f"dual-depth {name} {value!r} is not a number") from None
    near, far, window = params.select_near, params.select_far, params.merge_window
    shown = f"select_near={near}, select_far={far}, merge_window={window}"
    if not all(map(math.isfinite, (near, far, window))) or min(near, far, window) < 0:
        raise ConfigurationError(f"dual-depth parameters {shown}: each must be finite and >= 0")
    if near > far:
        raise ConfigurationError(f"dual-depth parameters {shown}: select_near is above select_far")
    return params


def _checked(info: Mapping[str, Any], mode: int, echoes: int) -> Mapping[str, Any]:
    """The camera's mode table row of `mode`, once the camera is known to be free and to take
    `mode` and `echoes`."""
    if info["status"] != "available":
        raise SourceError(f"camera '{info['id']}' is already {info['status']}: "
                          "tessaro.open opens and configures it itself")
    row: Mapping[str, Any] | None = info["supported_modes"].get(f"{mode:x}")
    if row is None:
        raise ConfigurationError(f"camera '{info['id']}' has no mode {mode:#x}")
    limit = row["max_echo"]
    if isinstance(echoes, bool) or not isinstance(echoes, int) or not 1 <= echoes <= limit:
        raise ConfigurationError(
            f"bad echo count {echoes!r}: mode {mode:#x} takes 1 to {limit} echoes")
    return row


def open(source: object, *, mode: int | str | None = None, echoes: int = 3,
         outputs: Iterable[str] | str = DEFAULT_OUTPUTS, dual_depth: DualDepth | None = None,
         zero_copy: bool = False, timeout: float = 1.0, on_error: OnError = "raise",
         **options: Any) -> Device:
    """Open `source` and configure it; entering the returned device starts streaming.

    source: a camera id from `tessaro.cameras()` ("media0/IMX704"), the path of a recording,
        "synthetic" (options: seed, padded, name, and pace=True to deliver at the mode's frame
        rate as a camera does), or a `pelorin.camera` not opened yet. Options for a recording
        go to its replayer (loop, pace, rate, start, and camera: the camera to read of a
        recording of several).
    mode: a mode id (0x211C), its hexadecimal text, or "single" / "dual"; by default the
        recording's mode, else 0x211C.
    echoes: returns per zone, 1 to the mode's limit (3).
    outputs: names from `tessaro.OUTPUTS`, or "all"; by default `tessaro.DEFAULT_OUTPUTS`, as
        every verb of the `tessaro` command.
    dual_depth: near/far selection for dual-depth modes, as pelorin.dual_depth_params, a mapping
        with select_near / select_far / merge_window, or a tuple of the three (millimetres); by
        default a recording's recorded ones, else the library's.
    zero_copy, timeout, on_error: the defaults of `Device.frames`; see `Frame` for zero_copy.
    The camera waits for frames without the interpreter lock (`pelorin.camera.release_gil`),
    so that other threads run meanwhile.

    Raises SourceError for a source it cannot open, ConfigurationError for a mode, echo count,
    output or dual-depth setting the source refuses, DeviceError when the camera fails.
    """
    if on_error not in ("raise", "skip"):
        raise ConfigurationError(f"on_error must be 'raise' or 'skip', not {on_error!r}")
    wanted_mode = None if mode is None else parse_mode(mode)
    names = _outputs(outputs)
    found = resolve(source, wanted_mode, options)
    try:
        found.camera.release_gil = True
        chosen = found.default_mode if wanted_mode is None else wanted_mode
        row = _checked(found.camera.get_camera_info(), chosen, echoes)
        params = None
        if dual_depth is None and row["dual_depth_mode"]:
            dual_depth = found.dual_depth
        if dual_depth is not None:
            if not row["dual_depth_mode"]:
                raise ConfigurationError(
                    f"dual_depth given, but mode {chosen:#x} is a single-depth mode")
            params = _dual_depth_params(dual_depth)
        device = Device(found, chosen, echoes, names, (row["sensor_height"], row["sensor_width"]),
                        bool(row["dual_depth_mode"]), zero_copy, timeout, on_error)
    except BaseException:
        found.release()
        raise
    device._configure(params)
    return device


class Device:
    """An opened source. Use it in a `with` block: entering starts streaming, leaving stops and
    closes the camera, also when an exception (or Ctrl-C) leaves the block. Iterating over it
    yields frames until the source ends; `frames()` takes a count or a duration."""

    def __init__(self, resolved: Resolved, mode: int, echoes: int, outputs: tuple[str, ...],
                 grid: tuple[int, int], dual: bool, zero_copy: bool, timeout: float,
                 on_error: OnError) -> None:
        self._resolved = resolved
        self.camera: pelorin.camera = resolved.camera
        """The underlying pelorin.camera, for what this layer does not offer."""
        self.mode = mode
        """The sensor mode id."""
        self.echoes = echoes
        """Echoes per zone in the per-echo outputs."""
        self.outputs = outputs
        """Names of the outputs every frame carries."""
        self.grid = grid
        """Zone rows and columns (24, 24)."""
        self.dual = dual
        """True in a dual-depth mode."""
        self.zero_copy = zero_copy
        self.timeout = timeout
        self.on_error: OnError = on_error
        self.frames_delivered = 0
        """Frames handed out so far."""
        self.frames_failed = 0
        """Frames that failed, skipped or raised."""
        self.frames_dropped = 0
        """Frames lost since streaming started, as the library counts them (updated with each
        delivered frame)."""
        self.output_configuration: pelorin.camera_output_configuration | None = None
        """The pelorin.camera_output_configuration the camera was given."""
        self._lease: Lease | None = None
        self._views: RecordViews | None = None
        self._opened = False
        self._streaming = False

    @property
    def name(self) -> str:
        """The camera id (the synthetic sensor's or replayer's name for those)."""
        return str(self.camera.get_camera_info()["id"])

    @property
    def replayer(self) -> Replayer | None:
        """The replayer of a recording (for seek and position), otherwise None."""
        return self._resolved.replayer

    @property
    def source(self) -> Replayer | None:
        """The old name of `replayer`, kept for code written against it."""
        warnings.warn("Device.source is now Device.replayer", DeprecationWarning, stacklevel=2)
        return self.replayer

    def __len__(self) -> int:
        """Frames in the recording; a camera or the synthetic sensor has no length."""
        if self._resolved.length is None:
            raise TypeError(f"{self.name} is a live source and has no length")
        return self._resolved.length

    def _check(self, code: int, doing: str) -> None:
        if code != 0:
            raise DeviceError.refused(self.name, doing, code)

    def _configure(self, dual_depth: pelorin.dual_depth_params | None) -> None:
        self._check(self.camera.open(self.mode), f"open mode {self.mode:#x}")
        self._opened = True
        try:
            config = output_configuration(self.outputs)
            self.output_configuration = config
            self._check(self.camera.configure_camera_echo(self.echoes),
                        f"configure {self.echoes} echoes")
            if dual_depth is not None:
                self._check(self.camera.configure_camera_dual_depth(dual_depth),
                            "configure dual depth")
            self._check(self.camera.configure_camera_output(config), "configure the outputs")
        except BaseException:
            self.close()
            raise

    def start(self) -> Device:
        """Start streaming (entering the `with` block does this)."""
        if not self._opened:
            raise DeviceError(f"camera '{self.name}' is closed")
        if not self._streaming:
            self._check(self.camera.start(), "start streaming")
            self._streaming = True
        return self

    def close(self) -> None:
        """Stop streaming and close the camera; closing twice does nothing."""
        self._expire()
        if self._opened:
            self._opened = self._streaming = False
            self.camera.close()  # stops first when streaming
            self._resolved.release()

    def __enter__(self) -> Device:
        try:
            return self.start()
        except BaseException:
            self.close()
            raise

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()

    def __iter__(self) -> Iterator[Frame]:
        return self.frames()

    def frames(self, n: int | None = None, duration: float | None = None,
               timeout: float | None = None, on_error: OnError | None = None,
               zero_copy: bool | None = None) -> Iterator[Frame]:
        """Frames until the source ends (a recording's last frame, unless it loops), `n` frames
        have been delivered or `duration` seconds have passed, whichever comes first.

        timeout: seconds to wait for each frame (default: the device's).
        on_error: "raise" raises FrameError for a failed frame; "skip" counts it in
            `frames_failed` and goes on (up to 100 failures in a row).
        zero_copy: frames that view the camera's record and expire at the next frame.
        """
        if n is not None and (isinstance(n, bool) or not isinstance(n, int) or n < 0):
            raise ConfigurationError(f"bad frame count {n!r}: give a count >= 0")
        if duration is not None and not duration >= 0:
            raise ConfigurationError(f"bad duration {duration!r}: give seconds >= 0")
        wait = self.timeout if timeout is None else timeout
        policy = on_error or self.on_error
        if policy not in ("raise", "skip"):
            raise ConfigurationError(f"on_error must be 'raise' or 'skip', not {policy!r}")
        copy = not (self.zero_copy if zero_copy is None else zero_copy)
        return self._frames(n, duration, max(0, round(wait * 1000)), policy, copy)

    def record(self, path: str | os.PathLike[str], *, frames: int | None = None,
               duration: float | None = None, ros2: bool = False,
               progress: Callable[[int], None] | None = None,
               overwrite: bool = False, frame_id: str | None = None) -> RecordSummary:
        """Record the raw frames of this streaming device into the MCAP file `path` (see
        `tessaro.recording.record`: an existing file is replaced only with `overwrite`,
        `frame_id` names the camera's frame in the ROS messages); returns its RecordSummary."""
        from tessaro.recording import DEFAULT_FRAME_ID, record
        return record(self._resolved.replayer or self.camera, path, frames=frames,
                      duration=duration, ros2=ros2, outputs=self.output_configuration,
                      timeout_ms=round(self.timeout * 1000), progress=progress,
                      ended=self._resolved.exhausted, overwrite=overwrite,
                      frame_id=frame_id or DEFAULT_FRAME_ID)

    def _frames(self, n: int | None, duration: float | None, timeout_ms: int, policy: OnError,
                copy: bool) -> Iterator[Frame]:
        if not self._streaming:
            raise DeviceError(f"camera '{self.name}' is not streaming: use the device in a "
                              "`with` block (or call start())")
        end = None if duration is None else time.monotonic() + duration
        delivered = in_a_row = 0
        # One call into the module per frame gets the frame, its times, the count of lost frames
        # and, for a copying frame, the copies of its outputs.
        plan = self._copy_plan() if copy else None
        next_frame = self.camera._next_frame
        exhausted = self._resolved.exhausted
        kind = (self.mode, self.echoes, self.dual)
        while (n is None or delivered < n) and (end is None or time.monotonic() < end):
            if exhausted():
                return
            if self._lease is not None:
                self._expire()
            error, dropped, times, outputs = next_frame(timeout_ms, plan)
            if error != 0:
                self.frames_failed += 1
                in_a_row += 1
                failure = FrameError(
                    f"frame {self.frames_delivered + self.frames_failed - 1} from "
                    f"'{self.name}' failed: {describe(error)}", error)
                if policy == "raise":
                    raise failure
                if in_a_row >= MAX_FAILURES_IN_A_ROW:
                    raise FrameError(f"{in_a_row} frames in a row failed; the last: {failure}",
                                     error)
                continue
            in_a_row = 0
            self.frames_dropped = dropped
            if type(outputs) is not dict:  # the record: zero-copy, or sizes the plan did not expect
                outputs = self.views(outputs).take(copy)
            lease = None if copy else Lease()
            self._lease = lease
            frame = Frame._taken(outputs, self.frames_delivered, times, kind, lease)
            self.frames_delivered += 1
            yield frame
            delivered += 1

    def _copy_plan(self) -> pelorin._copy_plan:
        """What a copying frame takes out of each record, in the order `RecordViews.take`
        gives the outputs (per-echo ones first)."""
        names = [name for name in self.outputs if name in PER_ECHO]
        names += [name for name in self.outputs if name not in PER_ECHO]
        return pelorin._copy_plan(names, [OUTPUTS[name] for name in names], self.echoes,
                                  *self.grid, self.dual)

    def views(self, record: pelorin.frame_buffer) -> RecordViews:
        """The views of pelorin frame `record`, made again when start gave the camera a new
        record."""
        if self._views is None or self._views.record is not record:
            self._views = RecordViews(record, self.outputs, self.echoes, self.grid, self.dual)
        return self._views

    def _expire(self) -> None:
        if self._lease is not None:
            self._lease.valid = False
            self._lease = None

    def __repr__(self) -> str:
        state = "streaming" if self._streaming else "opened" if self._opened else "closed"
        return (f"<tessaro.Device {self.name!r}: mode {self.mode:#x}, {self.echoes} echo(es), "
                f"{state}>")
