"""Where the library's lines go: the standard streams, the logging module, or nowhere."""

import logging
import sys

import pytest

import pelorin
from conftest import streaming_camera

LINE = "Cannot get a frame: camera not streaming"


@pytest.mark.parametrize("route, printed, logged", [
    ("default", LINE + "\n", []), ("logging", "", [("pelorin", logging.ERROR, LINE)]), ("silent", "", [])])
def test_each_route_sends_the_line_to_one_place(route, printed, logged, caplog, capfd):
    camera = streaming_camera([])
    assert camera.stop() == 0
    pelorin.route_messages(route)
    try:
        assert camera.get_frame(0).error == -13
    finally:
        pelorin.route_messages("default")
    assert capfd.readouterr() == (printed, "")
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == logged


def test_a_failure_while_logging_costs_the_line_not_the_call(monkeypatch, capfd):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    logger = logging.getLogger("pelorin")
    logger.addFilter(lambda record: 1 / 0)
    pelorin.route_messages("logging")
    try:
        assert pelorin.create_camera_offline("c").get_frame(0).error == -13
    finally:
        pelorin.route_messages("default")
        logger.filters.clear()
    assert [type(r.exc_value) for r in reported] == [ZeroDivisionError]
    assert capfd.readouterr() == ("", "")
    with pytest.raises(ValueError):
        pelorin.route_messages("stdout")
