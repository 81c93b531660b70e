import pytest

import pelorin
from pelorin import camera_sync_mode, stream_type


def test_members_values_and_texts():
    assert pelorin.camera_sync_master_mode is camera_sync_mode.camera_sync_master_mode
    assert str(pelorin.camera_sync_master_mode) == "camera_sync_mode.camera_sync_master_mode"
    assert repr(pelorin.stream_image) == "<stream_type.stream_image: 0>"
    assert repr(pelorin.stream_ebd) == "<stream_type.stream_ebd: 1>"
    assert [(n, int(m)) for n, m in camera_sync_mode.__members__.items()] == [
        ("camera_sync_undefined", 0), ("camera_sync_master_mode", 1), ("camera_sync_slave_mode", 2)]
    assert list(stream_type.__members__) == ["stream_image", "stream_ebd"]
    assert hash(pelorin.camera_sync_slave_mode) == 2
    with pytest.raises(TypeError):
        pelorin.camera_sync_slave_mode < pelorin.camera_sync_master_mode


@pytest.mark.parametrize("a, b, equal", [
    (pelorin.camera_sync_slave_mode, 2, True),
    (pelorin.camera_sync_slave_mode, 1, False),
    (pelorin.camera_sync_slave_mode, pelorin.camera_sync_slave_mode, True),
    (pelorin.camera_sync_slave_mode, pelorin.camera_sync_master_mode, False),
    (pelorin.camera_sync_undefined, None, False),
    (pelorin.camera_sync_undefined, "0", False),
    (pelorin.stream_ebd, 1, False),
    (pelorin.stream_ebd, pelorin.stream_ebd, True),
    (pelorin.stream_ebd, pelorin.stream_image, False),
    (pelorin.stream_image, None, False),
])
def test_equality(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is (not equal)


def test_construction_from_values():
    assert camera_sync_mode(1) == pelorin.camera_sync_master_mode
    unknown = camera_sync_mode(7)
    assert unknown.name == "???" and str(unknown) == "camera_sync_mode.???" and unknown.value == 7
    assert stream_type(5).name == "???"
    with pytest.raises(TypeError):
        camera_sync_mode(-1)
    with pytest.raises(TypeError):
        stream_type(1.0)
