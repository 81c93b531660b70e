"""A camera whose frame source refers back to it is freed by the garbage collector."""
import gc
import weakref

import pytest

import pelorin
from tessaro import wire as raw_frames

from conftest import encoded, streaming_camera


class Owner:
    """Owns a camera whose image source is one of its own bound methods."""

    def __init__(self, slot):
        self.camera = pelorin.create_camera_offline("owned")
        self.player = raw_frames.frame_player([encoded(1)[1]], repeat=True)
        self.camera.add_stream(slot, self.source)

    def source(self, array, timeout_ms):
        return self.player(array, timeout_ms)


def bound_method(slot):
    owner = Owner(slot)
    return owner.camera, owner


def stopping_closure(slot):
    camera = streaming_camera([encoded(1)[1]], repeat=True)
    camera.add_stream(slot, lambda array, timeout_ms: camera.stop())
    return camera, camera


def streaming_owner(slot):
    owner = Owner(slot)
    streaming_camera(owner.source, camera=owner.camera)
    frame = owner.camera.get_frame(100)
    owner.last = frame, frame.radial_depth[0]
    return owner.camera, owner


@pytest.mark.parametrize("make", [bound_method, stopping_closure, streaming_owner])
@pytest.mark.parametrize("slot", [pelorin.stream_image, pelorin.stream_ebd])
def test_cycle_through_a_source_is_collected(make, slot):
    camera, owner = make(slot)
    refs = [weakref.ref(camera), weakref.ref(owner)]
    del camera, owner
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_a_referenced_camera_keeps_its_source_through_a_collection():
    owner = Owner(pelorin.stream_image)
    streaming_camera(owner.source, camera=owner.camera)
    gc.collect()
    assert owner.camera.get_frame(100).error == 0
