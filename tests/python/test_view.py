import http.client
import json
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
from contextlib import contextmanager
from pathlib import Path

import numpy as np
import pytest

import tessaro
from tessaro.synthetic import SyntheticSensor
from tessaro.view.capture import Feed
from tessaro.view.server import ViewServer

sys.path.insert(0, str(Path(__file__).parent))
import chromium  # noqa: E402


@contextmanager
def serving(label, mode="single", echoes=3, seed=0):
    """An in-process viewer of one source on a free port of 127.0.0.1; yields the server."""
    feed = Feed(0, label, mode=mode, echoes=echoes, seed=seed)
    server = ViewServer(("127.0.0.1", 0), [feed], max_clients=2)
    feed.start()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        yield server
    finally:
        server.close_clients(), server.shutdown(), server.server_close(), feed.stop()


def messages(port, count):
    """The first `count` stream messages as (skipped, header, arrays by name)."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request("GET", "/api/stream")
    response, found = connection.getresponse(), []
    while len(found) < count:
        size, skipped, length = struct.unpack("<III", response.read(12))
        header, body = json.loads(response.read(length)), response.read(size - 8 - length)
        found.append((skipped, header, {a["name"]: np.frombuffer(body, a["dtype"], int(np.prod(a["shape"])), a["offset"])
                                        .reshape(a["shape"]) for a in header["arrays"]}))
    return found  # and the connection closes


def request(port, method, path, body=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    connection.request(method, path, body=body, headers={"Content-Type": "application/json"})
    return (response := connection.getresponse()).status, response.read()


def test_stream_and_zone_carry_the_frames_values_and_bad_requests_get_4xx():
    with serving("synthetic", "dual", 2, 5) as viewer:
        port = viewer.server_address[1]
        got, (status, zone) = messages(port, 4), request(port, "GET", "/api/zone?source=0&row=7&column=11")
        zone = json.loads(zone)
        with tessaro.open("synthetic", mode="dual", echoes=2, seed=5, outputs="all") as device:
            reference = list(device.frames(zone["index"] + 1))
        for _, header, arrays in got:
            frame = reference[header["index"]]
            assert (header["frame_id"], header["sensor_timestamp"], header["dual"], header["temperature"]) == \
                (frame.frame_id, frame.sensor_timestamp, True, 31)
            for name in ("depth", "points", "peak_height", "peak_status", "noise"):
                np.testing.assert_array_equal(arrays[name], getattr(frame, name), err_msg=name)
        frame = reference[zone["index"]]
        assert status == 200 and zone["depth"] == frame.depth[:, 7, 11].tolist() and len(zone["peaks"]) == 2
        assert np.array_equal(zone["histogram"], frame.histogram[:, 7, 11])
        for method, path, body, expected in [
                ("GET", "/../../etc/passwd", None, 404), ("GET", "/view.js/../../cli.py", None, 404),
                ("GET", "/api/zone?source=0&row=24&column=0", None, 400), ("GET", "/api/zone?row=x", None, 400),
                ("GET", "/api/zone?source=3&row=0&column=0", None, 404), ("PUT", "/", b"", 405),
                ("POST", "/api/control", b'{"source": 0, "seek": 3}', 400), ("DELETE", "/api/stream", None, 405),
                ("POST", "/api/control", b'{"source": 0, "speed": "fast"}', 400),
                ("POST", "/api/control", b"[1", 400), ("POST", "/api/control", b"x" * 5000, 413)]:
            assert request(port, method, path, body)[0] == expected, path
        for line, expected in ((b"GET / HTTP/9.9", b" 400 "), (b"BREW / HTTP/1.1", b" 405 "), (b"GET /" + b"x" * 70000, b" 414 ")):
            with socket.create_connection(("127.0.0.1", port)) as raw:
                raw.sendall(line + b"\r\n\r\n")
                assert expected in raw.recv(100).split(b"\r\n")[0], line


def test_a_stalled_client_skips_frames_and_holds_back_neither_capture_nor_others():
    with serving("synthetic") as viewer, socket.create_connection(("127.0.0.1", viewer.server_address[1])) as stalled:
        stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stalled.sendall(b"GET /api/stream HTTP/1.0\r\n\r\n")
        time.sleep(3)  # long enough to fill its socket buffers
        # were capture held back by the stalled client, these would never come (a 10 s timeout)
        indices = [h["index"] for _, h, _ in messages(viewer.server_address[1], 45)]
        assert indices == sorted(set(indices))
        assert max(m.skipped.get(0, 0) for m in viewer.clients) > 10
        assert request(viewer.server_address[1], "GET", "/api/stream")[0] == 429  # two clients, the bound


def test_a_recording_pauses_seeks_plays_to_its_end_and_starts_again(tmp_path):
    with tessaro.open("synthetic", seed=2) as device:
        device.record(tmp_path / "r.mcap", frames=12)
    with serving(str(tmp_path / "r.mcap"), None, 1) as viewer:
        port = viewer.server_address[1]

        def shown(wanted, stays=0.0, **change):
            assert request(port, "POST", "/api/control", json.dumps({"source": 0, **change}).encode())[0] == 200
            deadline = time.monotonic() + 5
            while json.loads(request(port, "GET", "/api/zone?source=0&row=0&column=0")[1]).get("index") != wanted:
                assert time.monotonic() < deadline, f"frame {wanted} not shown"
            time.sleep(stays)
            return json.loads(request(port, "GET", "/api/zone?source=0&row=0&column=0")[1])["index"]

        assert shown(7, stays=0.5, play=False, loop=False, seek=7) == 7  # and stays, paused
        assert shown(11, stays=0.5, speed=8.0, play=True) == 11  # the end, not looping
        shown(0, loop=True, play=True, speed=0.5)  # from the start again


def test_the_command_prints_its_address_first_and_stops_on_sigterm():
    command = [sys.executable, "-m", "tessaro.cli", "view", "synthetic", "--port", "0"]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) as process:
        address = process.stdout.readline()
        assert re.fullmatch(r"http://127\.0\.0\.1:\d+/\n", address)
        status, page = request(int(address.split(":")[2].rstrip("/\n")), "GET", "/")
        assert status == 200 and b'id="frames-drawn"' in page
        process.send_signal(signal.SIGTERM)
        assert process.wait(15) == 0 and "Traceback" not in process.stderr.read()
    missing = subprocess.run([*command[:4], "nowhere.mcap"], capture_output=True, text=True)
    assert missing.returncode == 1 and missing.stderr.count("\n") == 1 and "nowhere.mcap" in missing.stderr


@pytest.mark.skipif(chromium.BINARY is None, reason="no headless Chromium (scripts/setup.sh installs it)")
def test_a_browser_draws_frames_in_the_scenes_colours_and_shows_a_clicked_zones_histogram():
    with serving("synthetic") as viewer, chromium.Page(f"http://127.0.0.1:{viewer.server_address[1]}/?range=0,4000") as page:
        first = page.wait_for("Number(document.getElementById('frames-drawn').textContent)")
        time.sleep(1)
        assert page.eval("Number(document.getElementById('frames-drawn').textContent)") > first
        # In one task, so that no frame is drawn between: the frame shown, and the pixel at each zone's centre.
        shown = page.eval("""(() => { const g = document.getElementById('depth-0-1').getContext('2d');
            return {index: tessaroView.panels[0].frame.header.index, pixels: Array.from({length: 576}, (_, z) =>
                Array.from(g.getImageData((z % 24) * 12 + 6, Math.floor(z / 24) * 12 + 6, 1, 1).data))}; })()""")
        truth = SyntheticSensor(0x211C).truth(shown["index"], 3)["radial_depth"][0]
        near, far = int(np.argmin(np.where(truth > 0, truth, np.inf))), int(np.argmax(truth))
        assert truth[near] < 1000 < 3000 < truth[far]
        for zone in (near, far):
            expected = page.eval(f"tessaroView.colourOf({truth[zone]}, 0, 4000)")
            assert np.abs(np.subtract(shown["pixels"][zone][:3], expected)).max() <= 8, zone
        (row, column), box = divmod(near, 24), page.eval("document.getElementById('depth-0-1').getBoundingClientRect().toJSON()")
        page.click(box["left"] + column * 12 + 6, box["top"] + row * 12 + 6)
        assert page.wait_for(f"document.getElementById('histogram-0').dataset.zone === '{row},{column}'")
        assert f"zone row {row}, column {column}" in page.eval("document.getElementById('zone-0').textContent")
