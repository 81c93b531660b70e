"""Recordings: record, replay with the same and with other decoding, seek, damaged files."""

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory
from mcap_ros2.writer import Writer

import pelorin
from tessaro import wire
from tessaro.errors import RecordingError
from tessaro.recording import IMAGE_TOPIC, Recording, Replayer, record

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


def started(camera, mode, echoes, config):
    assert (camera.open(mode), camera.configure_camera_echo(echoes),
            camera.configure_camera_output(config), camera.start()) == (0, 0, 0, 0)
    return camera


def source_camera(mode, echoes=1, config=None, ebd=True, image_source=None):
    images, ebds = raw_frames(mode)
    camera = pelorin.create_camera_offline("source")
    camera.add_stream(pelorin.stream_image, image_source or wire.frame_player(images))
    if ebd:
        camera.add_stream(pelorin.stream_ebd, wire.frame_player(ebds))
    return started(camera, mode, echoes, config or outputs("point_cloud"))


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


def assert_same(a, b):
    assert len(a) == len(b)
    for x, y in zip(a, b):
        for key in x:
            np.testing.assert_equal(x[key], y[key], err_msg=key)


@pytest.fixture
def recorded(tmp_path):
    path = tmp_path / "single.mcap"
    summary = record(source_camera(wire.SINGLE_MODE), path, frames=FRAMES)
    assert (summary.frames_written, summary.frames_failed, summary.interrupted) == \
        (FRAMES, 0, False)
    return path


@pytest.mark.parametrize("mode, ebd", [(wire.SINGLE_MODE, True), (wire.DUAL_MODE, True),
                                       (wire.SINGLE_MODE, False)])
def test_replay_decodes_what_the_camera_decoded(tmp_path, mode, ebd):
    path = tmp_path / "r.mcap"
    config = outputs(*OUTPUTS)
    record(source_camera(mode, 2, config, ebd), path, frames=FRAMES, outputs=config, ros2=True)
    replay = Replayer(path)
    assert_same(decoded(replay.start(), FRAMES), decoded(source_camera(mode, 2, config, ebd),
                                                         FRAMES))
    assert replay.finished and replay.camera.get_frame(5).error == -62
    rec = replay.recording
    assert (rec.mode, rec.dual, rec.echoes, rec.has_ebd) == (mode, mode == wire.DUAL_MODE, 2, ebd)
    assert rec.clock == ("sensor_timestamp" if ebd else "host_monotonic")
    if ebd:  # 30000 ticks of the 300 kHz counter between frames
        assert np.diff([rec.log_time(i) for i in range(FRAMES)]).tolist() == [100_000_000] * 5
    with open(path, "rb") as file:  # as a ROS 2 tool reads it
        depth = [m for *_, m in make_reader(file, decoder_factories=[DecoderFactory()])
                 .iter_decoded_messages(topics=["/tessaro/depth"])]
    cartesian = decoded(source_camera(mode, 2, config, ebd), 1)[0]["cartesian_depth"][0]
    assert len(depth) == FRAMES and depth[0].encoding == "32FC1"
    np.testing.assert_allclose(np.frombuffer(depth[0].data, "<f4"),
                               np.where(cartesian > 0, cartesian / 1000, np.nan), rtol=1e-6)


def test_seek_loop_and_decoding_again_with_more_echoes_and_outputs(recorded):
    replay = Replayer(recorded, start=4, loop=True)
    camera = replay.start(echoes=3, outputs=outputs("radial_depth"))
    assert [camera.get_frame(100).frame_id for _ in range(3)] == [4, 5, 0]
    replay.seek(2)
    frame = camera.get_frame(100)
    assert (frame.error, frame.frame_id, replay.position, replay.finished) == (0, 2, 3, False)
    want = wire.random_values(2, False)["radial_depth"]
    np.testing.assert_array_equal([np.asarray(d) for d in frame.radial_depth], want)
    with pytest.raises(IndexError):
        replay.seek(FRAMES)


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
    camera = Replayer(recorded).start()
    assert [camera.get_frame(100).error for _ in range(good)] == [0] * good
    with pytest.raises(RecordingError, match=f"frame {good}"):
        camera.get_frame(100)


class FakeCamera:
    """A streaming camera in a mode the library does not know, that never delivers a frame."""

    def get_camera_info(self):
        mode = dict(sensor_width=24, sensor_height=24, raw_size_image=395136,
                    raw_size_ebd=8064, max_echo=3, dual_depth_mode=False)
        return {"status": "streaming", "mode": 0x1C, "number_of_echo": 1,
                "dual_depth_mode": False, "dual_depth_params": {}, "supported_modes": {"1c": mode}}

    def get_frame(self, timeout_ms):
        return pelorin.frame_buffer(-62)


def other_mcap(path, metadata):
    with open(path, "wb") as file, Writer(file) as writer:
        for name, record_ in metadata.items():
            writer.add_metadata(name, record_)
        schema = writer.register_msgdef("std_msgs/msg/String", "string data\n")
        writer.write_message(IMAGE_TOPIC, schema, {"data": "x"}, log_time=1)


@pytest.mark.parametrize("make, text", [
    (lambda p, good: None, "cannot open"),
    (lambda p, good: p.write_text("hello\n"), "not a readable recording: not an MCAP file"),
    (lambda p, good: other_mcap(p, {}), "not a tessaro-raw recording"),
    (lambda p, good: other_mcap(p, Recording(good).metadata), "wrong schema"),
    (lambda p, good: record(FakeCamera(), p, frames=1), "mode 0x1c is not one")])
def test_files_that_are_not_readable_recordings_raise_at_open(tmp_path, recorded, make, text):
    path = tmp_path / "bad.mcap"
    make(path, recorded)
    with pytest.raises(RecordingError, match=f"^{path}.*{text}"):
        Recording(path)


def test_failed_frames_are_counted_and_an_interrupt_leaves_a_finished_file(tmp_path):
    player = wire.frame_player(raw_frames(wire.SINGLE_MODE)[0])

    def source(array, timeout_ms):
        source.calls += 1
        if source.calls == 2:
            return -5
        if player.position == 4:
            raise KeyboardInterrupt
        return player(array, timeout_ms)
    source.calls = 0
    summary = record(source_camera(wire.SINGLE_MODE, image_source=source), tmp_path / "i.mcap")
    assert (summary.frames_written, summary.frames_failed, summary.interrupted) == (4, 1, True)
    with Recording(summary.path) as rec:
        assert (len(rec), rec.damage) == (4, None)
