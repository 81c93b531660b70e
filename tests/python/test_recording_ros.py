"""Recordings as ROS 2 tools read them: the message package, the camera model, earlier files."""

import math
from pathlib import Path

import numpy as np
import pytest
from mcap.reader import make_reader
from mcap_ros2.decoder import DecoderFactory

import tessaro
from tessaro.recording import FrameClocks, Recording
from tessaro.recording._camera_model import fit_pinhole
from tessaro.recording._ros2 import RAW_FRAME_MSG
from tessaro.synthetic import wire

ROOT = Path(__file__).resolve().parents[2]
FOCAL = 12 / math.tan(math.radians(22.5))  # the synthetic sensor's 45° over 24 zones


@pytest.fixture(scope="module")
def synthetic(tmp_path_factory):
    path = tmp_path_factory.mktemp("ros") / "left.mcap"
    with tessaro.open("synthetic") as device:
        device.record(path, frames=3, ros2=True, frame_id="left_optical_frame")
    return path


def test_a_recording_of_the_previous_format_reads_with_its_times_as_they_were():
    # Written by the version 1 recorder: frame 0 with embedded data (sensor time 1 s), frame 1
    # without, and every value but the depths and points zero.
    with Recording(ROOT / "tests/data/recording_v1.mcap") as rec:
        assert (rec.version, rec.clock, rec.epoch, len(rec)) == (1, "sensor_timestamp", False, 2)
        assert rec.clocks(0) == FrameClocks(10**9, None, None, None, None) and rec.log_time(1) > 10**9
    with tessaro.open(ROOT / "tests/data/recording_v1.mcap") as device:
        frames = list(device)
    assert [f.index for f in frames] == [0, 1]
    np.testing.assert_array_equal(frames[1].depth[0].flat,
                                  wire.random_values(1, False, echoes=1)["radial_depth"][0])


def test_camera_info_fits_the_optics_the_synthetic_sensor_renders(synthetic):
    with Recording(synthetic) as rec:
        model, times = rec.metadata["tessaro.camera_model"], [rec.log_time(i) for i in range(3)]
    assert float(model["residual_rms_px"]) < 0.05 and model["zones"] == "576"
    with open(synthetic, "rb") as file:
        reader = make_reader(file, decoder_factories=[DecoderFactory()])
        infos = [m for *_, m in reader.iter_decoded_messages(topics=["/tessaro/camera_info"])]
        frame_ids = {m.header.frame_id for *_, m in reader.iter_decoded_messages()}
    assert frame_ids == {"left_optical_frame"}
    assert [i.header.stamp.sec * 10**9 + i.header.stamp.nanosec for i in infos] == times
    np.testing.assert_allclose(infos[0].k, [FOCAL, 0, 11.5, 0, FOCAL, 11.5, 0, 0, 1], atol=2e-3)
    # Zones without a return do not move the fit; too few of them fix nothing.
    rays = np.array([[(c + 0.5) / 12 - 1, (r + 0.5) / 12 - 1, 1 / math.tan(math.radians(22.5))]
                     for r in range(24) for c in range(24)])
    holes = rays.copy()
    holes[::3, 2], holes[1::3] = 0, np.nan
    fitted = fit_pinhole(holes, 24, 24)
    assert fitted is not None and fitted.zones == 192 and fitted.rms_px < 1e-9
    np.testing.assert_allclose([fitted.fx, fitted.fy, fitted.cx, fitted.cy], [FOCAL, FOCAL, 11.5, 11.5])
    assert fit_pinhole(np.where(np.arange(576)[:, None] < 7, rays, 0), 24, 24) is None
    assert fit_pinhole(rays * [-1, 1, 1], 24, 24) is None  # mirrored: no pinhole sees it


def test_the_message_package_is_the_recorded_schema_and_decodes_elsewhere(synthetic):
    msg = (ROOT / "ros/tessaro_msgs/msg/RawFrame.msg").read_text()
    with open(synthetic, "rb") as file:
        reader = make_reader(file)
        schema = next(s for s in reader.get_summary().schemas.values() if s.name == "tessaro_msgs/msg/RawFrame")
        _, channel, message = next(reader.iter_messages(topics=["/tessaro/raw/image"]))
    assert msg == RAW_FRAME_MSG and schema.data.decode().startswith(msg + "=" * 80 + "\nMSG: std_msgs/Header\n")
    typesys = pytest.importorskip("rosbags.typesys")
    store = typesys.get_typestore(typesys.Stores.ROS2_HUMBLE)
    store.register(typesys.get_types_from_msg(msg, "tessaro_msgs/msg/RawFrame"))
    raw = store.deserialize_cdr(message.data, "tessaro_msgs/msg/RawFrame")
    with Recording(synthetic) as rec:
        clocks, image = rec.clocks(0), rec.raw_image(0)
    assert (raw.header.frame_id, raw.header.stamp.sec * 10**9 + raw.header.stamp.nanosec) == \
        ("left_optical_frame", message.log_time)
    assert (raw.capture_time_ns, raw.sensor_timestamp, raw.frame_index, raw.sequence) == \
        (clocks.capture_time_ns, clocks.sensor_timestamp, 0, 0)
    assert raw.data.tobytes() == image and raw.has_sensor_time and raw.has_capture_time
