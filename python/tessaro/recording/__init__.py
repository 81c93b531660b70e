"""Raw recordings in MCAP: record frames from any started camera, read them back, and replay
them as an offline camera that decodes them again with any echo count, outputs or dual-depth
parameters. The pieces live in their own modules; this one gathers them."""

from tessaro.errors import RecordingError
from tessaro.recording._writer import RecordSummary, record
from tessaro.recording._format import (CAMERA_INFO_TOPIC, DEPTH_TOPIC, EBD_TOPIC, EPOCH_CLOCK,
                                       FORMAT, FORMAT_VERSION, IMAGE_TOPIC, POINTS_TOPIC,
                                       outputs_from_dict, outputs_to_dict)
from tessaro.recording._reader import FrameClocks, Recording
from tessaro.recording._ros2 import DEFAULT_FRAME_ID, optical_frame_id
from tessaro.recording._replay import Replayer, replay_camera

__all__ = ["CAMERA_INFO_TOPIC", "DEFAULT_FRAME_ID", "DEPTH_TOPIC", "EBD_TOPIC", "EPOCH_CLOCK",
           "FORMAT", "FORMAT_VERSION", "FrameClocks", "IMAGE_TOPIC", "POINTS_TOPIC",
           "RecordSummary", "Recording", "RecordingError", "Replayer", "optical_frame_id",
           "outputs_from_dict", "outputs_to_dict", "record", "replay_camera"]
