"""Where the library's lines go: the standard streams, the logging module, or nowhere."""

import logging
import subprocess
import sys
from pathlib import Path

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


def test_a_handler_may_stop_the_camera_that_wrote_the_line(caplog):
    """The line arrives once get_frame is done, and the frame keeps its error."""
    camera, errors = streaming_camera(lambda array, timeout_ms: 10), []  # too short to decode
    handler = logging.Handler()
    handler.emit = lambda record: errors.append((record.getMessage(), camera.stop()))
    logging.getLogger("pelorin").addHandler(handler)
    pelorin.route_messages("logging")
    try:
        frame = camera.get_frame(1)
    finally:
        pelorin.route_messages("default")
        logging.getLogger("pelorin").removeHandler(handler)
    assert (errors, frame.error) == ([("Cannot get a frame: failed processing raw data", 0)], -22)
    assert camera.get_camera_info()["status"] == "idle"


EXIT_WHILE_FAILING = """
import logging, sys, threading, time, pelorin
sys.path.insert(0, "support/python")
from tessaro_testing import streaming_camera
logging.basicConfig()
pelorin.route_messages("logging")
camera = streaming_camera(lambda array, timeout_ms: 10); camera.release_gil = {release}
threading.Thread(target=lambda: [camera.get_frame(1) for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.2)
"""


@pytest.mark.parametrize("release", [False, True])
def test_the_interpreter_exits_cleanly_while_a_thread_logs_failures(release):
    """Lines written while the interpreter exits go nowhere."""
    run = subprocess.run([sys.executable, "-c", EXIT_WHILE_FAILING.format(release=release)],
                         cwd=Path(__file__).parent.parent, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr[-2000:]
    assert "failed processing raw data" in run.stderr
