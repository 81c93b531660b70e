"""Recordings: record, replay with the same and with other decoding, seek, damaged files, interrupts,
what ROS 2 tools read, files of the previous format."""

import errno
import math
import signal
import time
from pathlib import Path

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory

import pelorin
import tessaro
from tessaro_testing import FRAMES, decoded, outputs, raw_frames, streaming_camera
from tessaro.recording import _writer as recorder
from tessaro.synthetic import wire
from tessaro.errors import RecordingError
from tessaro.recording._writer import FAILURES_IN_A_ROW
from tessaro.recording import FrameClocks, Recording, Replayer, record
from tessaro.recording._camera_model import fit_pinhole
from tessaro.recording._ros2 import RAW_FRAME_MSG
from tessaro.synthetic import synthetic_camera
from tessaro.synthetic._scene import zone_rays

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture
def recorded(tmp_path):
    summary = record(streaming_camera(*raw_frames(wire.SINGLE_MODE)), tmp_path / "single.mcap")  # until it runs dry
    assert (summary.frames_written, summary.frames_failed, summary.interrupted) == (FRAMES, FAILURES_IN_A_ROW, False)
    return summary.path


@pytest.mark.parametrize("mode, ebd, synthetic, near_far", [
    (wire.SINGLE_MODE, True, False, None), (wire.DUAL_MODE, True, False, (3000, 5000, 0)),
    (wire.SINGLE_MODE, False, False, None), (wire.DUAL_MODE, True, True, None)])
def test_replay_decodes_what_the_camera_decoded(tmp_path, mode, ebd, synthetic, near_far):
    """Replayed with the recorded decoding, or with other dual-depth parameters than recorded."""
    path, frames, params = tmp_path / "r.mcap", [] if synthetic else raw_frames(mode)[:1 + ebd], None
    if near_far:
        params = pelorin.dual_depth_params()
        params.select_near, params.select_far, params.merge_window = near_far

    def source(dual_depth=None):
        return streaming_camera(*frames, mode=mode, echoes=2, dual_depth=dual_depth,
                                camera=synthetic_camera(mode, seed=5) if synthetic else None)
    record(source(), path, frames=FRAMES, outputs=outputs(), ros2=True)
    recorded_decoding = first = decoded(source())
    if near_far:  # the parameters do change the merge
        first = decoded(source(params))
        with pytest.raises(AssertionError):
            np.testing.assert_equal(first, recorded_decoding)
    with Replayer(path) as replay:
        np.testing.assert_equal(decoded(replay.start(dual_depth=params)), first)
        assert replay.finished and replay.camera.get_frame(5).error == -62
        rec = replay.recording
        assert (rec.mode, rec.dual, rec.echoes, rec.has_ebd) == (mode, mode == wire.DUAL_MODE, 2, ebd)
    with open(path, "rb") as file:  # as a ROS 2 tool reads it
        reader = make_reader(file, decoder_factories=[DecoderFactory()])
        depth = [m for *_, m in reader.iter_decoded_messages(topics=["/tessaro/depth"])]
        assert (reader.get_summary().statistics.chunk_count, len(depth), depth[0].encoding) == (FRAMES, FRAMES, "32FC1")
    cartesian = recorded_decoding[0]["cartesian_depth"][0]
    np.testing.assert_allclose(np.frombuffer(depth[0].data, "<f4"),
                               np.where(cartesian > 0, cartesian / 1000, np.nan), rtol=1e-6)


def test_a_paced_replay_keeps_the_recorded_rate(tmp_path):
    images, ebds = raw_frames(wire.SINGLE_MODE)
    player = wire.frame_player(images)  # captured 100 ms apart
    record(streaming_camera(lambda a, t: time.sleep(0.1) or player(a, t), ebds), tmp_path / "paced.mcap", frames=FRAMES)
    with Replayer(tmp_path / "paced.mcap", pace=True) as replay:
        camera = replay.start()
        begin = time.monotonic()
        assert [camera.get_frame(1000).frame_id for _ in range(3)] == [0, 1, 2]
        assert 0.2 <= time.monotonic() - begin < 1
        assert (camera.get_frame(10).error, replay.position) == (-62, 3)  # frame 3 not yet due
        time.sleep(0.3)  # a stall: the frames after it keep their intervals, without a burst
        begin = time.monotonic()
        assert [camera.get_frame(1000).frame_id for _ in range(2)] == [3, 4]
        assert 0.08 < time.monotonic() - begin < 0.5


