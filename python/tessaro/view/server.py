"""The viewer's HTTP server: the page's own assets, the sources, a stream of frames per client,
a zone's histograms, and playback controls.

Routes:
    GET  /, /view.js, /view.css     the page (packaged files, by name, never a path)
    GET  /api/sources               the sources as JSON
    GET  /api/stream                frames of every source: u32 size, u32 skipped, payload
    GET  /api/zone?source=S&row=R&column=C   one zone of source S's latest frame as JSON
    POST /api/control               {"source": S, "play"/"seek"/"loop"/"speed": ...}
"""

from __future__ import annotations

import json
import socket
import struct
import sys
import threading
from http import HTTPStatus
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from importlib import resources
from typing import Any, Callable
from urllib.parse import parse_qs, urlsplit

from tessaro.view.capture import Control, Feed, Mailbox

ASSETS = {"/": ("index.html", "text/html; charset=utf-8"),
          "/view.js": ("view.js", "text/javascript; charset=utf-8"),
          "/view.css": ("view.css", "text/css; charset=utf-8")}
MAX_BODY = 4096
SEND_TIMEOUT = 10.0  # a client that takes no bytes for this long is let go


class BadRequest(Exception):
    """A request the viewer refuses, with the status that says why."""

    def __init__(self, status: HTTPStatus, text: str) -> None:
        super().__init__(text)
        self.status = status


