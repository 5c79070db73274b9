"""Bot sessions replayed into real headless Chromium, recorded by the page itself.

Debian's chromium is started headless with its remote-debugging endpoint on
127.0.0.1; a small client speaks the DevTools protocol over a websocket
(websocket-client). For each session the example page (examples/web_page.html)
is loaded afresh, each cursor position a generator's loop set is sent at its
time as Input.dispatchMouseEvent, and the telemetry the page's own listeners
collected is read back with Runtime.evaluate: stamps, coordinates and browser
block as the browser reported them.

Bounded: a session's trace is cut at MAX_SESSION_S, and each step (start,
load, read) has its own time-out.
"""

from __future__ import annotations

import collections
import json
import os
import random
import shutil
import subprocess
import tempfile
import threading
import time
import urllib.request
from collections.abc import Callable, Iterator
from pathlib import Path

PAGE = Path(__file__).resolve().parents[2] / "examples" / "web_page.html"
MAX_SESSION_S = 10.0
MAX_MOVES = 3  # multi-move sessions here have 2-3 moves, to stay within the bound
STEP_TIMEOUT_S = 30.0


class Devtools:
    """One websocket to one DevTools target; calls wait for their own answer."""

    def __init__(self, url: str):
        import websocket  # websocket-client

        self.socket = websocket.create_connection(url, timeout=STEP_TIMEOUT_S, suppress_origin=True)
        self.last_id = 0

    def send(self, method: str, **params) -> int:
        """Sends a call without waiting for its answer (see `__call__`)."""
        self.last_id += 1
        self.socket.send(json.dumps({"id": self.last_id, "method": method, "params": params}))
        return self.last_id

    def __call__(self, method: str, **params) -> dict:
        """Sends a call and waits for its answer; answers to earlier calls sent
        with `send` are read on the way, and an error in any of them raises."""
        wanted = self.send(method, **params)
        while True:
            message = json.loads(self.socket.recv())
            if "error" in message:
                raise RuntimeError(f"{method} (call {message.get('id')}): {message['error']}")
            if message.get("id") == wanted:
                return message.get("result", {})

    def evaluate(self, expression: str):
        result = self("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"page error in {expression!r}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def close(self) -> None:
        self.socket.close()


class Browser:
    """Headless Chromium with its debugging endpoint on a free loopback port."""

    def __init__(self):
        binary = shutil.which("chromium")
        if binary is None:
            raise RuntimeError("Debian's chromium is not installed (.ci/debian-packages.txt)")
        # Its helper processes may still write there as it exits: what is left is left.
        self.profile = tempfile.TemporaryDirectory(prefix="corpora-chromium-", ignore_cleanup_errors=True)
        self.process = subprocess.Popen(
            [
                binary,
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--no-first-run",
                "--no-default-browser-check",
                f"--user-data-dir={self.profile.name}",
                "--remote-debugging-address=127.0.0.1",
                "--remote-debugging-port=0",
                "--window-size=1920,1080",
                "about:blank",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
            # The sanitizer run preloads its runtimes into everything; not into the browser.
            env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
        )
        self.log: collections.deque[str] = collections.deque(maxlen=50)
        endpoint = self._endpoint()
        threading.Thread(target=lambda: self.log.extend(self.process.stderr), daemon=True).start()
        with urllib.request.urlopen(f"http://127.0.0.1:{endpoint}/json/list", timeout=STEP_TIMEOUT_S) as answer:
            pages = [t for t in json.load(answer) if t.get("type") == "page"]
        if not pages:
            raise RuntimeError("chromium opened no page")
        self.page = Devtools(pages[0]["webSocketDebuggerUrl"])

    def _endpoint(self) -> int:
        deadline = time.monotonic() + STEP_TIMEOUT_S
        while time.monotonic() < deadline:
            line = self.process.stderr.readline()
            if not line:
                break
            self.log.append(line)
            if "DevTools listening on ws://127.0.0.1:" in line:
                return int(line.split("ws://127.0.0.1:", 1)[1].split("/", 1)[0])
        self.close()
        raise RuntimeError("chromium did not open its debugging endpoint:\n" + "".join(self.log))

    def record(self, trace: list[tuple[float, float, float]]) -> dict:
        """Loads the page, replays the trace in real time, returns the page's telemetry."""
        page = self.page
        page("Page.navigate", url=PAGE.as_uri())
        deadline = time.monotonic() + STEP_TIMEOUT_S
        while page.evaluate("document.readyState") != "complete":
            if time.monotonic() > deadline:
                raise RuntimeError("the page did not load")
            time.sleep(0.02)
        began = time.perf_counter()
        origin = trace[0][0]
        shown = None
        for t, x, y in trace:
            if (t - origin) / 1000.0 > MAX_SESSION_S:
                break
            position = (round(x), round(y))  # a cursor sits on whole pixels
            if position == shown:
                continue
            wait = began + (t - origin) / 1000.0 - time.perf_counter()
            if wait > 0:
                time.sleep(wait)
            # Not waiting for each answer: the browser answers a move once it has
            # dispatched it, at its next frame, and waiting would pace the trace
            # by the browser's frames instead of by the generator's own clock.
            page.send("Input.dispatchMouseEvent", type="mouseMoved", x=position[0], y=position[1], button="none")
            shown = position
        time.sleep(0.1)  # the last frame's event
        return json.loads(page.evaluate("JSON.stringify(telemetry())"))

    def close(self) -> None:
        if getattr(self, "page", None):
            self.page.close()
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.profile.cleanup()


def sessions(generator: str, count: int, progress: Callable[[int], None]) -> Iterator:
    """`count` sessions of one generator, half single moves, half 2-3 moves."""
    from . import generators
    from .corpora import Session, _seed

    browser = Browser()
    try:
        for index in range(count):
            seed = _seed("chromium", generator, index)
            moves = 1 if index % 2 == 0 else random.Random(seed).randint(2, MAX_MOVES)
            trace = generators.session_trace(generator, seed, moves)
            yield Session(
                generator, None, f"chromium-{generator}-{index:04d}", "chromium", browser.record(trace), moves
            )
            progress(index + 1)
    finally:
        browser.close()
