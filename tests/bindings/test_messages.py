"""Where the library's lines go: the standard streams, the logging module, or nowhere."""

import logging
import sys

import pytest

import pelorin
from tessaro_testing import streaming_camera

LINE = "Cannot get a frame: camera not streaming"


@pytest.mark.parametrize("route, failing, printed, logged, unraisable", [
    ("default", False, LINE + "\n", [], []), ("logging", False, "", [("pelorin", logging.ERROR, LINE)], []),
    ("silent", False, "", [], []), ("logging", True, "", [], [ZeroDivisionError])])
def test_each_route_sends_the_line_to_one_place(route, failing, printed, logged, unraisable, caplog, capfd,
                                                monkeypatch):
    """A failure while logging costs the line, not the call."""
    camera, reported = streaming_camera([]), []
    assert camera.stop() == 0
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    if failing:
        monkeypatch.setattr(logging.getLogger("pelorin"), "filters", [lambda record: 1 / 0])
    pelorin.route_messages(route)
    try:
        assert camera.get_frame(0).error == -13
    finally:
        pelorin.route_messages("default")
    assert capfd.readouterr() == (printed, "")
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == logged
    assert [type(r.exc_value) for r in reported] == unraisable
