"""Raw recordings in MCAP: record frames from any started camera, read them back, and replay
them as an offline camera that decodes them again with any echo count, outputs or dual-depth
parameters. The pieces live in their own modules; this one gathers them."""

from tessaro.errors import RecordingError
from tessaro.recording._writer import RecordSummary, record
from tessaro.recording._format import (DEPTH_TOPIC, EBD_TOPIC, FORMAT, FORMAT_VERSION,
                                       IMAGE_TOPIC, POINTS_TOPIC, outputs_from_dict,
                                       outputs_to_dict)
from tessaro.recording._reader import Recording
from tessaro.recording._replay import Replayer, replay_camera

__all__ = ["DEPTH_TOPIC", "EBD_TOPIC", "FORMAT", "FORMAT_VERSION", "IMAGE_TOPIC", "POINTS_TOPIC",
           "RecordSummary", "Recording", "RecordingError", "Replayer", "outputs_from_dict",
           "outputs_to_dict", "record", "replay_camera"]