def test_a_looped_replay_starts_again_and_seeks(recorded):
    with Replayer(recorded, start=4, loop=True) as replay:
        camera = replay.start(echoes=3, outputs=outputs("radial_depth"))
        assert [camera.get_frame(100).frame_id for _ in range(3)] == [4, 5, 0]
        replay.seek(2)
        frame = camera.get_frame(100)
        assert (frame.error, frame.frame_id, replay.position, replay.finished) == (0, 2, 3, False)
        np.testing.assert_array_equal(frame.radial_depth, wire.random_values(2, False)["radial_depth"])
        replay.seek(5)  # forward: the frames passed over are no loss
        frame = camera.get_frame(100)
        assert (frame.frame_id, frame.dropped_frames, camera.get_dropped_frames()) == (5, 0, 0)
        with pytest.raises(IndexError):
            replay.seek(FRAMES)


def test_a_replay_records_again_to_its_end(recorded, tmp_path):
    with tessaro.open(recorded) as device:  # ends with the replay, without failures
        summary = device.record(tmp_path / "again.mcap")
    assert (summary.frames_written, summary.frames_failed) == (FRAMES, 0)


@pytest.mark.parametrize("keep, flip, good, text", [
    (0.6, None, 3, "ends early"), (0.001, None, 0, "ends early"), (1, 0.55, 3, "corrupt data")])
def test_frames_before_the_damage_still_read(recorded, keep, flip, good, text):
    data = bytearray(recorded.read_bytes()[:int(recorded.stat().st_size * keep)])
    if flip:
        data[int(len(data) * flip)] ^= 0xFF
    recorded.write_bytes(bytes(data))
    images = raw_frames(wire.SINGLE_MODE)[0]
    with Recording(recorded) as rec:
        assert [rec.raw_image(i) for i in range(good)] == [f.tobytes() for f in images[:good]]
        with pytest.raises(RecordingError, match=f"{recorded}: frame {good}: .*{text}"):
            rec.raw_image(good)  # a corrupt chunk in a finished file is found here
        assert len(rec) == good and rec.damage is not None
    frames = []
    with tessaro.open(recorded, echoes=1) as device, pytest.raises(RecordingError, match=f"frame {good}"):
        frames.extend(device)
    assert [f.frame_id for f in frames] == list(range(good))


@pytest.mark.parametrize("stop, written", [(lambda: signal.default_int_handler(signal.SIGINT, None), 4),
                                           (lambda: signal.raise_signal(signal.SIGINT), 5),
                                           (lambda: signal.raise_signal(signal.SIGTERM), 5)])
def test_failed_frames_lost_embedded_data_and_interrupts(tmp_path, stop, written):
    images, ebds = raw_frames(wire.SINGLE_MODE)
    player, ebd_player, calls = wire.frame_player(images), wire.frame_player(ebds[:2] + ebds[3:]), []

    def source(array, timeout_ms):
        calls.append(player.position)
        if len(calls) == 2:
            return -5
        if calls.count(4) == 1 and player.position == 4:
            stop()  # Ctrl-C: raised by the source, or a signal while it runs
        return player(array, timeout_ms)

    def ebd_source(array, timeout_ms):  # frame 2 comes without its embedded data
        return -5 if (player.position, ebd_player.position) == (3, 2) else ebd_player(array, timeout_ms)
    camera = streaming_camera(source, ebd_source)
    summary = record(camera, tmp_path / "i.mcap")
    assert (summary.frames_written, summary.frames_failed, summary.interrupted) == (written, 1, True)
    with Replayer(summary.path) as replay:
        rec = replay.recording
        assert (len(rec), rec.damage, rec.raw_ebd(2), rec.raw_ebd(3)) == (written, None, None, ebds[3].tobytes())
        camera = replay.start()
        assert [camera.get_frame(9).frame_id for _ in range(4)] == [0, 1, 0, 3]
        # Log times are the capture times moved onto the epoch by the offset read at the start.
        times, clocks = rec.metadata["tessaro.recording"], [rec.clocks(i) for i in range(4)]
        offset = int(times["realtime_offset_ns"])
        assert abs(offset - (time.time_ns() - time.monotonic_ns())) < 10**9 and times["sensor_anchor"] == "0"
        assert [(c.log_time_ns - c.capture_time_ns, c.sensor_timestamp, c.frame_index, c.sequence) for c in clocks] == [
            (offset, 0, 0, 0), (offset, 100000, 1, 1), (offset, None, None, 2), (offset, 300000, 3, 3)]


