"""Recordings: record, replay with the same and with other decoding, seek, damaged files."""

import signal
import time

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory
from mcap_ros2.writer import Writer

import pelorin
from tessaro import wire
from tessaro.errors import RecordingError
from tessaro.recorder import FAILURES_IN_A_ROW
from tessaro.recording import IMAGE_TOPIC, Recording, Replayer, record
from tessaro.synthetic import synthetic_camera

FRAMES = 6
OUTPUTS = ["point_cloud", "cartesian_depth", "radial_depth", "peak_height", "peak_status",
           "noise_level", "histogram", "pdc"]


def outputs(*names):
    config = pelorin.camera_output_configuration()
    for name in names:
        setattr(config, "enable_" + name, True)
    return config


def raw_frames(mode):
    dual = mode == wire.DUAL_MODE
    images = [wire.encode_raw_frame(wire.random_values(seed, dual), dual) for seed in range(FRAMES)]
    ebds = [wire.encode_embedded_data(dual, frame_counter=12 * i + 1, time_counter=30000 * i,
                                      time_multiplier=1) for i in range(FRAMES)]
    return images, ebds


def source_camera(mode, echoes=1, config=None, ebd=True, image_source=None, dual_depth=None,
                  camera=None):
    """`camera`, or an offline camera on the frames of raw_frames, opened and started."""
    if camera is None:
        images, ebds = raw_frames(mode)
        camera = pelorin.create_camera_offline("source")
        camera.add_stream(pelorin.stream_image, image_source or wire.frame_player(images))
        if ebd:
            camera.add_stream(pelorin.stream_ebd,
                              ebd if callable(ebd) else wire.frame_player(ebds))
    assert (camera.open(mode), camera.configure_camera_echo(echoes),
            camera.configure_camera_output(config or outputs("point_cloud"))) == (0, 0, 0)
    assert dual_depth is None or camera.configure_camera_dual_depth(dual_depth) == 0
    assert camera.start() == 0
    return camera


def decoded(camera, count):
    """Copies of every output of the next `count` frames."""
    result = []
    for _ in range(count):
        frame = camera.get_frame(100)
        assert frame.error == 0
        result.append({name: [np.array(v) for v in value] if isinstance(value, list)
                       else np.array(value) for name in OUTPUTS + ["raw_image", "raw_ebd"]
                       for value in [getattr(frame, name)]}
                      | {"ids": (frame.frame_id, frame.timestamp)})
    return result


@pytest.fixture
def recorded(tmp_path):
    path = tmp_path / "single.mcap"
    summary = record(source_camera(wire.SINGLE_MODE), path)  # until the source runs dry
    assert (summary.frames_written, summary.frames_failed, summary.interrupted) == \
        (FRAMES, FAILURES_IN_A_ROW, False)
    return path


@pytest.mark.parametrize("mode, ebd, synthetic", [
    (wire.SINGLE_MODE, True, False), (wire.DUAL_MODE, True, False),
    (wire.SINGLE_MODE, False, False), (wire.DUAL_MODE, True, True)])
def test_replay_decodes_what_the_camera_decoded(tmp_path, mode, ebd, synthetic):
    path = tmp_path / "r.mcap"
    config = outputs(*OUTPUTS)

    def source():
        return source_camera(mode, 2, config, ebd,
                             camera=synthetic_camera(mode, seed=5) if synthetic else None)
    record(source(), path, frames=FRAMES, outputs=config, ros2=True)
    first = decoded(source(), FRAMES)
    with Replayer(path) as replay:
        np.testing.assert_equal(decoded(replay.start(), FRAMES), first)
        assert replay.finished and replay.camera.get_frame(5).error == -62
        rec = replay.recording
        assert (rec.mode, rec.dual, rec.echoes, rec.has_ebd) == \
            (mode, mode == wire.DUAL_MODE, 2, ebd)
        assert rec.clock == ("sensor_timestamp" if ebd else "host_monotonic")
        if ebd:  # the sensor's timestamps count microseconds
            assert np.diff([rec.log_time(i) for i in range(FRAMES)]).tolist() == \
                np.diff([1000 * f["ids"][1] for f in first]).tolist()
    with open(path, "rb") as file:  # as a ROS 2 tool reads it
        reader = make_reader(file, decoder_factories=[DecoderFactory()])
        depth = [m for *_, m in reader.iter_decoded_messages(topics=["/tessaro/depth"])]
        assert reader.get_summary().statistics.chunk_count == FRAMES  # each frame on its own
    cartesian = first[0]["cartesian_depth"][0]
    assert len(depth) == FRAMES and depth[0].encoding == "32FC1"
    np.testing.assert_allclose(np.frombuffer(depth[0].data, "<f4"),
                               np.where(cartesian > 0, cartesian / 1000, np.nan), rtol=1e-6)


def test_paced_replay_keeps_the_recorded_rate(recorded):
    with Replayer(recorded, pace=True) as replay:
        camera = replay.start()
        begin = time.monotonic()
        assert [camera.get_frame(1000).frame_id for _ in range(3)] == [0, 1, 2]
        assert 0.2 <= time.monotonic() - begin < 1
        assert (camera.get_frame(10).error, replay.position) == (-62, 3)  # frame 3 not yet due


