"""`tessaro view`: cameras, recordings and the synthetic sensor, side by side, live in a browser.

A page served from this machine shows each echo's depth map, the points in 3D and, for a zone
clicked on, its photon histogram. Everything it loads ships in this package: it works without
a network.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from types import FrameType

from tessaro._commands import Verb
from tessaro._group_command import add_view_choices, view_sources
from tessaro._sources import CAMERA_ID

__all__ = ["VIEW", "add_arguments", "main"]

DESCRIPTION = """\
Show cameras, recordings and the synthetic sensor in a web browser: per echo the depth map in
millimetres (zones without a return crossed out), the points in 3D (drag to rotate) and, for
a zone clicked on, its 144-bin photon histogram (both sub-frames in dual-depth modes) with its
returns marked. Recordings play, pause, seek, loop and change speed; cameras and the synthetic
sensor stream live.

The first line printed is the page's address, http://127.0.0.1:PORT/; open it in a browser on
this machine. The page needs no network: everything it loads comes from this command. A
frame reaches the page within a few tens of milliseconds on this machine; a viewer that falls
behind skips frames (the page counts them) and never slows capture or other viewers.
Ctrl-C stops it."""

EPILOG = """\
examples:
  tessaro view synthetic
  tessaro view media0/IMX704 walk.mcap --port 8704
  tessaro view synthetic --mode dual --echoes 2 --port 0
  tessaro view synthetic --sensors 3
  tessaro view rig.mcap --camera media0/IMX704"""


def _port(text: str) -> int:
    value = int(text)
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be 0 to 65535, not {value}")
    return value


def _clients(text: str) -> int:
    value = int(text)
    if not 1 <= value <= 64:
        raise argparse.ArgumentTypeError(f"must be 1 to 64, not {value}")
    return value


def add_arguments(parser: argparse.ArgumentParser) -> None:
    """The arguments of `tessaro view`, added to `parser` (with its description and examples)."""
    parser.description = DESCRIPTION
    parser.epilog = EPILOG
    parser.formatter_class = argparse.RawDescriptionHelpFormatter
    parser.add_argument("sources", metavar="SOURCE", nargs="+",
                        help="a camera id from 'tessaro list', a recording (.mcap) or 'synthetic'")
    parser.add_argument("--port", type=_port, default=8704,
                        help="TCP port; 0 picks a free one (default %(default)s)")
    parser.add_argument("--host", default="127.0.0.1",
                        help="address to listen on (default %(default)s, this machine only); "
                        "0.0.0.0 shows the page to the whole network, without any login")
    parser.add_argument("--mode", help="sensor mode of cameras and the synthetic sensor: an id "
                        "such as 0x211c, or 'single' / 'dual' (a recording keeps its own)")
    parser.add_argument("--echoes", type=int, default=3, help="echoes per zone, 1 to 3 "
                        "(default %(default)s)")
    parser.add_argument("--seed", type=int, default=0, help="synthetic sensor seed")
    add_view_choices(parser)
    parser.add_argument("--max-clients", type=_clients, default=8, metavar="N",
                        help="pages that may watch at once (default %(default)s)")


def main(args: argparse.Namespace) -> int:
    """Serve until Ctrl-C or SIGTERM; returns the exit status. A source that cannot be opened
    raises the TessaroError that says why."""
    from tessaro.view.capture import Feed
    from tessaro.view.server import ViewServer

    feeds: list[Feed] = []
    stop = threading.Event()
    # The address is the first line on stdout, for whoever reads it: what camera discovery
    # prints goes to stderr meanwhile.
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        for label, source, options in view_sources(args):
            live = label == "synthetic" or _is_camera(label) or \
                (source is not None and not isinstance(source, str))
            mode = args.mode if live else None
            feeds.append(Feed(len(feeds), label, mode=mode, echoes=args.echoes, seed=args.seed,
                              source=source, **options))
        server = ViewServer((args.host, args.port), feeds, max_clients=args.max_clients)
    except BaseException:
        for feed in feeds:
            feed.device.close()
        raise
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)

    def stopped(signum: int, frame: FrameType | None) -> None:
        stop.set()

    previous = signal.signal(signal.SIGTERM, stopped)
    serving = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                               name="view server", daemon=True)
    try:
        for feed in feeds:
            feed.start()
        serving.start()
        print(server.url, flush=True)
        for feed in feeds:
            print(f"  {feed.number}: {feed.label} ({feed.kind}, mode {feed.device.mode:#x})",
                  flush=True)
        while not stop.wait(0.5):
            pass
    except KeyboardInterrupt:
        pass
    finally:
        signal.signal(signal.SIGTERM, previous)
        server.close_clients()
        if serving.is_alive():
            server.shutdown()
        server.server_close()
        for feed in feeds:
            feed.stop()
    print("tessaro view: stopped", file=sys.stderr)
    return 0


def _is_camera(label: str) -> bool:
    return CAMERA_ID.fullmatch(label) is not None


VIEW = Verb("view", "Show cameras, recordings and the synthetic sensor live in a web browser.",
            add_arguments, main)