def test_scattered_failures_do_not_end_a_recording(tmp_path):
    player, calls = wire.frame_player(raw_frames(wire.SINGLE_MODE)[0], repeat=True), []

    def flaky(array, timeout_ms):  # every third read fails
        calls.append(timeout_ms)
        return -5 if len(calls) % 3 == 0 else player(array, timeout_ms)
    summary = record(streaming_camera(flaky), tmp_path / "f.mcap", frames=3 * FAILURES_IN_A_ROW)
    assert (summary.frames_written, summary.frames_failed > FAILURES_IN_A_ROW) == (3 * FAILURES_IN_A_ROW, True)


def test_recording_never_destroys_a_recording_and_a_full_disk_keeps_the_frames_written(recorded, tmp_path, monkeypatch):
    before, link, new = recorded.read_bytes(), tmp_path / "link.mcap", tmp_path / "new.mcap"
    link.symlink_to(recorded)
    for source, target, overwrite, refusal in (("synthetic", recorded, False, "exists"), (recorded, link, True, "being replayed")):
        with tessaro.open(source) as device, pytest.raises(RecordingError, match=refusal):
            device.record(target, overwrite=overwrite)
    write_frame, full = recorder._FrameWriter.write_frame, OSError(errno.ENOSPC, "No space left on device")  # at frame 2
    monkeypatch.setattr(recorder._FrameWriter, "write_frame", lambda *a: (_ for _ in ()).throw(full) if a[1] == 2 else write_frame(*a))
    for target, kept in ((recorded, "earlier file left as it was"), (new, "with the 2 frames written")):
        with tessaro.open("synthetic") as device, pytest.raises(
                RecordingError, match=f"{target}: cannot write frame 2: the disk is full; .*{kept}"):
            device.record(target, overwrite=True)
    assert recorded.read_bytes() == before and len(Recording(new)) == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link.mcap", "new.mcap", "single.mcap"]
    pytest.raises(tessaro.ConfigurationError, tessaro.open, recorded, start=99)


QOS = "- history: 1\n  depth: 10\n"  # reliable, keep-last 10


def test_replays_decode_as_recorded_and_count_a_last_frame_that_fails(tmp_path, monkeypatch):
    path = tmp_path / "dual.mcap"
    for keep in (False, True):
        with tessaro.open("synthetic", mode="dual", dual_depth=(300, 1500, 40)) as device:
            depth = [f.depth for f in device.frames(3)] if keep else device.record(path, frames=3, ros2=True)
    with tessaro.open(path) as device:
        np.testing.assert_array_equal([f.depth for f in device], depth)
    with open(path, "rb") as file:
        reader = make_reader(file, decoder_factories=[DecoderFactory()])
        assert {c.metadata["offered_qos_profiles"][:25] for c in reader.get_summary().channels.values()} == {QOS}
        image = next(m for *_, m in reader.iter_decoded_messages(topics=["/tessaro/depth"]))
    np.testing.assert_allclose(np.frombuffer(image.data, "<f4"), np.where(depth[0][0] > 0, depth[0][0] / 1e3, np.nan).flat, 1e-6)
    raw_image = Recording.raw_image
    monkeypatch.setattr(Recording, "raw_image", lambda rec, i: raw_image(rec, i)[:-1] if i == 2 else raw_image(rec, i))
    with tessaro.open(path, on_error="skip") as device:
        assert (len(list(device)), device.frames_failed) == (2, 1)
    with tessaro.open(path) as device, pytest.raises(tessaro.FrameError, match="frame 2"):
        list(device)