def test_seek_loop_and_decoding_again_with_more_echoes_and_outputs(recorded):
    with Replayer(recorded, start=4, loop=True) as replay:
        camera = replay.start(echoes=3, outputs=outputs("radial_depth"))
        assert [camera.get_frame(100).frame_id for _ in range(3)] == [4, 5, 0]
        replay.seek(2)
        frame = camera.get_frame(100)
        assert (frame.error, frame.frame_id, replay.position, replay.finished) == (0, 2, 3, False)
        want = wire.random_values(2, False)["radial_depth"]
        np.testing.assert_array_equal([np.asarray(d) for d in frame.radial_depth], want)
        with pytest.raises(IndexError):
            replay.seek(FRAMES)


def test_dual_recording_decodes_again_with_other_dual_depth_parameters(tmp_path):
    record(source_camera(wire.DUAL_MODE), tmp_path / "d.mcap", frames=FRAMES)
    params = pelorin.dual_depth_params()
    params.select_near, params.select_far, params.merge_window = 3000, 5000, 0
    with Replayer(tmp_path / "d.mcap") as replay:
        again = decoded(replay.start(dual_depth=params), FRAMES)
    direct = source_camera(wire.DUAL_MODE, dual_depth=params)
    np.testing.assert_equal(again, decoded(direct, FRAMES))
    with pytest.raises(AssertionError):  # the parameters do change the merge
        np.testing.assert_equal(again, decoded(source_camera(wire.DUAL_MODE), FRAMES))


def cut(path, keep):
    data = path.read_bytes()
    path.write_bytes(data[:int(len(data) * keep)])


def flip(path, at):
    data = bytearray(path.read_bytes())
    data[int(len(data) * at)] ^= 0xFF
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("damage, good, text", [
    (lambda p: cut(p, 0.6), 3, "ends early"), (lambda p: cut(p, 0.001), 0, "ends early"),
    (lambda p: flip(p, 0.55), 3, "corrupt data")])
def test_frames_before_the_damage_still_read(recorded, damage, good, text):
    damage(recorded)
    images = raw_frames(wire.SINGLE_MODE)[0]
    with Recording(recorded) as rec:
        assert len(rec) == good
        assert [rec.raw_image(i) for i in range(good)] == [f.tobytes() for f in images[:good]]
        with pytest.raises(RecordingError, match=f"{recorded}: frame {good}: .*{text}"):
            rec.raw_image(good)
    with Replayer(recorded) as replay:
        camera = replay.start()
        assert [camera.get_frame(100).error for _ in range(good)] == [0] * good
        with pytest.raises(RecordingError, match=f"frame {good}"):
            camera.get_frame(100)


def other_mcap(path, metadata):
    with open(path, "wb") as file, Writer(file) as writer:
        for name, record_ in metadata.items():
            writer.add_metadata(name, record_)
        schema = writer.register_msgdef("std_msgs/msg/String", "string data\n")
        writer.write_message(IMAGE_TOPIC, schema, {"data": "x"}, log_time=1)


def changed(path, name="", **values):
    """The metadata of the recording at `path`, with `values` replaced in record `name`."""
    with Recording(path) as rec:
        return rec.metadata | {name: rec.metadata.get(name, {}) | values}


@pytest.mark.parametrize("make, text", [
    (lambda p, good: None, "cannot open"),
    (lambda p, good: p.write_text("hello\n"), "not a readable recording: not an MCAP file"),
    (lambda p, good: other_mcap(p, {}), "not a tessaro-raw recording"),
    (lambda p, good: other_mcap(p, changed(good)), "wrong schema"),
    (lambda p, good: other_mcap(p, changed(good, "tessaro.recording", format_version="2")),
     "format version '2' is not supported"),
    (lambda p, good: other_mcap(p, changed(good, "tessaro.sensor", mode="0x1c")),
     "mode 0x1c is not one")])
def test_files_that_are_not_readable_recordings_raise_at_open(tmp_path, recorded, make, text):
    path = tmp_path / "bad.mcap"
    make(path, recorded)
    with pytest.raises(RecordingError, match=f"^{path}.*{text}"):
        Recording(path)


def interrupt():
    raise KeyboardInterrupt


@pytest.mark.parametrize("stop, written", [(interrupt, 4),
                                           (lambda: signal.raise_signal(signal.SIGINT), 5)])
def test_failed_frames_lost_embedded_data_and_interrupts(tmp_path, stop, written):
    images, ebds = raw_frames(wire.SINGLE_MODE)
    player, ebd_player = wire.frame_player(images), wire.frame_player(ebds)

    def source(array, timeout_ms):
        source.calls += 1
        if source.calls == 2:
            return -5
        if player.position == 4 and source.calls < 99:
            source.calls = 99
            stop()  # Ctrl-C: raised by the source, or a signal while it runs
        return player(array, timeout_ms)
    source.calls = 0

    def ebd_source(array, timeout_ms):
        if ebd_player.position == 2:  # frame 2 comes without its embedded data
            ebd_player.position = 3
            return -5
        return ebd_player(array, timeout_ms)
    camera = source_camera(wire.SINGLE_MODE, ebd=ebd_source, image_source=source)
    summary = record(camera, tmp_path / "i.mcap")
    assert (summary.frames_written, summary.frames_failed, summary.interrupted) == \
        (written, 1, True)
    with Replayer(summary.path) as replay:
        rec = replay.recording
        assert (len(rec), rec.damage, rec.raw_ebd(2), rec.raw_ebd(3)) == \
            (written, None, None, ebds[3].tobytes())
        camera = replay.start()
        assert [camera.get_frame(9).frame_id for _ in range(4)] == [0, 1, 0, 3]
        assert rec.log_time(1) < rec.log_time(2) < rec.log_time(3) == rec.log_time(1) + 2 * 10**8
