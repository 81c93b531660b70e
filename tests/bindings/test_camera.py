"""The camera, its records and enumerations, and the module itself."""

import numpy as np
import pytest

import pelorin
from tessaro.synthetic import wire
from tessaro_testing import outputs, streaming_camera
from pelorin import camera_sync_mode, stream_type


def test_camera_info_and_arguments_numpy_gives():
    info = pelorin.create_camera_offline(b"cam0").get_camera_info()
    assert list(info.items())[:7] == [
        ("id", "cam0"), ("model", "IMX704"), ("status", "available"), ("sync_mode", "undefined"),
        ("mode", 0), ("number_of_echo", 1), ("dual_depth_mode", False)]
    assert list(info["dual_depth_params"].values()) == [200.0, 2000.0, 50.0]
    assert sorted(info["supported_modes"]) == ["201c", "211c", "221c", "301c", "311c", "321c"]
    camera = streaming_camera([], mode=np.uint32(wire.SINGLE_MODE), echoes=np.int64(2))
    assert [camera.get_camera_info()[k] for k in ("status", "sync_mode", "mode")] == ["streaming", "master_mode", 8476]
    assert camera.get_frame(timeout_ms=4294967295).error == -62
    # Values the enumerations do not name still convert, and print as unknown.
    assert (str(camera_sync_mode(7)), stream_type(5).name, stream_type(-1).value) == ("camera_sync_mode.???", "???", -1)
    # Out of the types' ranges (32 bits, unsigned where they are), or bytes of another type.
    for call in (lambda: camera_sync_mode(-1), lambda: stream_type(2**31), lambda: camera.get_frame(2**32),
                 lambda: pelorin.frame_buffer(outputs(), -1, 5), lambda: pelorin.vector_uint8(np.zeros(2))):
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize("cls", [v for v in vars(pelorin).values()
                                 if isinstance(v, type) and not hasattr(v, "__members__")])
def test_objects_are_never_made_without_init(cls):
    for made in (cls, type("subclass", (cls,), {})):
        with pytest.raises(TypeError, match="by calling the class"):
            made.__new__(made)
    assert type("subclass", (pelorin.dual_depth_params,), {})().select_far == 2000.0
