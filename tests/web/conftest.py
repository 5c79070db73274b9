"""Real servers for the web tests: the examples under gunicorn and uvicorn with
4 workers each, against a real redis-server, on free loopback ports."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

httpx = pytest.importorskip("httpx")

ROOT = Path(__file__).resolve().parents[2]
SESSIONS = ROOT / "examples" / "sessions"
# The servers' token key; tests that forge or age tokens sign with it themselves.
SECRET = "web-tests-secret-" + "k" * 32
# Requests from this loopback address come "through a proxy"; any other is a client.
TRUSTED_PROXY = "127.0.0.2"
WORKERS = 4


# The guard tests' real redis-server, shared with them.
from guard.conftest import RedisServer, free_port, redis_server, wait_until  # noqa: E402,F401


@pytest.fixture(scope="session")
def web_redis(redis_server):
    """The session's redis-server, running (a guard fault test may have stopped it)."""
    if redis_server.process is None:
        redis_server.start()
    return redis_server


class Served:
    """One server process (gunicorn or uvicorn) and its workers."""

    def __init__(self, kind: str, module: str, redis_url: str, log: Path, *, workers: int = WORKERS,
                 arguments: tuple[str, ...] = (), **environment: str) -> None:
        self.kind = kind
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        if kind == "gunicorn":
            command = [sys.executable, "-m", "gunicorn", "-w", str(workers),
                       "-b", f"127.0.0.1:{self.port}", module]
        else:
            command = [sys.executable, "-m", "uvicorn", "--workers", str(workers),
                       "--host", "127.0.0.1", "--port", str(self.port), module]
        command += arguments
        env = dict(os.environ,
                   PYTHONPATH=os.pathsep.join([str(ROOT), str(ROOT / "tests" / "web"),
                                               os.environ.get("PYTHONPATH", "")]),
                   QUELVAR_REDIS_URL=redis_url, QUELVAR_TOKEN_SECRETS=SECRET,
                   QUELVAR_TRUSTED_PROXIES=TRUSTED_PROXY,
                   # The load tests take thousands of tokens from a few addresses.
                   QUELVAR_MINT_BURST="1000000")
        env.update(environment)
        self.log = log
        self.process = subprocess.Popen(command, cwd=ROOT, env=env, stdout=log.open("wb"),
                                        stderr=subprocess.STDOUT)
        with self.client() as client:
            wait_until(lambda: self._answers(client), 30, 0.1)
        self._wait_for_workers(workers)

    def _wait_for_workers(self, workers: int) -> None:
        """Until every worker has answered a fresh connection (where the app
        names its worker), for at most 20 s: a worker that starts late, as
        under the sanitizers, would otherwise leave the others all the load."""
        seen: set[str] = set()
        deadline = time.monotonic() + 20
        while len(seen) < workers and time.monotonic() < deadline:
            with self.client() as client:
                worker = client.get("/").headers.get("x-worker")
            if worker is None:
                return
            seen.add(worker)

    def _answers(self, client) -> bool:
        if self.process.poll() is not None:
            raise AssertionError(f"{self.kind} exited:\n{self.log.read_text()[-3000:]}")
        try:
            client.get("/")
            return True
        except httpx.TransportError:
            return False

    def client(self, source: str = "127.0.0.1", **options) -> httpx.Client:
        return httpx.Client(base_url=self.url, timeout=10,
                            transport=httpx.HTTPTransport(local_address=source), **options)

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)  # the master stops its workers
        try:
            self.process.wait(20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)


HEADER = "X-Quelvar-Token"
TELEMETRY = "/quelvar/telemetry"
HUMAN = (SESSIONS / "human.json").read_bytes()


def token(client, **headers) -> str:
    """A telemetry token from the token endpoint."""
    response = client.get("/quelvar/token", headers=headers)
    assert response.status_code == 200, response.text
    return response.json()["token"]


def post_telemetry(client, body, **headers) -> httpx.Response:
    return client.post(TELEMETRY, content=body,
                       headers={HEADER: token(client, **headers), "Content-Type": "application/json", **headers})


def clearance(client, **headers) -> list[str]:
    """The guarded tokens that the human sample session earns."""
    response = post_telemetry(client, HUMAN, **headers)
    assert response.status_code == 200, response.text
    return response.json()["tokens"]


def guarded_get(client, **headers) -> httpx.Response:
    return client.get("/api/hello", headers={HEADER: clearance(client, **headers)[0], **headers})


@pytest.fixture
def serve(web_redis, tmp_path):
    """Starts servers for one test; stops them after it."""
    started = []

    def start(kind: str, module: str, **options) -> Served:
        server = Served(kind, module, web_redis.url, tmp_path / f"{kind}.log", **options)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()
