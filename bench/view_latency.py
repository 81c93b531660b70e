#!/usr/bin/env python3
"""`tessaro view` on this machine: the time from a frame's delivery by the library to its draw
in a headless Chromium, with 1 and 4 pages watching, and the server's CPU time per frame.

Runs `tessaro view synthetic --port 0` (the synthetic sensor at its frame rate, 30 Hz in its
default mode), opens the page in as many browsers as asked, lets it run, then reads each page's
draw latencies and the server process's CPU time from /proc. The latency is the page's wall
clock after the draw minus the server's wall clock when the frame left `get_frame`; both are
this host's clock.

    PYTHONPATH=python python bench/view_latency.py [--seconds 10] [--clients 1 4]
        [--screenshot docs/view.png]
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import statistics
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import chromium  # type: ignore[import-not-found]  # noqa: E402  (the tests' Chromium driver)

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def frame_index(url: str) -> int:
    with urllib.request.urlopen(f"{url}api/zone?source=0&row=0&column=0") as response:
        return int(json.load(response)["index"])


def run(clients: int, seconds: float, mode: str, screenshot: Path | None) -> dict[str, float]:
    screenshot = screenshot if clients else None
    command = [sys.executable, "-m", "tessaro.cli", "view", "synthetic", "--port", "0",
               "--mode", mode]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
    pages: list[chromium.Page] = []
    try:
        assert server.stdout is not None
        url = server.stdout.readline().strip()
        pages = [chromium.Page(url + "?range=0,4000") for _ in range(clients)]
        for page in pages:
            page.wait_for("tessaroView.stats.drawn > 10")
            page.eval("tessaroView.stats.latencies.length = 0")
        if screenshot is not None:
            box = pages[0].eval("(() => { const r = document.getElementById('depth-0-1')"
                                ".getBoundingClientRect(); return [r.left, r.top]; })()")
            pages[0].click(box[0] + 9 * 12 + 6, box[1] + 6 * 12 + 6)
            pages[0].wait_for("document.getElementById('histogram-0').dataset.zone")
        first, cpu = frame_index(url), cpu_seconds(server.pid)
        time.sleep(seconds)
        frames, cpu = frame_index(url) - first, cpu_seconds(server.pid) - cpu
        latencies = [x for page in pages for x in page.eval("tessaroView.stats.latencies")]
        skipped = sum(int(page.eval("Number(document.querySelector('#source-0 .skipped')"
                                    ".textContent)")) for page in pages)
        if screenshot is not None:
            screenshot.write_bytes(base64.b64decode(pages[0].call(
                "Page.captureScreenshot", session=True, format="png")["data"]))
    finally:
        for page in pages:
            page.__exit__()
        server.terminate()
        server.wait(15)
    latencies.sort()
    result = {"clients": clients, "frames": frames, "rate_hz": round(frames / seconds, 1),
              "draws": len(latencies), "skipped": skipped,
              "server_cpu_ms_per_frame": round(1000 * cpu / max(frames, 1), 2)}
    if latencies:
        result.update({"latency_median_ms": round(statistics.median(latencies), 1),
                       "latency_p95_ms": round(latencies[int(0.95 * (len(latencies) - 1))], 1),
                       "latency_max_ms": round(latencies[-1], 1)})
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=10.0)
    # 0 pages: what capture alone costs (the synthetic sensor's rendering, decoding, encoding)
    parser.add_argument("--clients", type=int, nargs="+", default=[0, 1, 4])
    parser.add_argument("--mode", default="single")
    parser.add_argument("--screenshot", type=Path, help="save the first page of the first run")
    args = parser.parse_args()
    if chromium.BINARY is None:
        print("view_latency: no headless Chromium (scripts/setup.sh installs it)", file=sys.stderr)
        return 1
    for clients in args.clients:
        result = run(clients, args.seconds, args.mode, args.screenshot)
        args.screenshot = args.screenshot if not clients else None
        print(json.dumps(result))
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
