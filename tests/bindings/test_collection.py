"""A camera whose frame source refers back to it is freed by the garbage collector; a replaced
source is let go of at once."""
import gc
import weakref

import pytest

import pelorin
from tessaro.synthetic import wire

from tessaro_testing import encoded, streaming_camera


class Owner(wire.frame_player):
    """A frame source that owns the camera it serves in `slot`; `streaming` starts the camera on
    it and holds a frame and a view of it."""

    def __init__(self, slot, streaming=False):
        super().__init__([encoded(1)[1]], repeat=True)
        self.camera = pelorin.create_camera_offline("owned")
        self.camera.add_stream(slot, self)
        if streaming:
            frame = streaming_camera(self, camera=self.camera).get_frame(100)
            self.last = frame, frame.radial_depth[0]


def stopping_closure(slot):
    camera = streaming_camera([encoded(1)[1]], repeat=True)
    camera.add_stream(slot, lambda array, timeout_ms: camera.stop())
    return camera


@pytest.mark.parametrize("make", [Owner, lambda s: Owner(s, streaming=True), stopping_closure])
@pytest.mark.parametrize("slot", [pelorin.stream_image, pelorin.stream_ebd])
def test_cycle_through_a_source_is_collected(make, slot):
    owner = make(slot)
    refs = [weakref.ref(owner), weakref.ref(getattr(owner, "camera", owner))]
    del owner
    gc.collect()
    assert [r() for r in refs] == [None, None]
    owner = Owner(pelorin.stream_image, streaming=True)  # one still referenced keeps its source
    gc.collect()
    assert owner.camera.get_frame(100).error == 0
    replaced = [wire.frame_player([])]
    released = weakref.ref(replaced[0])
    owner.camera.add_stream(pelorin.stream_ebd, replaced.pop())
    owner.camera.add_stream(pelorin.stream_ebd, None)
    assert released() is None
