"""Where the library's lines go: the standard streams, the logging module, or nowhere."""

import logging
import sys
from collections.abc import Iterator

import pytest

import pelorin
from conftest import streaming_camera

LINE = "Cannot get a frame: camera not streaming"


class Keep(logging.Handler):
    """Keeps every record it is given."""

    def __init__(self) -> None:
        super().__init__(logging.DEBUG)
        self.records: list[logging.LogRecord] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.records.append(record)


@pytest.fixture
def logger() -> Iterator[logging.Logger]:
    """The "pelorin" logger with a Keep handler; the default route again afterwards."""
    logger = logging.getLogger("pelorin")
    handler = Keep()
    logger.addHandler(handler)
    yield logger
    pelorin.route_messages("default")
    logger.removeHandler(handler)
    logger.filters.clear()


def stopped_camera() -> pelorin.camera:
    camera = streaming_camera([])
    assert camera.stop() == 0
    return camera


@pytest.mark.parametrize("route, printed, logged", [
    ("default", LINE + "\n", []),
    ("logging", "", [("pelorin", logging.ERROR, LINE)]),
    ("silent", "", []),
])
def test_each_route_sends_the_line_to_one_place(route, printed, logged, logger, capfd):
    camera = stopped_camera()
    pelorin.route_messages(route)
    assert camera.get_frame(0).error == -13
    assert capfd.readouterr() == (printed, "")
    records = logger.handlers[-1].records
    assert [(r.name, r.levelno, r.getMessage()) for r in records] == logged


def test_a_failure_while_logging_costs_the_line_not_the_call(logger, monkeypatch, capfd):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)

    def refuse(record: logging.LogRecord) -> bool:
        raise RuntimeError("filter")

    logger.addFilter(refuse)
    camera = stopped_camera()
    pelorin.route_messages("logging")
    assert camera.get_frame(0).error == -13
    assert [type(r.exc_value) for r in reported] == [RuntimeError]
    assert capfd.readouterr() == ("", "")
    with pytest.raises(ValueError):
        pelorin.route_messages("stdout")