class ViewServer(ThreadingHTTPServer):
    """A thread per connection, at most `max_connections` at once; streams at most
    `max_clients` of them."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address: tuple[str, int], feeds: list[Feed], *, max_clients: int) -> None:
        self.feeds = feeds
        self.max_clients = max_clients
        self.stopping = threading.Event()
        self.clients: set[Mailbox] = set()
        self.clients_lock = threading.Lock()
        self._slots = threading.BoundedSemaphore(max_clients + 16)
        self.assets = {path: (resources.files("tessaro.view").joinpath("assets", name)
                              .read_bytes(), kind) for path, (name, kind) in ASSETS.items()}
        super().__init__(address, Handler)

    @property
    def url(self) -> str:
        address, port = self.server_address[:2]
        host = address.decode() if isinstance(address, bytes) else str(address)
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{port}/"

    def process_request(self, request: Any, client_address: Any) -> None:
        if not self._slots.acquire(blocking=False):
            try:
                request.sendall(b"HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n")
            finally:
                self.shutdown_request(request)
            return
        request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        super().process_request(request, client_address)

    def process_request_thread(self, request: Any, client_address: Any) -> None:
        try:
            super().process_request_thread(request, client_address)
        finally:
            self._slots.release()

    def handle_error(self, request: Any, client_address: Any) -> None:
        error = sys.exc_info()[1]
        if not isinstance(error, (ConnectionError, TimeoutError)):
            print(f"tessaro view: request from {client_address[0]} failed: {error!r}",
                  file=sys.stderr)

    def close_clients(self) -> None:
        self.stopping.set()
        with self.clients_lock:
            for mailbox in self.clients:
                mailbox.close()


class Handler(BaseHTTPRequestHandler):
    server: ViewServer
    server_version = "tessaro-view"
    default_request_version = "HTTP/1.0"  # so that even a garbled request hears its status
    timeout = SEND_TIMEOUT  # a connection that sends no request holds its thread no longer

    def log_message(self, format: str, *args: Any) -> None:
        pass  # a frame stream would flood the terminal

    def send_error(self, code: int, message: str | None = None, explain: str | None = None) -> None:
        # The base class answers an HTTP version it does not speak with 505: still the client's
        # fault.
        super().send_error(HTTPStatus.BAD_REQUEST if code >= 500 else code, message, explain)

    def __getattr__(self, name: str) -> Callable[[], None]:
        if name.startswith("do_"):  # any other method: 405, not the base class's 501
            return lambda: self._fail(BadRequest(HTTPStatus.METHOD_NOT_ALLOWED,
                                                 f"{self.command} is not served here"))
        raise AttributeError(name)

    def do_GET(self) -> None:
        self._dispatch(self._get)

    def do_POST(self) -> None:
        self._dispatch(self._post)

    def _dispatch(self, route: Callable[[str, dict[str, list[str]]], None]) -> None:
        parts = urlsplit(self.path)
        try:
            route(parts.path, parse_qs(parts.query, max_num_fields=16))
        except BadRequest as refused:
            self._fail(refused)
        except (ValueError, LookupError) as error:
            self._fail(BadRequest(HTTPStatus.BAD_REQUEST, str(error)))

    def _fail(self, refused: BadRequest) -> None:
        self._send(refused.status, json.dumps({"error": str(refused)}).encode(),
                   "application/json")

    def _send(self, status: HTTPStatus, body: bytes, kind: str) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        self.send_header("X-Content-Type-Options", "nosniff")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _json(self, value: Any) -> None:
        self._send(HTTPStatus.OK, json.dumps(value).encode(), "application/json")

    def _feed(self, text: str) -> Feed:
        try:
            return self.server.feeds[int(text)]
        except (ValueError, IndexError):
            raise BadRequest(HTTPStatus.NOT_FOUND, f"no source {text!r}") from None

    def _get(self, path: str, query: dict[str, list[str]]) -> None:
        if path in self.server.assets:
            self._send(HTTPStatus.OK, *self.server.assets[path])
        elif path == "/api/sources":
            self._json([feed.describe() for feed in self.server.feeds])
        elif path == "/api/zone":
            try:
                source, row, column = (query[key][0] for key in ("source", "row", "column"))
            except KeyError as missing:
                raise BadRequest(HTTPStatus.BAD_REQUEST, f"missing {missing}") from None
            self._json(self._feed(source).zone(int(row), int(column)))
        elif path == "/api/stream":
            self._stream()
        else:
            raise BadRequest(HTTPStatus.NOT_FOUND, f"nothing at {path}")

    def _post(self, path: str, query: dict[str, list[str]]) -> None:
        if path != "/api/control":
            raise BadRequest(HTTPStatus.NOT_FOUND, f"nothing at {path}")
        size = int(self.headers.get("Content-Length") or 0)
        if not 0 < size <= MAX_BODY:
            raise BadRequest(HTTPStatus.REQUEST_ENTITY_TOO_LARGE if size > MAX_BODY
                             else HTTPStatus.LENGTH_REQUIRED, "give a JSON body")
        try:
            asked = json.loads(self.rfile.read(size))
            feed = self._feed(str(asked.pop("source")))
            change = Control(**asked)
        except (json.JSONDecodeError, AttributeError, KeyError, TypeError) as error:
            raise BadRequest(HTTPStatus.BAD_REQUEST, f"bad control: {error}") from None
        for name, kind in (("play", bool), ("loop", bool), ("seek", int),
                           ("speed", (int, float))):
            value = getattr(change, name)
            if value is not None and (not isinstance(value, kind) or
                                      (kind is not bool and isinstance(value, bool))):
                raise BadRequest(HTTPStatus.BAD_REQUEST, f"bad {name}: {value!r}")
        feed.control(change)
        self._send(HTTPStatus.OK, b"{}", "application/json")

    def _stream(self) -> None:
        mailbox = Mailbox()
        with self.server.clients_lock:
            if len(self.server.clients) >= self.server.max_clients:
                raise BadRequest(HTTPStatus.TOO_MANY_REQUESTS,
                                 f"{self.server.max_clients} viewers are already watching")
            self.server.clients.add(mailbox)
        feeds = self.server.feeds
        try:
            self.send_response(HTTPStatus.OK)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Cache-Control", "no-store")
            self.end_headers()
            self.wfile.flush()
            self.connection.settimeout(SEND_TIMEOUT)
            for feed in feeds:
                feed.subscribe(mailbox)
            while not self.server.stopping.is_set():
                for _, payload, skipped in mailbox.take(timeout=0.5):
                    self.wfile.write(struct.pack("<II", len(payload) + 4, skipped) + payload)
                self.wfile.flush()
        except (ConnectionError, TimeoutError):
            pass  # the page went away, or stopped reading
        finally:
            for feed in feeds:
                feed.unsubscribe(mailbox)
            with self.server.clients_lock:
                self.server.clients.discard(mailbox)
            self.close_connection = True
