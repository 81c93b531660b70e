"""Debian's headless Chromium, driven over the DevTools protocol on a pipe
(--remote-debugging-pipe: JSON messages ended by NUL, read from fd 3, written to fd 4), so
that nothing but the standard library talks to it."""

from __future__ import annotations

import fcntl
import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
from typing import Any


BINARY = shutil.which("chromium-headless-shell") or shutil.which("chromium")


class Page:
    def __init__(self, url: str, width: int = 1500, height: int = 1100) -> None:
        self._profile = tempfile.TemporaryDirectory(ignore_cleanup_errors=True)
        to_browser, self._out = os.pipe()
        self._in, from_browser = os.pipe()
        # Above 9, so that moving them onto 3 and 4 cannot overwrite one another (bash, not sh:
        # dash takes single-digit descriptors only).
        a, b = (fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (to_browser, from_browser))
        self.process = subprocess.Popen(
            ["bash", "-c", f'exec "$0" "$@" 3<&{a} 4>&{b} {a}<&- {b}>&-', str(BINARY), "--headless",
             "--remote-debugging-pipe", "--no-sandbox", "--disable-gpu", "--no-first-run",
             f"--user-data-dir={self._profile.name}", f"--window-size={width},{height}"],
            pass_fds=(a, b), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            start_new_session=True,  # its own process group, which __exit__ ends
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})  # not the sanitizer's
        for fd in (to_browser, from_browser, a, b):
            os.close(fd)
        self._next, self._buffer = 0, b""
        target = self.call("Target.createTarget", url=url)["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]

    def call(self, method: str, session: bool = False, **params: Any) -> Any:
        self._next += 1
        message: dict[str, Any] = {"id": self._next, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        os.write(self._out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + 30
        while True:
            while b"\0" not in self._buffer:
                if not select.select([self._in], [], [], max(0, deadline - time.monotonic()))[0]:
                    raise TimeoutError(f"Chromium did not answer {method}")
                chunk = os.read(self._in, 1 << 20)
                if not chunk:
                    raise ConnectionError("Chromium went away")
                self._buffer += chunk
            text, self._buffer = self._buffer.split(b"\0", 1)
            reply = json.loads(text)
            if reply.get("id") == self._next:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]

    def eval(self, expression: str) -> Any:
        result = self.call("Runtime.evaluate", session=True, expression=expression,
                           returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression: str, timeout: float = 20.0) -> Any:
        """The value of `expression` once truthy; one that throws (the page is still loading)
        is false."""
        deadline = time.monotonic() + timeout
        while not (value := self.eval(f"(() => {{ try {{ return {expression}; }} catch {{}} }})()")):
            assert time.monotonic() < deadline, f"still false after {timeout} s: {expression}"
            time.sleep(0.1)
        return value

    def click(self, x: float, y: float) -> None:
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", session=True, type=kind, x=x, y=y,
                      button="left", clickCount=1)

    def __enter__(self) -> Page:
        return self

    def __exit__(self, *exc: object) -> None:
        os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()
        os.close(self._in), os.close(self._out), self._profile.cleanup()