def test_a_version_1_recording_reads_with_its_times_as_they_were():
    # Frame 0 with embedded data (sensor time 1 s), frame 1 without; all zero but depths and points.
    with Recording(ROOT / "tests/data/recording_v1.mcap") as rec:
        assert (rec.version, rec.clock, len(rec), rec.clocks(0)) == (1, "sensor_timestamp", 2, FrameClocks(10**9, *[None] * 4))
    with tessaro.open(ROOT / "tests/data/recording_v1.mcap") as device:
        depth = [f.depth[0].ravel() for f in device]
    np.testing.assert_array_equal(depth[1], wire.random_values(1, False, echoes=1)["radial_depth"][0])


def test_ros_tools_read_the_camera_model_the_frame_and_the_raw_frames(tmp_path):
    with tessaro.open("synthetic") as device:
        pytest.raises(tessaro.ConfigurationError, device.record, tmp_path / "x.mcap", frame_id="/left")  # not for tf2
        device.record(tmp_path / "s.mcap", frames=2, ros2=True, frame_id="left_optical_frame")
    with Recording(tmp_path / "s.mcap") as rec:
        model, times, clocks, image = rec.metadata["tessaro.camera_model"], [rec.log_time(i) for i in range(2)], rec.clocks(0), rec.raw_image(0)
    with open(tmp_path / "s.mcap", "rb") as file:
        reader = make_reader(file, decoder_factories=[DecoderFactory()])
        found = [(c.topic, m, d) for _, c, m, d in reader.iter_decoded_messages()]
        schema = next(s for s in reader.get_summary().schemas.values() if s.name == "tessaro_msgs/msg/RawFrame")
    assert {d.header.frame_id for *_, d in found} == {"left_optical_frame"} and float(model["residual_rms_px"]) < 0.05
    infos = [d for topic, _, d in found if topic == "/tessaro/camera_info"]
    assert [i.header.stamp.sec * 10**9 + i.header.stamp.nanosec for i in infos] == times
    focal = 12 / math.tan(math.radians(22.5))  # the synthetic sensor's 45° over 24 zones
    np.testing.assert_allclose(infos[0].k, [focal, 0, 11.5, 0, focal, 11.5, 0, 0, 1], atol=2e-3)
    rays = zone_rays().copy()  # zones without a return are left out; too few fix nothing
    rays[::3, 2], rays[1::3] = 0, np.nan
    fitted = fit_pinhole(rays, 24, 24)
    assert (fitted.zones, fitted.rms_px < 1e-9) == (192, True) and np.allclose([fitted.fx, fitted.cy], [focal, 11.5])
    assert fit_pinhole(np.where(np.arange(576)[:, None] < 7, zone_rays(), 0), 24, 24) is fit_pinhole(rays * [-1, 1, 1], 24, 24) is None
    # The message package is the recorded schema, and an independent parser decodes with it.
    msg = (ROOT / "ros/tessaro_msgs/msg/RawFrame.msg").read_text()
    assert msg == RAW_FRAME_MSG and schema.data.decode().startswith(msg + "=" * 80 + "\nMSG: std_msgs/Header\n")
    typesys = pytest.importorskip("rosbags.typesys")
    store = typesys.get_typestore(typesys.Stores.ROS2_HUMBLE)
    store.register(typesys.get_types_from_msg(msg, "tessaro_msgs/msg/RawFrame"))
    message = next(m for topic, m, _ in found if topic == "/tessaro/raw/image")
    raw = store.deserialize_cdr(message.data, "tessaro_msgs/msg/RawFrame")
    assert (raw.header.stamp.sec * 10**9 + raw.header.stamp.nanosec, raw.capture_time_ns, raw.sensor_timestamp, raw.sequence) == \
        (times[0], clocks.capture_time_ns, clocks.sensor_timestamp, 0)
    assert raw.data.tobytes() == image and raw.has_sensor_time and raw.has_capture_time
